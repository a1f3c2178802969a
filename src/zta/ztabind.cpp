// Routines of the table binding shared by all twenty tables (see
// zta_binding.h): column metadata, situation tests, adding rows, the push
// path, the trace dump and registration.
#include <array>
#include <cstring>
#include <mutex>
#include <string>

#include "ascii.h"
#include "zta_binding.h"

namespace zta {

int get_column_info(tavro& object, const TableMeta& table, ColumnInfo* info, int index) {
    if (index < 0 || index >= object.NumColumns() || index >= table.num_columns) {
        return ZTA_STATUS_BAD_COLUMN;
    }
    const ColumnMeta& c = table.columns[index];
    info->name = c.name;
    info->offset = c.offset;
    info->size = c.size;
    info->type = c.type;
    return ZTA_STATUS_OK;
}

namespace {

// "server_queue" in words: "Server queue".
std::string subject_words(const char* subject) {
    std::string words(subject);
    for (char& c : words)
        if (c == '_') c = ' ';
    if (!words.empty()) words[0] = zcommon::ToUpper(words[0]);
    return words;
}

AgwTableMode agw_mode(MetricsMode mode) {
    switch (mode) {
        case MetricsMode::rows: return AgwTableMode::rows;
        case MetricsMode::aggregate: return AgwTableMode::aggregate;
        case MetricsMode::none: break;
    }
    return AgwTableMode::none;
}

}  // namespace

const char* scope_label(const TableMeta& table) {
    if (table.scope == Scope::domain || table.scope_column < 0 || table.scope_column >= table.num_columns) return "";
    // A machine's objects carry their machine already when the column is
    // labelled so.
    if (table.scope == Scope::machine && std::strcmp(table.columns[table.scope_column].label, "lmid") == 0) return "";
    return "lmid";
}

int get_table_metrics(const TableMeta& table, AgwTableMetrics* info) {
    // "tuxedo_<subject>" and the subject in words of every table, made once
    // and kept for the process (the framework keeps the pointers).
    struct Names {
        std::string prefix;
        std::string subject;
    };
    static const std::array<Names, kNumTables> names = [] {
        std::array<Names, kNumTables> made;
        for (std::size_t i = 0; i < kNumTables; ++i) {
            made[i].prefix = std::string(kMetricsPrefix) + kTables[i].metric_subject;
            made[i].subject = subject_words(kTables[i].metric_subject);
        }
        return made;
    }();
    if (info == nullptr) return ZTA_STATUS_BAD_COLUMN;
    for (std::size_t i = 0; i < kNumTables; ++i) {
        if (kTables[i].number != table.number) continue;
        info->prefix = names[i].prefix.c_str();
        info->subject = names[i].subject.c_str();
        info->mode = agw_mode(table.metric_mode);
        info->rowLabel = scope_label(table);
        return ZTA_STATUS_OK;
    }
    return AGW_STATUS_NOT_SUPPORTED;
}

int get_column_metric(const TableMeta& table, AgwColumnMetric* metric, int index) {
    if (metric == nullptr || index < 0 || index >= table.num_columns) return ZTA_STATUS_BAD_COLUMN;
    const ColumnMeta& c = table.columns[index];
    static_assert(static_cast<int>(Role::time) == static_cast<int>(AgwMetricRole::time));
    metric->role = static_cast<AgwMetricRole>(c.role);
    metric->name = c.metric;
    metric->scale = c.scale;
    metric->help = c.help;
    metric->label = c.label;
    return ZTA_STATUS_OK;
}

int column_is_exception(tavro& object, const TableMeta& table, char* row, const char* column,
                        IntfOper op, char* threshold) {
    if (row == nullptr || column == nullptr) return 0;
    for (unsigned short i = 0; i < table.num_columns; ++i) {
        const ColumnMeta& c = table.columns[i];
        if (std::strcmp(column, c.upper) != 0) continue;
        if (c.type == kColumnTypeInteger) {
            std::int32_t value;
            std::memcpy(&value, row + c.offset, sizeof value);
            return object.IsException(op, static_cast<long>(value), threshold);
        }
        return object.IsException(op, row + c.offset, threshold, c.size);
    }
    return 0;
}

std::int32_t add_rows(tavro& object, TRC1_Block* trace, char* rows, int count,
                      unsigned row_size, int (*keeps)(tavro&, char* row)) {
    AGW_TRACE_ENTRY_AT(*trace);
    std::int32_t status = ZTA_STATUS_OK;
    for (int i = 0; i < count && status == ZTA_STATUS_OK; ++i) {
        char* row = rows + static_cast<std::size_t>(i) * row_size;
        if (keeps(object, row)) {
            // The index the row takes in this sample's rows (its ROWNO).
            AGW_TRACE_AT(*trace, AGW_TRC_ROW, "Passing row %u to InsertRow().", object.NumDataItems());
            status = object.InsertRow(row);
        }
    }
    AGW_TRACE_EXIT_VALUE_AT(*trace, status);
    return status;
}

std::int32_t add_data_to_event(TableManager& manager, char* rows, int count,
                               std::int32_t (*add)(tavro&, char* rows, int count)) {
    std::int32_t result = ZTA_STATUS_OK;
    manager.lock();
    TavroListIter it(manager.List());
    while (tavro* object = it.Next()) {
        tavro::UseHandle(object->Handle());
        add(*object, rows, count);  // each request keeps what passes its own filter
        const int status = object->Dispatch();
        if (status != 0) result = status;
        object->ClearCount();
        object->Drop();
    }
    manager.unlock();
    return result;
}

void print_self(tavro& object, const TableMeta& table, TRC1_Block* trace) {
    AGW_TRACE_ENTRY_AT(*trace);
    if (TRC1_Sync(trace) & AGW_TRC_DETAIL) {
        const int line = __LINE__;
        TRC1_PrintfClassAt(trace, __FILE__, line, 0, "zta_%s_base @%p <%u,%u>\n", table.name,
                    static_cast<void*>(&object), object.Identifier(), object.Handle());
        TRC1_PrintfClassAt(trace, __FILE__, line, 0, "\t::appl=%s,table=%s,interval=%d,samptype=%d\n",
                    object.ApplicationName(), object.TableName(), object._get_interval(),
                    static_cast<int>(object._get_sampletype()));
        object.DumpThresholds();
        TRC1_PrintfClassAt(trace, __FILE__, line, 0, "\t_data {\n");
        TRC1_PrintfClassAt(trace, __FILE__, line, 0, "\t\tcount=%d, allocated=%d, allocSize=%d\n",
                    static_cast<int>(object.NumDataItems()),
                    static_cast<int>(object.NumRowsAllocated()),
                    static_cast<int>(object.AllocationDefault()));
        for (std::uint32_t r = 0; r < object.NumDataItems(); ++r) {
            const char* row = object.Data(r);
            TRC1_PrintfClassAt(trace, __FILE__, line, 0, "\t\t{\n");
            for (unsigned short i = 0; i < table.num_columns; ++i) {
                const ColumnMeta& c = table.columns[i];
                if (c.type == kColumnTypeInteger) {
                    std::int32_t value;
                    std::memcpy(&value, row + c.offset, sizeof value);
                    TRC1_PrintfClassAt(trace, __FILE__, line, 0, "\t\t%s=%d\n", c.name, value);
                } else {
                    TRC1_PrintfClassAt(trace, __FILE__, line, 0, "\t\t%s=\"%.*s\"\n", c.name, static_cast<int>(c.size),
                                row + c.offset);
                }
            }
            TRC1_PrintfClassAt(trace, __FILE__, line, 0, "\t\t}\n");
        }
        TRC1_PrintfClassAt(trace, __FILE__, line, 0, "}\n");
    }
    AGW_TRACE_EXIT_AT(*trace);
}

char* no_row_text() {
    // Read-only in practice: callers only read accessor results. Shared by
    // every table and thread; filled once.
    static char blanks[kMaxTextWidth + 1] = {};
    static std::once_flag filled;
    std::call_once(filled, [] { std::memset(blanks, ' ', kMaxTextWidth); });
    return blanks;
}

std::int32_t register_manager(TableManager* manager) {
    if (manager == nullptr) return ZTA_STATUS_NO_MANAGER;
    return TableManager::RegisterWithManager(manager);
}

}  // namespace zta
