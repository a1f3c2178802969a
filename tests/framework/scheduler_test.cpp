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

TEST(Scheduler, ASampleThatOverrunsDoesNotCauseABurst) {
    FakeClock clock;
    std::vector<std::string> log;
    Recorder slow("S", 2, clock, log), quick("Q", 1, clock, log);
    slow.costMs = 5000;
    agw::Scheduler scheduler(clock);
    scheduler.Add(&slow);
    scheduler.Add(&quick);
    // Q was due at 0 but S held the thread until 5: Q runs once, then keeps
    // its pace from there.
    EXPECT_EQ(RunFor(scheduler, log, 5), (std::vector<std::string>{"0S", "5Q", "6Q", "7S", "12Q"}));
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
