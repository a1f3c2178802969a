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
        : request_(std::move(request)), context_{source.c_str(), request_.detail.id} {}

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
        registry.AddCounter(registry.Prefix() + "_samples_skipped_total",
                            "Samples not taken because they could not start within half an interval of their due "
                            "time.",
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
        if (object->SampleIncomplete()) {
            const std::string& why = object->SampleIncompleteReason();
            AGW_TRACE(gSampleTrace, AGW_TRC_STATE, "sample %u of request \"%s\" is incomplete (%u rows kept)%s%s",
                      object->SampleNumber(), object->RequestName().c_str(), kept, why.empty() ? "" : ": ",
                      why.c_str());
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
        registry.SetGauge(registry.Prefix() + "_situation_raised", "1 while the situation is raised, else 0.",
                          {{"situation", object->RequestName()}, {"table", object->TableName()}}, raised_ ? 1 : 0);
    }

private:
    // The sample's health series and, for an exported report, its rows: the
    // request's series are replaced in one step, after the sample is whole;
    // a sample the table object marked incomplete leaves the previous one.
    void Account(double seconds, std::uint32_t kept) {
        MetricsRegistry& registry = MetricsRegistry::Instance();
        AgwLabels labels{{"table", object->TableName()}, {"request", object->RequestName()}};
        registry.SetGauge(registry.Prefix() + "_sample_duration_seconds", "Duration of the latest sample.", labels,
                          seconds);
        registry.SetGauge(registry.Prefix() + "_sample_rows", "Rows kept by the latest sample.", labels, kept);
        if (exported && !object->SampleIncomplete()) {
            object->BeforeMetrics();
            registry.Publish(index, exported->Build(*object, object->Data(0), kept, object->DataSize(),
                                                    registry.CommonLabels()));
            withdrawn = false;
            if (clock != nullptr) lastCompleteMs = clock->NowMs();
            const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
            registry.SetGauge(registry.Prefix() + "_last_complete_sample_timestamp_seconds",
                              "When the request's latest complete sample was published, in Unix seconds.", labels, now);
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
    ContextInfo context_;
    bool raised_ = false;
    bool skipping_ = false;  // the last due time was skipped (told once per run of skips)
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

// What one run of the main routine holds, step by step. Its members go in
// the reverse of their order here, and that is the one way back, for a start
// that failed at any step as for a stop: the table objects first (their last
// rows still reach the run's output), then the previous row output and the
// signals' actions are put back, then the endpoint stops and the output
// closes. A guard does nothing until its step has taken what it gives back.
struct Session {
    Config config;
    bool requestFile = false;  // AGW_CONFIG named the requests
    std::unique_ptr<RowSink> sink;
    std::unique_ptr<MetricsEndpoint> endpoint;
    ScopeGuard signals;  // gives back SIGINT, SIGTERM and the service signals
    ScopeGuard output;   // puts back the row output installed before the run's
    std::vector<std::unique_ptr<RequestRun>> runs;
    ScopeGuard tables;  // withdraws the runs' series and destroys their table objects
};

// The request file named by AGW_CONFIG, when one is.
bool LoadRequests(Session& s) {
    const char* configPath = std::getenv("AGW_CONFIG");
    s.requestFile = configPath != nullptr && *configPath != '\0';
    if (s.requestFile) {
        std::string error;
        if (!LoadConfig(configPath, &s.config, &error)) {
            std::fprintf(stderr, "agwmain: %s\n", zcommon::Printable(error, zcommon::kPrintableLine).c_str());
            return false;
        }
    }
    SetMetricsSettings(s.config.metrics);
    MetricsRegistry::Instance().SetShuttingDown(false);
    return true;
}

// The rows' output: AGW_OUTPUT, else the request file's.
bool OpenOutput(Session& s) {
    std::string outputName = s.config.output;
    std::string outputWhere = s.config.source + ": output";
    const char* outputEnv = std::getenv("AGW_OUTPUT");
    if (outputEnv != nullptr && *outputEnv != '\0') {
        outputName = outputEnv;
        outputWhere = "AGW_OUTPUT";
    }
    std::string error;
    s.sink = OpenRowOutput(outputName, &error);
    if (!s.sink) {
        std::fprintf(stderr, "agwmain: %s: cannot open \"%s\" for the rows: %s\n",
                     zcommon::Printable(outputWhere).c_str(), zcommon::Printable(outputName).c_str(), error.c_str());
        return false;
    }
    return true;
}

// The metrics endpoint when AGW_HTTP asks for it, before any table object: a
// bad address, a busy port or a bad web configuration stops the run before
// its first sample.
bool StartEndpoint(Session& s) {
    const char* http = std::getenv("AGW_HTTP");
    if (http == nullptr || *http == '\0') return true;
    std::string bind;
    std::string error;
    WebConfig web;
    const char* webPath = std::getenv("AGW_WEB_CONFIG");
    if (webPath == nullptr || *webPath == '\0') webPath = s.config.webConfig.c_str();
    bool listening = ParseHttpAddress(http, &bind, &error);
    if (listening && *webPath != '\0' && !LoadWebConfig(webPath, &web, &error)) {
        std::fprintf(stderr, "agwmain: %s\n", error.c_str());  // its values are escaped already
        return false;
    }
    if (listening) s.endpoint = MetricsEndpoint::Start(bind, web, &error);
    if (!s.endpoint) {
        std::fprintf(stderr, "agwmain: AGW_HTTP \"%s\": %s\n", zcommon::Printable(http).c_str(), error.c_str());
        return false;
    }
    std::string host = bind.substr(0, bind.rfind(':'));
    std::fprintf(stderr, "agwmain: metrics at %s://%s:%d/metrics\n", web.tls ? "https" : "http", host.c_str(),
                 s.endpoint->Port());
    return true;
}

// The agent's loader registers its table managers; without a request file,
// every table they serve is reported at the default interval.
void LoadAgent(Session& s) {
    ProductInfo product = Product();
    std::string affinities;
    for (const std::string& a : product.affinities) affinities += " " + a;
    AGW_TRACE(gMainTrace, AGW_TRC_STATE, "node type <%s> product <%s> revision <%s> affinities <%s>",
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

// Every request's table object, all made before any sample, so that a bad
// request stops the run before it starts.
bool MakeRuns(Session& s) {
    s.tables.Arm([&runs = s.runs] {
        for (auto& run : runs) {
            MetricsRegistry::Instance().Withdraw(run->index);
            if (run->object != nullptr) run->manager->DeleteTableObject(run->object);
            run->object = nullptr;
        }
    });
    for (ConfigRequest& request : s.config.requests) {
        auto run = std::make_unique<RequestRun>(request, s.config.source);
        RequestDetail& detail = run->Request().detail;
        run->manager = TableManager::Find(detail.table.c_str());
        if (run->manager == nullptr) {
            std::fprintf(stderr, "agwmain: %stable \"%s\": expected a table a manager serves (%s)\n",
                         Where(s.config, request).c_str(), zcommon::Printable(detail.table).c_str(),
                         TableList().c_str());
            return false;
        }
        run->object = run->manager->NewTableObject(&detail, run->Context());
        if (run->object == nullptr) {
            std::fprintf(stderr, "agwmain: %stable \"%s\": the table's manager made no table object; request skipped\n",
                         Where(s.config, request).c_str(), detail.table.c_str());
            continue;
        }
        std::string problem = CheckThresholds(*run->object, detail);
        if (problem.empty()) run->object->ResolveThresholds();  // once, before any row is checked
        run->index = static_cast<std::uint32_t>(s.runs.size());
        s.runs.push_back(std::move(run));
        if (!problem.empty()) {
            std::fprintf(stderr, "agwmain: %s%s\n", Where(s.config, request).c_str(), problem.c_str());
            return false;
        }
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
// SIGHUP reopens the outputs; SIGQUIT, SIGUSR1/2, SIGALRM stop the run.
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
// request, the readiness that waits for them and, opt-in, their rows.
void ExportRuns(Session& s) {
    if (s.endpoint) {
        // A table with several report requests tells their series apart by
        // a request label.
        std::map<std::string, int> reports;
        for (auto& run : s.runs) reports[run->object->TableName()] += run->object->RequestType() == AGW_SAMPLE_REPORT;
        for (auto& run : s.runs) {
            if (run->object->RequestType() != AGW_SAMPLE_REPORT) continue;
            bool several = reports[run->object->TableName()] > 1;
            run->exported = std::make_unique<TableExport>(*run->object, several ? run->object->RequestName() : "",
                                                          run->Request().detail.objects);
            if (!run->exported->Exported()) run->exported.reset();
        }
    }
    std::set<std::uint32_t> expected;
    for (auto& run : s.runs) {
        if (run->exported) expected.insert(run->index);
    }
    MetricsRegistry::Instance().ExpectRequests(std::move(expected));

    // The rows endpoint, opt-in: it holds a copy of each report request's
    // latest rows.
    auto setting = s.config.metrics.find("rows_endpoint");
    const bool keepRows = s.endpoint && setting != s.config.metrics.end() && setting->second == "true";
    MetricsRegistry::RowsTable rowRequests;
    for (auto& run : s.runs) {
        if (!keepRows || run->object->RequestType() != AGW_SAMPLE_REPORT) continue;
        std::vector<ColumnInfo> columns;
        for (int i = 0; i < run->object->NumColumns(); ++i) {
            ColumnInfo info{};
            if (run->object->GetColumnInfo(&info, i) == AGW_STATUS_OK) columns.push_back(info);
        }
        run->rowsFormat = std::make_unique<RowFormat>(run->object->TableName(), run->object->RequestName(), columns);
        run->rowsSlot = rowRequests.size();
        rowRequests.push_back({run->object->RequestName(), run->object->TableName(), run->object->Interval(), 0, nullptr});
    }
    MetricsRegistry::Instance().SetRowRequests(keepRows, std::move(rowRequests));
    for (auto& run : s.runs) run->ShowSituation();
}

// Samples every run in due order until a shutdown is asked for.
void Loop(Session& s, Clock* clock) {
    RowSink* previous = InstallSink(s.sink.get());
    s.output.Arm([previous] { InstallSink(previous); });
    SteadyClock steady(ShutdownWakeFd());
    Clock& schedule = clock != nullptr ? *clock : steady;
    Scheduler scheduler(schedule);
    for (auto& run : s.runs) {
        run->clock = &schedule;
        run->all = &s.runs;
        AGW_TRACE(gMainTrace, AGW_TRC_STATE, "request \"%s\" on %s every %d s", run->object->RequestName().c_str(),
                  run->object->TableName(), run->object->Interval());
        run->Skipped(0, 0);  // the request's skip counter, at 0 from the start
        scheduler.Add(run.get());
    }
    RowSink* sink = s.sink.get();
    scheduler.Run([sink] {
        DrainShutdownWake();
        if (TakeReopenRequest()) ReopenOutputs(sink);
        return ShutdownRequested();
    });
    if (const char* stopped = TakeStopSignalName()) {
        AGW_TRACE(gMainTrace, AGW_TRC_STATE, "%s received: stopping as on SIGTERM", stopped);
    }
    AGW_TRACE(gMainTrace, AGW_TRC_STATE, "shutting down: destroying %zu table objects", s.runs.size());
    MetricsRegistry::Instance().SetShuttingDown(true);
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

}  // namespace agw

int agwmain(int argc, char** argv) { return agw::RunMain(argc, argv, nullptr); }

const char* AGW_MetricsSetting(const char* key) {
    if (key == nullptr) return "";
    const auto& settings = agw::MetricsSettings();
    auto found = settings.find(key);
    return found == settings.end() ? "" : found->second.c_str();
}

int agwmain_with_clock(int argc, char** argv, agw::Clock* clock) { return agw::RunMain(argc, argv, clock); }
