// The twenty tables of the agent: row records and column metadata.
//
// Everything here is derived from the table descriptions in tables/*.def, so a
// column is named, typed and placed in exactly one place. For each table <t>:
//
//   struct zta_<t>_data_t                 the row record: text N = char[N],
//                                          integer = int32_t; the natural C
//                                          layout gives the pad bytes the
//                                          framework expects (integers aligned
//                                          to 4, size a multiple of 4)
//   zta::TableTraits<zta_<t>_data_t>      number, names, view, MIB class,
//                                          kColumns[] (name, upper-case name,
//                                          offset, size, type code, attribute),
//                                          kNumColumns and kRowSize
//
// and for all tables zta::kTables (loader order) and zta::FindTable.
#ifndef ZTA_TABLES_H
#define ZTA_TABLES_H

#include <cstddef>
#include <cstdint>
#include <string_view>

// ---- Row records ----------------------------------------------------------

// clang-format off
#define ZTA_TABLE_BEGIN(number, name, upper, view, mibclass) struct zta_##name##_data_t {
#define ZTA_INT(column, upper, attribute, role) int32_t column;
#define ZTA_TEXT(column, upper, width, attribute, pad, role) char column[width];
#define ZTA_TABLE_END(name, rowsize)                                    \
    };                                                                  \
    static_assert(sizeof(zta_##name##_data_t) == (rowsize),             \
                  "row record of " #name " has the wrong size");
// clang-format on
#include "tables/zta_tables.def"

namespace zta {

// Column type codes of the framework's column description.
inline constexpr unsigned short kColumnTypeInteger = 3;
inline constexpr unsigned short kColumnTypeText = 9;
inline constexpr unsigned short kMinTextWidth = 2;
inline constexpr unsigned short kMaxTextWidth = 256;
// The most columns a table has.
inline constexpr unsigned short kMaxColumns = 64;

// How a text column holds its value (the description's pad field): blank,
// the value then blanks to the full width with no NUL; nul, a NUL-terminated
// string. Integer columns have none.
enum class Pad : unsigned char { none, blank, nul };

// What a column is to the metrics endpoint (the description's role field).
enum class Role : unsigned char {
    none,     // not exported
    key,      // a label naming the object (lmid, srvgrp, srvid, ...)
    counter,  // a count that only grows
    gauge,    // a value that goes up and down
    state,    // a small enumeration, exported as a label of a state series
    time,     // a WB timestamp of a moment
};

// How a table's rows become series (the description's ZTA_TABLE_METRICS).
enum class MetricsMode : unsigned char {
    rows,   // each row its own series, labelled by its key columns
    count,  // only the rows counted by their key columns
};

// One column of a table, in the order of the row record.
struct ColumnMeta {
    const char* name;       // lower-case name ("clientid")
    const char* upper;      // upper-case name used by situations ("CLIENTID")
    unsigned short offset;  // byte offset in the row record
    unsigned short size;    // 4 for an integer, the width for a text column
    unsigned short type;    // kColumnTypeInteger or kColumnTypeText
    const char* attribute;  // MIB attribute ("TA_CLIENTID"), "" when none
    Pad pad;                // how a text column is padded
    Role role;              // metrics role
    const char* metric;     // key: the label; state: the series; counter,
                            // gauge, time: the quantity in the series name
    double scale;           // counter, gauge: value = integer * scale
};

struct TableMeta {
    int number;             // 1 .. 20
    const char* name;       // lower-case table name ("txclients")
    const char* upper;      // table name served to the framework ("TXCLIENTS")
    const char* view;       // VIEW32 view of the row record, "" for none
    const char* mib_class;  // MIB class the sampler reads ("T_CLIENT")
    const ColumnMeta* columns;
    unsigned short num_columns;
    unsigned short row_size;
    const char* metric_subject;  // series names: tuxedo_<subject>_<quantity>...
    MetricsMode metric_mode;
};

namespace detail {

// Checks that a description is well formed: upper-case names are the
// lower-case names in upper case, text widths are in range, columns follow one
// another without overlap in the record, and every record starts with
// originnode, sampleno and rowno.
constexpr bool IsUpperOf(const char* upper, const char* lower) {
    for (; *lower != '\0'; ++lower, ++upper) {
        const char expected =
            (*lower >= 'a' && *lower <= 'z') ? static_cast<char>(*lower - 'a' + 'A') : *lower;
        if (*upper != expected) return false;
    }
    return *upper == '\0';
}

constexpr bool SameText(const char* a, const char* b) {
    return std::string_view(a) == std::string_view(b);
}

constexpr bool IsWellFormed(const ColumnMeta* columns, unsigned short count, std::size_t row_size) {
    if (count < 3 || count > kMaxColumns || !SameText(columns[0].name, "originnode") ||
        !SameText(columns[1].name, "sampleno") || !SameText(columns[2].name, "rowno"))
        return false;
    std::size_t end = 0;
    for (unsigned short i = 0; i < count; ++i) {
        const ColumnMeta& c = columns[i];
        if (!IsUpperOf(c.upper, c.name) || c.offset < end) return false;
        if (c.type == kColumnTypeInteger) {
            if (c.size != 4 || c.offset % 4 != 0) return false;
        } else if (c.type != kColumnTypeText || c.size < kMinTextWidth || c.size > kMaxTextWidth) {
            return false;
        }
        end = std::size_t{c.offset} + c.size;
    }
    return end <= row_size;
}

}  // namespace detail

template <class Row>
struct TableTraits;  // one specialisation per row record, below
template <class Row>
struct TableMetricsTraits;  // the table's ZTA_TABLE_METRICS, below

// A column's role field as data: role, metric name, scale. A role other than
// none names its label or series part: key(lmid), counter(requests),
// gauge(accessers), gauge(usage_ratio, 0.0001), state(state), time(start).
#define ZTA_ROLE(role) ZTA_ROLE_##role
#define ZTA_ROLE_none Role::none, "", 1.0
#define ZTA_ROLE_key(label) Role::key, #label, 1.0
#define ZTA_ROLE_counter(name, ...) Role::counter, #name, 1.0 __VA_OPT__(*(__VA_ARGS__))
#define ZTA_ROLE_gauge(name, ...) Role::gauge, #name, 1.0 __VA_OPT__(*(__VA_ARGS__))
#define ZTA_ROLE_state(series) Role::state, #series, 1.0
#define ZTA_ROLE_time(name) Role::time, #name, 1.0

// ---- Column metadata per table --------------------------------------------

// clang-format off
#define ZTA_TABLE_BEGIN(number, name, upper, view, mibclass)                        \
    template <>                                                                     \
    struct TableTraits<zta_##name##_data_t> {                                       \
        using row_type = zta_##name##_data_t;                                       \
        static constexpr int kNumber = (number);                                    \
        static constexpr const char* kName = #name;                                 \
        static constexpr const char* kUpperName = upper;                            \
        static constexpr const char* kView = view;                                  \
        static constexpr const char* kMibClass = mibclass;                          \
        static constexpr ColumnMeta kColumns[] = {
#define ZTA_INT(column, upper, attribute, role)                                     \
            {#column, upper, static_cast<unsigned short>(offsetof(row_type, column)), \
             4, kColumnTypeInteger, attribute, Pad::none, ZTA_ROLE(role)},
#define ZTA_TEXT(column, upper, width, attribute, pad, role)                        \
            {#column, upper, static_cast<unsigned short>(offsetof(row_type, column)), \
             (width), kColumnTypeText, attribute, Pad::pad, ZTA_ROLE(role)},
#define ZTA_TABLE_END(name, rowsize)                                                \
        };                                                                          \
        static constexpr unsigned short kNumColumns =                               \
            sizeof(kColumns) / sizeof(kColumns[0]);                                 \
        static constexpr unsigned short kRowSize = (rowsize);                       \
    };                                                                              \
    static_assert(detail::IsWellFormed(TableTraits<zta_##name##_data_t>::kColumns,  \
                                       TableTraits<zta_##name##_data_t>::kNumColumns, \
                                       sizeof(zta_##name##_data_t)),                \
                  "table description of " #name " is malformed");
#define ZTA_TABLE_METRICS(name, subject, mode)                                      \
    template <>                                                                     \
    struct TableMetricsTraits<zta_##name##_data_t> {                                \
        static constexpr const char* kSubject = subject;                            \
        static constexpr MetricsMode kMode = MetricsMode::mode;                     \
    };
// clang-format on
#include "tables/zta_tables.def"

// The metadata of a row record's table.
template <class Row>
constexpr TableMeta table_meta_of() {
    using T = TableTraits<Row>;
    using M = TableMetricsTraits<Row>;
    return TableMeta{T::kNumber, T::kName, T::kUpperName, T::kView, T::kMibClass,
                     T::kColumns, T::kNumColumns, T::kRowSize, M::kSubject, M::kMode};
}

// ---- All tables, in loader order -------------------------------------------

#define ZTA_TABLE_BEGIN(number, name, upper, view, mibclass) \
    TableMeta{TableTraits<zta_##name##_data_t>::kNumber,     \
              TableTraits<zta_##name##_data_t>::kName,       \
              TableTraits<zta_##name##_data_t>::kUpperName,  \
              TableTraits<zta_##name##_data_t>::kView,       \
              TableTraits<zta_##name##_data_t>::kMibClass,   \
              TableTraits<zta_##name##_data_t>::kColumns,    \
              TableTraits<zta_##name##_data_t>::kNumColumns, \
              TableTraits<zta_##name##_data_t>::kRowSize,    \
              TableMetricsTraits<zta_##name##_data_t>::kSubject, \
              TableMetricsTraits<zta_##name##_data_t>::kMode},
inline constexpr TableMeta kTables[] = {
#include "tables/zta_tables.def"
};
inline constexpr std::size_t kNumTables = sizeof(kTables) / sizeof(kTables[0]);

// The table with that lower- or upper-case name ("txclients", "TXCLIENTS"), or
// null.
constexpr const TableMeta* FindTable(std::string_view name) {
    for (const TableMeta& t : kTables)
        if (name == t.name || name == t.upper) return &t;
    return nullptr;
}

}  // namespace zta

#endif  // ZTA_TABLES_H
