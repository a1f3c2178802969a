// The MIB retrieval cycle shared by the samplers.
#include <atmi.h>
#include <fml32.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "zta_agent.h"
#include "zta_cycle.h"
#include "zta_fields.h"
#include "zta_metrics.h"
#include "zta_util.h"

namespace {

// Size of a sample's reply buffer; tpcall enlarges it when a reply
// needs more.
constexpr long kReplySize = 8192;

// The value of occurrence `occurrence` of a string field and its length
// within the buffer (up to its NUL); null when absent.
const char* find_string(FBFR32* reply, FLDID32 field, long occurrence, std::size_t& length) {
    if (occurrence < 0 || occurrence > INT_MAX) return nullptr;
    FLDLEN32 len = 0;
    const char* value = Ffind32(reply, field, static_cast<FLDOCC32>(occurrence), &len);
    if (value == nullptr) return nullptr;
    length = strnlen(value, len);
    return value;
}

}  // namespace

long zta_reply_long(FBFR32* reply, FLDID32 field, FLDOCC32 occurrence, long absent) {
    long value = absent;
    FLDLEN32 len = sizeof value;
    if (Fget32(reply, field, occurrence, reinterpret_cast<char*>(&value), &len) == -1) {
        return absent;
    }
    return value;
}

bool zta_take_sample_constructor(TRC1_Block* trace, zta_node& node) {
    ZTA_ENTRY_B(trace);
    Txinit::Instance();
    bool first = false;
    if (node.theirInitConstructor == 0) {
        node.theirInitConstructor = 1;
        std::memset(node.theirSystemName, 0, sizeof node.theirSystemName);
        DetermineLocalHost(node.theirSystemName, sizeof node.theirSystemName);
        node.theirSystemName[sizeof node.theirSystemName - 1] = '\0';
        first = true;
    }
    ZTA_EXIT_B(trace);
    return first;
}

bool zta_join_before_sample() {
    // After a failed call the agent left the application. The framework
    // makes its table objects once, so waiting for a new object to join
    // again would leave the agent deaf for good: join again here, at most
    // once per sample; the caller skips the sample while the domain refuses.
    return Txinit::Joined() || Txinit::Instance() != nullptr;
}

void zta_fill_originnode(char* originnode, const zta_node& node) {
    zta_blankfill(originnode, sizeof node.theirSystemName, node.theirSystemName);
}

void zta_copy_record(const zta::TableMeta& table, char* row, const char* record) {
    for (unsigned short i = 0; i < table.num_columns; ++i) {
        const zta::ColumnMeta& c = table.columns[i];
        if (c.attribute[0] == '\0') continue;
        char* to = row + c.offset;
        const char* from = record + c.offset;
        if (c.type == zta::kColumnTypeInteger) {
            std::memcpy(to, from, c.size);
        } else if (c.pad == zta::Pad::blank) {
            std::memset(to, ' ', c.size);
            std::memcpy(to, from, strnlen(from, c.size));
        } else {
            const std::size_t n = strnlen(from, c.size - 1u);
            std::memcpy(to, from, n);
            std::memset(to + n, 0, c.size - n);
        }
    }
}

void zta_pad_in_place(const zta::TableMeta& table, char* row) {
    char aside[zta::kMaxTextWidth];
    for (unsigned short i = 0; i < table.num_columns; ++i) {
        const zta::ColumnMeta& c = table.columns[i];
        if (c.attribute[0] == '\0' || c.pad != zta::Pad::blank) continue;
        char* column = row + c.offset;
        const std::size_t n = strnlen(column, c.size);
        std::memcpy(aside, column, n);
        std::memset(column, ' ', c.size);
        std::memcpy(column, aside, n);
    }
}

void zta_read_padded(FBFR32* reply, FLDID32 field, long occurrence, char* column,
                     std::size_t width) {
    std::memset(column, ' ', width);
    std::size_t length = 0;
    const char* value = find_string(reply, field, occurrence, length);
    if (value != nullptr) std::memcpy(column, value, std::min(length, width));
}

void zta_read_string(FBFR32* reply, FLDID32 field, long occurrence, char* column,
                     std::size_t width) {
    std::memset(column, 0, width);
    std::size_t length = 0;
    const char* value = find_string(reply, field, occurrence, length);
    if (value != nullptr && width > 0) std::memcpy(column, value, std::min(length, width - 1));
}

long zta_read_long(FBFR32* reply, FLDID32 field, long occurrence) {
    if (occurrence < 0 || occurrence > INT_MAX) return 0;
    long value = 0;
    FLDLEN32 len = sizeof value;
    if (Fget32(reply, field, static_cast<FLDOCC32>(occurrence), reinterpret_cast<char*>(&value),
               &len) == -1) {
        return 0;
    }
    return value;
}

void zta_fill_columns(const zta::TableMeta& table, const FLDID32* fields, char* row,
                      FBFR32* reply, long occurrence) {
    for (unsigned short i = 0; i < table.num_columns; ++i) {
        const zta::ColumnMeta& c = table.columns[i];
        if (fields[i] == 0) continue;
        char* column = row + c.offset;
        if (c.type == zta::kColumnTypeInteger) {
            const long value = std::clamp<long>(zta_read_long(reply, fields[i], occurrence),
                                                INT32_MIN, INT32_MAX);
            const auto stored = static_cast<std::int32_t>(value);
            std::memcpy(column, &stored, sizeof stored);
        } else if (c.pad == zta::Pad::blank) {
            zta_read_padded(reply, fields[i], occurrence, column, c.size);
        } else {
            zta_read_string(reply, fields[i], occurrence, column, c.size);
        }
    }
}

void zta_report_atmi_error(TRC1_Block* trace, const char* call) {
    const int err = tperrno;
    const char* text = tpstrerror(err);
    std::fprintf(stderr, "Error: in %s\nERROR NO : %d\nError Message : %s\n", call, err, text);
    std::fflush(stderr);
    if (trace != nullptr) ZTA_ERROR_B(trace, "%s: <%s>\n", call, text);
}

void zta_report_view_error(TRC1_Block* trace, const char* call, const char* view) {
    const int err = Ferror32;
    const char* text = Fstrerror32(err);
    std::fprintf(stderr, "Error: view %s cannot be used: %s: %s\n", view, call, text);
    std::fflush(stderr);
    ZTA_ERROR_B(trace, "view %s cannot be used: %s: <%s>\n", view, call, text);
}

void zta_cursor_loop(TRC1_Block* trace, tavro& object, const zta_cursor_variant& variant,
                     zta_cursor_target& target) {
    ZTA_ENTRY_B(trace);
    if (!zta_join_before_sample()) {
        object.MarkSampleIncomplete();
        target.JoinFailed();
        ZTA_EXIT_B(trace);
        return;
    }
    char timestamp[ZTA_WBTIME_BUF] = {};
    if (variant.stamp == zta_stamp::once_before_loop) TBX_GenerateTimeStamp(timestamp, 0);

    zta_mib_buffers buffers;
    if (variant.trace_buffers) buffers.note = trace;
    if (!zta_alloc_mib_buffers(trace, buffers)) {
        object.MarkSampleIncomplete();
        ZTA_EXIT_B(trace);
        return;
    }
    FBFR32* request = buffers.request;

    if (variant.mib_local) {
        const long flags = ZTA_MIB_LOCAL;
        Fchg32(request, zta::fld::TA_FLAGS, 0, zta_value(flags), 0);
    }
    Fchg32(request, zta::fld::TA_OPERATION, 0, zta_text("GET"), 0);
    Fchg32(request, zta::fld::TA_CLASS, 0, zta_text(variant.mib_class), 0);
    const long one = 1;
    Fchg32(request, zta::fld::TA_OCCURS, 0, zta_value(one), 0);

    long more = 0;
    long ok_calls = 0;  // said to the metrics once, after the walk
    do {
        if (variant.stamp == zta_stamp::each_pass_before_call) {
            TBX_GenerateTimeStamp(timestamp, 0);
        }
        // A view that cannot be loaded would give rows of nothing but null
        // values: the sample ends instead, with one line that says why.
        if (Fvsinit32(target.ViewRecord(), zta_text(variant.view)) == -1) {
            zta_report_view_error(trace, "Fvsinit32", variant.view);
            object.MarkSampleIncomplete();
            break;
        }

        if (tpcall(zta_text(".TMIB"), reinterpret_cast<char*>(request), 0, &buffers.reply,
                   &buffers.reply_len, ZTA_MIB_CALL_FLAGS) < 0) {
            zta_metrics_mib_call(variant.mib_class, variant.view, false);
            zta_report_atmi_error(trace, "tpcall");
            object.MarkSampleIncomplete();
            target.CallFailed(timestamp);
            Txinit::DeleteInstance();
            break;
        }
        ++ok_calls;
        auto* fbfr = reinterpret_cast<FBFR32*>(buffers.reply);
        if (variant.stamp == zta_stamp::each_pass_after_success) {
            TBX_GenerateTimeStamp(timestamp, 0);
        }

        // One object was asked for. A reply with more (a MIB that ignores
        // TA_OCCURS) has its first converted; the walk goes on from its
        // cursor, so the others are lost, and the trace says how many.
        const long occurs = zta_reply_long(fbfr, zta::fld::TA_OCCURS, 0, 1);
        if (occurs > 1) {
            ZTA_ERROR_B(trace, "%s: the reply holds %ld objects for TA_OCCURS 1: %ld dropped\n",
                        variant.mib_class, occurs, occurs - 1);
        }
        // A reply without an object (an empty class) adds no row.
        if (occurs > 0) {
            if (Fvftos32(fbfr, target.ViewRecord(), zta_text(variant.view)) == -1) {
                zta_report_view_error(trace, "Fvftos32", variant.view);
                object.MarkSampleIncomplete();
                break;
            }
            target.ObjectConverted(fbfr, timestamp);
        }

        more = zta_reply_long(fbfr, zta::fld::TA_MORE, 0, 0);
        if (more != 0) {
            const char* cursor = Ffind32(fbfr, zta::fld::TA_CURSOR, 0, nullptr);
            if (cursor == nullptr) {
                // Nothing to continue from: a reply that promises more
                // objects but gives no cursor ends the walk.
                ZTA_ERROR_B(trace, "%s: TA_MORE without TA_CURSOR\n", variant.mib_class);
                object.MarkSampleIncomplete();
                break;
            }
            Fchg32(request, zta::fld::TA_OPERATION, 0, zta_text("GETNEXT"), 0);
            Fchg32(request, zta::fld::TA_CURSOR, 0, zta_text(cursor), 0);
        }
    } while (more != 0);

    zta_metrics_mib_call(variant.mib_class, variant.view, true, ok_calls);
    zta_free_mib_buffers(buffers);
    ZTA_EXIT_B(trace);
}

bool zta_alloc_mib_buffers(TRC1_Block* trace, zta_mib_buffers& buffers) {
    buffers.request = reinterpret_cast<FBFR32*>(tpalloc(zta_text("FML32"), nullptr, 0));
    if (buffers.request == nullptr) {
        zta_report_atmi_error(trace, "tpalloc");
        return false;
    }
    if (buffers.note != nullptr) ZTA_ERROR_B(buffers.note, "tpalloc: rqbuf\n");
    buffers.reply_len = kReplySize;
    buffers.reply = tpalloc(zta_text("FML32"), nullptr, kReplySize);
    if (buffers.reply == nullptr) {
        zta_report_atmi_error(trace, "tpalloc");
        tpfree(reinterpret_cast<char*>(buffers.request));
        if (buffers.note != nullptr) ZTA_ERROR_B(buffers.note, "tpfree: rqbuf\n");
        buffers.request = nullptr;
        return false;
    }
    if (buffers.note != nullptr) ZTA_ERROR_B(buffers.note, "tpalloc: rpbuf\n");
    return true;
}

void zta_free_mib_buffers(zta_mib_buffers& buffers) {
    tpfree(reinterpret_cast<char*>(buffers.request));
    if (buffers.note != nullptr) ZTA_ERROR_B(buffers.note, "tpfree: rqbuf\n");
    tpfree(buffers.reply);
    if (buffers.note != nullptr) ZTA_ERROR_B(buffers.note, "tpfree: rpbuf\n");
    buffers.request = nullptr;
    buffers.reply = nullptr;
}
