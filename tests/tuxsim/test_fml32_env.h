// Points the FML32 field tables and the views at test data for the length of
// one test, and restores the environment afterwards.
#ifndef TEST_FML32_ENV_H
#define TEST_FML32_ENV_H

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "tuxsim_fml.h"

// The C layout of the test view "nulls" (data/views/convert.v), one member
// of each type with its null value.
struct Nulls {
    char c;
    short s;
    int i;
    long l;
    float f;
    double d;
    char str[6];
    char arr[4];
    int own;
};

class ScopedFmlEnv {
public:
    ScopedFmlEnv() = default;
    ScopedFmlEnv(const ScopedFmlEnv&) = delete;
    ScopedFmlEnv& operator=(const ScopedFmlEnv&) = delete;
    ~ScopedFmlEnv() {
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
        tuxsim_Freset32();
    }

    // Sets (or, with nullptr, unsets) a variable and makes the next FML32
    // call read the tables and views again.
    void set(const char* name, const char* value) {
        if (!saved_.count(name)) {
            const char* old = std::getenv(name);
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
        tuxsim_Freset32();
    }

    void fields(const char* files, const char* dirs = TUXSIM_TEST_DATA "/fml") {
        set("FLDTBLDIR32", dirs);
        set("FIELDTBLS32", files);
    }

    void views(const char* files, const char* dirs = TUXSIM_TEST_DATA "/views") {
        set("VIEWDIR32", dirs);
        set("VIEWFILES32", files);
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

#endif  // TEST_FML32_ENV_H
