// The scheduler's order of samples, on a clock the test drives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scheduler.h"

namespace {

// Time moves only when the scheduler waits, straight to the deadline.
struct FakeClock : agw::Clock {
    std::int64_t now = 0;
    std::int64_t NowMs() override { return now; }
    void WaitUntil(std::int64_t deadline) override { now = std::max(now, deadline); }
};

struct Recorder : agw::Scheduler::Task {
    Recorder(const char* n, int i, FakeClock& c, std::vector<std::string>& l) : name(n), interval(i), clock(c), log(l) {}
    int IntervalSeconds() override { return interval; }
    void Run() override {
        log.push_back(std::to_string(clock.now / 1000) + name);
        clock.now += costMs;
    }
    const char* name;
    int interval;
    FakeClock& clock;
    std::vector<std::string>& log;
    std::int64_t costMs = 0;
};

std::vector<std::string> RunFor(agw::Scheduler& scheduler, std::vector<std::string>& log, std::size_t runs) {
    scheduler.Run([&] { return log.size() >= runs; });
    return log;
}

TEST(Scheduler, RunsTwoIntervalsInDueOrderFirstAtOnce) {
    FakeClock clock;
    std::vector<std::string> log;
    Recorder a("A", 2, clock, log), b("B", 3, clock, log);
    agw::Scheduler scheduler(clock);
    scheduler.Add(&a);
    scheduler.Add(&b);
    EXPECT_EQ(RunFor(scheduler, log, 9),
              (std::vector<std::string>{"0A", "0B", "2A", "3B", "4A", "6A", "6B", "8A", "9B"}));
}

TEST(Scheduler, HonoursAnIntervalTheTaskChanges) {
    FakeClock clock;
    std::vector<std::string> log;
    Recorder a("A", 30, clock, log);
    agw::Scheduler scheduler(clock);
    scheduler.Add(&a);
    a.interval = 120;  // as a table object's constructor may do
    EXPECT_EQ(RunFor(scheduler, log, 3), (std::vector<std::string>{"0A", "120A", "240A"}));
    a.interval = 0;  // below one second counts as one
    EXPECT_EQ(RunFor(scheduler, log, 5), (std::vector<std::string>{"0A", "120A", "240A", "360A", "361A"}));
}

// Due times stay on each task's grid (its first due time plus whole
// intervals): a run a little late is taken and the next is due on the grid,
// a due time missed by more than half an interval is skipped and counted,
// never made up later.
TEST(Scheduler, KeepsToTheGridAndSkipsWhatAnOverrunMadeTooLate) {
    FakeClock clock;
    std::vector<std::string> log;
    struct Timed : Recorder {
        using Recorder::Recorder;
        void Run() override {
            log.push_back(std::to_string(clock.now) + name);
            clock.now += costs.empty() ? 0 : costs.front();
            if (!costs.empty()) costs.erase(costs.begin());
        }
        void Skipped(std::uint64_t samples, std::int64_t lateMs) override {
            skipped += samples;
            log.push_back("skip" + std::to_string(samples) + name + "@" + std::to_string(lateMs));
        }
        std::vector<std::int64_t> costs;
        std::uint64_t skipped = 0;
    };
    Timed slow("S", 2, clock, log);
    slow.costs = {2500, 3500, 9500};
    agw::Scheduler scheduler(clock);
    scheduler.Add(&slow);
    EXPECT_EQ(RunFor(scheduler, log, 8), (std::vector<std::string>{
                                              "0S",           // takes 2.5 s
                                              "2500S",        // 0.5 s late: taken; takes 3.5 s
                                              "skip1S@2000",  // due at 4, the thread free at 6
                                              "6000S",        // on the grid; takes 9.5 s
                                              "skip4S@7500",  // 8, 10, 12 and 14 gone
                                              "16000S", "18000S", "20000S"}));
    EXPECT_EQ(slow.skipped, 5u);
}

TEST(Scheduler, StopsBeforeTheNextSample) {
    FakeClock clock;
    std::vector<std::string> log;
    Recorder a("A", 1, clock, log);
    agw::Scheduler scheduler(clock);
    scheduler.Add(&a);
    bool stop = true;
    scheduler.Run([&] { return stop; });
    EXPECT_TRUE(log.empty());
}

}  // namespace
