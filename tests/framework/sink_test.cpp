// The row output on failing writes: whole lines only, each outage reported
// when it starts and when it ends, dropped rows counted.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <sstream>
#include <string>

#include "metrics.h"
#include "sink.h"
#include "test_util.h"

namespace {

// The dropped-rows counter as served (0 before the first drop).
double DroppedRows() {
    agw::MetricsRegistry& registry = agw::MetricsRegistry::Instance();
    const std::string name = registry.Prefix() + "_rows_dropped_total";
    std::istringstream text(registry.Exposition());
    for (std::string line; std::getline(text, line);) {
        if (line.rfind(name, 0) == 0 && (line[name.size()] == ' ' || line[name.size()] == '{')) {
            return std::strtod(line.c_str() + line.rfind(' ') + 1, nullptr);
        }
    }
    return 0;
}

// n lines of about width bytes each, {"n":first}, {"n":first+1}, ...
std::string Lines(int first, int n, std::size_t width = 40) {
    std::string out;
    for (int i = first; i < first + n; ++i) {
        std::string line = "{\"n\":" + std::to_string(i) + ",\"pad\":\"";
        line.append(width > line.size() + 3 ? width - line.size() - 3 : 0, 'x');
        out += line + "\"}\n";
    }
    return out;
}

// Every line is one whole object of Lines(); the numbers in order.
std::vector<int> Numbers(const std::string& text) {
    std::vector<int> numbers;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        EXPECT_EQ(line.rfind("{\"n\":", 0), 0u) << line;
        EXPECT_EQ(line.substr(line.size() < 2 ? 0 : line.size() - 2), "\"}") << line;
        numbers.push_back(std::atoi(line.c_str() + 5));
    }
    EXPECT_TRUE(text.empty() || text.back() == '\n');
    return numbers;
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// A regular file that stops taking bytes part-way through a block (a file
// size limit fails writes with EFBIG as a full disk does with ENOSPC) and
// takes them again later: the file is cut back to its last whole line, and
// the outage is said once at each end, though a short line still fits
// under the limit in the middle of it and the first lines after it are
// less than a block.
TEST(FailingOutput, FileIsCutBackToWholeLinesAndTheOutageReportedOnceEachWay) {
    const std::string path = TestFile("rows", ".jsonl");
    std::string error;
    std::unique_ptr<agw::RowSink> sink = agw::OpenRowOutput(path, &error);
    ASSERT_TRUE(sink) << error;
    const double before = DroppedRows();

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(sink->Write(Lines(0, 10)));  // 400 bytes
    rlimit small = saved;
    small.rlim_cur = 1000;  // the next block of 20 fits in part only
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool cut = sink->Write(Lines(10, 20));
    const bool fits = sink->Write(Lines(30, 1));   // one short line fits: no end of the outage
    const bool full = sink->Write(Lines(31, 19));  // cut again: silent
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    const bool back = sink->Write(Lines(50, 3));
    const bool again = sink->Write(Lines(53, 100, 50));  // a whole block since the last failure
    const std::string said = ::testing::internal::GetCapturedStderr();
    std::signal(SIGXFSZ, previous);

    EXPECT_FALSE(cut);
    EXPECT_TRUE(fits);
    EXPECT_FALSE(full);
    EXPECT_TRUE(back);
    EXPECT_TRUE(again);
    std::vector<int> expected;
    for (int i = 0; i < 10; ++i) expected.push_back(i);
    expected.push_back(30);
    for (int i = 50; i < 153; ++i) expected.push_back(i);
    EXPECT_EQ(Numbers(ReadFile(path)), expected);
    EXPECT_TRUE(!HavePython() || PythonAcceptsJsonLines(path));
    EXPECT_EQ(Count(said, "cannot write rows to " + path + ": File too large;"), 1) << said;
    EXPECT_EQ(Count(said, "rows to " + path + " are written again; 39 rows were dropped"), 1) << said;
    EXPECT_EQ(CountLines(said), 2) << said;
    EXPECT_EQ(DroppedRows() - before, 39);
}

// A pipe cannot be cut back: a line that went out in part is ended by the
// next write that succeeds, so every later line stands on its own.
TEST(FailingOutput, PipeGetsTheCutLineEndedAndDropsAreCounted) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    const int capacity = fcntl(fds[1], F_GETPIPE_SZ);
    ASSERT_GT(capacity, 0);
    agw::FdSink sink(fds[1], "the pipe", true);
    const double before = DroppedRows();
    ::testing::internal::CaptureStderr();
    // Lines of 100 bytes: the pipe takes the first capacity/100 lines whole
    // and the next in part (capacity is a multiple of the page, not of 100).
    const int fit = capacity / 100;
    EXPECT_FALSE(sink.Write(Lines(0, fit + 5, 100)));
    EXPECT_FALSE(sink.Write(Lines(1000, 3, 100)));  // still full: silent, all dropped
    std::string got;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) got.append(buffer, static_cast<std::size_t>(n));
    EXPECT_TRUE(sink.Write(Lines(2000, 50, 100)));  // a whole block: the outage is over
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) got.append(buffer, static_cast<std::size_t>(n));
    const std::string said = ::testing::internal::GetCapturedStderr();
    close(fds[0]);

    // The whole lines, the fragment ended by a newline, then the new lines.
    const std::size_t whole = static_cast<std::size_t>(fit) * 100;
    ASSERT_GT(got.size(), whole);
    EXPECT_EQ(Numbers(got.substr(0, whole)).size(), static_cast<std::size_t>(fit));
    const std::size_t fragmentEnd = got.find('\n', whole);
    ASSERT_NE(fragmentEnd, std::string::npos);
    EXPECT_EQ(fragmentEnd, static_cast<std::size_t>(capacity));
    std::vector<int> after;
    for (int i = 2000; i < 2050; ++i) after.push_back(i);
    EXPECT_EQ(Numbers(got.substr(fragmentEnd + 1)), after);
    EXPECT_EQ(Count(said, "cannot write rows to the pipe: Resource temporarily unavailable;"), 1) << said;
    EXPECT_EQ(Count(said, "rows to the pipe are written again; 8 rows were dropped"), 1) << said;
    EXPECT_EQ(DroppedRows() - before, 8);
}

// A device that never takes a byte: every block is dropped, said once.
TEST(FailingOutput, DevFullDropsEveryBlockAndSaysSoOnce) {
    const int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    agw::FdSink sink(fd, "/dev/full", true);
    const double before = DroppedRows();
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(sink.Write(Lines(i * 4, 4)));
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(Count(said, "cannot write rows to /dev/full: No space left on device;"), 1) << said;
    EXPECT_EQ(CountLines(said), 1) << said;
    EXPECT_EQ(DroppedRows() - before, 12);
}

}  // namespace
