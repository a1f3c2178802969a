// Trace, signal records and names, timestamps and the node name.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

#include "agw_internal.h"
#include "test_table.h"
#include "test_util.h"

namespace {

// Sends trace lines to a file for the test and reads them back.
struct TraceTest : ::testing::Test {
    void SetUp() override {
        path = TestFile("agw_trace", ".log");
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        previous = agw::SetTraceFd(fd);
    }
    void TearDown() override {
        agw::SetTraceFd(previous);
        close(fd);
        TRC1_Configure("");
    }
    std::string Lines() { return ReadFile(path); }
    std::string path;
    int fd = -1;
    int previous = -1;
};

TEST_F(TraceTest, DefaultIsErrorsOnlyAndUnitsMayOverrideIt) {
    static TRC1_Block agent = {"ZTA300", "zta01agt", "TakeSample"};
    static TRC1_Block binding = {"AGW130", "agwtx01b", "PrintSelf"};
    ASSERT_EQ(TRC1_Configure(""), 0);
    EXPECT_EQ(TRC1_Sync(&agent), AGW_TRC_ERROR);
    ASSERT_EQ(TRC1_Configure("0x80, ZTA01AGT=0x1ff,agwtx01b=80"), 0);
    EXPECT_EQ(TRC1_Sync(&agent), 0x1ffu);  // the cached mask follows the change
    EXPECT_EQ(TRC1_Sync(&binding), 80u);
    ASSERT_EQ(TRC1_Configure("464"), 0);
    EXPECT_EQ(TRC1_Sync(&binding), 0x1d0u);
}

TEST_F(TraceTest, ABadMaskIsReportedOnceAndTheDefaultUsed) {
    static TRC1_Block block = {"ZTA300", "zta01agt", "TakeSample"};
    for (const char* bad : {"0x", "fast", "0x80,=0x10", "0x80,zta01agt=", "0x1ffffffff", "-1"}) {
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(TRC1_Configure(bad), -1) << bad;
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(CountLines(err), 1) << err;
        EXPECT_NE(err.find("AGW_TRACE"), std::string::npos) << err;
        EXPECT_NE(err.find("expected"), std::string::npos) << err;
        EXPECT_EQ(TRC1_Sync(&block), AGW_TRC_DEFAULT) << bad;
    }
}

// A routine tracing through its caller's block names the caller's unit and
// its own file and line; in the caller's own unit the line reads as usual.
TEST_F(TraceTest, LinesWrittenForACallersBlockNameTheWritingFileAndLine) {
    static TRC1_Block block = {"ZTA300", "zta01agt", "TakeSample"};
    TRC1_Configure("0xd0");
    TRC1_PrintfClassAt(&block, "/src/zta/ztacycle.cpp", 120, AGW_TRC_ERROR, "loop");
    TRC1_EventAt(&block, "src/zta01agt.cpp", 30, AGW_TRC_EVENT_ENTRY);
    TRC1_PrintfClassAt(&block, "ztacycle.cpp", 7, 0, "printed");
    TRC1_PrintfClassAt(&block, "ztacycle.cpp", 8, AGW_TRC_ROW, "off");
    const std::string text = Lines();
    EXPECT_EQ(CountLines(text), 3) << text;
    EXPECT_NE(text.find(" ZTA300 zta01agt(ztacycle:120) TakeSample ERROR loop\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" ZTA300 zta01agt:30 TakeSample FLOW entry\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" zta01agt(ztacycle:7) TakeSample PRINT printed\n"), std::string::npos) << text;
}

TEST_F(TraceTest, LinesCarryTimeUnitRoutineClassAndTextOnlyWhenTheClassIsOn) {
    static TRC1_Block block = {"ZTA300", "zta01agt", "TakeSample"};
    TRC1_Configure("0x80,zta01agt=0x50");
    AGW_TRACE_ENTRY(block);
    AGW_TRACE(block, AGW_TRC_DETAIL, "rows: <%d>\n", 3);
    AGW_TRACE(block, AGW_TRC_ROW, "row %d", 1);  // off
    AGW_TRACE(block, AGW_TRC_STATE, "state");    // off
    AGW_TRACE_EXIT_VALUE(block, 7);
    TRC1_Printf(&block, 99, "\nbanner\n");  // whatever the mask, one line per line of text
    std::string text = Lines();
    EXPECT_EQ(CountLines(text), 5) << text;
    EXPECT_NE(text.find(" ZTA300 zta01agt:"), std::string::npos) << text;
    EXPECT_NE(text.find(" TakeSample FLOW entry\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" TakeSample DETAIL rows: <3>\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" TakeSample FLOW exit <7>\n"), std::string::npos) << text;
    EXPECT_NE(text.find("zta01agt:99 TakeSample PRINT \n"), std::string::npos) << text;
    EXPECT_NE(text.find("zta01agt:99 TakeSample PRINT banner\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("row 1"), std::string::npos);
    // 2024-05-01 12:00:00.123
    int y, mo, d, h, mi, s, ms;
    EXPECT_EQ(std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d ", &y, &mo, &d, &h, &mi, &s, &ms), 7);
}

TEST_F(TraceTest, DumpThresholdsWritesEveryThreshold) {
    RequestDetail request;
    request.name = "busy";
    request.thresholds = {{"DEPTH", GE, "100"}, {"STATE", NE, "IDL"}};
    TstObject object(&request, nullptr, nullptr);
    object.DumpThresholds();
    std::string text = Lines();
    EXPECT_NE(text.find("::request=busy,thresholds=2"), std::string::npos) << text;
    EXPECT_NE(text.find("::threshold DEPTH GE \"100\""), std::string::npos) << text;
    EXPECT_NE(text.find("::threshold STATE NE \"IDL\""), std::string::npos) << text;
}

TEST(Signals, NamesAndCodes) {
    EXPECT_STREQ(EVT1_SignalName(EVT1_SIGINT), "SIGINT");
    EXPECT_STREQ(EVT1_SignalName(33), "SIGTERM");
    EXPECT_STREQ(EVT1_SignalName(14), "SIGILL");
    EXPECT_STREQ(EVT1_SignalName(2), "UNKNOWN");
}

TEST(Signals, RefusesUnknownCodesAndBadRecords) {
    EVT1_ActionRecord record{};
    record.handler = [](int) {};
    errno = 0;
    EXPECT_NE(EVT1_Action(2, &record, 0), 0);  // a system number is not a framework code
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_NE(EVT1_Action(EVT1_SIGINT, nullptr, 0), 0);
    EXPECT_EQ(errno, EINVAL);
    record.reserved[7] = 1;
    errno = 0;
    EXPECT_NE(EVT1_Action(EVT1_SIGINT, &record, 0), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(agw::SignalActionInstalled(EVT1_SIGINT));
}

TEST(Signals, ActionsRunOffTheSignalHandlerWithTheFrameworkCode) {
    static std::atomic<int> code{0};
    ASSERT_EQ(FLT1_Signal(EVT1_SIGILL, [](int c) { code = c; }), 0);
    raise(SIGILL);  // sent, not raised by the processor: handled like any other
    for (int i = 0; i < 2000 && code == 0; ++i) usleep(1000);
    EXPECT_EQ(code.load(), EVT1_SIGILL);
    EXPECT_EQ(FLT1_Signal(EVT1_SIGILL, nullptr), 0);
}

// While routed: SIGHUP asks for a reopen and wakes agwmain's loop without
// stopping it; SIGUSR2 (as SIGQUIT, SIGUSR1, SIGALRM) stops the run like
// SIGTERM. A signal someone else handles is left to them; off puts the
// defaults back.
TEST(Signals, ServiceSignalsReopenOrStopAndAreGivenBack) {
    agw::ResetShutdown();
    struct sigaction own {};
    own.sa_handler = [](int) {};
    sigemptyset(&own.sa_mask);
    struct sigaction before {};
    ASSERT_EQ(sigaction(SIGUSR1, &own, &before), 0);

    const int wake = agw::ShutdownWakeFd();  // made before agwmain waits on it
    agw::RouteServiceSignals(true);
    raise(SIGHUP);
    EXPECT_TRUE(agw::TakeReopenRequest());
    EXPECT_FALSE(agw::TakeReopenRequest());
    EXPECT_FALSE(agw::ShutdownRequested());
    char byte = 0;
    EXPECT_EQ(read(wake, &byte, 1), 1);  // the loop was woken
    agw::DrainShutdownWake();

    raise(SIGUSR1);  // the test's own handler runs: nothing stops
    EXPECT_FALSE(agw::ShutdownRequested());
    raise(SIGUSR2);
    EXPECT_TRUE(agw::ShutdownRequested());
    EXPECT_STREQ(agw::TakeStopSignalName(), "SIGUSR2");
    EXPECT_EQ(agw::TakeStopSignalName(), nullptr);

    agw::RouteServiceSignals(false);
    struct sigaction now {};
    ASSERT_EQ(sigaction(SIGHUP, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    ASSERT_EQ(sigaction(SIGUSR1, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, own.sa_handler);
    sigaction(SIGUSR1, &before, nullptr);
    agw::ResetShutdown();
}

TEST(TimeStamp, SixteenDigitsOfLocalTimeAndANul) {
    char stamp[18];
    std::memset(stamp, 'x', sizeof stamp);
    time_t before = time(nullptr);
    ASSERT_EQ(TBX_GenerateTimeStamp(stamp, 0), 0);
    time_t after = time(nullptr);
    EXPECT_EQ(stamp[16], '\0');
    EXPECT_EQ(stamp[17], 'x');
    for (int i = 0; i < 16; ++i) EXPECT_TRUE(stamp[i] >= '0' && stamp[i] <= '9') << stamp;
    char expected[2][32];
    time_t times[2] = {before, after};
    for (int i = 0; i < 2; ++i) {
        tm local{};
        localtime_r(&times[i], &local);
        strftime(expected[i], sizeof expected[i], "1%y%m%d%H%M%S", &local);
    }
    std::string head(stamp, 13);
    EXPECT_TRUE(head == expected[0] || head == expected[1]) << stamp;
    EXPECT_EQ(TBX_GenerateTimeStamp(nullptr, 0), AGW_STATUS_BAD_ARGUMENT);
}

TEST(TimeStamp, StampsMadeWithinASecondStayExactAndNeverGoBack) {
    // Most calls reuse the digits up to the second made by an earlier one.
    std::string previous;
    for (int i = 0; i < 3000; ++i) {
        char stamp[17];
        // The clock the stamps read: time() may run on a coarser clock that
        // reaches a new second a few milliseconds later.
        timespec t0{}, t1{};
        clock_gettime(CLOCK_REALTIME, &t0);
        ASSERT_EQ(TBX_GenerateTimeStamp(stamp, 0), 0);
        clock_gettime(CLOCK_REALTIME, &t1);
        time_t before = t0.tv_sec, after = t1.tv_sec;
        std::string heads[2];
        time_t times[2] = {before, after};
        for (int k = 0; k < 2; ++k) {
            tm local{};
            localtime_r(&times[k], &local);
            char text[32];
            strftime(text, sizeof text, "1%y%m%d%H%M%S", &local);
            heads[k] = text;
        }
        const std::string now(stamp, 16);
        ASSERT_TRUE(now.compare(0, 13, heads[0]) == 0 || now.compare(0, 13, heads[1]) == 0) << now;
        ASSERT_GE(now, previous);
        previous = now;
        if (i % 100 == 0) usleep(20000);  // across a few seconds' boundaries
    }
}

TEST(LocalHost, NameIsTerminatedWithinTheSize) {
    char name[64];
    ASSERT_EQ(DetermineLocalHost(name, sizeof name), 0);
    EXPECT_GT(std::strlen(name), 0u);
    char tiny[3] = {'x', 'x', 'x'};
    ASSERT_EQ(DetermineLocalHost(tiny, 2), 0);
    EXPECT_EQ(tiny[1], '\0');
    EXPECT_EQ(tiny[2], 'x');
    EXPECT_EQ(DetermineLocalHost(name, 0), AGW_STATUS_BAD_ARGUMENT);
}

}  // namespace
