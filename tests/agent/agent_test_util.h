// Helpers shared by the agent's tests.
#ifndef AGENT_TEST_UTIL_H
#define AGENT_TEST_UTIL_H

#include <gtest/gtest.h>
#include <tuxsim.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace agent_test {

// Runs f and returns what it wrote to standard error (join messages, error
// output and error trace lines).
template <class F>
std::string stderr_of(F&& f) {
    ::testing::internal::CaptureStderr();
    f();
    return ::testing::internal::GetCapturedStderr();
}

// A fixed-width column as it is, and a value blank-padded to a width.
inline std::string text(const char* field, std::size_t width) { return std::string(field, width); }
inline std::string padded(const std::string& value, std::size_t width) {
    return value + std::string(width - value.size(), ' ');
}

// A clock for the agent's timestamps that reads the MIB calls recorded so
// far as seconds after 2024-12-09 04:00:00 UTC: a stamp taken before call n
// reads n - 1 seconds, one taken after it n, whatever the machine's load.
inline std::time_t calls_clock() {
    return 1733716800 + static_cast<std::time_t>(tuxsim::requests().size());
}

// The clock the agent's failed joins are paced by (Txinit::SetClock): it
// stands still unless a test moves it. Read and moved on the test's thread.
inline std::int64_t pace_now_ms = 0;
inline std::int64_t pace_clock() { return pace_now_ms; }

}  // namespace agent_test

#endif  // AGENT_TEST_UTIL_H
