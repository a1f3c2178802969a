// The framework's main routine: requests in, table objects made, samples run
// on this thread in due order, rows delivered, everything destroyed at
// shutdown.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <set>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agw_internal.h"
#include "agw_signal.h"
#include "agw_table.h"
#include "agw_tbx.h"
#include "agw_trace.h"
#include "config.h"
#include "json.h"
#include "metrics.h"
#include "printable.h"
#include "regular_file.h"
#include "scheduler.h"
#include "scope_guard.h"
#include "sink.h"
#include "webconfig.h"

namespace agw {

namespace {

TRC1_Block gMainTrace = {"AGW100", "agwmain", "agwmain"};
TRC1_Block gSampleTrace = {"AGW100", "agwmain", "Sample"};

constexpr int kDefaultInterval = 30;
constexpr int kFailure = 2;

void StopOnSignal(int /*code*/) { TBX_Shutdown(1); }

// One request and its table object: a scheduler task.
class RequestRun : public Scheduler::Task {
public:
    RequestRun(ConfigRequest request, const std::string& source)
        : request_(std::move(request)), source_(source), context_{source_.c_str(), request_.detail.id} {}
    ~RequestRun() override {
        if (object != nullptr) manager->DeleteTableObject(object);
    }
    RequestRun(const RequestRun&) = delete;
    RequestRun& operator=(const RequestRun&) = delete;

    ConfigRequest& Request() { return request_; }
    ContextInfo* Context() { return &context_; }
    tavro* object = nullptr;
    TableManager* manager = nullptr;
    std::uint32_t index = 0;                 // the run's number, names its series in the registry
    std::unique_ptr<TableExport> exported;   // set when the endpoint serves this request's rows
    // Set when the rows endpoint keeps this request's latest rows: their
    // JSON Lines form and the request's place in the registry's table.
    std::unique_ptr<RowFormat> rowsFormat;
    std::size_t rowsSlot = 0;
    // Freshness of the exported series: the scheduler's clock, every run (to
    // withdraw the stale ones) and when this run last published a complete
    // sample (-1: never). Used on the scheduler's thread only.
    Clock* clock = nullptr;
    const std::vector<std::unique_ptr<RequestRun>>* all = nullptr;
    std::int64_t lastCompleteMs = -1;
    bool withdrawn = false;

    int IntervalSeconds() override { return object->Interval(); }

    // Due times the scheduler could not keep: counted, and traced once per
    // run of them. Nothing else changes: no rows, no record, the situation
    // stays as its last sample left it.
    void Skipped(std::uint64_t samples, std::int64_t lateMs) override {
        MetricsRegistry& registry = MetricsRegistry::Instance();
        registry.AddCounter(registry.Prefix() + kSamplesSkippedSeries.suffix, kSamplesSkippedSeries.help,
                            {{"request", object->RequestName()}}, static_cast<double>(samples));
        if (samples == 0 || skipping_) return;
        skipping_ = true;
        AGW_TRACE(gSampleTrace, AGW_TRC_STATE,
                  "request \"%s\": %llu sample(s) skipped, the first %lld ms behind its due time; "
                  "sampling goes on at the next due time",
                  object->RequestName().c_str(), static_cast<unsigned long long>(samples),
                  static_cast<long long>(lateMs));
    }

    void Run() override {
        skipping_ = false;
        std::lock_guard<TableManager> hold(*manager);  // the push path of the same table must not interleave
        object->BeginSample();
        AGW_TRACE(gSampleTrace, AGW_TRC_DETAIL, "sample %u of request \"%s\" on %s", object->SampleNumber(),
                  object->RequestName().c_str(), object->TableName());
        auto start = std::chrono::steady_clock::now();
        try {
            object->TakeSample();
        } catch (const std::exception& e) {
            object->MarkSampleIncomplete();
            std::fprintf(stderr, "agwmain: request \"%s\": the sample of %s failed: %s\n",
                         object->RequestName().c_str(), object->TableName(), e.what());
        } catch (...) {
            object->MarkSampleIncomplete();
            std::fprintf(stderr, "agwmain: request \"%s\": the sample of %s failed\n",
                         object->RequestName().c_str(), object->TableName());
        }
        std::uint32_t kept = object->NumDataItems();
        Account(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), kept);
        object->Dispatch();
        // An incomplete sample may raise a situation but never clears one.
        const bool holds = kept > 0;
        // Incomplete samples are a state the request enters and leaves:
        // said when it changes, each such sample only in detail.
        if (object->SampleIncomplete() || incomplete_) {
            const std::string& why = object->SampleIncompleteReason();
            const bool changed = object->SampleIncomplete() != incomplete_;
            incomplete_ = object->SampleIncomplete();
            if (!incomplete_) {
                AGW_TRACE(gSampleTrace, AGW_TRC_STATE, "request \"%s\": sample %u is complete again",
                          object->RequestName().c_str(), object->SampleNumber());
            } else if (changed) {
                AGW_TRACE(gSampleTrace, AGW_TRC_STATE, "request \"%s\": sample %u is incomplete (%u rows kept)%s%s",
                          object->RequestName().c_str(), object->SampleNumber(), kept, why.empty() ? "" : ": ",
                          why.c_str());
            } else {
                AGW_TRACE(gSampleTrace, AGW_TRC_DETAIL, "sample %u of request \"%s\" is incomplete (%u rows kept)%s%s",
                          object->SampleNumber(), object->RequestName().c_str(), kept, why.empty() ? "" : ": ",
                          why.c_str());
            }
        }
        if (object->RequestType() != AGW_SAMPLE_REPORT && holds != raised_ &&
            (holds || !object->SampleIncomplete())) {
            raised_ = kept > 0;
            std::string event;
            AppendSituationEvent(event, object->RequestName(), object->TableName(), raised_, kept,
                                 UtcTime(StampClockNow()));
            CurrentSink()->Write(event);
            AGW_TRACE(gSampleTrace, AGW_TRC_STATE, "situation \"%s\" %s with %u rows", object->RequestName().c_str(),
                      raised_ ? "raised" : "cleared", kept);
            ShowSituation();
        }
        // The sample's last line: what it delivered and whether it was whole.
        std::string record;
        AppendSampleRecord(record, object->SampleNumber(), object->RequestName(), object->TableName(),
                           object->RowsDelivered(), !object->SampleIncomplete(), object->SampleIncompleteReason(),
                           UtcTime(StampClockNow()));
        CurrentSink()->Write(record);
        object->ClearCount();
    }

    // The situation's series, 0 until it is raised.
    void ShowSituation() {
        if (object->RequestType() == AGW_SAMPLE_REPORT) return;
        MetricsRegistry& registry = MetricsRegistry::Instance();
        registry.SetGauge(registry.Prefix() + kSituationSeries.suffix, kSituationSeries.help, SituationLabels(),
                          raised_ ? 1 : 0);
    }

    // The request stops: its series are withdrawn, its own series dropped.
    void Forget() {
        MetricsRegistry& registry = MetricsRegistry::Instance();
        registry.Withdraw(index);
        for (const FrameworkSeries* series : {&kSampleDurationSeries, &kSampleRowsSeries, &kLastCompleteSeries}) {
            registry.Drop(registry.Prefix() + series->suffix, Labels());
        }
        registry.Drop(registry.Prefix() + kSituationSeries.suffix, SituationLabels());
    }

private:
    // The labels of the request's own series.
    AgwLabels Labels() const { return {{"table", object->TableName()}, {"request", object->RequestName()}}; }
    AgwLabels SituationLabels() const {
        return {{"situation", object->RequestName()}, {"table", object->TableName()}};
    }

    // The sample's health series and, for an exported report, its rows: the
    // request's series are replaced in one step, after the sample is whole;
    // a sample the table object marked incomplete leaves the previous one.
    void Account(double seconds, std::uint32_t kept) {
        MetricsRegistry& registry = MetricsRegistry::Instance();
        const AgwLabels labels = Labels();
        registry.SetGauge(registry.Prefix() + kSampleDurationSeries.suffix, kSampleDurationSeries.help, labels,
                          seconds);
        registry.SetGauge(registry.Prefix() + kSampleRowsSeries.suffix, kSampleRowsSeries.help, labels, kept);
        if (exported && !object->SampleIncomplete()) {
            object->BeforeMetrics();
            registry.Publish(index, exported->Build(*object, object->Data(0), kept, object->DataSize(),
                                                    registry.CommonLabels()));
            withdrawn = false;
            if (clock != nullptr) lastCompleteMs = clock->NowMs();
            const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
            registry.SetGauge(registry.Prefix() + kLastCompleteSeries.suffix, kLastCompleteSeries.help, labels, now);
        }
        if (rowsFormat && !object->SampleIncomplete()) KeepRows(kept);
        WithdrawStale();
    }

    // The rows endpoint's copy of a complete sample, the lines Dispatch
    // delivers for it, made once and shared by every reader.
    void KeepRows(std::uint32_t kept) {
        auto lines = std::make_shared<std::string>();
        const std::string time = UtcTime(StampClockNow());
        for (std::uint32_t i = 0; i < kept; ++i) rowsFormat->Append(*lines, object->Data(i), object->DataSize(), time);
        lines->shrink_to_fit();  // held until the next sample: no room to spare
        MetricsRegistry::Instance().PublishRows(rowsSlot, object->SampleNumber(), std::move(lines));
    }

    // The series of a request whose latest complete sample is older than
    // twice its interval say nothing true any more: they are withdrawn, so
    // that a dashboard shows a gap rather than frozen values, until the
    // request's next complete sample.
    void WithdrawStale() {
        if (clock == nullptr || all == nullptr) return;
        const std::int64_t now = clock->NowMs();
        for (const auto& run : *all) {
            if (!run->exported || run->withdrawn || run->lastCompleteMs < 0 || run->object == nullptr) continue;
            const std::int64_t limitMs = 2LL * 1000 * run->object->Interval();
            if (now - run->lastCompleteMs > limitMs) {
                MetricsRegistry::Instance().Withdraw(run->index);
                run->withdrawn = true;
                AGW_TRACE(gSampleTrace, AGW_TRC_STATE, "request \"%s\": no complete sample for %lld s; its series are withdrawn",
                          run->object->RequestName().c_str(), static_cast<long long>((now - run->lastCompleteMs) / 1000));
            }
        }
    }

    ConfigRequest request_;
    std::string source_;  // the request file's name, which context_ points to
    ContextInfo context_;
    bool raised_ = false;
    bool skipping_ = false;  // the last due time was skipped (told once per run of skips)
    bool incomplete_ = false;  // the latest sample was incomplete
};

std::string TableList() {
    std::string list;
    for (TableManager* manager : TableManager::Registered()) {
        if (!list.empty()) list += ", ";
        list += manager->TableName();
    }
    return list.empty() ? "none registered" : list;
}

// Checks the request's thresholds against the object's columns. Empty when
// they are sound, else what was expected.
std::string CheckThresholds(tavro& object, const RequestDetail& request) {
    for (const AgwThreshold& threshold : request.thresholds) {
        ColumnInfo found{};
        if (!FindColumn(object, threshold.column, &found)) {
            return "threshold column \"" + threshold.column + "\": expected a column of " + request.table;
        }
        if (found.type == AGW_COLTYPE_INTEGER && !ParseDecimal(threshold.value.c_str(), nullptr)) {
            return "threshold on " + threshold.column + ": expected a decimal integer, got \"" + threshold.value + "\"";
        }
    }
    return {};
}

// The request file's metrics settings, for AGW_MetricsSetting. Process-wide
// because the agent asks for them from its own code; written once by RunMain
// before the agent loader runs and only read after, on any thread.
std::map<std::string, std::string>& MetricsSettings() {
    static std::map<std::string, std::string> settings;
    return settings;
}
void SetMetricsSettings(const std::map<std::string, std::string>& settings) {
    MetricsSettings() = settings;
    auto scrapes = settings.find("max_scrapes");  // checked by LoadConfig
    MetricsRegistry::Instance().SetScrapeLimit(
        scrapes == settings.end() ? MetricsRegistry::kDefaultScrapeLimit
                                  : static_cast<unsigned>(std::strtoul(scrapes->second.c_str(), nullptr, 10)));
}

std::string Where(const Config& config, const ConfigRequest& request) {
    std::string where = config.source.empty() ? "built-in requests" : zcommon::Printable(config.source);
    if (request.line > 0) where += ":" + std::to_string(request.line);
    return where + ": request \"" + zcommon::Printable(request.detail.name) + "\": ";
}

// Whether two requests ask for the same: a request of a reloaded file that
// the running configuration has already goes on as it is.
bool SameRequest(const RequestDetail& a, const RequestDetail& b) {
    auto same = [](const AgwThreshold& x, const AgwThreshold& y) {
        return x.column == y.column && x.op == y.op && x.value == y.value;
    };
    return a.name == b.name && a.table == b.table && a.type == b.type && a.interval == b.interval &&
           a.objects == b.objects &&
           std::equal(a.thresholds.begin(), a.thresholds.end(), b.thresholds.begin(), b.thresholds.end(), same);
}

// The metrics endpoint's settings: AGW_HTTP and its web configuration.
struct EndpointSettings {
    std::string http;  // AGW_HTTP as given; empty: no endpoint
    std::string bind;  // its address, as ParseHttpAddress gives it
    WebConfig web;
};

// What one run of the main routine holds, step by step. Its members go in
// the reverse of their order here, and that is the one way back, for a start
// that failed at any step as for a stop: the table objects first (their last
// rows still reach the run's output), then the previous row output and the
// signals' actions are put back, then the endpoint stops and the outputs
// close. A guard does nothing until its step has taken what it gives back.
// A reload (SIGHUP) changes the requests, the endpoint and the output in
// place, on the scheduler's thread, between samples.
struct Session {
    Config config;
    bool requestFile = false;  // AGW_CONFIG named the requests
    std::unique_ptr<RowSink> sink;
    // Outputs a reload replaced: a writer on the push path may still hold
    // one, so they are closed at the end only.
    std::vector<std::unique_ptr<RowSink>> retiredSinks;
    EndpointSettings http;
    std::unique_ptr<MetricsEndpoint> endpoint;
    ScopeGuard signals;  // gives back SIGINT, SIGTERM and the service signals
    ScopeGuard output;   // puts back the row output installed before the run's
    std::vector<std::unique_ptr<RequestRun>> runs;
    std::uint32_t nextIndex = 0;  // the next run's number in the registry
    ScopeGuard tables;  // withdraws the runs' series and destroys their table objects
};

// The request file named by AGW_CONFIG, read into *config; *named is false
// and *config untouched when none is named. False with *error one line.
bool ReadRequestFile(Config* config, bool* named, std::string* error) {
    const char* path = std::getenv("AGW_CONFIG");
    *named = path != nullptr && *path != '\0';
    return !*named || LoadConfig(path, config, error);
}

bool LoadRequests(Session& s) {
    std::string error;
    if (!ReadRequestFile(&s.config, &s.requestFile, &error)) {
        std::fprintf(stderr, "agwmain: %s\n", zcommon::Printable(error, zcommon::kPrintableLine).c_str());
        return false;
    }
    SetMetricsSettings(s.config.metrics);
    MetricsRegistry::Instance().SetShuttingDown(false);
    return true;
}

// Where the rows go: AGW_OUTPUT, else the request file's output. The name,
// and who named it (for messages).
struct OutputChoice {
    std::string name;
    std::string where;
};
OutputChoice OutputOf(const Config& config) {
    const char* env = std::getenv("AGW_OUTPUT");
    if (env != nullptr && *env != '\0') return {env, "AGW_OUTPUT"};
    return {config.output, config.source + ": output"};
}
bool IsStandardOutput(const std::string& name) { return name.empty() || name == "-"; }

std::string OutputProblem(const OutputChoice& output, const std::string& error) {
    return zcommon::Printable(output.where) + ": cannot open \"" + zcommon::Printable(output.name) +
           "\" for the rows: " + error;
}

bool OpenOutput(Session& s) {
    const OutputChoice output = OutputOf(s.config);
    std::string error;
    s.sink = OpenRowOutput(output.name, &error);
    if (!s.sink) {
        std::fprintf(stderr, "agwmain: %s\n", OutputProblem(output, error).c_str());
        return false;
    }
    return true;
}

// AGW_HTTP and the web configuration the endpoint serves with
// (AGW_WEB_CONFIG, else the request file's web_config), read and checked.
// False with *problem one line.
bool ReadEndpointSettings(const Config& config, EndpointSettings* settings, std::string* problem) {
    const char* http = std::getenv("AGW_HTTP");
    *settings = EndpointSettings{};
    settings->http = http != nullptr ? http : "";
    if (settings->http.empty()) return true;
    std::string error;
    if (!ParseHttpAddress(settings->http, &settings->bind, &error)) {
        *problem = "AGW_HTTP \"" + zcommon::Printable(settings->http) + "\": " + error;
        return false;
    }
    const char* webPath = std::getenv("AGW_WEB_CONFIG");
    const std::string path = webPath != nullptr && *webPath != '\0' ? webPath : config.webConfig;
    if (!path.empty() && !LoadWebConfig(path, &settings->web, problem)) return false;  // its values are escaped already
    return true;
}

std::string EndpointUrl(const EndpointSettings& settings, int port) {
    const std::string host = settings.bind.substr(0, settings.bind.rfind(':'));
    return std::string(settings.web.tls ? "https" : "http") + "://" + host + ":" + std::to_string(port) + "/metrics";
}

// The metrics endpoint when AGW_HTTP asks for it, before any table object: a
// bad address, a busy port or a bad web configuration stops the run before
// its first sample.
bool StartEndpoint(Session& s) {
    std::string problem;
    bool started = ReadEndpointSettings(s.config, &s.http, &problem);
    if (started && !s.http.http.empty()) {
        s.endpoint = MetricsEndpoint::Start(s.http.bind, s.http.web, &problem);
        if (!s.endpoint) problem = "AGW_HTTP \"" + zcommon::Printable(s.http.http) + "\": " + problem;
        started = s.endpoint != nullptr;
    }
    if (!started) {
        std::fprintf(stderr, "agwmain: %s\n", problem.c_str());
        return false;
    }
    if (s.endpoint) std::fprintf(stderr, "agwmain: metrics at %s\n", EndpointUrl(s.http, s.endpoint->Port()).c_str());
    return true;
}

// The agent's loader registers its table managers; without a request file,
// every table they serve is reported at the default interval.
void LoadAgent(Session& s) {
    ProductInfo product = Product();
    std::string affinities;
    for (const std::string& a : product.affinities) affinities += " " + a;
    AGW_TRACE(gMainTrace, AGW_TRC_DETAIL, "node type <%s> product <%s> revision <%s> affinities <%s>",
              product.nodeType.c_str(), product.code.c_str(), product.revision.c_str(), affinities.c_str());

    if (AgentLoader loader = RegisteredLoader()) {
        int status = loader();
        if (status != 0) {
            std::fprintf(stderr, "agwmain: the agent loader returned %d; going on with the tables it registered\n",
                         status);
        }
    }

    if (s.requestFile) return;
    std::uint32_t id = 0;
    for (TableManager* manager : TableManager::Registered()) {
        ConfigRequest request;
        request.detail.name = manager->TableName();
        request.detail.table = manager->TableName();
        request.detail.type = AGW_SAMPLE_REPORT;
        request.detail.interval = kDefaultInterval;
        request.detail.id = ++id;
        s.config.requests.push_back(std::move(request));
    }
    if (s.config.requests.empty()) std::fprintf(stderr, "agwmain: no table manager is registered; nothing to sample\n");
}

// What became of a request's run.
enum class Made { made, skipped, refused };

// A request's run with its table object, made by the table's manager (with
// `describe`, an object that only describes the table: nothing is joined or
// sampled), its thresholds checked against the columns. Refused, with
// *problem one line, when the table has no manager or a threshold does not
// fit; skipped, with *problem saying so, when the manager made no object.
Made MakeRun(const Config& config, const ConfigRequest& request, bool describe, std::unique_ptr<RequestRun>* made,
             std::string* problem) {
    auto run = std::make_unique<RequestRun>(request, config.source);
    RequestDetail& detail = run->Request().detail;
    run->manager = TableManager::Find(detail.table.c_str());
    if (run->manager == nullptr) {
        *problem = Where(config, request) + "table \"" + zcommon::Printable(detail.table) +
                   "\": expected a table a manager serves (" + TableList() + ")";
        return Made::refused;
    }
    run->object = describe ? run->manager->CreateDescription(&detail, run->Context())
                           : run->manager->NewTableObject(&detail, run->Context());
    if (run->object == nullptr) {
        *problem = Where(config, request) + "table \"" + detail.table + "\": the table's manager made no table object; " +
                   (describe ? "its thresholds are not checked" : "request skipped");
        return Made::skipped;
    }
    *problem = CheckThresholds(*run->object, detail);
    if (!problem->empty()) {
        *problem = Where(config, request) + *problem;
        return Made::refused;  // the run destroys its table object
    }
    run->object->ResolveThresholds();  // once, before any row is checked
    *made = std::move(run);
    return Made::made;
}

// Every request's table object, all made before any sample, so that a bad
// request stops the run before it starts.
bool MakeRuns(Session& s) {
    s.tables.Arm([&runs = s.runs] {
        for (auto& run : runs) MetricsRegistry::Instance().Withdraw(run->index);
        runs.clear();  // each run destroys its table object
    });
    for (const ConfigRequest& request : s.config.requests) {
        std::unique_ptr<RequestRun> run;
        std::string problem;
        const Made made = MakeRun(s.config, request, false, &run, &problem);
        if (made != Made::made) std::fprintf(stderr, "agwmain: %s\n", problem.c_str());
        if (made == Made::refused) return false;
        if (made != Made::made) continue;
        run->index = s.nextIndex++;
        s.runs.push_back(std::move(run));
    }
    return true;
}

// Everything the start takes and the stop gives back, step by step; false
// (the reason on standard error) at the first step that fails.
bool Start(Session& s) {
    if (!LoadRequests(s) || !OpenOutput(s) || !StartEndpoint(s)) return false;
    LoadAgent(s);
    return MakeRuns(s);
}

// Ctrl-C and kill stop the run cleanly unless the agent routes them itself;
// SIGHUP reopens the outputs and reloads the configuration; SIGQUIT,
// SIGUSR1/2, SIGALRM stop the run.
void TakeSignals(Session& s) {
    const bool ownInterrupt = !SignalActionInstalled(EVT1_SIGINT) && FLT1_Signal(EVT1_SIGINT, StopOnSignal) == 0;
    const bool ownTerminate = !SignalActionInstalled(EVT1_SIGTERM) && FLT1_Signal(EVT1_SIGTERM, StopOnSignal) == 0;
    RouteServiceSignals(true);
    s.signals.Arm([ownInterrupt, ownTerminate] {
        if (ownInterrupt) FLT1_Signal(EVT1_SIGINT, nullptr);
        if (ownTerminate) FLT1_Signal(EVT1_SIGTERM, nullptr);
        RouteServiceSignals(false);
    });
}

// What the endpoint serves of the runs: the series of each exported report
// request, the readiness that waits for them and, opt-in, their rows. Made
// again after a reload: a request that goes on keeps its latest rows.
void ExportRuns(Session& s) {
    // A table with several report requests tells their series apart by a
    // request label.
    std::map<std::string, int> reports;
    for (auto& run : s.runs) reports[run->object->TableName()] += run->object->RequestType() == AGW_SAMPLE_REPORT;
    std::set<std::uint32_t> expected;
    for (auto& run : s.runs) {
        run->exported.reset();
        if (!s.endpoint || run->object->RequestType() != AGW_SAMPLE_REPORT) continue;
        bool several = reports[run->object->TableName()] > 1;
        run->exported = std::make_unique<TableExport>(*run->object, several ? run->object->RequestName() : "",
                                                      run->Request().detail.objects);
        if (!run->exported->Exported()) run->exported.reset();
        if (run->exported) expected.insert(run->index);
    }
    MetricsRegistry& registry = MetricsRegistry::Instance();
    registry.ExpectRequests(std::move(expected));

    // The rows endpoint, opt-in: it holds a copy of each report request's
    // latest rows.
    auto setting = s.config.metrics.find("rows_endpoint");
    const bool keepRows = s.endpoint && setting != s.config.metrics.end() && setting->second == "true";
    const std::shared_ptr<const MetricsRegistry::RowsTable> before = registry.Rows();
    MetricsRegistry::RowsTable rowRequests;
    for (auto& run : s.runs) {
        run->rowsFormat.reset();
        if (!keepRows || run->object->RequestType() != AGW_SAMPLE_REPORT) continue;
        std::vector<ColumnInfo> columns;
        for (int i = 0; i < run->object->NumColumns(); ++i) {
            ColumnInfo info{};
            if (run->object->GetColumnInfo(&info, i) == AGW_STATUS_OK) columns.push_back(info);
        }
        run->rowsFormat = std::make_unique<RowFormat>(run->object->TableName(), run->object->RequestName(), columns);
        run->rowsSlot = rowRequests.size();
        MetricsRegistry::RequestRows rows{run->object->RequestName(), run->object->TableName(),
                                          run->object->Interval(), 0, nullptr};
        for (const auto& old : before ? *before : MetricsRegistry::RowsTable{}) {
            if (run->object->SampleNumber() > 0 && old.request == rows.request) rows = old;
        }
        rowRequests.push_back(std::move(rows));
    }
    registry.SetRowRequests(keepRows, std::move(rowRequests));
    for (auto& run : s.runs) run->ShowSituation();
}

// Puts a run on the schedule; its first sample is due now.
void Schedule(Session& s, Scheduler& scheduler, Clock& clock, RequestRun& run) {
    run.clock = &clock;
    run.all = &s.runs;
    AGW_TRACE(gMainTrace, AGW_TRC_DETAIL, "request \"%s\" on %s every %d s", run.object->RequestName().c_str(),
              run.object->TableName(), run.object->Interval());
    run.Skipped(0, 0);  // the request's skip counter, at 0 from the start
    scheduler.Add(&run);
}

// SIGHUP's reading again of the configuration, with the same steps and
// checks as a start: the request file (its row output) and the web
// configuration. A configuration a start would refuse changes nothing and
// one error line says why. Otherwise the requests that did not change go on
// as they are (sample numbers, situations), new ones start, removed ones
// stop and their series are withdrawn, a changed web configuration is served
// from now on (a new server on the same socket) and a changed row output is
// opened; one state line says what changed. The `metrics:` settings are the
// agent's from its start (AGW_MetricsSetting): a file that changes them is
// refused.
void Reload(Session& s, Scheduler& scheduler, Clock& clock) {
    auto refuse = [](const std::string& why) {
        AGW_TRACE(gMainTrace, AGW_TRC_ERROR, "configuration not reloaded, the running one goes on: %s",
                  zcommon::Printable(why, zcommon::kPrintableLine).c_str());
    };
    Config fresh;
    bool named = false;
    std::string problem;
    if (!ReadRequestFile(&fresh, &named, &problem)) return refuse(problem);
    if (!named) fresh = s.config;  // the built-in requests stay as they are
    if (fresh.metrics != s.config.metrics) {
        return refuse(zcommon::Printable(fresh.source) + ": metrics: changed; these settings take effect at a start");
    }
    std::unique_ptr<RowSink> sink;
    const OutputChoice output = OutputOf(fresh);
    if (output.name != OutputOf(s.config).name) {
        sink = OpenRowOutput(output.name, &problem);
        if (!sink) return refuse(OutputProblem(output, problem));
    }
    EndpointSettings http;
    if (s.endpoint && !ReadEndpointSettings(fresh, &http, &problem)) return refuse(problem);

    std::vector<std::unique_ptr<RequestRun>> started;
    std::set<const RequestRun*> kept;
    for (const ConfigRequest& request : fresh.requests) {
        auto same = std::find_if(s.runs.begin(), s.runs.end(),
                                 [&](const auto& run) { return SameRequest(run->Request().detail, request.detail); });
        if (same != s.runs.end()) {
            kept.insert(same->get());
            continue;
        }
        std::unique_ptr<RequestRun> run;
        const Made made = MakeRun(fresh, request, false, &run, &problem);
        if (made == Made::refused) return refuse(problem);  // `started` destroys the objects made so far
        if (made == Made::skipped) AGW_TRACE(gMainTrace, AGW_TRC_ERROR, "%s", problem.c_str());
        if (made == Made::made) started.push_back(std::move(run));
    }
    // The last step that may fail: the new server takes over only when it
    // serves.
    const bool newWeb = s.endpoint && !(http.web == s.http.web);
    if (newWeb) {
        std::unique_ptr<MetricsEndpoint> next = s.endpoint->Reconfigure(http.web, &problem);
        if (!next) return refuse("AGW_HTTP \"" + zcommon::Printable(http.http) + "\": " + problem);
        s.endpoint = std::move(next);  // the previous server stops here
        s.http = std::move(http);
    }

    if (sink) {
        InstallSink(sink.get());
        s.retiredSinks.push_back(std::move(s.sink));
        s.sink = std::move(sink);
    }
    std::size_t stopped = 0;
    for (auto run = s.runs.begin(); run != s.runs.end();) {
        if (kept.count(run->get()) != 0) {
            ++run;
            continue;
        }
        scheduler.Remove(run->get());
        (*run)->Forget();
        run = s.runs.erase(run);  // destroys its table object
        ++stopped;
    }
    const std::size_t added = started.size();
    for (auto& run : started) {
        run->index = s.nextIndex++;
        Schedule(s, scheduler, clock, *run);
        s.runs.push_back(std::move(run));
    }
    s.config = std::move(fresh);
    ExportRuns(s);
    std::string web;
    if (newWeb) web = "; web configuration " + (s.http.web.source.empty() ? "none" : zcommon::Printable(s.http.web.source)) + " in use";
    if (sink) web += "; rows to " + s.sink->Name();
    AGW_TRACE(gMainTrace, AGW_TRC_STATE, "configuration reloaded from %s: requests: %zu unchanged, %zu started, %zu stopped%s",
              named ? zcommon::Printable(s.config.source).c_str() : "the built-in requests", kept.size(), added,
              stopped, web.c_str());
}

// Samples every run in due order until a shutdown is asked for.
void Loop(Session& s, Clock* clock) {
    RowSink* previous = InstallSink(s.sink.get());
    s.output.Arm([previous] { InstallSink(previous); });
    SteadyClock steady(ShutdownWakeFd());
    Clock& schedule = clock != nullptr ? *clock : steady;
    Scheduler scheduler(schedule);
    for (auto& run : s.runs) Schedule(s, scheduler, schedule, *run);
    scheduler.Run([&s, &scheduler, &schedule] {
        DrainShutdownWake();
        if (TakeReopenRequest()) {
            ReopenOutputs(s.sink.get());
            Reload(s, scheduler, schedule);
        }
        return ShutdownRequested();
    });
    if (const char* stopped = TakeStopSignalName()) {
        AGW_TRACE(gMainTrace, AGW_TRC_STATE, "%s received: stopping as on SIGTERM", stopped);
    }
    AGW_TRACE(gMainTrace, AGW_TRC_DETAIL, "shutting down: destroying %zu table objects", s.runs.size());
    MetricsRegistry::Instance().SetShuttingDown(true);
}

// What a check found sound, in a few lines on standard output.
void SayWhatWouldRun(const Session& s, const std::string& tracePath) {
    std::size_t situations = 0;
    std::set<std::string> tables;
    std::set<std::string> families;
    int shortest = kMaxInterval, longest = 0;
    for (const auto& run : s.runs) {
        const RequestDetail& detail = run->Request().detail;
        situations += detail.type != AGW_SAMPLE_REPORT;
        tables.insert(detail.table);
        shortest = std::min(shortest, detail.interval);
        longest = std::max(longest, detail.interval);
        if (detail.type != AGW_SAMPLE_REPORT) continue;
        for (const AgwFamilyInfo& family : TableExport(*run->object, "", detail.objects).Catalogue()) {
            families.insert(family.name);
        }
    }
    for (const AgwFamilyInfo& family : AGW_OwnFamilies()) {
        if (family.served == AgwServed::byDefault || (family.served == AgwServed::withSituation && situations > 0)) {
            families.insert(family.name);
        }
    }
    const std::string source = s.requestFile ? zcommon::Printable(s.config.source) : "built-in (AGW_CONFIG is unset)";
    const std::string every = shortest >= longest ? std::to_string(longest) + " s"
                                                  : std::to_string(shortest) + " to " + std::to_string(longest) + " s";
    std::printf("requests: %s: %zu report and %zu situation requests on %zu tables, every %s\n", source.c_str(),
                s.runs.size() - situations, situations, tables.size(), every.c_str());
    const OutputChoice output = OutputOf(s.config);
    std::printf("rows:     %s%s\n", IsStandardOutput(output.name) ? "standard output" : zcommon::Printable(output.name).c_str(),
                output.where == "AGW_OUTPUT" ? " (AGW_OUTPUT)" : "");
    if (s.http.http.empty()) {
        std::printf("metrics:  not served (AGW_HTTP is unset)\n");
    } else {
        const WebConfig& web = s.http.web;
        const int port = std::stoi(s.http.bind.substr(s.http.bind.rfind(':') + 1));
        std::string how = web.tls ? "TLS" : "plain HTTP";
        if (web.clientAuth != ClientAuth::none) how += " asking for client certificates";
        if (!web.users.empty()) how += ", basic authentication for " + std::to_string(web.users.size()) + " users";
        if (!web.source.empty()) how += " (" + zcommon::Printable(web.source) + ")";
        std::printf("metrics:  %s, %s: %zu families of series\n", EndpointUrl(s.http, port).c_str(), how.c_str(),
                    families.size());
    }
    std::printf("trace:    mask 0x%x to %s\n", TRC1_Sync(nullptr),
                tracePath.empty() ? "standard error" : zcommon::Printable(tracePath).c_str());
}

}  // namespace

int RunMain(int /*argc*/, char** /*argv*/, Clock* clock) {
    AGW_TRACE_ENTRY(gMainTrace);
    std::signal(SIGPIPE, SIG_IGN);  // a closed output must not end the process
    std::signal(SIGXFSZ, SIG_IGN);  // nor a file size limit: the write fails (EFBIG) as on a full disk
    int status = kFailure;
    {
        Session session;
        if (Start(session)) {
            TakeSignals(session);
            ExportRuns(session);
            Loop(session, clock);
            status = 0;
        }
    }  // the session gives back what its steps took
    AGW_TRACE_EXIT_VALUE(gMainTrace, status);
    return status;
}

// A start's steps without what they take: the request file read and
// checked, the row output and the trace file looked at but not opened, the
// endpoint's settings read but nothing listened on, every request checked
// against a table object that only describes its table, then the agent's
// own check.
int CheckMain() {
    std::string tracePath;
    KeepTraceOnStandardError(&tracePath);
    Session s;
    if (!LoadRequests(s)) return kFailure;
    bool sound = true;
    std::string problem;
    const OutputChoice output = OutputOf(s.config);
    if (!IsStandardOutput(output.name) && !zcommon::CanAppend(output.name, &problem)) {
        std::fprintf(stderr, "agwmain: %s\n", OutputProblem(output, problem).c_str());
        sound = false;
    }
    if (!ReadEndpointSettings(s.config, &s.http, &problem)) {
        std::fprintf(stderr, "agwmain: %s\n", problem.c_str());
        sound = false;
    }
    LoadAgent(s);
    for (const ConfigRequest& request : s.config.requests) {
        std::unique_ptr<RequestRun> run;
        const Made made = MakeRun(s.config, request, true, &run, &problem);
        if (made != Made::made) std::fprintf(stderr, "agwmain: %s\n", problem.c_str());
        if (made == Made::made) s.runs.push_back(std::move(run));
        sound = sound && made != Made::refused;
    }
    if (sound) SayWhatWouldRun(s, tracePath);
    if (AgentLoader check = RegisteredCheck()) sound = check() == 0 && sound;
    return sound ? 0 : kFailure;
}

}  // namespace agw

int agwmain(int argc, char** argv) { return agw::RunMain(argc, argv, nullptr); }

int agwcheck() { return agw::CheckMain(); }

const char* AGW_MetricsSetting(const char* key) {
    if (key == nullptr) return "";
    const auto& settings = agw::MetricsSettings();
    auto found = settings.find(key);
    return found == settings.end() ? "" : found->second.c_str();
}

int agwmain_with_clock(int argc, char** argv, agw::Clock* clock) { return agw::RunMain(argc, argv, clock); }
