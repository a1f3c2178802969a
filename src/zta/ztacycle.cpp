// The MIB retrieval cycle shared by the samplers: the one GET/GETNEXT walk,
// the cursor loop built on it, and the buffers of a sample.
#include <atmi.h>
#include <fml32.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "ascii.h"
#include "printable.h"
#include "walk_rule.h"
#include "zta_agent.h"
#include "zta_cycle.h"
#include "zta_fields.h"
#include "zta_metrics.h"
#include "zta_util.h"

namespace {

// Size of a sample's reply buffer; tpcall enlarges it when a reply
// needs more.
constexpr long kReplySize = 8192;

}  // namespace

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

namespace {

// The FML32 errors that say the view itself cannot be found or read.
bool view_unusable(int err) {
    return err == FBADVIEW || err == FVFOPEN || err == FVFSYNTAX;
}

}  // namespace

namespace {

// The key columns of the object at `occurrence`, as "srvgrp=GRP1 srvid=1",
// for a line about that object.
std::string object_keys(const zta_cursor_variant& variant, const FLDID32* fields, FBFR32* reply,
                        long occurrence) {
    std::string keys;
    const zta::TableMeta& table = *variant.table;
    for (unsigned short i = 0; i < table.num_columns; ++i) {
        const zta::ColumnMeta& c = table.columns[i];
        if (c.role != zta::Role::key || fields[i] == 0) continue;
        std::string value;
        if (c.type == zta::kColumnTypeInteger) {
            value = std::to_string(zta_read_long(reply, fields[i], occurrence));
        } else {
            std::size_t length = 0;
            const char* text = zta_find_string(reply, fields[i], occurrence, length);
            if (text == nullptr) continue;
            value = "\"" + zcommon::Printable(std::string_view(text, length), 64) + "\"";
        }
        keys += (keys.empty() ? "" : " ") + std::string(c.name) + "=" + value;
    }
    return keys;
}

// One trace line for each text value of the object at `occurrence` that is
// longer than its column holds (blank-padded: the width; NUL-terminated:
// the width less the NUL), once the object was read by attribute.
void trace_cut_values(TRC1_Block* trace, const zta_cursor_variant& variant, const FLDID32* fields,
                      FBFR32* reply, long occurrence) {
    const zta::TableMeta& table = *variant.table;
    for (unsigned short i = 0; i < table.num_columns; ++i) {
        const zta::ColumnMeta& c = table.columns[i];
        if (c.type != zta::kColumnTypeText || fields[i] == 0) continue;
        std::size_t length = 0;
        if (zta_find_string(reply, fields[i], occurrence, length) == nullptr) continue;
        const std::size_t room = c.pad == zta::Pad::blank ? c.size : c.size - 1u;
        if (length > room) {
            ZTA_ERROR_B(trace,
                        "%s: %s of object %ld is %zu bytes long, cut to the %zu of column %s\n",
                        variant.mib_class, c.attribute, occurrence, length, room, c.name);
        }
    }
}

// A blank-padded column carries no NUL, so it holds a value as wide as the
// column; the view's string member of that width holds one character less.
// Where the view filled a member to the brim, the reply's value may be
// longer: only then is the column's width of it taken from the reply.
void keep_full_width(const zta_cursor_variant& variant, const FLDID32* fields, char* record,
                     FBFR32* reply, long occurrence) {
    const zta::TableMeta& table = *variant.table;
    for (unsigned short i = 0; i < table.num_columns; ++i) {
        const zta::ColumnMeta& c = table.columns[i];
        if (c.pad != zta::Pad::blank || fields[i] == 0) continue;
        char* member = record + c.offset;
        if (strnlen(member, c.size) + 1u != c.size) continue;
        std::size_t length = 0;
        const char* value = zta_find_string(reply, fields[i], occurrence, length);
        if (value != nullptr && length >= c.size) std::memcpy(member, value, c.size);
    }
}

// Converts the object at `occurrence` of the reply into the target's view
// record. Occurrence 0 goes through the view; an object the view does not
// reach (a reply holding several) or refuses (a value longer than its
// member) is read through the columns the description binds, which leave an
// absent attribute at the view's null value. Returns false, with the reason
// given to `object`, only when the view itself cannot be used.
bool convert_object(TRC1_Block* trace, tavro& object, const zta_cursor_variant& variant,
                    const FLDID32* fields, zta_cursor_target& target, FBFR32* reply,
                    long occurrence) {
    char* record = target.ViewRecord();
    if (occurrence == 0) {
        if (Fvftos32(reply, record, zta_text(variant.view)) != -1) {
            keep_full_width(variant, fields, record, reply, 0);
            return true;
        }
        const int err = Ferror32;
        if (view_unusable(err)) {
            object.MarkSampleIncomplete(zta_report_view_error(trace, "Fvftos32", variant.view));
            return false;
        }
        const std::string keys = object_keys(variant, fields, reply, occurrence);
        ZTA_ERROR_B(trace, "%s object %ld%s%s: Fvftos32 with view %s: <%s>: read by attribute\n",
                    variant.mib_class, occurrence, keys.empty() ? "" : " ", keys.c_str(),
                    variant.view, Fstrerror32(err));
    }
    if (Fvsinit32(record, zta_text(variant.view)) == -1) {
        object.MarkSampleIncomplete(zta_report_view_error(trace, "Fvsinit32", variant.view));
        return false;
    }
    if (zta_fill_columns(*variant.table, fields, record, reply, occurrence,
                         /*absent_untouched=*/true)) {
        trace_cut_values(trace, variant, fields, reply, occurrence);
    }
    return true;
}

}  // namespace

zta_walk_outcome zta_mib_walk(TRC1_Block* trace, zta_mib_buffers& buffers, const char* mib_class,
                              const char* view, zta_walk_target& target) {
    zta_walk_outcome outcome;
    FBFR32* request = buffers.request;
    zcommon::WalkRule rule;
    for (;;) {
        if (!target.BeforeCall()) break;
        if (tpcall(zta_text(".TMIB"), reinterpret_cast<char*>(request), 0, &buffers.reply,
                   &buffers.reply_len, ZTA_MIB_CALL_FLAGS) < 0) {
            const int err = tperrno;
            zta_metrics_mib_call(mib_class, view, false);
            outcome.why = zta_report_atmi_error(trace, "tpcall", buffers.reply);
            outcome.failed_call = true;
            // The MIB itself refused the request (an error reply with its
            // TA_ERROR): the session is sound and the agent stays joined.
            // Any other failure leaves the application.
            outcome.refused = err == TPESVCFAIL &&
                              Ffind32(reinterpret_cast<FBFR32*>(buffers.reply), zta::fld::TA_ERROR, 0,
                                      nullptr) != nullptr;
            target.CallFailed();
            if (!outcome.refused) Txinit::DeleteInstance();
            break;
        }
        ++outcome.calls;
        auto* fbfr = reinterpret_cast<FBFR32*>(buffers.reply);
        const long objects = target.Reply(fbfr);
        if (objects < 0) break;

        const long more = zta_reply_long(fbfr, zta::fld::TA_MORE, 0, 0);
        const char* cursor = Ffind32(fbfr, zta::fld::TA_CURSOR, 0, nullptr);
        const zcommon::WalkRule::Next next = rule.After(objects, more, cursor != nullptr);
        if (next == zcommon::WalkRule::Next::stop) {
            outcome.why = std::string(mib_class) + ": " + rule.Why();
            ZTA_ERROR_B(trace, "%s\n", outcome.why.c_str());
        }
        if (next != zcommon::WalkRule::Next::call) break;
        // The cursor as it came, even the one just sent: a cursor names a
        // position, and some MIBs keep one for the whole walk.
        Fchg32(request, zta::fld::TA_CURSOR, 0, const_cast<char*>(cursor), 0);
        Fchg32(request, zta::fld::TA_OPERATION, 0, zta_text("GETNEXT"), 0);
    }

    zta_metrics_mib_call(mib_class, view, true, outcome.calls);
    return outcome;
}

long zta_occurs_of(const tavro& object) {
    constexpr long kMost = 10000;
    // The framework checked the request file's value; anything else (a
    // table object made elsewhere) falls back to the default.
    const std::string& text = object.Setting("mib.occurs");
    if (!zcommon::AllDigits(text)) return 1;
    if (text.size() > 5) return kMost;
    return std::clamp(std::stol(text), 1L, kMost);
}

void zta_cursor_loop(TRC1_Block* trace, tavro& object, const zta_cursor_variant& variant,
                     zta_cursor_target& target) {
    ZTA_ENTRY_B(trace);
    if (!zta_join_before_sample()) {
        object.MarkSampleIncomplete(Txinit::NotJoinedReason());
        target.JoinFailed();
        ZTA_EXIT_B(trace);
        return;
    }
    zta_mib_buffers buffers;
    if (variant.trace_buffers) buffers.note = trace;
    if (!zta_alloc_mib_buffers(trace, buffers)) {
        object.MarkSampleIncomplete("tpalloc failed");
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
    const long occurs = zta_occurs_of(object);
    Fchg32(request, zta::fld::TA_OCCURS, 0, zta_value(occurs), 0);

    // The table's part of each pass: the timestamp, the view record made
    // ready, and every object of the reply converted and handed over.
    struct passes final : zta_walk_target {
        TRC1_Block* trace;
        tavro& object;
        const zta_cursor_variant& variant;
        zta_cursor_target& target;
        const FLDID32* fields;
        char timestamp[ZTA_WBTIME_BUF] = {};

        passes(TRC1_Block* t, tavro& o, const zta_cursor_variant& v, zta_cursor_target& g)
            : trace(t), object(o), variant(v), target(g), fields(zta_attribute_ids(*v.table)) {
            if (variant.stamp == zta_stamp::once_before_loop) TBX_GenerateTimeStamp(timestamp, 0);
        }
        bool BeforeCall() override {
            if (variant.stamp == zta_stamp::each_pass_before_call) {
                TBX_GenerateTimeStamp(timestamp, 0);
            }
            // A view that cannot be loaded would give rows of nothing but
            // null values: the sample ends instead, with one line that says
            // why.
            if (Fvsinit32(target.ViewRecord(), zta_text(variant.view)) == -1) {
                object.MarkSampleIncomplete(
                    zta_report_view_error(trace, "Fvsinit32", variant.view));
                return false;
            }
            return true;
        }
        long Reply(FBFR32* reply) override {
            if (variant.stamp == zta_stamp::each_pass_after_success) {
                TBX_GenerateTimeStamp(timestamp, 0);
            }
            // Each object of the reply becomes a row, as many as it holds
            // (a MIB may send more or fewer than asked for). A reply without
            // TA_OCCURS holds as many as its attributes show, at least one;
            // an empty class's reply (TA_OCCURS 0) holds none and adds no
            // row.
            const long objects = zta_reply_objects(reply, *variant.table, fields, INT_MAX);
            for (long i = 0; i < objects; ++i) {
                if (!convert_object(trace, object, variant, fields, target, reply, i)) return -1;
                target.ObjectConverted(reply, static_cast<FLDOCC32>(i), timestamp);
            }
            return objects;
        }
        void CallFailed() override { target.CallFailed(timestamp); }
    } walk(trace, object, variant, target);

    const zta_walk_outcome outcome =
        zta_mib_walk(trace, buffers, variant.mib_class, variant.view, walk);
    if (!outcome.why.empty()) object.MarkSampleIncomplete(outcome.why);
    zta_free_mib_buffers(buffers);
    ZTA_EXIT_B(trace);
}

bool zta_alloc_mib_buffers(TRC1_Block* trace, zta_mib_buffers& buffers) {
    buffers.request = reinterpret_cast<FBFR32*>(tpalloc(zta_text("FML32"), nullptr, 0));
    if (buffers.request == nullptr) {
        zta_report_atmi_error(trace, "tpalloc");
        return false;
    }
    if (buffers.note != nullptr) ZTA_DETAIL_B(buffers.note, "tpalloc: rqbuf\n");
    buffers.reply_len = kReplySize;
    buffers.reply = tpalloc(zta_text("FML32"), nullptr, kReplySize);
    if (buffers.reply == nullptr) {
        zta_report_atmi_error(trace, "tpalloc");
        tpfree(reinterpret_cast<char*>(buffers.request));
        if (buffers.note != nullptr) ZTA_DETAIL_B(buffers.note, "tpfree: rqbuf\n");
        buffers.request = nullptr;
        return false;
    }
    if (buffers.note != nullptr) ZTA_DETAIL_B(buffers.note, "tpalloc: rpbuf\n");
    return true;
}

void zta_free_mib_buffers(zta_mib_buffers& buffers) {
    tpfree(reinterpret_cast<char*>(buffers.request));
    if (buffers.note != nullptr) ZTA_DETAIL_B(buffers.note, "tpfree: rqbuf\n");
    tpfree(buffers.reply);
    if (buffers.note != nullptr) ZTA_DETAIL_B(buffers.note, "tpfree: rpbuf\n");
    buffers.request = nullptr;
    buffers.reply = nullptr;
}
