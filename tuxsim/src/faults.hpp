// Injected faults: the Nth call of tpinit, tpalloc or tpcall failing with a
// chosen tperrno, and spans of time during which the domain is down.
#ifndef TUXSIM_FAULTS_HPP
#define TUXSIM_FAULTS_HPP

#include <array>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "tuxsim.h"

namespace tuxsim::detail {

struct CallFault {
    Call call;
    long nth;  // 1 = the first call after the fault list is installed
    int err;
};

struct DownFault {
    long span;   // seconds
    long after;  // seconds after installation
};

struct FaultList {
    std::vector<CallFault> calls;
    std::vector<DownFault> downs;
};

// Parses "tpcall:2:TPESYSTEM,tpinit:1:12,down:5,down:10:60" (see README.md).
// Returns the empty string on success, else what was wrong; `out` receives
// the items only on success.
std::string parse_faults(std::string_view text, FaultList& out);

class FaultPlan {
public:
    // Adds faults counted from the calls made after this point.
    void install(const FaultList& list, std::time_t now);
    // Counts a call of fn; returns the tperrno it must fail with, or 0.
    int on_call(Call fn);
    bool down(std::time_t now) const;
    void clear();

private:
    struct Pending {
        Call call;
        long at;  // value of the call counter at which the call fails
        int err;
    };
    struct Span {
        std::time_t from, to;
    };
    std::array<long, 3> counts_{};
    std::vector<Pending> pending_;
    std::vector<Span> downs_;
};

}  // namespace tuxsim::detail

#endif
