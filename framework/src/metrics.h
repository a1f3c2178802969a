// The metrics endpoint (AGW_HTTP): what GET /metrics serves and the server
// that serves it.
//
// After every sample of a report request agwmain turns the kept rows into
// series (TableExport) and replaces that request's series in the registry in
// one step (Publish), so a scrape always sees whole samples: the latest
// complete one of each request, never a sample in progress. Objects that
// vanished from the table vanish from the series with the next sample.
//
// Where each part lives: exposition.cpp writes the text format, tableexport.cpp
// turns rows into series, registry.cpp holds what is served, scrape.cpp reads
// it for a scrape, procmetrics.cpp the process metrics, endpoint.cpp serves
// it over HTTP and metrics.cpp is the agent's side (agw_metrics.h).
#ifndef AGW_METRICS_INTERNAL_H
#define AGW_METRICS_INTERNAL_H

#include <array>
#include <atomic>
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

// The kinds of series the endpoint serves.
enum class MetricType { counter, gauge };

// One family of series as a scrape serves it, rendered once when its sample
// is published: name, kind and HELP, then its sample lines in Prometheus'
// text format ("name{labels} value\n"). A sample is held as text only, a
// few dozen bytes per series, and a scrape copies the text as it is.
struct RenderedFamily {
    std::string name;
    MetricType type = MetricType::gauge;
    std::string help;
    std::string samples;
};
using Families = std::vector<RenderedFamily>;

// The process metrics (process_*) as Prometheus' client libraries name them,
// read from /proc now (procmetrics.cpp).
Families ProcessFamilies();

// True when an Accept-Encoding header (null: none) lets the answer be gzip.
bool AcceptsGzip(const char* header);

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

// A series the framework keeps of each request (or of the row output), named
// after the registry's prefix: agwmain and the sink set them, the catalogue
// (AGW_OwnFamilies) lists them.
struct FrameworkSeries {
    const char* suffix;  // after the prefix
    const char* help;
    std::array<const char*, 2> labels;  // nullptr: none
    AgwServed served;
    bool counter = false;
};
inline constexpr FrameworkSeries kSampleDurationSeries{
    "_sample_duration_seconds", "Duration of the latest sample.", {"table", "request"}, AgwServed::byDefault};
inline constexpr FrameworkSeries kSampleRowsSeries{
    "_sample_rows", "Rows kept by the latest sample.", {"table", "request"}, AgwServed::byDefault};
inline constexpr FrameworkSeries kLastCompleteSeries{
    "_last_complete_sample_timestamp_seconds",
    "When the request's latest complete sample was published, in Unix seconds.", {"table", "request"},
    AgwServed::byDefault};
inline constexpr FrameworkSeries kSituationSeries{
    "_situation_raised", "1 while the situation is raised, else 0.", {"situation", "table"}, AgwServed::withSituation};
inline constexpr FrameworkSeries kRowsDroppedSeries{
    "_rows_dropped_total", "Rows the row output could not take (full disk, write errors).", {nullptr, nullptr},
    AgwServed::onceCounted, true};
inline constexpr FrameworkSeries kSamplesSkippedSeries{
    "_samples_skipped_total", "Samples not taken because they could not start within half an interval of their due time.",
    {"request", nullptr}, AgwServed::byDefault, true};
inline constexpr std::array<const FrameworkSeries*, 6> kFrameworkSeries{
    &kSampleDurationSeries, &kSampleRowsSeries, &kLastCompleteSeries, &kSituationSeries, &kRowsDroppedSeries,
    &kSamplesSkippedSeries};

// One column of a table as its series see it.
struct ExportColumn {
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

// One family of a table's per-object series: a counter, gauge or time
// column, or the state columns of one series.
struct ExportFamily {
    std::string name;
    MetricType type;
    std::string help;
    std::vector<std::size_t> columns;  // indexes in ExportShape::columns
};

// What a table's per-object series are made of, read once from the table
// object's descriptions and shared by every sample it publishes.
struct ExportShape {
    std::vector<ExportColumn> columns;
    std::vector<ExportFamily> families;
    // A held row keeps only the bytes its families read: column i's bytes
    // start at packed[i] (keys are in the row's labels instead).
    std::vector<std::size_t> packed;
    std::size_t packedSize = 0;
};

// A text compressed for gzip scrapes: a raw deflate stream, with the CRC-32
// and length of the text. A stream that ends on a sync flush (no final
// block, on a byte boundary) can be followed by another, and streams joined
// that way under one gzip header and trailer make one valid gzip member.
struct DeflatedText {
    std::string bytes;
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
};

// A published sample's text compressed once, by the first gzip scrape that
// needs it; every other scrape of the same sample shares it.
struct DeflateMemo {
    std::once_flag once;
    std::shared_ptr<const DeflatedText> text;
};

// What one sample of a request publishes. A table served per object keeps
// its rows (the exported bytes of each kept row) and each row's labels as
// text; its sample lines are made only when a scrape reads them, family by
// family, so the latest sample costs little more than its rows. A counted
// table keeps its few families as text.
struct PublishedSample {
    Families rendered;
    std::shared_ptr<const ExportShape> shape;
    std::vector<char> rows;           // the kept rows, each packed to shape->packedSize bytes
    std::size_t rowSize = 0;          // shape->packedSize
    std::vector<std::string> labels;  // per kept row: its labels, sorted, as name="value",...
    // Its text for gzip scrapes, made when one first asks (scrape.cpp).
    std::shared_ptr<DeflateMemo> deflated = std::make_shared<DeflateMemo>();
};

// How a scrape wants its text: as it is, or gzip-compressed.
enum class Encoding { identity, gzip };

// The sample lines of one per-object family of `sample`, made from its held
// rows (when a scrape reads them), appended to `out`.
void RenderRows(const PublishedSample& sample, const ExportFamily& family, std::string& out);

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
    // The families Build serves (when the sample has rows to make them of),
    // for the catalogue: their names, kinds, help and labels.
    std::vector<AgwFamilyInfo> Catalogue() const;
    // The series of `count` rows of `object` (the rows it kept in its latest
    // sample). A row the object leaves out of its scope (MetricsRowScope)
    // gives no series; the labels it adds join the row's keys, then `common`
    // (the registry's CommonLabels) those the row does not carry itself; a
    // row whose labels repeat an earlier row's is served once (the first).
    PublishedSample Build(const tavro& object, const char* rows, std::uint32_t count, std::size_t rowSize,
                          const AgwLabels& common) const;

private:
    using Column = ExportColumn;
    PublishedSample BuildAggregate(const tavro& object, const char* rows, std::uint32_t count,
                                   std::size_t rowSize, const AgwLabels& common) const;
    static bool Summed(const Column& c);
    // The aggregated families: the count of the objects (when they have a
    // machine, state or severity to be counted by) and each summed column.
    bool Dimensioned() const;
    std::string CountName() const { return prefix_ + "s"; }
    std::string CountHelp() const;
    std::string SumName(const Column& c) const;
    std::string SumHelp(const Column& c) const;
    bool exported_ = false;
    // The label the table object adds to each row's series (AgwTableMetrics::rowLabel).
    std::string rowLabel_;
    AgwTableMode mode_ = AgwTableMode::rows;
    std::string prefix_;
    std::string table_;
    std::string requestLabel_;
    // The exported columns and the per-object families made of them; null
    // when the table is not exported.
    std::shared_ptr<const ExportShape> shape_;
};

// Everything /metrics serves. Process-wide (one endpoint per process); the
// scheduler publishes, the server's threads scrape, the agent adds its own
// series from any thread. Publishing and the own series replace immutable
// snapshots that scrapes read without waiting on either (see the members).
class MetricsRegistry {
public:
    static MetricsRegistry& Instance();

    // Replaces the series of one request.
    void Publish(std::uint32_t request, PublishedSample sample);
    void Withdraw(std::uint32_t request);

    void SetPrefix(std::string prefix);
    std::string Prefix() const;
    // Labels every series served gets (a series that has one of them keeps
    // its own value), and those that the process's own series (named with
    // the prefix) get besides; an empty value drops that label.
    void SetCommonLabels(const AgwLabels& every, const AgwLabels& own);
    // The labels every series gets, as SetCommonLabels set them.
    AgwLabels CommonLabels() const;
    void SetGauge(const std::string& name, const std::string& help, const AgwLabels& labels, double value);
    void AddCounter(const std::string& name, const std::string& help, const AgwLabels& labels, double amount);
    // A family of the own series before its first value (AGW_DeclareSeries).
    void Declare(const std::string& name, const std::string& help, bool counter, std::vector<std::string> labels);
    // Forgets one series of the own (a request that was stopped).
    void Drop(const std::string& name, const AgwLabels& labels);
    // The own families set or declared so far, for the catalogue.
    std::vector<AgwFamilyInfo> OwnCatalogue() const;

    // Everything served, in Prometheus' text format: the latest published
    // sample of every request, the process's own series and the process
    // metrics (process_*). Families of one name are served together under one
    // HELP and TYPE. Takes no lock that publishing or sampling takes: it
    // reads immutable snapshots. Exposition() makes the whole text;
    // OpenExposition() hands it out a family at a time, for a server that
    // sends it in pieces.
    //
    // gzip: the same series as one gzip member. Each request's published
    // sample is compressed once, by the first gzip scrape after it was
    // published, and shared by every later one; only the own and process
    // series (and a request's families whose names another part also
    // serves, which must stay together) are compressed at each scrape. The
    // order of families may differ from the plain text's.
    std::string Exposition(Encoding encoding = Encoding::identity) const;
    class Reader {
    public:
        virtual ~Reader() = default;
        // The next piece of the text, empty at the end.
        virtual const std::string& Next() = 0;
    };
    std::unique_ptr<Reader> OpenExposition(Encoding encoding = Encoding::identity) const;
    // Published samples compressed for gzip scrapes so far (tests: one per
    // sample, whatever the number of scrapes).
    std::uint64_t Compressions() const { return compressions_.load(std::memory_order_relaxed); }
    // Scrapes of /metrics the endpoint serves at once; beyond them it
    // answers 503 at once (the request file's metrics: max_scrapes).
    void SetScrapeLimit(unsigned limit);
    unsigned ScrapeLimit() const;
    static constexpr unsigned kDefaultScrapeLimit = 40;
    // Bytes the published samples hold (benchmarks).
    std::size_t HeldBytes() const;
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

    // The rows endpoint (the request file's metrics: rows_endpoint: true):
    // per report request, the JSON Lines of its latest complete sample, as
    // the agent delivered them. One copy of each request's rows is held.
    struct RequestRows {
        std::string request;
        std::string table;
        int interval = 0;
        std::uint32_t sample = 0;                  // the sample the lines are of; 0: none yet
        std::shared_ptr<const std::string> lines;  // null until the first complete sample
    };
    using RowsTable = std::vector<RequestRows>;
    // Turns the rows endpoint on with these requests (no rows yet), or off
    // with an empty table and on == false.
    void SetRowRequests(bool on, RowsTable requests);
    // Replaces the rows of requests[slot] (SetRowRequests' order).
    void PublishRows(std::size_t slot, std::uint32_t sample, std::shared_ptr<const std::string> lines);
    // What the endpoint serves; null when it is off. Takes no lock.
    std::shared_ptr<const RowsTable> Rows() const;

private:
    struct Own {
        std::string help;
        bool counter = false;
        std::vector<std::string> labels;  // the names of the labels of its first series or declaration
        std::map<AgwLabels, double> values;
    };
    // What the requests published: replaced whole by each Publish and
    // Withdraw (under publishMutex_, which only publishers take) and read by
    // scrapes through the atomic pointer.
    using Snapshot = std::map<std::uint32_t, std::shared_ptr<const PublishedSample>>;
    void Update(const std::string& name, const std::string& help, const AgwLabels& labels, double value,
                bool counter);
    // Renders the own series again (under ownMutex_).
    void RenderOwn();
    void Replace(std::uint32_t request, std::shared_ptr<const PublishedSample> sample);

    std::atomic<std::shared_ptr<const Snapshot>> published_{std::make_shared<const Snapshot>()};
    std::mutex publishMutex_;
    std::atomic<std::shared_ptr<const Families>> ownRendered_{std::make_shared<const Families>()};
    mutable std::mutex ownMutex_;  // own_ and its rendering
    // The rows endpoint's table: replaced whole by each PublishRows (under
    // rowsMutex_, which only the sampling thread takes), read by scrapes
    // through the atomic pointer; null while the endpoint is off.
    std::atomic<std::shared_ptr<const RowsTable>> rows_;
    std::mutex rowsMutex_;
    mutable std::atomic<std::uint64_t> compressions_{0};  // counted by scrapes on any thread
    std::map<std::string, Own> own_;

    // Settings and readiness, small and read rarely: guarded by mutex_.
    mutable std::mutex mutex_;
    std::string prefix_ = "agw";
    AgwLabels common_;
    AgwLabels commonOwn_;
    std::set<std::uint32_t> expected_;
    std::string notReady_;
    bool stopping_ = false;
    unsigned scrapeLimit_ = kDefaultScrapeLimit;
};


struct WebConfig;  // webconfig.h

// The HTTP server of the endpoint (endpoint.cpp): GET or HEAD of /metrics
// (the registry's Exposition), / (a page linking it), /-/healthy and
// /-/ready (NotReadyReason), /api/v1/requests and /api/v1/rows (Rows; 404
// while it is off); 503 on every path while ShuttingDown. TLS,
// client certificates and basic authentication as `web` asks.
class MetricsEndpoint {
public:
    // Listens on bind (ParseHttpAddress's form). Null with *error set when it
    // cannot (address in use, not an address of this machine).
    static std::unique_ptr<MetricsEndpoint> Start(const std::string& bind, const WebConfig& web, std::string* error);
    virtual ~MetricsEndpoint() = default;
    // The port listened on (the one chosen when asked for port 0).
    virtual int Port() const = 0;
    // An endpoint with another web configuration on this one's listening
    // socket, serving already when it is returned; this one then takes no
    // more connections (its requests under way finish) and is destroyed by
    // the caller. Null with *error set when it cannot start: this one
    // serves on unchanged.
    virtual std::unique_ptr<MetricsEndpoint> Reconfigure(const WebConfig& web, std::string* error) = 0;
};

}  // namespace agw

#endif
