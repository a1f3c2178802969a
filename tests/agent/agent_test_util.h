// Helpers shared by the agent's tests.
#ifndef AGENT_TEST_UTIL_H
#define AGENT_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstddef>
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

}  // namespace agent_test

#endif  // AGENT_TEST_UTIL_H
