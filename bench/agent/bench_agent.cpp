// What the agent costs against what it cannot avoid, measured in one run,
// each cost interleaved with its yardstick so that a busy machine slows both
// alike; the run ends with the table of ratios and their goals.
//
// - AgentVsWalk/N: CPU time per object of the TXCLIENTS sample (A), of the
//   sample and its JSON delivery (D), against a bare GET/GETNEXT walk with
//   TA_OCCURS 1 over the same domain of N clients (B).
// - StorageVsMemcpy: keeping the rows of a sample under a three-threshold
//   situation (CheckForException, InsertRow) against memcpy of the same rows.
// - JsonPerRow: delivery per row of a 1,000-row and a 100,000-row sample.
// - MetricsScrape: a scrape's CPU time against writing the same bytes to a
//   pipe, plain and gzip, and the gzip body against the plain one.
// - MibLoad: what asking for 200 objects per MIB call buys on a domain of
//   20,000 clients whose every call costs 50 us of wall time (call_cost_us,
//   an IPC round trip): the calls of one TXCLIENTS sample, its wall time,
//   and the CPU time of the sample per object, at mib: {occurs: 1} and 200.
// - MemoryProbe: the resident memory of a fresh agent process (framework,
//   agent and stand-in) over 10,000 samples at a 1 s interval on the demo
//   domain, and over a few samples of a 10,000-client domain; the clock is
//   simulated, so the run takes seconds.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "agw.h"
#include "agw_internal.h"
#include "metrics.h"
#include "atmi.h"
#include "fml32.h"
#include "scheduler.h"
#include "sink.h"
#include "tuxsim.h"
#include "zta_fields.h"
#include "zta01agt.h"
#include "zta_agent.h"
#include "zta_scope.h"

namespace {

// ---- the ratio table ----------------------------------------------------

struct Line {
    std::string what;
    std::string measured;
    std::string goal;
    bool met;
};
std::map<std::string, Line>& results() {
    static std::map<std::string, Line> lines;  // sorted by key: the table's order
    return lines;
}
void report(const std::string& key, const std::string& what, double value, double limit, const char* unit = "x") {
    char measured[64], goal[64];
    std::snprintf(measured, sizeof measured, "%.2f%s", value, unit);
    std::snprintf(goal, sizeof goal, "<= %.2f%s", limit, unit);
    results()[key] = {what, measured, goal, value <= limit};
}

// ---- helpers --------------------------------------------------------------

// CPU time of this thread, in nanoseconds.
double cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

// A folder of this run's files, removed at exit.
const std::string& work_dir() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/bench_agent_XXXXXX";
        const char* made = mkdtemp(tmpl);
        if (made == nullptr) std::abort();
        return std::string(made);
    }();
    return dir;
}

// The domain file of n clients (and one machine), written once per size and
// head (settings before the classes, such as "batch: 500\n").
const std::string& clients_domain(long n, const std::string& head = "") {
    static std::map<std::pair<long, std::string>, std::string> files;
    auto it = files.find({n, head});
    if (it != files.end()) return it->second;
    const std::string path =
        work_dir() + "/clients_" + std::to_string(n) + "_" + std::to_string(files.size()) + ".yaml";
    std::ofstream out(path);
    out << head << "classes:\n  T_MACHINE:\n    - {TA_LMID: SITE1, TA_PMID: host1, TA_STATE: ACTive}\n  T_CLIENT:\n";
    for (long i = 0; i < n; ++i) {
        out << "    - {TA_CLIENTID: \"CLT.SITE1." << 10000 + i << ".1\", TA_STATE: " << (i % 4 ? "ACTive" : "IDLe")
            << ", TA_CLTNAME: desk" << i % 50 << ", TA_USRNAME: user" << i << ", TA_CMTRET: COMPLETE"
            << ", TA_NADDR: \"//10.0." << i / 250 % 250 << "." << i % 250 << ":4000\", TA_NOTIFY: DIPIN"
            << ", TA_WSC: " << (i % 3 ? "N" : "Y") << ", TA_WSH: N, TA_LMID: SITE1, TA_PID: " << 20000 + i << "}\n";
    }
    return files.emplace(std::make_pair(n, head), path).first->second;
}

// Serves the domain of n clients with the clock standing still, so that the
// activity model leaves the objects alone while they are walked.
void serve_clients(long n, const std::string& head = "") {
    Txinit::DeleteInstance();  // the next table object joins the new domain
    tuxsim::reset();
    tuxsim::set_time(1765000000);
    tuxsim::use_domain_file(clients_domain(n, head));
    if (!tuxsim::load_domain().empty()) std::abort();
}

// The yardstick: GET, then GETNEXT with the cursor while TA_MORE, one
// object per call, nothing converted. Returns the objects walked. Kept out
// of line, so that an instruction profile (callgrind) shows it by name.
[[gnu::noinline]] long bare_walk(FBFR32* req, char*& rep) {
    static const FLDID32 op = Fldid32(zta_text("TA_OPERATION")), cls = Fldid32(zta_text("TA_CLASS")), occ = Fldid32(zta_text("TA_OCCURS")),
                         more = Fldid32(zta_text("TA_MORE")), cursor = Fldid32(zta_text("TA_CURSOR"));
    Finit32(req, FLDLEN32(Fsizeof32(req)));
    long one = 1;
    Fchg32(req, op, 0, zta_text("GET"), 0);
    Fchg32(req, cls, 0, zta_text("T_CLIENT"), 0);
    Fchg32(req, occ, 0, reinterpret_cast<char*>(&one), 0);
    long walked = 0;
    for (;;) {
        long len = 0;
        if (tpcall(zta_text(".TMIB"), reinterpret_cast<char*>(req), 0, &rep, &len, TPNOTRAN | TPNOCHANGE | TPSIGRSTRT) == -1)
            return -1;
        ++walked;
        long left = 0;
        FLDLEN32 l = sizeof left;
        Fget32(reinterpret_cast<FBFR32*>(rep), more, 0, reinterpret_cast<char*>(&left), &l);
        if (left == 0) return walked;
        Fchg32(req, op, 0, zta_text("GETNEXT"), 0);
        Fchg32(req, cursor, 0, Ffind32(reinterpret_cast<FBFR32*>(rep), cursor, 0, nullptr), 0);
    }
}

// Wall-clock time, in nanoseconds.
double wall_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

// Rows delivered to /dev/null through the framework's own file output.
class DevNull {
public:
    DevNull() : sink_(open("/dev/null", O_WRONLY | O_CLOEXEC), "/dev/null", true) {
        previous_ = agw::InstallSink(&sink_);
    }
    ~DevNull() { agw::InstallSink(previous_); }

private:
    agw::FdSink sink_;
    agw::RowSink* previous_;
};

zta_txclients_manager& clients_manager() {
    static const int registered = zta_txclients_init();
    if (registered != 0 || zta_txclients_manager::_static_manager == nullptr) std::abort();
    return *zta_txclients_manager::_static_manager;
}

struct TableObject {
    explicit TableObject(RequestDetail& request) {
        static ContextInfo context;
        object = clients_manager().NewTableObject(&request, &context);
        if (object == nullptr) std::abort();
    }
    ~TableObject() { clients_manager().DeleteTableObject(object); }
    tavro* object;
};

// ---- agent against the bare walk --------------------------------------------

void BM_AgentVsWalk(benchmark::State& state) {
    const long n = state.range(0);
    serve_clients(n);
    RequestDetail request;
    request.name = request.table = "TXCLIENTS";
    TableObject table(request);  // joins the application
    tavro& object = *table.object;
    DevNull output;
    auto* req = reinterpret_cast<FBFR32*>(tpalloc(const_cast<char*>("FML32"), nullptr, 0));
    char* rep = tpalloc(const_cast<char*>("FML32"), nullptr, 8192);

    double bare = 0, agent = 0, delivered = 0;
    long objects = 0;
    for (auto _ : state) {
        double t0 = cpu_ns();
        const long walked = bare_walk(req, rep);
        double t1 = cpu_ns();
        object.BeginSample();
        object.TakeSample();
        const std::uint32_t rows = object.NumDataItems();
        object.ClearCount();
        double t2 = cpu_ns();
        object.BeginSample();
        object.TakeSample();
        object.Dispatch();
        object.ClearCount();
        double t3 = cpu_ns();
        if (walked <= 0 || rows != static_cast<std::uint32_t>(walked)) {
            state.SkipWithError("the sample and the walk disagree");
            break;
        }
        bare += t1 - t0;
        agent += t2 - t1;
        delivered += t3 - t2;
        objects += walked;
    }
    tpfree(reinterpret_cast<char*>(req));
    tpfree(rep);
    if (objects == 0) return;
    const double b = bare / double(objects) / 1000.0;
    state.counters["B_us_per_object"] = b;
    state.counters["A_over_B"] = agent / bare;
    state.counters["D_over_B"] = delivered / bare;
    state.counters["D_us_per_object"] = delivered / double(objects) / 1000.0;

    const std::string size = n >= 100000 ? "100k" : n >= 10000 ? "10k" : "1k";
    const std::string key = n >= 100000 ? "c" : n >= 10000 ? "b" : "a";
    report("1" + key + "A", "agent sample / bare walk, " + size + " clients", agent / bare, 1.25);
    report("1" + key + "D", "agent sample + JSON / bare walk, " + size + " clients", delivered / bare, 1.30);
    // Per object at the smallest size: what the agent adds to the walk
    // (sample and delivery), and the whole.
    static double first_own = 0, first_all = 0, first_bare = 0;
    const double own = (delivered - bare) / double(objects), all = delivered / double(objects);
    if (n == 1000) first_own = own, first_all = all, first_bare = bare / double(objects);
    if (n == 100000 && first_own > 0) {
        report("1dF", "agent's own cost per object (D - B), 100k / 1k clients", own / first_own, 1.2);
        char text[160];
        std::snprintf(text, sizeof text,
                      "per object 100k / 1k clients: agent + JSON %.2fx, the bare walk itself %.2fx (the stand-in)",
                      all / first_all, bare / double(objects) / first_bare);
        results()["1dG"] = {text, "", "", true};
    }
}
BENCHMARK(BM_AgentVsWalk)->Arg(1000)->Iterations(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AgentVsWalk)->Arg(10000)->Iterations(12)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AgentVsWalk)->Arg(100000)->Iterations(3)->Unit(benchmark::kMillisecond);


// ---- objects per MIB call ------------------------------------------------------

// One TXCLIENTS sample of the 20,000-client domain whose calls cost 50 us
// each, once at one object per call and once at 200, interleaved.
void BM_MibLoad(benchmark::State& state) {
    constexpr long kClients = 20000;
    serve_clients(kClients, "batch: 500\ncall_cost_us: 50\n");
    RequestDetail one_request, many_request;
    one_request.name = one_request.table = many_request.name = many_request.table = "TXCLIENTS";
    many_request.settings["mib.occurs"] = "200";
    TableObject one(one_request), many(many_request);  // the first joins the application
    struct Cost {
        double wall = 0, cpu = 0;
        long rows = 0, samples = 0, calls = 0;
    } at[2];
    auto sample = [](tavro& object, Cost& cost, bool count) {
        if (count) tuxsim::clear_requests();  // records from here on
        const double w0 = wall_ns(), c0 = cpu_ns();
        object.BeginSample();
        object.TakeSample();
        const double c1 = cpu_ns(), w1 = wall_ns();
        if (count) {
            cost.calls = static_cast<long>(tuxsim::requests().size());
            tuxsim::record_requests(false);
            return;
        }
        cost.wall += w1 - w0;
        cost.cpu += c1 - c0;
        cost.rows += object.NumDataItems();
        ++cost.samples;
        object.ClearCount();
    };
    // The calls of one sample each, counted apart: keeping the record costs
    // time of its own.
    sample(*one.object, at[0], true);
    one.object->ClearCount();
    sample(*many.object, at[1], true);
    many.object->ClearCount();
    for (auto _ : state) {
        sample(*one.object, at[0], false);
        sample(*many.object, at[1], false);
    }
    if (at[0].samples == 0 || at[1].rows == 0 || at[0].rows == 0) return;
    const double wall_one = at[0].wall / double(at[0].samples), wall_many = at[1].wall / double(at[1].samples);
    const double cpu_one = at[0].cpu / double(at[0].rows), cpu_many = at[1].cpu / double(at[1].rows);
    state.counters["calls_occurs_1"] = double(at[0].calls);
    state.counters["calls_occurs_200"] = double(at[1].calls);
    state.counters["wall_ms_occurs_1"] = wall_one / 1e6;
    state.counters["wall_ms_occurs_200"] = wall_many / 1e6;
    state.counters["cpu_us_per_object_occurs_1"] = cpu_one / 1000.0;
    state.counters["cpu_us_per_object_occurs_200"] = cpu_many / 1000.0;
    const double objects = double(at[0].rows) / double(at[0].samples);
    report("6a", "MIB calls per TXCLIENTS sample, 20k clients, occurs 1 / objects", double(at[0].calls) / objects,
           1.0);
    report("6b", "MIB calls per TXCLIENTS sample, 20k clients, occurs 200", double(at[1].calls), 110, "");
    report("6c", "sample wall time at 50 us per call, occurs 200 / occurs 1", wall_many / wall_one, 0.15);
    report("6d", "sample CPU per object, occurs 200 / occurs 1", cpu_many / cpu_one, 1.0);
    char text[160];
    std::snprintf(text, sizeof text,
                  "TXCLIENTS, 20k clients: %ld / %ld calls, %.0f / %.0f ms, %.2f / %.2f us CPU per object "
                  "(occurs 1 / 200)",
                  at[0].calls, at[1].calls, wall_one / 1e6, wall_many / 1e6, cpu_one / 1000.0, cpu_many / 1000.0);
    results()["6e"] = {text, "", "", true};
}
BENCHMARK(BM_MibLoad)->Iterations(3)->Unit(benchmark::kMillisecond);

// ---- storage under a situation against memcpy --------------------------------

// Rows of the clients table as a sample leaves them: text blank-padded, three
// in four active, one in three a workstation client.
std::vector<zta_txclients_data_t> client_rows(int n) {
    std::vector<zta_txclients_data_t> rows(static_cast<std::size_t>(n));
    auto put = [](char* field, std::size_t width, const std::string& text) {
        std::memset(field, ' ', width);
        std::memcpy(field, text.data(), std::min(width, text.size()));
    };
    for (int i = 0; i < n; ++i) {
        zta_txclients_data_t& r = rows[static_cast<std::size_t>(i)];
        std::memset(&r, 0, sizeof r);
        put(r.originnode, sizeof r.originnode, "node01.example.com");
        put(r.samp_tm, sizeof r.samp_tm, "1251209101500123");
        put(r.clientid, sizeof r.clientid, "CLT.SITE1." + std::to_string(10000 + i) + ".1");
        put(r.state, sizeof r.state, i % 4 ? "ACTive" : "IDLe");
        put(r.clientname, sizeof r.clientname, "desk" + std::to_string(i % 50));
        put(r.commitctl, sizeof r.commitctl, "COMPLETE");
        put(r.netaddr, sizeof r.netaddr, "//10.0.0." + std::to_string(i % 250) + ":4000");
        put(r.notifymeth, sizeof r.notifymeth, "DIPIN");
        put(r.username, sizeof r.username, "user" + std::to_string(i));
        put(r.workstclnt, sizeof r.workstclnt, i % 3 ? "N" : "Y");
        put(r.worksthdlr, sizeof r.worksthdlr, "N");
        put(r.lmid, sizeof r.lmid, "SITE1");
    }
    return rows;
}

void BM_StorageVsMemcpy(benchmark::State& state) {
    serve_clients(1);
    RequestDetail request;
    request.name = "active-native-clients";
    request.table = "TXCLIENTS";
    request.type = AGW_SAMPLE_SITUATION_REQUEST;
    request.thresholds = {{"STATE", EQ, "ACTive"}, {"WORKSTCLNT", NE, "Y"}, {"SAMPLENO", GE, "0"}};
    TableObject table(request);
    tavro& object = *table.object;
    constexpr int kRows = 1000;
    std::vector<zta_txclients_data_t> rows = client_rows(kRows);
    std::vector<zta_txclients_data_t> block(rows.size());
    double copied = 0, stored = 0;
    for (auto _ : state) {
        double t0 = cpu_ns();
        for (int i = 0; i < kRows; ++i) std::memcpy(&block[std::size_t(i)], &rows[std::size_t(i)], sizeof block[0]);
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
        double t1 = cpu_ns();
        object.BeginSample();
        for (int i = 0; i < kRows; ++i) {
            char* row = reinterpret_cast<char*>(&rows[std::size_t(i)]);
            if (object.CheckForException(row)) object.InsertRow(row);
        }
        benchmark::DoNotOptimize(object.NumDataItems());
        object.ClearCount();
        double t2 = cpu_ns();
        copied += t1 - t0;
        stored += t2 - t1;
    }
    const double rows_done = double(state.iterations()) * kRows;
    state.counters["memcpy_ns_per_row"] = copied / rows_done;
    state.counters["storage_ns_per_row"] = stored / rows_done;
    state.counters["ratio"] = stored / copied;
    report("2a", "row storage + 3-threshold situation / memcpy", stored / copied, 2.5);
}
BENCHMARK(BM_StorageVsMemcpy)->Iterations(3000);

// ---- JSON delivery per row -------------------------------------------------------

void BM_JsonPerRow(benchmark::State& state) {
    serve_clients(1);
    RequestDetail request;
    request.name = request.table = "TXCLIENTS";
    TableObject small_table(request), large_table(request);
    tavro& small = *small_table.object;
    tavro& large = *large_table.object;
    constexpr int kSmall = 1000, kLarge = 100000;
    std::vector<zta_txclients_data_t> rows = client_rows(kLarge);
    small.BeginSample();
    large.BeginSample();
    for (int i = 0; i < kLarge; ++i) {
        char* row = reinterpret_cast<char*>(&rows[std::size_t(i)]);
        if (i < kSmall) small.InsertRow(row);
        large.InsertRow(row);
    }
    DevNull output;
    double small_ns = 0, large_ns = 0;
    long small_rows = 0, large_rows = 0;
    for (auto _ : state) {
        // As many small samples as one large one, alternating.
        double t0 = cpu_ns();
        for (int k = 0; k < kLarge / kSmall; ++k) small.Dispatch();
        double t1 = cpu_ns();
        large.Dispatch();
        double t2 = cpu_ns();
        small_ns += t1 - t0;
        large_ns += t2 - t1;
        small_rows += kLarge;
        large_rows += kLarge;
    }
    const double per_small = small_ns / double(small_rows), per_large = large_ns / double(large_rows);
    state.counters["ns_per_row_1k"] = per_small;
    state.counters["ns_per_row_100k"] = per_large;
    report("3a", "JSON delivery per row, 100k / 1k rows", per_large / per_small, 1.2);
    char text[96];
    std::snprintf(text, sizeof text, "JSON delivery, ns per row at 1k / 100k rows: %.0f / %.0f", per_small, per_large);
    results()["3b"] = {text, "", "", true};
}
BENCHMARK(BM_JsonPerRow)->Iterations(8)->Unit(benchmark::kMillisecond);

// ---- the metrics endpoint ---------------------------------------------------------

// A pipe whose far end a thread drains: the yardstick of a scrape is
// writing the same bytes into it, which a server cannot do for less.
class DrainedPipe {
public:
    DrainedPipe() {
        if (pipe2(fds_, O_CLOEXEC) != 0) std::abort();
        fcntl(fds_[1], F_SETPIPE_SZ, 1 << 20);  // as large as allowed: fewer wake-ups, as a socket buffer
        drain_ = std::thread([fd = fds_[0]] {
            std::vector<char> buffer(1 << 16);
            while (read(fd, buffer.data(), buffer.size()) > 0) {
            }
        });
    }
    ~DrainedPipe() {
        close(fds_[1]);
        drain_.join();
        close(fds_[0]);
    }
    void Write(const std::string& bytes) {
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = write(fds_[1], bytes.data() + done, bytes.size() - done);
            if (n <= 0) std::abort();
            done += static_cast<std::size_t>(n);
        }
    }
    // A scrape as the endpoint serves it: the text made a piece at a time
    // and each piece written out.
    std::size_t Scrape(const agw::MetricsRegistry& registry, agw::Encoding encoding) {
        std::size_t bytes = 0;
        auto reader = registry.OpenExposition(encoding);
        for (const std::string* piece = &reader->Next(); !piece->empty(); piece = &reader->Next()) {
            Write(*piece);
            bytes += piece->size();
        }
        return bytes;
    }

private:
    int fds_[2] = {-1, -1};
    std::thread drain_;
};

// The series of 20,000 clients, one per object (a request with objects:
// true): what the registry holds per series once they are published, and
// the CPU time of a scrape against writing its bytes to a pipe, plain and
// gzip, each interleaved with its yardstick. A gzip scrape sends the text
// compressed by the first gzip scrape after the sample was published; what
// that compression costs is measured apart, on a fresh copy of the sample.
void BM_MetricsScrape(benchmark::State& state) {
    serve_clients(20000);
    RequestDetail request;
    request.name = request.table = "TXCLIENTS";
    TableObject table(request);  // joins the application
    tavro& object = *table.object;
    object.BeginSample();
    object.TakeSample();
    zta_domain_place place;
    place.domain = "BENCHDOM";
    place.lmid = "SITE1";
    place.domain_wide = true;
    zta_set_place_for_tests(place);
    agw::MetricsRegistry& registry = agw::MetricsRegistry::Instance();
    registry.Clear();
    const agw::PublishedSample sample = agw::TableExport(object, "", /*perObject=*/true)
                                            .Build(object, object.Data(0), object.NumDataItems(), object.DataSize(),
                                                   registry.CommonLabels());
    registry.Publish(1, sample);
    const std::string plain = registry.Exposition();
    const std::string gzip = registry.Exposition(agw::Encoding::gzip);
    // Sample lines: every line but the HELP and TYPE lines.
    double series = 0;
    for (std::size_t at = 0; at < plain.size();) {
        const std::size_t end = plain.find('\n', at);
        if (plain[at] != '#') series += 1;
        at = end == std::string::npos ? plain.size() : end + 1;
    }
    DrainedPipe pipe;
    double piped = 0, scraped = 0, zpiped = 0, zscraped = 0, compressed = 0;
    long rounds = 0;
    for (auto _ : state) {
        const double t0 = cpu_ns();
        pipe.Write(plain);
        const double t1 = cpu_ns();
        pipe.Scrape(registry, agw::Encoding::identity);
        const double t2 = cpu_ns();
        pipe.Write(gzip);
        const double t3 = cpu_ns();
        pipe.Scrape(registry, agw::Encoding::gzip);
        const double t4 = cpu_ns();
        agw::PublishedSample fresh = sample;  // the same series, not yet compressed
        fresh.deflated = std::make_shared<agw::DeflateMemo>();
        registry.Publish(1, std::move(fresh));
        const double t5 = cpu_ns();
        pipe.Scrape(registry, agw::Encoding::gzip);  // compresses the new sample, once
        const double t6 = cpu_ns();
        piped += t1 - t0;
        scraped += t2 - t1;
        zpiped += t3 - t2;
        zscraped += t4 - t3;
        compressed += (t6 - t5) - (t4 - t3);
        ++rounds;
    }
    object.ClearCount();
    // Held: the published text of the table's series (the process series
    // are rendered at each scrape, the agent's own are a few dozen).
    const double held = double(registry.HeldBytes());
    registry.Clear();
    zta_set_place_for_tests({}, false);
    if (series <= 0 || rounds == 0) return;
    state.counters["series"] = series;
    state.counters["bytes_per_series"] = held / series;
    state.counters["plain_MB"] = double(plain.size()) / 1e6;
    state.counters["gzip_MB"] = double(gzip.size()) / 1e6;
    state.counters["scrape_ms"] = scraped / double(rounds) / 1e6;
    state.counters["gzip_scrape_ms"] = zscraped / double(rounds) / 1e6;
    report("5a", "metrics: bytes held per series, 20k clients per object", held / series, 200, " B");
    // The plain scrape makes the per-object lines from the held rows; the
    // gzip one copies the compressed sample, and compresses the own and
    // process series (and reads /proc) anew, which weighs on so few bytes.
    report("5b", "metrics: scrape CPU / writing its bytes to a pipe, plain", scraped / piped, 8);
    report("5c", "metrics: scrape CPU / writing its bytes to a pipe, gzip", zscraped / zpiped, 8);
    report("5d", "metrics: gzip body / plain body, 20k clients per object", double(gzip.size()) / double(plain.size()),
           0.125);
    report("5e", "metrics: scrape CPU gzip / plain (sample compressed once)", zscraped / scraped, 1.2);
    char text[160];
    std::snprintf(text, sizeof text,
                  "metrics: compressing a sample once costs %.2f plain scrapes (%.0f ms; %.0f series, %.1f MB plain)",
                  compressed / scraped, compressed / double(rounds) / 1e6, series, double(plain.size()) / 1e6);
    results()["5f"] = {text, "", "", true};
}
BENCHMARK(BM_MetricsScrape)->Iterations(10)->Unit(benchmark::kMillisecond);

// ---- memory of the agent process -------------------------------------------------

std::string self_path;  // this program, for the probe processes

long statm_resident_kb() {
    long pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long status_kb(const char* key) {
    long kb = 0;
    if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        const std::size_t n = std::strlen(key);
        while (std::fgets(line, sizeof line, f))
            if (std::strncmp(line, key, n) == 0) kb = std::strtol(line + n, nullptr, 10);
        std::fclose(f);
    }
    return kb;
}

// The scheduler's clock, simulated: each wait moves it, and the stand-in's
// clock with it, to the deadline at once. Notes the resident memory after
// the warm-up and at the end, and stops the run after `samples` rounds.
class ProbeClock : public agw::Clock {
public:
    explicit ProbeClock(long samples, bool scrape = false) : samples_(samples), scrape_(scrape) {}
    std::int64_t NowMs() override { return now_; }
    void WaitUntil(std::int64_t deadline) override {
        if (deadline <= now_) return;
        tuxsim::advance_time(std::chrono::seconds((deadline - now_ + 999) / 1000));
        // A scrape every 5 simulated seconds, as a Prometheus would make.
        // The text is read a family at a time, as the endpoint sends it.
        if (scrape_ && deadline / 5000 != now_ / 5000) {
            auto reader = agw::MetricsRegistry::Instance().OpenExposition();
            while (!reader->Next().empty()) {
            }
        }
        now_ = deadline;
        ++rounds_;
        if (rounds_ == std::min(samples_, 100L)) warm_kb = statm_resident_kb();
        if (rounds_ >= samples_) {
            end_kb = statm_resident_kb();
            TBX_Shutdown(0);
        }
    }
    long warm_kb = 0, end_kb = 0;

private:
    long samples_;
    bool scrape_;
    long rounds_ = 0;
    std::int64_t now_ = 0;
};

int no_tables() { return 0; }

// The probe process: the agent's loader, every table it serves requested at a
// 1 s interval, the framework's main routine on the simulated clock, rows to
// /dev/null. With `served` the metrics endpoint is on (loopback, any port),
// every table's series are per object and the text is made as a scrape
// makes it every 5 s. Prints "warm end peak" in kB.
int rss_probe(const char* domain, long samples, bool served) {
    if (std::strcmp(domain, "-") != 0) setenv("TUXSIM_DOMAIN", domain, 1);
    setenv("AGW_OUTPUT", "/dev/null", 1);
    if (served) setenv("AGW_HTTP", "127.0.0.1:0", 1);
    tuxsim::set_time(1765000000);
    LoadAgents();
    const std::string config = work_dir() + "/probe.yaml";
    {
        std::ofstream out(config);
        out << "metrics: {machine: SITE1, domain_wide: true}\nrequests:\n";
        for (TableManager* m : TableManager::Registered())
            out << "  - {name: " << m->TableName() << ", table: " << m->TableName() << ", interval: 1"
                << (served ? ", objects: true" : "") << "}\n";
    }
    setenv("AGW_CONFIG", config.c_str(), 1);
    TBX_RegisterAgentLoader(no_tables);  // registered above
    ProbeClock clock(samples, served);
    char name[] = "ztaagent";
    char* argv[] = {name, nullptr};
    const int rc = agw::RunMain(1, argv, &clock);
    std::printf("%ld %ld %ld\n", clock.warm_kb, clock.end_kb, status_kb("VmHWM:"));
    std::filesystem::remove_all(work_dir());
    return rc;
}

// Runs a probe process; false when it failed.
bool run_probe(const std::string& domain, long samples, long& warm, long& end, long& peak, bool served = false) {
    const std::string cmd = "'" + self_path + "' --rss-probe" + (served ? "-served" : "") + " '" + domain + "' " +
                            std::to_string(samples) + " 2>/dev/null";
    std::FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return false;
    const bool read = std::fscanf(p, "%ld %ld %ld", &warm, &end, &peak) == 3;
    return pclose(p) == 0 && read;
}

// The demo domain with the simulated user log left alone: that log grows
// (up to its bound) in the stand-in's memory, which a real domain keeps
// outside the agent's process, and would hide whether the agent grows.
std::string demo_without_log_writes() {
    std::ifstream in(DEMO_DOMAIN);
    const std::string path = work_dir() + "/demo.yaml";
    std::ofstream out(path);
    std::string line;
    while (std::getline(in, line)) out << (line.rfind("  ulog:", 0) == 0 ? "  ulog: 0" : line) << "\n";
    return path;
}

void BM_MemoryProbe(benchmark::State& state) {
    for (auto _ : state) {
        long warm = 0, end = 0, peak = 0;
        if (!run_probe(demo_without_log_writes(), 10000, warm, end, peak)) {
            state.SkipWithError("the probe on the demo domain failed");
            return;
        }
        state.counters["demo_peak_MB"] = double(peak) / 1024;
        state.counters["demo_steady_MB"] = double(end) / 1024;
        state.counters["demo_growth_MB"] = double(end - warm) / 1024;
        report("4a", "agent RSS, demo domain, peak over 10,000 samples", double(peak) / 1024, 8, " MB");
        report("4b", "agent RSS, demo domain, steady (at the end)", double(end) / 1024, 8, " MB");
        report("4c", "agent RSS growth, sample 100 to 10,000 (no user-log writes)", double(end - warm) / 1024, 0.25, " MB");
        if (!run_probe(clients_domain(10000), 5, warm, end, peak)) {
            state.SkipWithError("the probe on the 10k-client domain failed");
            return;
        }
        state.counters["10k_peak_MB"] = double(peak) / 1024;
        state.counters["10k_steady_MB"] = double(end) / 1024;
        report("4d", "agent + stand-in RSS, 10k clients, steady", double(end) / 1024, 60, " MB");
        long served_warm = 0, served_end = 0, served_peak = 0;
        if (!run_probe(clients_domain(10000), 30, served_warm, served_end, served_peak, true)) {
            state.SkipWithError("the probe with the metrics endpoint failed");
            return;
        }
        state.counters["10k_served_steady_MB"] = double(served_end) / 1024;
        report("4f", "agent RSS, 10k clients per object: endpoint on and scraped / off",
               double(served_end) / double(std::max(end, 1L)), 1.3);
        char text[160];
        std::snprintf(text, sizeof text, "agent + stand-in RSS, 10k clients, peak while the domain file loads: %.1f MB",
                      double(peak) / 1024);
        results()["4e"] = {text, "", "", true};
    }
}
BENCHMARK(BM_MemoryProbe)->Iterations(1)->Unit(benchmark::kSecond);

void print_table() {
    if (results().empty()) return;
    std::printf("\nRatios (CPU time, each cost interleaved with its yardstick in this run)\n");
    std::printf("%-60s %12s %12s\n", "", "measured", "goal");
    for (const auto& [key, line] : results()) {
        if (line.goal.empty()) {
            std::printf("  %s\n", line.what.c_str());
            continue;
        }
        std::printf("%-60s %12s %12s %s\n", line.what.c_str(), line.measured.c_str(), line.goal.c_str(),
                    line.met ? "" : "  (missed)");
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--rss-probe") == 0) return rss_probe(argv[2], std::atol(argv[3]), false);
    if (argc == 4 && std::strcmp(argv[1], "--rss-probe-served") == 0) {
        return rss_probe(argv[2], std::atol(argv[3]), true);
    }
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self_path = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string(argv[0]);
    clients_domain(10000);  // written before any probe needs it
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    tuxsim::reset();
    print_table();
    std::filesystem::remove_all(work_dir());
    return 0;
}
