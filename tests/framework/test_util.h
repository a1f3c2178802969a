// Helpers of the framework's tests.
#ifndef AGW_TEST_UTIL_H
#define AGW_TEST_UTIL_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// A file name for the running test, under the test temporary folder.
inline std::string TestFile(const std::string& stem, const std::string& suffix) {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name) {
        if (c == '/') c = '_';
    }
    return ::testing::TempDir() + "/" + stem + "_" + name + suffix;
}

inline bool HavePython() { return std::system("python3 -c pass >/dev/null 2>&1") == 0; }

// True when python3's JSON Lines reader accepts the file and every line
// holds one JSON value.
inline bool PythonAcceptsJsonLines(const std::string& path) {
    std::string command = "python3 -m json.tool --json-lines < '" + path + "' > /dev/null";
    return std::system(command.c_str()) == 0;
}

inline int CountLines(const std::string& text) {
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

#endif
