// Plain types shared by the framework and the agents it hosts: statuses,
// column descriptions, comparison operators and their names, sample types
// and the request a table object is made for.
#ifndef AGW_TYPES_H
#define AGW_TYPES_H

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// Statuses are 32-bit; 0 is success. The framework's own failures live in
// the 0x2105xxxx range so that they never collide with an agent's statuses.
constexpr std::int32_t AGW_STATUS_OK = 0;
constexpr std::int32_t AGW_STATUS_BAD_ARGUMENT = 0x21050001;   // null pointer, empty or over-long name
constexpr std::int32_t AGW_STATUS_DUPLICATE_TABLE = 0x21050002; // a manager already serves that table
constexpr std::int32_t AGW_STATUS_NO_MEMORY = 0x21050003;      // the row block could not grow
constexpr std::int32_t AGW_STATUS_NO_ROW_SIZE = 0x21050004;    // InsertRow before SetRowSize
constexpr std::int32_t AGW_STATUS_TOO_MANY_ROWS = 0x21050005;  // the row count would overflow
constexpr std::int32_t AGW_STATUS_BAD_HANDLE = 0x21050006;     // no live table object behind a handle
constexpr std::int32_t AGW_STATUS_NOT_IN_USE = 0x21050007;     // HDL1_Drop without a matching UseHandle
constexpr std::int32_t AGW_STATUS_NOT_SUPPORTED = 0x21050008;  // ExecuteCommand: no commands here
constexpr std::int32_t AGW_STATUS_SINK_FAILED = 0x21050009;    // rows could not be written out

// Column type codes of ColumnInfo::type.
constexpr unsigned short AGW_COLTYPE_INTEGER = 3;  // 32-bit signed, size 4
constexpr unsigned short AGW_COLTYPE_TEXT = 9;     // fixed-width character field, size = width

// One column of a table's row record, as a table object describes it.
struct ColumnInfo {
    const char* name;       // lower-case column name, lives as long as the process
    unsigned short offset;  // byte offset of the field in the row
    unsigned short size;    // field size in bytes (4 for an integer)
    unsigned short type;    // AGW_COLTYPE_INTEGER or AGW_COLTYPE_TEXT
};

// What a column is to the metrics endpoint (GET /metrics, see
// framework/README.md), as a table object describes it.
enum class AgwMetricRole : unsigned char {
    none,     // not exported
    key,      // a label naming the row's object; name = the label
    counter,  // a count that only grows; series <prefix>_<name>_total
    gauge,    // a value that goes up and down; series <prefix>_<name>
    state,    // a small enumeration: a label (label, else the column's name) of
              // the series <prefix>_<name> with value 1; columns naming the
              // same series share it
    time,     // a WB timestamp of a moment; series <prefix>_<name>_timestamp_seconds
};

// Every string lives as long as the process.
struct AgwColumnMetric {
    AgwMetricRole role = AgwMetricRole::none;
    const char* name = "";  // key: the label; others: the series part; lower-case snake case
    double scale = 1.0;     // counter and gauge: the integer times scale (e.g. 0.0001 for hundredths of a percent)
    const char* help = "";   // counter, gauge, time: the series' HELP, what it counts or
                             // measures and in which unit; "" for a text made from the column
    const char* label = "";  // key, state: the label the column gives; "" for name (key) or
                             // the column's name (state)
};

// How a table's rows become series.
enum class AgwTableMode : unsigned char {
    rows,       // every kept row gives its own series, labelled by its key columns
    aggregate,  // the kept rows counted, and their counters and gauges summed, by
                // the labels lmid, state and severity: <prefix>s and
                // <prefix>s_<name> (per-row series only for a request that asks
                // for them, RequestDetail::objects)
    none,       // not exported
};

struct AgwTableMetrics {
    const char* prefix = "";   // every series name of the table starts with it ("app_server")
    AgwTableMode mode = AgwTableMode::rows;
    const char* subject = "";  // what a row is, in words, to start HELP texts ("Server queue");
                               // "" for the prefix's words; lives as long as the process
    const char* rowLabel = "";  // the label MetricsRowScope adds to the rows' series ("lmid"), "" for none
};

// Threshold comparison operators: "column <op> threshold".
enum IntfOper : std::int32_t { EQ = 0, NE = 1, LT = 2, LE = 3, GT = 4, GE = 5 };

namespace agw {
// An operator's name, "EQ" ... "GE" (as requests and thresholds write it);
// "??" for a value outside the enum.
const char* OperatorName(IntfOper op);
// The operator a name says, in any case; false for anything else.
bool ParseOperator(std::string_view text, IntfOper* op);
}  // namespace agw

// What a table object samples for. A situation request's object may switch
// itself to situation sampling (and change its interval) while it is made.
enum IntfSampleType : std::int32_t {
    AGW_SAMPLE_SITUATION = 1,          // situation sampling
    AGW_SAMPLE_REPORT = 2,             // a report (demand) request
    AGW_SAMPLE_SITUATION_REQUEST = 4,  // a situation request, as it arrives
};

// One situation threshold: upper-case column name, operator, value text.
struct AgwThreshold {
    std::string column;
    IntfOper op = EQ;
    std::string value;
};

// A data request: what agwmain asks a table's manager to make an object for.
struct RequestDetail {
    std::string name;                     // the request's name, shown in every delivered row
    std::string table;                    // upper-case table name, e.g. "TXCLIENTS"
    IntfSampleType type = AGW_SAMPLE_REPORT;
    std::int32_t interval = 30;           // seconds between samples
    std::vector<AgwThreshold> thresholds; // all must hold for a row to be kept
    std::uint32_t id = 0;                 // request number, 1-based; 0 when made outside agwmain
    bool objects = false;                 // per-row series for a table exported in aggregate
    // The request file's settings for the agent's table objects, by section
    // and key ("mib.occurs" -> "200"); none for a setting not given.
    std::map<std::string, std::string> settings;
};

// Where a request came from.
struct ContextInfo {
    const char* source = "";  // the configuration file, or "" for the built-in requests
    std::uint32_t request = 0;  // RequestDetail::id
};

// A command for a table object and its outcome (ExecuteCommand and
// CommandCompleted). No table of this framework runs commands; the record is
// here so that table objects can override the two hooks.
struct TavroAutomationCapsule {
    std::int32_t status = AGW_STATUS_NOT_SUPPORTED;
    const char* command = nullptr;
    std::int32_t length = 0;
    const char* reply = nullptr;
};

#endif
