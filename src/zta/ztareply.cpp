// Readers of a MIB reply and writers of fixed-width row columns, shared by
// the samplers: one occurrence of an attribute into a column of its width.
#include <fml32.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "zta_cycle.h"
#include "zta_fields.h"
#include "zta_util.h"

const char* zta_find_string(FBFR32* reply, FLDID32 field, long occurrence, std::size_t& length) {
    if (occurrence < 0 || occurrence > INT_MAX) return nullptr;
    FLDLEN32 len = 0;
    const char* value = Ffind32(reply, field, static_cast<FLDOCC32>(occurrence), &len);
    if (value == nullptr) return nullptr;
    length = strnlen(value, len);
    return value;
}

long zta_reply_long(FBFR32* reply, FLDID32 field, FLDOCC32 occurrence, long absent) {
    long value = absent;
    FLDLEN32 len = sizeof value;
    if (Fget32(reply, field, occurrence, reinterpret_cast<char*>(&value), &len) == -1) {
        return absent;
    }
    return value;
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
            const std::size_t n = strnlen(from, c.size);
            std::memcpy(to, from, n);
            std::memset(to + n, ' ', c.size - n);
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

namespace {

// A found string value into a column: blank-padded to `width` without a
// NUL, or cut to width - 1 and NUL-filled. True when the value was longer
// than the column holds.
bool put_padded(char* column, std::size_t width, const char* value, std::size_t length) {
    const std::size_t n = value != nullptr ? std::min(length, width) : 0;
    if (n > 0) std::memcpy(column, value, n);
    std::memset(column + n, ' ', width - n);
    return length > width;
}

bool put_string(char* column, std::size_t width, const char* value, std::size_t length) {
    if (width == 0) return length > 0;
    const std::size_t n = value != nullptr ? std::min(length, width - 1) : 0;
    if (n > 0) std::memcpy(column, value, n);
    std::memset(column + n, 0, width - n);
    return length > width - 1;
}

}  // namespace

void zta_read_padded(FBFR32* reply, FLDID32 field, long occurrence, char* column,
                     std::size_t width) {
    std::size_t length = 0;
    const char* value = zta_find_string(reply, field, occurrence, length);
    put_padded(column, width, value, length);
}

void zta_read_string(FBFR32* reply, FLDID32 field, long occurrence, char* column,
                     std::size_t width) {
    std::size_t length = 0;
    const char* value = zta_find_string(reply, field, occurrence, length);
    put_string(column, width, value, length);
}

long zta_read_long(FBFR32* reply, FLDID32 field, long occurrence) {
    if (occurrence < 0 || occurrence > INT_MAX) return 0;
    return zta_reply_long(reply, field, static_cast<FLDOCC32>(occurrence), 0);
}

bool zta_fill_columns(const zta::TableMeta& table, const FLDID32* fields, char* row, FBFR32* reply,
                      long occurrence, bool absent_untouched) {
    bool cut = false;
    // One lookup per column: its value, or its absence.
    for (unsigned short i = 0; i < table.num_columns; ++i) {
        const zta::ColumnMeta& c = table.columns[i];
        if (fields[i] == 0) continue;
        char* column = row + c.offset;
        if (c.type == zta::kColumnTypeInteger) {
            long value = 0;
            FLDLEN32 len = sizeof value;
            if (occurrence < 0 || occurrence > INT_MAX ||
                Fget32(reply, fields[i], static_cast<FLDOCC32>(occurrence), reinterpret_cast<char*>(&value),
                       &len) == -1) {
                if (absent_untouched) continue;
                value = 0;
            }
            const auto stored = static_cast<std::int32_t>(std::clamp<long>(value, INT32_MIN, INT32_MAX));
            std::memcpy(column, &stored, sizeof stored);
            continue;
        }
        std::size_t length = 0;
        const char* value = zta_find_string(reply, fields[i], occurrence, length);
        if (value == nullptr) {
            if (absent_untouched) continue;
            length = 0;
        }
        cut = (c.pad == zta::Pad::blank ? put_padded(column, c.size, value, length)
                                        : put_string(column, c.size, value, length)) ||
              cut;
    }
    return cut;
}

const FLDID32* zta_attribute_ids(const zta::TableMeta& table) {
    // One list per table, made at its first sample and never changed: the
    // field tables are read once per process. call_once makes the first use
    // safe should two threads sample at once.
    struct Ids {
        std::once_flag once;
        std::array<FLDID32, zta::kMaxColumns> ids{};
    };
    static std::array<Ids, zta::kNumTables + 1> lists;
    const auto number = static_cast<std::size_t>(table.number);
    Ids& list = lists.at(number < lists.size() ? number : 0);
    std::call_once(list.once, [&] {
        for (unsigned short i = 0; i < table.num_columns && i < list.ids.size(); ++i) {
            const char* name = table.columns[i].attribute;
            if (name[0] == '\0') continue;
            const FLDID32 id = Fldid32(zta_text(name));
            list.ids[i] = id == BADFLDID ? 0 : id;
        }
    });
    return list.ids.data();
}

long zta_reply_objects(FBFR32* reply, const zta::TableMeta& table, const FLDID32* fields,
                       long absent) {
    const long claimed = zta_reply_long(reply, zta::fld::TA_OCCURS, 0, absent);
    // The first object counts as the reply says, even with none of the
    // table's attributes (a row of null values, as the view gives it).
    long held = claimed > 0 ? 1 : 0;
    for (; held < claimed && held < INT_MAX; ++held) {
        bool any = false;
        for (unsigned short i = 0; i < table.num_columns && !any; ++i) {
            any = fields[i] != 0 &&
                  Ffind32(reply, fields[i], static_cast<FLDOCC32>(held), nullptr) != nullptr;
        }
        if (!any) break;
    }
    return held;
}
