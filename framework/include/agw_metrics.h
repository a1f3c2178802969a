// The metrics endpoint's registry as an agent sees it: the name prefix of the
// framework's own series and the series an agent keeps of its own health.
// The tables' series come from the table objects themselves
// (tavro::GetTableMetrics and GetColumnMetric).
#ifndef AGW_METRICS_H
#define AGW_METRICS_H

#include <string>
#include <string_view>
#include <utility>
#include <vector>

class tavro;

// Label name/value pairs of one series.
using AgwLabels = std::vector<std::pair<std::string, std::string>>;

// Prefix of the framework's own series: <prefix>_sample_duration_seconds,
// <prefix>_sample_rows, <prefix>_situation_raised. Default "agw". Call it
// before agwmain. Returns 0, or AGW_STATUS_BAD_ARGUMENT for a name that is
// not a valid series name.
int AGW_SetMetricsPrefix(const char* prefix);

// Series of the agent's own. A name is given one kind (gauge or counter) and
// one help text by its first use; a use with the other kind or an invalid
// name or label is ignored. Thread-safe; cheap enough for every MIB call.
// They are kept whether or not the endpoint is on.
void AGW_GaugeSet(const char* name, const char* help, const AgwLabels& labels, double value);
void AGW_CounterAdd(const char* name, const char* help, const AgwLabels& labels, double amount);

// Declares a series of the agent's own before it has a value (a counter of
// events that may never come), with the names of its labels: the catalogue
// (AGW_OwnFamilies) lists it from now on; a scrape shows it once it has a
// value. A name already in use keeps its kind and help.
void AGW_DeclareSeries(const char* name, const char* help, bool counter, const std::vector<std::string>& labels);

// Labels that every series served gets, the framework's and the tables' and
// the agent's own alike, and `own`, those that the process's own series
// (named with the prefix of AGW_SetMetricsPrefix) get besides, so that the
// health series of two processes differ (a series that has the label keeps
// its own value; an empty value leaves the label out). Replaces the
// previous sets. Thread-safe.
void AGW_SetCommonLabels(const AgwLabels& every, const AgwLabels& own = {});

// The agent's own reason why the endpoint's /-/ready should answer 503 (for
// example "not joined to the application"); null or "" when it has none.
// Thread-safe.
void AGW_SetNotReady(const char* reason);

// A setting of the request file's `metrics:` section (framework/README.md),
// "" when not given: "machine", "domain_wide". Set before the agent loader
// runs and never changed after.
const char* AGW_MetricsSetting(const char* key);

// When the endpoint serves a family of series.
enum class AgwServed : unsigned char {
    byDefault,      // by a start without a request file (every table a report request)
    withObjects,    // only for a report request with `objects: true` (the per-object series
                    // of a table exported in aggregate, which such a request serves instead)
    withSituation,  // only while a situation request runs
    onceCounted,    // once it has counted something (an outage of the row output, ...)
};

// One family of series as the endpoint serves it, for a catalogue of them
// (ztaquery --list): name, kind, HELP, the labels of its own (those of
// AGW_SetCommonLabels and a table's request label come besides), when it is
// served and, for a table's family, the columns it is made of.
struct AgwFamilyInfo {
    std::string name;
    bool counter = false;
    std::string help;
    std::vector<std::string> labels;
    AgwServed served = AgwServed::byDefault;
    std::vector<std::string> columns;
};

// The families a report request on `object`'s table serves, from the same
// descriptions the endpoint builds them from; perObject as a request with
// `objects: true` asks. Empty when the table is not exported.
std::vector<AgwFamilyInfo> AGW_TableFamilies(tavro& object, bool perObject);

// The families that are no table's: the framework's series of every
// request (sample duration, rows, ...), the agent's own series set or
// declared so far (AGW_GaugeSet, AGW_CounterAdd, AGW_DeclareSeries) and the
// process metrics.
std::vector<AgwFamilyInfo> AGW_OwnFamilies();

namespace agw {
// Prometheus' name rules, as the endpoint applies them (a series or label
// that breaks them is not served): a series name matches
// [a-zA-Z_:][a-zA-Z0-9_:]*, a label name [a-zA-Z_][a-zA-Z0-9_]*, and a name
// that starts with "__" is reserved for Prometheus' own use in either.
bool ValidMetricName(std::string_view name);
bool ValidLabelName(std::string_view name);
}  // namespace agw


#endif
