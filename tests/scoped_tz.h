// A time zone for the length of a scope, for tests of local-time output in
// any part (it knows nothing of them).
#ifndef SCOPED_TZ_H
#define SCOPED_TZ_H

#include <cstdlib>
#include <ctime>
#include <string>

namespace test_support {

// Sets TZ and restores the previous zone when the scope ends.
class ScopedTz {
public:
    explicit ScopedTz(const char* tz) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz() {
        if (had_) setenv("TZ", old_.c_str(), 1); else unsetenv("TZ");
        tzset();
    }
    ScopedTz(const ScopedTz&) = delete;
    ScopedTz& operator=(const ScopedTz&) = delete;

private:
    bool had_ = false;
    std::string old_;
};

}  // namespace test_support

#endif  // SCOPED_TZ_H
