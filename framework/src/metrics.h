// The metrics endpoint (AGW_HTTP): what GET /metrics serves and the server
// that serves it.
//
// After every sample of a report request agwmain turns the kept rows into
// series (TableExport) and replaces that request's series in the registry in
// one step (Publish), so a scrape always sees whole samples: the latest
// complete one of each request, never a sample in progress. Objects that
// vanished from the table vanish from the series with the next sample.
#ifndef AGW_METRICS_INTERNAL_H
#define AGW_METRICS_INTERNAL_H

#include <prometheus/metric_family.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "agw_metrics.h"
#include "agw_types.h"

class tavro;

namespace agw {

using Families = std::vector<prometheus::MetricFamily>;

// AGW_HTTP's value as the listener's address: "host:port" with an IPv4
// address, "localhost" or a bracketed IPv6 address; ":port" is 127.0.0.1.
// Port 0 asks for any free port. False with *error saying what was expected.
bool ParseHttpAddress(std::string_view value, std::string* bind, std::string* error);

// A WB timestamp (century digit, YYMMDDHHMMSS, milliseconds; local time) as
// Unix seconds. False for blanks, zeros or anything that is not a valid time.
bool WbTimeToUnix(std::string_view text, double* seconds);

// A label value as the endpoint serves it: bytes that are not UTF-8 become
// U+FFFD (the text format escapes backslash, quote and newline itself).
std::string LabelValue(std::string_view bytes);

// The series of one request's rows, built from the table object's column and
// metric descriptions, read once when the request starts.
class TableExport {
public:
    // requestLabel: when not empty, every series also gets request="<it>"
    // (a table with more than one report request).
    // perObject: every row its own series even where the table is exported
    // in aggregate by default (the request asked for it).
    TableExport(tavro& object, std::string requestLabel, bool perObject = false);
    // False when the table object describes no metrics.
    bool Exported() const { return exported_; }
    // The series of `count` rows of `object` (the rows it kept in its latest
    // sample). A row the object leaves out of its scope (MetricsRowScope)
    // gives no series; the labels it adds join the row's keys.
    Families Build(const tavro& object, const char* rows, std::uint32_t count,
                   std::size_t rowSize) const;

private:
    struct Column {
        std::string column;  // the column's name
        std::size_t offset;
        std::size_t size;
        unsigned type;
        AgwMetricRole role;
        std::string name;  // label (key) or series name
        std::string help;
        double scale;
        std::string label;     // key and state: the label the column becomes
        std::string quantity;  // counter and gauge: the quantity's name
    };
    Families BuildAggregate(const tavro& object, const char* rows, std::uint32_t count,
                            std::size_t rowSize) const;
    static bool Summed(const Column& c);
    bool exported_ = false;
    AgwTableMode mode_ = AgwTableMode::rows;
    std::string prefix_;
    std::string table_;
    std::string requestLabel_;
    std::vector<Column> columns_;
};

// Everything /metrics serves. Process-wide (one endpoint per process); the
// scheduler publishes, the server's threads collect, the agent adds its own
// series from any thread: every member is guarded by mutex_.
class MetricsRegistry {
public:
    static MetricsRegistry& Instance();

    // Replaces the series of one request.
    void Publish(std::uint32_t request, Families families);
    void Withdraw(std::uint32_t request);

    void SetPrefix(std::string prefix);
    std::string Prefix() const;
    // Labels every series served gets (a series that has one of them keeps
    // its own value), and those that the process's own series (named with
    // the prefix) get besides; an empty value drops that label.
    void SetCommonLabels(const AgwLabels& every, const AgwLabels& own);
    void SetGauge(const std::string& name, const std::string& help, const AgwLabels& labels, double value);
    void AddCounter(const std::string& name, const std::string& help, const AgwLabels& labels, double amount);

    // The families of every request and of the health series; series of one
    // name are merged into one family, a repeated label set is served once.
    Families Collect() const;
    // Collect() in Prometheus' text format.
    std::string Exposition() const;
    // Readiness for scrapes: "" when every request in `expected` (the
    // exported report requests, ExpectRequests) has a published sample and
    // nobody said otherwise (SetNotReady), else one line saying why not.
    std::string NotReadyReason() const;
    void ExpectRequests(std::set<std::uint32_t> expected);
    // The agent's own reason not to be ready ("" or null: none).
    void SetNotReady(const char* reason);
    // The process is stopping: scrapes are answered 503 from now on.
    void SetShuttingDown(bool stopping);
    bool ShuttingDown() const;
    // Forgets every series (tests).
    void Clear();

private:
    struct Own {
        std::string help;
        bool counter = false;
        std::map<AgwLabels, double> values;
    };
    void Update(const std::string& name, const std::string& help, const AgwLabels& labels, double value,
                bool counter);

    mutable std::mutex mutex_;
    std::string prefix_ = "agw";
    std::map<std::uint32_t, Families> requests_;
    std::map<std::string, Own> own_;
    AgwLabels common_;
    AgwLabels commonOwn_;
    std::set<std::uint32_t> expected_;
    std::string notReady_;
    bool stopping_ = false;
};


// The HTTP server of GET /metrics.
class MetricsEndpoint {
public:
    // Listens on bind (ParseHttpAddress's form). Null with *error set when it
    // cannot (address in use, not an address of this machine).
    static std::unique_ptr<MetricsEndpoint> Start(const std::string& bind, std::string* error);
    virtual ~MetricsEndpoint() = default;
    // The port listened on (the one chosen when asked for port 0).
    virtual int Port() const = 0;
};

}  // namespace agw

#endif
