// The framework's cost per row: CheckForException with three thresholds,
// InsertRow and JSON delivery, against a plain memcpy of the same rows.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "agw.h"
#include "sink.h"
#include "test_table.h"

namespace {

// A 352-byte row of three integers and eleven text columns, the shape of a
// typical table of the agent.
constexpr TstColumn kColumns[] = {
    {"originnode", "ORIGINNODE", 0, 64, AGW_COLTYPE_TEXT},  {"sampleno", "SAMPLENO", 64, 4, AGW_COLTYPE_INTEGER},
    {"rowno", "ROWNO", 68, 4, AGW_COLTYPE_INTEGER},         {"samp_tm", "SAMP_TM", 72, 16, AGW_COLTYPE_TEXT},
    {"clientid", "CLIENTID", 88, 78, AGW_COLTYPE_TEXT},     {"state", "STATE", 166, 16, AGW_COLTYPE_TEXT},
    {"usrname", "USRNAME", 182, 30, AGW_COLTYPE_TEXT},      {"cltname", "CLTNAME", 212, 30, AGW_COLTYPE_TEXT},
    {"grpname", "GRPNAME", 242, 30, AGW_COLTYPE_TEXT},      {"lmid", "LMID", 272, 16, AGW_COLTYPE_TEXT},
    {"pid", "PID", 288, 4, AGW_COLTYPE_INTEGER},            {"contime", "CONTIME", 292, 16, AGW_COLTYPE_TEXT},
    {"wsc", "WSC", 308, 16, AGW_COLTYPE_TEXT},              {"nadr", "NADR", 324, 28, AGW_COLTYPE_TEXT},
};
constexpr unsigned kRowSize = 352;
constexpr int kRowsPerSample = 1000;

class BenchObject : public DescribedObject {
public:
    BenchObject(RequestDetail* request, TableManager* manager)
        : DescribedObject(request, nullptr, manager, kColumns, static_cast<int>(std::size(kColumns))) {
        SetRowSize(kRowSize);
        SetAllocationDefault(50);
    }
    void TakeSample() override {}
};

class BenchManager : public TableManager {
public:
    BenchManager() : TableManager("ZTA", "TXCLIENTS") {}
    tavro* CreateTavro(RequestDetail*, ContextInfo*) override { return nullptr; }
};

// Counts what it is given and keeps nothing.
class CountingSink : public agw::RowSink {
public:
    bool Write(std::string_view lines) override {
        bytes += lines.size();
        return true;
    }
    std::size_t bytes = 0;
};

std::vector<char> MakeRows() {
    std::vector<char> rows(static_cast<std::size_t>(kRowsPerSample) * kRowSize, ' ');
    for (int i = 0; i < kRowsPerSample; ++i) {
        char* row = rows.data() + static_cast<std::size_t>(i) * kRowSize;
        std::memcpy(row, "node01.example.com", 18);
        std::int32_t zero = 0, pid = 1000 + i;
        std::memcpy(row + 64, &zero, 4);
        std::memcpy(row + 68, &zero, 4);
        std::memcpy(row + 72, "1240501120000123", 16);
        std::snprintf(row + 88, 78, "client-%06d", i);  // NUL-terminated, as the view conversion leaves it
        std::memcpy(row + 166, i % 4 == 0 ? "IDLE" : "ACTIVE", i % 4 == 0 ? 4 : 6);
        std::memcpy(row + 182, "operator", 8);
        std::memcpy(row + 212, "tpsysadm", 8);
        std::memcpy(row + 242, "GROUP1", 6);
        std::memcpy(row + 272, "SITE1", 5);
        std::memcpy(row + 288, &pid, 4);
        std::memcpy(row + 292, "1240501115959000", 16);
        std::memcpy(row + 308, "N", 1);
        std::memcpy(row + 324, "//host:4000", 11);
    }
    return rows;
}

void BM_FrameworkPerRow(benchmark::State& state) {
    BenchManager manager;
    RequestDetail request;
    request.name = "busy-clients";
    request.thresholds = {{"STATE", EQ, "ACTIVE"}, {"PID", GT, "500"}, {"LMID", NE, "SITE2"}};
    BenchObject object(&request, &manager);
    std::vector<char> rows = MakeRows();
    CountingSink sink;
    agw::RowSink* previous = agw::InstallSink(&sink);
    for (auto _ : state) {
        object.BeginSample();
        for (int i = 0; i < kRowsPerSample; ++i) {
            char* row = rows.data() + static_cast<std::size_t>(i) * kRowSize;
            if (object.CheckForException(row)) object.InsertRow(row);
        }
        object.Dispatch();
        object.ClearCount();
    }
    agw::InstallSink(previous);
    state.SetItemsProcessed(state.iterations() * kRowsPerSample);
    state.counters["json_bytes_per_row"] =
        static_cast<double>(sink.bytes) / static_cast<double>(state.iterations() * kRowsPerSample);
}
BENCHMARK(BM_FrameworkPerRow);

void BM_MemcpyPerRow(benchmark::State& state) {
    std::vector<char> rows = MakeRows();
    std::vector<char> block(rows.size());
    for (auto _ : state) {
        for (int i = 0; i < kRowsPerSample; ++i) {
            std::size_t at = static_cast<std::size_t>(i) * kRowSize;
            std::memcpy(block.data() + at, rows.data() + at, kRowSize);
        }
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kRowsPerSample);
}
BENCHMARK(BM_MemcpyPerRow);

}  // namespace

BENCHMARK_MAIN();
