// TUXSIM_FAULTS: any text as the fault list. parse_faults must accept it
// whole or refuse it whole, and what it accepts must be in range.
#include <cstdlib>

#include "faults.hpp"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = zfuzz::Text(data, size);
    tuxsim::detail::FaultList list;
    const std::string error = tuxsim::detail::parse_faults(text, list);
    if (!error.empty()) {
        if (!list.calls.empty() || !list.downs.empty()) std::abort();  // a refusal installs nothing
        return 0;
    }
    for (const auto& c : list.calls)
        if (c.nth < 1 || c.err < 1) std::abort();
    for (const auto& d : list.downs)
        if (d.span < 1 || d.after < 0) std::abort();
    // Installing and consulting the plan must not overflow either.
    tuxsim::detail::FaultPlan plan;
    plan.install(list, 2'000'000'000);
    plan.on_call(tuxsim::Call::tpcall);
    plan.down(2'000'000'001);
    return 0;
}
