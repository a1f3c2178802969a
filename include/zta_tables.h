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
//                                          offset, size, type code, attribute,
//                                          pad, metrics role, help, label),
//                                          kNumColumns, kRowSize and the
//                                          metrics: kSubject, kMode, kScope,
//                                          kScopeColumn
//
// and for all tables zta::kTables (loader order) and zta::FindTable.
#ifndef ZTA_TABLES_H
#define ZTA_TABLES_H

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ascii.h"

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
    rows,       // each row its own series, labelled by its key columns
    aggregate,  // objects that come and go with traffic: counts and sums by
                // machine and state
    none,       // no series of the table's own
};

// Where a table's objects live, so that one agent per machine exports each
// object once (the description's ZTA_TABLE_METRICS).
enum class Scope : unsigned char {
    domain,   // domain-wide: exported by one agent of the domain only
    machine,  // on the machine named by the scope column (an LMID)
    group,    // on the machine of the server group named by the scope column
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
    const char* help;       // counter, gauge, time: what the value counts or
                            // measures and in which unit; "" otherwise
    const char* label;      // key, state: the label the column gives; ""
                            // otherwise
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
    Scope scope;                 // where the objects live
    int scope_column;            // machine, group: index in columns of the
                                 // column naming the LMID or group; -1 for domain
};

namespace detail {

// Checks that a description is well formed: upper-case names are the
// lower-case names in upper case, text widths are in range, columns follow one
// another without overlap in the record, and every record starts with
// originnode, sampleno and rowno.
constexpr bool IsUpperOf(const char* upper, const char* lower) {
    for (; *lower != '\0'; ++lower, ++upper) {
        if (*upper != zcommon::ToUpper(*lower)) return false;
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

// Checks that every exported column says what it is: counters, gauges and
// times have their help, keys and states their label.
constexpr bool RolesAreDescribed(const ColumnMeta* columns, unsigned short count) {
    for (unsigned short i = 0; i < count; ++i) {
        const ColumnMeta& c = columns[i];
        switch (c.role) {
            case Role::none:
                break;
            case Role::key:
            case Role::state:
                if (*c.label == '\0' || *c.metric == '\0') return false;
                break;
            case Role::counter:
            case Role::gauge:
            case Role::time:
                if (*c.help == '\0' || *c.metric == '\0') return false;
                break;
        }
    }
    return true;
}

// The index of the column of that name, or -1 when there is none.
constexpr int ColumnIndex(const ColumnMeta* columns, unsigned short count, const char* name) {
    for (unsigned short i = 0; i < count; ++i)
        if (SameText(columns[i].name, name)) return i;
    return -1;
}

// The scope field of ZTA_TABLE_METRICS as data; column is "" for domain.
struct ScopeDecl {
    Scope scope;
    const char* column;
};

}  // namespace detail

template <class Row>
struct TableTraits;  // one specialisation per row record, below
template <class Row>
struct TableMetricsTraits;  // the table's ZTA_TABLE_METRICS as written, below

// A column's role field as data: role, metric name, scale, help, label. A
// role other than none names its label or series part: key(lmid),
// counter(requests, "help"), gauge(accessers, "help"),
// gauge(accessers_usage_ratio, "help", 0.0001), state(info, user),
// time(start, "help").
#define ZTA_ROLE(role) ZTA_ROLE_##role
#define ZTA_ROLE_none Role::none, "", 1.0, "", ""
#define ZTA_ROLE_key(label) Role::key, #label, 1.0, "", #label
#define ZTA_ROLE_counter(name, help) Role::counter, #name, 1.0, help, ""
#define ZTA_ROLE_gauge(name, help, ...) Role::gauge, #name, 1.0 __VA_OPT__(*(__VA_ARGS__)), help, ""
#define ZTA_ROLE_state(series, label) Role::state, #series, 1.0, "", #label
#define ZTA_ROLE_time(name, help) Role::time, #name, 1.0, help, ""

// The scope field of ZTA_TABLE_METRICS as data: domain, machine(column),
// group(column).
#define ZTA_SCOPE(scope) ZTA_SCOPE_##scope
#define ZTA_SCOPE_domain Scope::domain, ""
#define ZTA_SCOPE_machine(column) Scope::machine, #column
#define ZTA_SCOPE_group(column) Scope::group, #column

// ---- Metrics of each table, as written ---------------------------------------

// clang-format off
#define ZTA_TABLE_METRICS(name, subject, mode, scope)                               \
    template <>                                                                     \
    struct TableMetricsTraits<zta_##name##_data_t> {                                \
        static constexpr const char* kSubject = subject;                            \
        static constexpr MetricsMode kMode = MetricsMode::mode;                     \
        static constexpr detail::ScopeDecl kScope = {ZTA_SCOPE(scope)};             \
    };
// clang-format on
#include "tables/zta_tables.def"

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
        using metrics_type = TableMetricsTraits<row_type>;                          \
        static constexpr const char* kSubject = metrics_type::kSubject;             \
        static constexpr MetricsMode kMode = metrics_type::kMode;                   \
        static constexpr Scope kScope = metrics_type::kScope.scope;                 \
        static constexpr int kScopeColumn =                                         \
            detail::ColumnIndex(kColumns, kNumColumns, metrics_type::kScope.column); \
    };                                                                              \
    static_assert(detail::IsWellFormed(TableTraits<zta_##name##_data_t>::kColumns,  \
                                       TableTraits<zta_##name##_data_t>::kNumColumns, \
                                       sizeof(zta_##name##_data_t)),                \
                  "table description of " #name " is malformed");                  \
    static_assert(detail::RolesAreDescribed(TableTraits<zta_##name##_data_t>::kColumns, \
                                            TableTraits<zta_##name##_data_t>::kNumColumns), \
                  "a metrics role of " #name " lacks its help or label");          \
    static_assert((TableTraits<zta_##name##_data_t>::kScope == Scope::domain) ==    \
                      (TableTraits<zta_##name##_data_t>::kScopeColumn < 0),         \
                  "the scope column of " #name " is not one of its columns");
// clang-format on
#include "tables/zta_tables.def"

// The metadata of a row record's table.
template <class Row>
constexpr TableMeta table_meta_of() {
    using T = TableTraits<Row>;
    return TableMeta{T::kNumber,  T::kName,      T::kUpperName, T::kView,  T::kMibClass,
                     T::kColumns, T::kNumColumns, T::kRowSize,  T::kSubject, T::kMode,
                     T::kScope,   T::kScopeColumn};
}

// ---- All tables, in loader order -------------------------------------------

#define ZTA_TABLE_BEGIN(number, name, upper, view, mibclass) table_meta_of<zta_##name##_data_t>(),
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
