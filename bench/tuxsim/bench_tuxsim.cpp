// Domains of 1,000 to 100,000 servers: the cost of loading one, and of a full
// GET/GETNEXT walk with TA_OCCURS 1 per object. ns_per_object should stay
// flat as the domain grows: a GETNEXT costs the same wherever its cursor is.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>

#include "atmi.h"
#include "fml32.h"
#include "tuxsim.h"

namespace {

// Tuxedo's prototypes take plain char* for texts they only read.
char* text(const char* s) { return const_cast<char*>(s); }

// The domain file of n servers, written once per size.
const std::string& domain_file(long n) {
    static std::map<long, std::string> files;
    auto it = files.find(n);
    if (it != files.end()) return it->second;
    std::string path = "/tmp/bench_tuxsim_" + std::to_string(getpid()) + "_" + std::to_string(n) + ".yaml";
    std::ofstream out(path);
    out << "classes:\n  T_SERVER:\n";
    for (long i = 0; i < n; ++i) {
        out << "    - {TA_SRVGRP: GRP" << i % 100 << ", TA_SRVID: " << i << ", TA_SERVERNAME: /app/bin/SRV" << i
            << ", TA_STATE: ACTive, TA_PID: " << 10000 + i << ", TA_RQADDR: Q" << i
            << ", TA_NUMREQ: " << i * 3 << ", TA_TIMESTART: 1733716800}\n";
    }
    return files.emplace(n, path).first->second;
}

using Clock = std::chrono::steady_clock;

// Wall-clock nanoseconds per object over all iterations.
double per_object_ns(Clock::duration spent, long n, benchmark::IterationCount iters) {
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count()) / double(n) / double(iters);
}

void load(long n) {
    tuxsim::reset();
    tuxsim::use_domain_file(domain_file(n));
    if (tpinit(nullptr) == -1) std::abort();
}

void BM_Load(benchmark::State& state) {
    const long n = state.range(0);
    domain_file(n);
    Clock::duration spent{};
    for (auto _ : state) {
        const auto t0 = Clock::now();
        load(n);
        benchmark::DoNotOptimize(tuxsim::object_count("T_SERVER"));
        spent += Clock::now() - t0;
    }
    state.counters["objects"] = double(n);
    state.counters["ns_per_object"] = per_object_ns(spent, n, state.iterations());
    tpterm();
}

void BM_Walk(benchmark::State& state) {
    const long n = state.range(0);
    load(n);
    auto* req = reinterpret_cast<FBFR32*>(tpalloc(text("FML32"), nullptr, 0));
    char* rep = tpalloc(text("FML32"), nullptr, 8192);
    const FLDID32 op = Fldid32(text("TA_OPERATION")), cls = Fldid32(text("TA_CLASS")), occ = Fldid32(text("TA_OCCURS")),
                  more = Fldid32(text("TA_MORE")), cursor = Fldid32(text("TA_CURSOR"));
    long walked = 0;
    Clock::duration spent{};
    for (auto _ : state) {
        const auto t0 = Clock::now();
        Finit32(req, FLDLEN32(Fsizeof32(req)));
        long one = 1;
        Fchg32(req, op, 0, text("GET"), 0);
        Fchg32(req, cls, 0, text("T_SERVER"), 0);
        Fchg32(req, occ, 0, reinterpret_cast<char*>(&one), 0);
        for (;;) {
            long len = 0;
            if (tpcall(text(".TMIB"), reinterpret_cast<char*>(req), 0, &rep, &len, TPNOTRAN | TPNOCHANGE | TPSIGRSTRT) == -1) {
                state.SkipWithError("tpcall failed");
                break;
            }
            ++walked;
            long left = 0;
            FLDLEN32 l = sizeof left;
            Fget32(reinterpret_cast<FBFR32*>(rep), more, 0, reinterpret_cast<char*>(&left), &l);
            if (left == 0) break;
            Fchg32(req, op, 0, text("GETNEXT"), 0);
            Fchg32(req, cursor, 0, Ffind32(reinterpret_cast<FBFR32*>(rep), cursor, 0, nullptr), 0);
        }
        spent += Clock::now() - t0;
    }
    if (walked != n * long(state.iterations())) state.SkipWithError("walk missed objects");
    state.counters["objects"] = double(n);
    state.counters["ns_per_object"] = per_object_ns(spent, n, state.iterations());
    tpfree(reinterpret_cast<char*>(req));
    tpfree(rep);
    tpterm();
}

BENCHMARK(BM_Load)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Walk)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (long n : {1000L, 10000L, 100000L}) std::remove(domain_file(n).c_str());
    return 0;
}
