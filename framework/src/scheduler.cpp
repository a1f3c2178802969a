// The sample scheduler (see scheduler.h).
#include "scheduler.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

namespace agw {

std::int64_t SteadyClock::NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void SteadyClock::WaitUntil(std::int64_t deadlineMs) {
    std::int64_t left = deadlineMs - NowMs();
    if (left <= 0) return;
    int timeout = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    pollfd wake{wakeFd_, POLLIN, 0};
    // A negative descriptor is ignored by poll, which then simply sleeps.
    poll(&wake, 1, timeout);
}

bool Scheduler::Later(const Entry& a, const Entry& b) {
    return a.due != b.due ? a.due > b.due : a.order > b.order;
}

void Scheduler::Add(Task* task) {
    heap_.push_back(Entry{clock_.NowMs(), nextOrder_++, task});
    std::push_heap(heap_.begin(), heap_.end(), Later);
}

void Scheduler::Remove(Task* task) {
    std::erase_if(heap_, [task](const Entry& entry) { return entry.task == task; });
    std::make_heap(heap_.begin(), heap_.end(), Later);
}

void Scheduler::Run(const std::function<bool()>& stop) {
    while (!stop()) {
        if (heap_.empty()) {
            // Nothing to sample: wait for the stop request.
            clock_.WaitUntil(clock_.NowMs() + 60'000);
            continue;
        }
        Entry next = heap_.front();
        const std::int64_t now = clock_.NowMs();
        if (now < next.due) {
            clock_.WaitUntil(next.due);
            continue;  // woken early, or due now: ask stop() again first
        }
        std::pop_heap(heap_.begin(), heap_.end(), Later);
        heap_.pop_back();
        std::int64_t interval = std::int64_t{std::max(1, next.task->IntervalSeconds())} * 1000;
        const std::int64_t slack = interval / 2;
        if (now - next.due > slack) {
            // Too late for the due time (an earlier sample overran, or the
            // thread did not get the processor): the points of the grid
            // that cannot be made any more are skipped, and the task waits
            // in the queue for the first one that still can, which keeps
            // its place among the others due.
            const auto missed = static_cast<std::uint64_t>((now - slack - next.due + interval - 1) / interval);
            const std::int64_t late = now - next.due;
            next.due += static_cast<std::int64_t>(missed) * interval;
            next.task->Skipped(missed, late);
        } else {
            next.task->Run();
            interval = std::int64_t{std::max(1, next.task->IntervalSeconds())} * 1000;
            next.due += interval;
        }
        heap_.push_back(next);
        std::push_heap(heap_.begin(), heap_.end(), Later);
    }
}

}  // namespace agw
