// The binding of a table to the framework, written once for all twenty
// tables: the table object base (column metadata, accessors, situations,
// AddData, the trace dump), the manager (CreateTavro, the push path) and the
// registration function. A table's binding header names its row record and
// lists its accessors from its description; everything else comes from here.
#ifndef ZTA_BINDING_H
#define ZTA_BINDING_H

#include <agw.h>

#include <cstdint>
#include <new>

#include "zta_agent.h"
#include "zta_scope.h"
#include "zta_tables.h"

namespace zta {

// Trace unit of a table's binding: "agwtxNNb".
template <int Number>
struct binding_unit {
    static_assert(Number >= 1 && Number <= 99);
    static constexpr char value[] = {'a', 'g', 'w', 't', 'x', static_cast<char>('0' + Number / 10),
                                     static_cast<char>('0' + Number % 10), 'b', '\0'};
};

// Routines shared by all tables; the templates below only forward to them
// with the table's metadata and trace blocks.
int get_column_info(tavro& object, const TableMeta& table, ColumnInfo* info, int index);
// Every series of the agent's tables starts with this, then the table's subject.
inline constexpr const char* kMetricsPrefix = "tuxedo_";
// The table's metrics description and one column's role, from its description.
int get_table_metrics(const TableMeta& table, AgwTableMetrics* info);
int get_column_metric(const TableMeta& table, AgwColumnMetric* metric, int index);
// Whether this agent exports a row's series, by the table's scope and where
// the agent stands in the domain (zta_scope.h), and the machine label a row
// of a server group gets.
bool metrics_row_scope(const TableMeta& table, const char* row, AgwLabels* extra);
// The label metrics_row_scope adds to a row's series ("lmid"), "" for none.
const char* scope_label(const TableMeta& table);
int column_is_exception(tavro& object, const TableMeta& table, char* row, const char* column,
                        IntfOper op, char* threshold);
void print_self(tavro& object, const TableMeta& table, TRC1_Block* trace);
// Offers `count` rows to the object: each row the request keeps
// (`keeps(row)`) goes to InsertRow, until InsertRow fails. Returns the first
// failing status, or 0.
std::int32_t add_rows(tavro& object, TRC1_Block* trace, char* rows, int count,
                      unsigned row_size, int (*keeps)(tavro&, char* row));
// The push path: under the manager's lock, every table object of the
// manager gets the rows (`add`), delivers them and clears its count. Returns
// the status of the last Dispatch that failed, or 0.
std::int32_t add_data_to_event(TableManager& manager, char* rows, int count,
                               std::int32_t (*add)(tavro&, char* rows, int count));
// Registration: stores the manager (null when it could not be made) and
// registers it. Returns ZTA_STATUS_NO_MANAGER or the framework's status.
std::int32_t register_manager(TableManager* manager);

template <class Row>
constexpr TableMeta table_meta() {
    return table_meta_of<Row>();
}

// The table object of a table: zta_<t>_base derives from it and adds only
// its accessors. Adds no data members to tavro.
template <class Row>
class table_base : public tavro {
public:
    using row_type = Row;
    static constexpr TableMeta kMeta = table_meta<Row>();
    static constexpr const char* kUnit = binding_unit<TableTraits<Row>::kNumber>::value;

    table_base(RequestDetail* request, ContextInfo* context, TableManager* manager)
        : tavro(request, context, manager) {
        static TRC1_Block trc = {AGW_BINDING_COMPONENT, kUnit, "Constructor", {}};
        AGW_TRACE_ENTRY(trc);
        SetRowSize(sizeof(Row));
        SetAllocationDefault(50);
        AGW_TRACE_EXIT(trc);
    }

    void PrintSelf() override {
        static TRC1_Block trc = {AGW_BINDING_COMPONENT, kUnit, "PrintSelf", {}};
        print_self(*this, kMeta, &trc);
    }
    int NumColumns() override { return kMeta.num_columns; }
    int GetColumnInfo(ColumnInfo* info, int index) override {
        return get_column_info(*this, kMeta, info, index);
    }
    int GetTableMetrics(AgwTableMetrics* info) override { return get_table_metrics(kMeta, info); }
    int GetColumnMetric(AgwColumnMetric* metric, int index) override {
        return get_column_metric(kMeta, metric, index);
    }
    bool MetricsRowScope(const char* row, AgwLabels* extra) const override {
        return metrics_row_scope(kMeta, row, extra);
    }
    void BeforeMetrics() override { zta_refresh_place(nullptr); }
    int ColumnIsException(char* row, char* column, IntfOper op, char* threshold) override {
        return column_is_exception(*this, kMeta, row, column, op, threshold);
    }

    // Offers `count` consecutive rows to the request; stores those it keeps.
    virtual std::int32_t AddData(Row* rows, int count = 1) {
        static TRC1_Block trc = {AGW_BINDING_COMPONENT, kUnit, "AddData", {}};
        return add_rows(*this, &trc, reinterpret_cast<char*>(rows), count, sizeof(Row),
                        [](tavro& object, char* row) {
                            return static_cast<table_base&>(object).IsRowException(
                                reinterpret_cast<Row*>(row));
                        });
    }

    Row* GetRow(int index = 0) { return reinterpret_cast<Row*>(Data(static_cast<unsigned>(index))); }
    int CheckDataIndex(int index) {
        return index >= 0 && static_cast<std::uint32_t>(index) < NumDataItems() ? 1 : 0;
    }
    // Nonzero when the request keeps the row.
    int IsRowException(Row* row) { return CheckForException(reinterpret_cast<char*>(row)); }
};

// A table object of the table that only describes it: never sampled, so
// it never joins.
template <class Base>
class described_table final : public Base {
public:
    using Base::Base;
    void TakeSample() override {}
};

// The manager of a table: zta_<t>_manager derives from it and supplies
// CreateTavro. `Derived` is the manager class, `Base` the table object base.
template <class Derived, class Base>
class table_manager : public TableManager {
public:
    using row_type = typename Base::row_type;

    table_manager(const char* application, const char* table) : TableManager(application, table) {}

    tavro* CreateDescription(RequestDetail* request, ContextInfo* context) override {
        return new (std::nothrow) described_table<Base>(request, context, this);
    }

    // The table's manager, set by the registration function; null before it
    // ran or when the manager could not be made. Written once while the agent
    // loads, before any request exists.
    static inline Derived* _static_manager = nullptr;

    // Rows pushed to every open request of the table.
    static std::int32_t EventArrived(row_type* rows, int count) {
        static TRC1_Block trc = {AGW_BINDING_COMPONENT, Base::kUnit, "EventArrived", {}};
        AGW_TRACE_ENTRY(trc);
        const std::int32_t result =
            _static_manager == nullptr ? 0 : _static_manager->AddDataToEvent(rows, count);
        AGW_TRACE_EXIT_VALUE(trc, result);
        return result;
    }

    std::int32_t AddDataToEvent(row_type* rows, int count) {
        return add_data_to_event(*this, reinterpret_cast<char*>(rows), count,
                                 [](tavro& object, char* r, int n) {
                                     return static_cast<Base&>(object).AddData(
                                         reinterpret_cast<row_type*>(r), n);
                                 });
    }

    // Makes the manager and registers it with the framework.
    static std::int32_t Register() {
        Derived* manager =
            new (std::nothrow) Derived(AGW_APPLICATION_NAME, Base::kMeta.upper);
        _static_manager = manager;
        return register_manager(manager);
    }
};

}  // namespace zta

namespace zta {
// What an accessor gives for a row index that names no stored row: blanks as
// wide as the widest text column, never memory outside the row block.
char* no_row_text();
}  // namespace zta

// Accessors of a table's columns, one per column, generated from its
// description inside the class zta_<t>_base:
//     #include "zta_accessors.inc"
//     #include "tables/<t>.def"
// A text column's accessor returns the field inside the row (bounded by its
// width, not necessarily terminated); an integer column's its value. An
// index outside the stored rows gives blanks or 0.
#define ZTA_ACCESSOR_INT(column)                     \
    std::int32_t _get_value_##column(int index = 0) { \
        if (!CheckDataIndex(index)) return 0;        \
        return GetRow(index)->column;                \
    }
#define ZTA_ACCESSOR_TEXT(column)                            \
    char* _get_value_##column(int index = 0) {                \
        if (!CheckDataIndex(index)) return zta::no_row_text(); \
        return GetRow(index)->column;                        \
    }

// The statics and the registration function of a binding source:
//     ZTA_BINDING_SOURCE(txclients, "TXCLIENTS", "13:48:26")
#define ZTA_BINDING_SOURCE(t, upper, time)                                                     \
    [[maybe_unused]] static const char* application = AGW_APPLICATION_NAME;                  \
    [[maybe_unused]] static const char* table = upper;                                       \
    [[maybe_unused]] [[gnu::used]] static const char* ident =                                \
        "@(#) TBX: ZTA." upper ", version: 0014 on 03/27/00 " time;                          \
    tavro* zta_##t##_manager::CreateTavro(RequestDetail* request, ContextInfo* context) {      \
        return new (std::nothrow) zta_##t##_agent(request, context, this);                   \
    }                                                                                        \
    std::int32_t zta_##t##_init() { return zta_##t##_manager::Register(); }

// The manager class of a binding header, declared after zta_<t>_base:
//     ZTA_BINDING_MANAGER(txclients)
// declares zta_txclients_manager and zta_txclients_init.
#define ZTA_BINDING_MANAGER(t)                                                         \
    class zta_##t##_manager                                                            \
        : public zta::table_manager<zta_##t##_manager, zta_##t##_base> {               \
    public:                                                                            \
        using table_manager::table_manager;                                            \
        tavro* CreateTavro(RequestDetail* request, ContextInfo* context) override;     \
    };                                                                                 \
    std::int32_t zta_##t##_init();

#endif  // ZTA_BINDING_H
