// The sample scheduler: runs tasks on one thread in due order, each at a
// fixed rate, until told to stop. A task's due times stay on the grid of its
// first due time plus whole intervals, so a late or slow sample never shifts
// the samples after it; a run that cannot start within half an interval of
// its due time is skipped rather than taken late. The clock is injectable,
// so tests can run hours of schedule without waiting.
#ifndef AGW_SCHEDULER_H
#define AGW_SCHEDULER_H

#include <cstdint>
#include <functional>
#include <vector>

#include "agw_clock.h"

namespace agw {

// The steady clock; waits end early when wakeFd becomes readable.
class SteadyClock : public Clock {
public:
    explicit SteadyClock(int wakeFd) : wakeFd_(wakeFd) {}
    std::int64_t NowMs() override;
    void WaitUntil(std::int64_t deadlineMs) override;

private:
    int wakeFd_;
};

class Scheduler {
public:
    class Task {
    public:
        virtual ~Task() = default;
        // Seconds to the next run, read after every run (so a task may change
        // it at any time); below 1 counts as 1.
        virtual int IntervalSeconds() = 0;
        virtual void Run() = 0;
        // `samples` due times went by without a run: the first of them was
        // lateMs behind when the scheduler came to it. The next run is on
        // the grid.
        virtual void Skipped(std::uint64_t /*samples*/, std::int64_t /*lateMs*/) {}
    };

    explicit Scheduler(Clock& clock) : clock_(clock) {}
    // The task's first run is due now. Tasks due at the same time run in the
    // order they were added.
    void Add(Task* task);
    // Takes a task off the schedule (it may be called from stop()).
    void Remove(Task* task);
    // Runs due tasks until stop() returns true; stop is asked before every
    // wait and every run. After a run the task is due one interval after the
    // due time it ran for; a task the scheduler comes to more than half an
    // interval after its due time skips to the first point of its grid it
    // can still make.
    void Run(const std::function<bool()>& stop);

private:
    struct Entry {
        std::int64_t due;
        std::uint64_t order;
        Task* task;
    };
    static bool Later(const Entry& a, const Entry& b);
    Clock& clock_;
    std::vector<Entry> heap_;
    std::uint64_t nextOrder_ = 0;
};

}  // namespace agw

#endif
