// agwmain end to end with the test table: requests, situations, delivery,
// configuration errors, signals and a broken output.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

#include "agw_internal.h"
#include "config.h"
#include "scheduler.h"
#include "test_table.h"
#include "test_util.h"

namespace {

struct FakeClock : agw::Clock {
    std::int64_t now = 0;
    std::int64_t NowMs() override { return now; }
    void WaitUntil(std::int64_t deadline) override { now = std::max(now, deadline); }
};

// The loader is a plain function, so the manager it registers is a global
// of this test file.
TstManager* gManager = nullptr;
int LoadTestTable() { return TableManager::RegisterWithManager(gManager); }

struct AgwmainTest : ::testing::Test {
    void SetUp() override {
        agw::UnregisterAllManagers();
        agw::ResetShutdown();
        unsetenv("AGW_CONFIG");
        unsetenv("AGW_OUTPUT");
        Counters().samples = 0;
        gManager = new TstManager;
        TBX_RegisterAgentLoader(LoadTestTable);
        output = TestFile("agw_rows", ".jsonl");
        std::remove(output.c_str());
    }
    void TearDown() override {
        agw::UnregisterAllManagers();
        TBX_RegisterAgentLoader(nullptr);
        delete gManager;
        gManager = nullptr;
        agw::ResetShutdown();
    }
    int Run(agw::Clock* clock) {
        char name[] = "agwtest";
        char* argv[] = {name, nullptr};
        return agw::RunMain(1, argv, clock);
    }
    std::string WriteConfig(const std::string& text) {
        std::string path = TestFile("agw_config", ".yaml");
        WriteFile(path, text);
        setenv("AGW_CONFIG", path.c_str(), 1);
        return path;
    }
    std::string output;
    FakeClock clock;
};

// Rows of the test table by sample number: (depth, state).
std::vector<tst_row> ScriptedRows(std::uint32_t sample) {
    switch (sample) {
        case 1: return {MakeRow("Q1", 5, "ACT"), MakeRow("Q2", 200, "IDL")};
        case 2: return {MakeRow("Q1", 150, "ACT"), MakeRow("Q2", 300, "ACT")};
        case 3: return {MakeRow("Q1", 120, "ACT")};
        case 4: return {};
        case 5: return {MakeRow("Q1", 10, "ACT")};
        default: return {};
    }
}

TEST_F(AgwmainTest, SituationIsRaisedOnceAndClearedOnceOverAScriptedRun) {
    std::vector<std::int64_t> situationTimes;
    gManager->sampler = [&](TstObject& object) {
        for (const tst_row& row : ScriptedRows(object.SampleNumber())) object.AddRow(row);
        if (object.RequestName() == "deep-queues") {
            situationTimes.push_back(clock.now / 1000);
            if (object.SampleNumber() == 5) TBX_Shutdown(0);
        }
    };
    gManager->switchSituations = true;
    setenv("AGW_CONFIG", FRAMEWORK_TEST_DATA "/situation.yaml", 1);
    setenv("AGW_OUTPUT", output.c_str(), 1);

    ASSERT_EQ(Run(&clock), 0);
    EXPECT_EQ(situationTimes, (std::vector<std::int64_t>{0, 120, 240, 360, 480}));
    EXPECT_EQ(Counters().live, 0);

    std::string text = ReadFile(output);
    auto count = [&](const std::string& needle) {
        int n = 0;
        for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("{\"situation\":\"deep-queues\",\"table\":\"TSTQUEUE\",\"state\":\"raised\",\"rows\":2,\"time\":\""), 1);
    EXPECT_EQ(count("{\"situation\":\"deep-queues\",\"table\":\"TSTQUEUE\",\"state\":\"cleared\",\"rows\":0,\"time\":\""), 1);
    EXPECT_EQ(count("{\"situation\":"), 2);
    EXPECT_LT(text.find("\"raised\""), text.find("\"cleared\""));
    EXPECT_EQ(count("\"request\":\"deep-queues\",\"row\":"), 3);  // kept rows of samples 2 and 3
    EXPECT_EQ(count("\"request\":\"all-queues\",\"row\":"), 6);   // every row of samples 1 to 5
    EXPECT_EQ(count("\"sampleno\":2,\"rowno\":1,\"qname\":\"Q2\",\"depth\":300"), 2);
    // Each sample of each request ends with its record (deep-queues every
    // 120 s, all-queues every 60 s, over 480 s).
    EXPECT_EQ(count("{\"sample\":"), 5 + 9);
    EXPECT_EQ(count("{\"sample\":2,\"request\":\"deep-queues\",\"table\":\"TSTQUEUE\","
                    "\"rows\":2,\"complete\":true,\"time\":\""),
              1);
    EXPECT_EQ(CountLines(text), 11 + 5 + 9);
    if (HavePython()) {
        EXPECT_TRUE(PythonAcceptsJsonLines(output));
    }
}

// Samples 2, 3 and 5 are incomplete: 2 keeps a row and raises, 3 keeps none
// and clears nothing, 4 (complete, none kept) clears, 5 keeps one and raises.
TEST_F(AgwmainTest, AnIncompleteSampleRaisesButNeverClearsASituation) {
    gManager->sampler = [&](TstObject& object) {
        const std::uint32_t n = object.SampleNumber();
        if (object.RequestName() != "deep-queues") return;
        if (n == 2 || n == 5) object.MarkSampleIncomplete();
        if (n == 3) object.MarkSampleIncomplete("the \"MIB\" call failed");
        if (n == 2 || n == 5) object.AddRow(MakeRow("Q1", 150, "ACT"));
        if (n == 5) TBX_Shutdown(0);
    };
    gManager->switchSituations = true;
    setenv("AGW_CONFIG", FRAMEWORK_TEST_DATA "/situation.yaml", 1);
    setenv("AGW_OUTPUT", output.c_str(), 1);
    ASSERT_EQ(Run(&clock), 0);

    std::string events;
    std::string samples;  // deep-queues' sample records, up to "time"
    int others = 0;
    std::istringstream lines(ReadFile(output));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("{\"sample\":", 0) == 0) {
            if (line.find("\"request\":\"deep-queues\"") != std::string::npos) {
                samples += line.substr(0, line.find(",\"time\":\"")) + "}\n";
            }
            continue;
        }
        ++others;
        if (line.find("\"situation\"") == std::string::npos) continue;
        const std::size_t state = line.find("\"state\""), time = line.find(",\"time\":\"");
        ASSERT_NE(time, std::string::npos) << line;  // every event says when
        events += line.substr(state, time - state) + "}\n";
    }
    EXPECT_EQ(events,
              "\"state\":\"raised\",\"rows\":1}\n"
              "\"state\":\"cleared\",\"rows\":0}\n"
              "\"state\":\"raised\",\"rows\":1}\n");
    EXPECT_EQ(others, 5);  // 3 events and the rows of samples 2 and 5
    // The records tell the consumer which samples were partial.
    const std::string head = ",\"request\":\"deep-queues\",\"table\":\"TSTQUEUE\",\"rows\":";
    EXPECT_EQ(samples,
              "{\"sample\":1" + head + "0,\"complete\":true}\n"
              "{\"sample\":2" + head + "1,\"complete\":false,\"reason\":\"\"}\n"
              "{\"sample\":3" + head + "0,\"complete\":false,\"reason\":\"the \\\"MIB\\\" call failed\"}\n"
              "{\"sample\":4" + head + "0,\"complete\":true}\n"
              "{\"sample\":5" + head + "1,\"complete\":false,\"reason\":\"\"}\n");
}

TEST_F(AgwmainTest, WithoutAConfigurationEveryTableIsReportedEveryThirtySeconds) {
    std::vector<std::int64_t> times;
    gManager->sampler = [&](TstObject& object) {
        EXPECT_EQ(object.RequestName(), "TSTQUEUE");
        EXPECT_EQ(object.RequestType(), AGW_SAMPLE_REPORT);
        EXPECT_EQ(object.Setting("mib.occurs"), "");  // not given: the agent's default
        times.push_back(clock.now / 1000);
        object.AddRow(MakeRow("Q", 1, "ON"));
        if (times.size() == 3) TBX_Shutdown(0);
    };
    setenv("AGW_OUTPUT", output.c_str(), 1);
    ASSERT_EQ(Run(&clock), 0);
    EXPECT_EQ(times, (std::vector<std::int64_t>{0, 30, 60}));
    const std::string text = ReadFile(output);
    EXPECT_EQ(CountLines(text), 6);  // a row and the sample's record, three times
    EXPECT_NE(text.find("{\"sample\":3,\"request\":\"TSTQUEUE\",\"table\":\"TSTQUEUE\","
                        "\"rows\":1,\"complete\":true,\"time\":\""),
              std::string::npos)
        << text;
}

TEST_F(AgwmainTest, TheFilesMibSettingsReachEveryRequestsTableObject) {
    std::vector<std::string> seen;
    gManager->sampler = [&](TstObject& object) {
        seen.push_back(object.RequestName() + "=" + object.Setting("mib.occurs"));
        if (seen.size() == 2) TBX_Shutdown(0);
    };
    WriteConfig("mib: {occurs: 0200}\nrequests:\n  - {name: a, table: TSTQUEUE}\n  - {name: b, table: TSTQUEUE}\n");
    setenv("AGW_OUTPUT", output.c_str(), 1);
    ASSERT_EQ(Run(&clock), 0);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"a=200", "b=200"}));
}

TEST_F(AgwmainTest, AShutdownRequestedBeforehandEndsTheRunBeforeAnySample) {
    TBX_Shutdown(0);
    ASSERT_EQ(Run(&clock), 0);
    EXPECT_EQ(Counters().samples, 0);
    EXPECT_EQ(Counters().live, 0);
}

TEST_F(AgwmainTest, ARequestWithoutATableObjectIsSkippedWithOneLine) {
    gManager->failCreate = true;
    TstManager other("OTHER");
    ASSERT_EQ(TableManager::RegisterWithManager(&other), 0);
    other.sampler = [](TstObject&) { TBX_Shutdown(0); };
    std::string path = WriteConfig(
        "requests:\n"
        "  - {name: gone, table: TSTQUEUE}\n"
        "  - {name: kept, table: OTHER}\n");
    setenv("AGW_OUTPUT", output.c_str(), 1);
    ::testing::internal::CaptureStderr();
    int status = Run(&clock);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(CountLines(err), 1) << err;
    EXPECT_NE(err.find(path), std::string::npos) << err;
    EXPECT_NE(err.find("request \"gone\""), std::string::npos) << err;
    EXPECT_EQ(Counters().samples, 1);
}

struct ConfigCase {
    const char* title;
    const char* yaml;     // null: the file does not exist
    const char* request;  // the request the line must name, or null
    const char* expected;
};

void PrintTo(const ConfigCase& c, std::ostream* os) { *os << c.title; }

class ConfigErrors : public AgwmainTest, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(ConfigErrors, OneLineNamingFileRequestAndExpectationThenNonZeroBeforeAnySample) {
    const ConfigCase& c = GetParam();
    std::string path;
    if (c.yaml != nullptr) {
        path = WriteConfig(c.yaml);
    } else {
        path = ProcessTempDir() + "/agw_no_such_config.yaml";
        setenv("AGW_CONFIG", path.c_str(), 1);
    }
    // AGW_OUTPUT would override the file's own output.
    if (c.yaml == nullptr || std::strstr(c.yaml, "output:") == nullptr) setenv("AGW_OUTPUT", output.c_str(), 1);
    ::testing::internal::CaptureStderr();
    int status = Run(&clock);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(status, 0);
    EXPECT_EQ(CountLines(err), 1) << err;
    EXPECT_EQ(err.rfind("agwmain: " + path, 0), 0u) << err;
    if (c.request != nullptr) {
        EXPECT_NE(err.find(std::string("request \"") + c.request + "\""), std::string::npos) << err;
    }
    EXPECT_NE(err.find(c.expected), std::string::npos) << err;
    EXPECT_EQ(Counters().samples, 0);
    EXPECT_EQ(Counters().live, 0);
}

// Nested deeper than the YAML parser goes.
const std::string kDeepNesting = "requests: " + std::string(3000, '[') + std::string(3000, ']') + "\n";

// `requests` requests, the first with an anchored list of `thresholds`
// thresholds that every other one aliases: short in the file (under 1 MiB
// at 8,000 and 9,000), huge once the aliases are expanded.
std::string AliasBomb(int thresholds, int requests) {
    std::string text = "requests:\n  - {name: r0, table: TSTQUEUE, thresholds: &t [";
    for (int i = 0; i < thresholds; ++i) text += "{column: DEPTH, op: GT, value: 1},";
    text += "]}\n";
    for (int i = 1; i < requests; ++i) text += "  - {name: r" + std::to_string(i) + ", table: TSTQUEUE, thresholds: *t}\n";
    return text;
}
const std::string kManyRequests = AliasBomb(8000, 9000);
const std::string kManyThresholds = AliasBomb(101, 2);

const char kGood[] = "  - {name: ok, table: TSTQUEUE, type: situation, thresholds: [{column: DEPTH, op: GT, value: 1}]}\n";

INSTANTIATE_TEST_SUITE_P(
    All, ConfigErrors,
    ::testing::Values(
        ConfigCase{"missing", nullptr, nullptr, "cannot read the request file"},
        ConfigCase{"not_yaml", "requests: [ {name: a\n", nullptr, "expected a YAML request file"},
        ConfigCase{"deep_nesting", kDeepNesting.c_str(), nullptr,
                   "expected a YAML request file: lists and maps nested too deeply"},
        ConfigCase{"not_a_map", "- a\n- b\n", nullptr, "expected a map with requests"},
        ConfigCase{"no_requests", "output: \"-\"\n", nullptr, "requests: expected a list of at least one request"},
        ConfigCase{"unknown_key", "request:\n  - {name: a, table: TSTQUEUE}\n", nullptr,
                   "unknown key \"request\", expected one of requests, output"},
        ConfigCase{"no_name", "requests:\n  - {table: TSTQUEUE}\n", nullptr, "expected name"},
        ConfigCase{"bad_type", "requests:\n  - {name: r1, table: TSTQUEUE, type: often}\n", "r1",
                   "type: expected report or situation, got \"often\""},
        ConfigCase{"zero_interval", "requests:\n  - {name: r1, table: TSTQUEUE, interval: 0}\n", "r1",
                   "interval: expected a whole number of seconds from 1 to 2147483, got \"0\""},
        ConfigCase{"text_interval", "requests:\n  - {name: r1, table: TSTQUEUE, interval: 30s}\n", "r1",
                   "interval: expected a whole number of seconds"},
        ConfigCase{"huge_interval", "requests:\n  - {name: r1, table: TSTQUEUE, interval: 99999999999}\n", "r1",
                   "interval: expected a whole number of seconds"},
        ConfigCase{"bad_op",
                   "requests:\n  - {name: r1, table: TSTQUEUE, thresholds: [{column: DEPTH, op: \"~=\", value: 1}]}\n",
                   "r1", "op: expected EQ, NE, LT, LE, GT or GE, got \"~=\""},
        ConfigCase{"threshold_key",
                   "requests:\n  - {name: r1, table: TSTQUEUE, thresholds: [{col: DEPTH, op: EQ, value: 1}]}\n",
                   "r1", "unknown key \"col\""},
        ConfigCase{"request_key", "requests:\n  - {name: r1, table: TSTQUEUE, intervall: 5}\n", "r1",
                   "unknown key \"intervall\", expected one of name, table, type, interval, thresholds"},
        ConfigCase{"duplicate_name", "requests:\n  - {name: r1, table: TSTQUEUE}\n  - {name: r1, table: TSTQUEUE}\n",
                   "r1", "expected a name no other request has"},
        ConfigCase{"unknown_table", "requests:\n  - {name: r1, table: NOSUCH}\n", "r1",
                   "table \"NOSUCH\": expected a table a manager serves (TSTQUEUE)"},
        ConfigCase{"unknown_column",
                   "requests:\n  - {name: ok, table: TSTQUEUE}\n"
                   "  - {name: r2, table: TSTQUEUE, thresholds: [{column: NOPE, op: EQ, value: 1}]}\n",
                   "r2", "threshold column \"NOPE\": expected a column of TSTQUEUE"},
        ConfigCase{"integer_threshold",
                   "requests:\n  - {name: ok, table: TSTQUEUE}\n"
                   "  - {name: r2, table: TSTQUEUE, thresholds: [{column: depth, op: GT, value: 1O}]}\n",
                   "r2", "threshold on DEPTH: expected a decimal integer, got \"1O\""},
        ConfigCase{"too_many_requests", kManyRequests.c_str(), nullptr,
                   "requests: expected at most 1000 requests, got 9000"},
        ConfigCase{"too_many_thresholds", kManyThresholds.c_str(), "r0",
                   "thresholds: expected at most 100 thresholds per request, got 101"},
        ConfigCase{"duplicate_request_key", "requests:\n  - {name: a,\n     name: b, table: TSTQUEUE}\n", "a",
                   ":3: request \"a\": duplicate key \"name\""},
        ConfigCase{"duplicate_threshold_key",
                   "requests:\n  - name: r1\n    table: TSTQUEUE\n    thresholds:\n"
                   "      - {column: DEPTH, op: GT, value: 1, op: LT}\n",
                   "r1", ":5: request \"r1\": duplicate key \"op\""},
        ConfigCase{"duplicate_top_key", "output: a\noutput: b\nrequests:\n  - {name: ok, table: TSTQUEUE}\n", nullptr,
                   ":2: duplicate key \"output\""},
        ConfigCase{"mib_occurs", "mib: {occurs: 10001}\nrequests:\n  - {name: ok, table: TSTQUEUE}\n", nullptr,
                   ":1: occurs: expected a whole number of objects per MIB call from 1 to 10000, got \"10001\""},
        ConfigCase{"bad_output", "output: /nonexistent-dir/rows.jsonl\nrequests:\n  - {name: ok, table: TSTQUEUE}\n",
                   nullptr, "output: cannot open \"/nonexistent-dir/rows.jsonl\""}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) { return std::string(info.param.title); });

// Aliases expanded are counted before anything is copied: the file that
// expands to 72 million thresholds is refused at once, naming the limit.
// Copying them would take minutes and gigabytes; the bound is loose enough
// for a loaded machine or a sanitizer build and still catches that.
TEST(ConfigLimits, AnAliasBombIsRefusedAtOnce) {
    ASSERT_LT(kManyRequests.size(), std::size_t{1} << 20);
    const std::string path = TestFile("bomb", ".yaml");
    for (const std::string& yaml : {kManyRequests, AliasBomb(8000, 1000)}) {
        WriteFile(path, yaml);
        agw::Config config;
        std::string error;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(agw::LoadConfig(path, &config, &error));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        EXPECT_EQ(error.rfind(path + ":2: ", 0), 0u) << error;
        EXPECT_NE(error.find("expected at most 1"), std::string::npos) << error;
        EXPECT_TRUE(config.requests.empty());
    }
}

// The signal's action runs on the framework's dispatch thread, which may
// trace and call TBX_Shutdown; agwmain then ends the run cleanly.
std::atomic<int> gSignalCode{0};
std::thread::id gActionThread;
void OnTerminate(int code) {
    gActionThread = std::this_thread::get_id();
    gSignalCode = code;
    static TRC1_Block trace = {"TST", "agwmain_test", "OnTerminate"};
    TRC1_Printf(&trace, __LINE__, "Signal captured: %s", EVT1_SignalName(code));
    TBX_Shutdown(1);
}

void KillSelfAfterFirstSample(int signo) {
    std::atomic<bool> sampled{false};
    gManager->sampler = [&](TstObject&) { sampled = true; };
    std::thread killer([&] {
        while (!sampled) std::this_thread::yield();
        kill(getpid(), signo);
    });
    char name[] = "agwtest";
    char* argv[] = {name, nullptr};
    EXPECT_EQ(agwmain(1, argv), 0);
    killer.join();
}

TEST_F(AgwmainTest, ATerminationSignalEndsAgwmainThroughTheAgentsAction) {
    WriteConfig("requests:\n  - {name: slow, table: TSTQUEUE, interval: 3600}\n");
    EVT1_ActionRecord record{};
    record.handler = OnTerminate;
    ASSERT_EQ(EVT1_Action(EVT1_SIGTERM, &record, 0), 0);
    KillSelfAfterFirstSample(SIGTERM);
    EXPECT_EQ(gSignalCode.load(), EVT1_SIGTERM);
    EXPECT_NE(gActionThread, std::this_thread::get_id());
    EXPECT_EQ(Counters().samples, 1);
    EXPECT_EQ(Counters().live, 0);
    record.handler = nullptr;
    EVT1_Action(EVT1_SIGTERM, &record, 0);
}

TEST_F(AgwmainTest, AnInterruptEndsAgwmainWhenTheAgentRoutesNoSignals) {
    WriteConfig("requests:\n  - {name: slow, table: TSTQUEUE, interval: 3600}\n");
    ASSERT_FALSE(agw::SignalActionInstalled(EVT1_SIGINT));
    KillSelfAfterFirstSample(SIGINT);
    EXPECT_EQ(Counters().live, 0);
    EXPECT_FALSE(agw::SignalActionInstalled(EVT1_SIGINT));  // agwmain put the default back
}

// A broken output is reported once and sampling goes on.
void ExpectSamplingSurvivesBrokenOutput(AgwmainTest& test, const char* name) {
    gManager->sampler = [](TstObject& object) {
        object.AddRow(MakeRow("Q", 1, "ON"));
        if (object.SampleNumber() == 3) TBX_Shutdown(0);
    };
    ::testing::internal::CaptureStderr();
    int status = test.Run(&test.clock);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Counters().samples, 3);
    EXPECT_EQ(CountLines(err), 1) << err;
    EXPECT_NE(err.find(std::string("cannot write rows to ") + name), std::string::npos) << err;
}

// Nothing written to a pipe whose reader has gone will be read: the run
// ends after that sample, with one line, as on SIGTERM.
TEST_F(AgwmainTest, AClosedStandardOutputEndsTheRunWithOneLine) {
    int saved = dup(STDOUT_FILENO);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);  // nobody reads: writes fail with EPIPE (and SIGPIPE, which agwmain ignores)
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    gManager->sampler = [](TstObject& object) {
        object.AddRow(MakeRow("Q", 1, "ON"));
        if (object.SampleNumber() == 3) TBX_Shutdown(0);
    };
    ::testing::internal::CaptureStderr();
    int status = Run(&clock);
    std::string err = ::testing::internal::GetCapturedStderr();
    dup2(saved, STDOUT_FILENO);
    close(saved);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Counters().samples, 1);
    EXPECT_EQ(Counters().live, 0);
    EXPECT_EQ(err, "agwmain: the reader of standard output has gone; ending the run\n");
}

TEST_F(AgwmainTest, AFullDiskDoesNotStopSampling) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    setenv("AGW_OUTPUT", "/dev/full", 1);
    ExpectSamplingSurvivesBrokenOutput(*this, "/dev/full");
}

}  // namespace
