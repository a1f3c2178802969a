// The clock agwmain schedules samples by. The steady clock serves a real
// run; a clock of the caller's lets a long run (a soak of hours of
// samples) go by without waiting.
#ifndef AGW_CLOCK_H
#define AGW_CLOCK_H

#include <cstdint>

namespace agw {

class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic milliseconds.
    virtual std::int64_t NowMs() = 0;
    // Waits until NowMs() >= deadline. Returns early when woken (e.g. by a
    // shutdown request); the scheduler then checks whether to stop.
    virtual void WaitUntil(std::int64_t deadlineMs) = 0;
};

}  // namespace agw

// agwmain with the caller's clock (null: the steady clock). Everything else
// is as agwmain does it; the clock is asked from agwmain's thread only.
int agwmain_with_clock(int argc, char** argv, agw::Clock* clock);

#endif
