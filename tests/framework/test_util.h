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

// This test process's own temporary folder, made with mkdtemp under
// GoogleTest's temporary folder on first use and removed with everything in
// it when the process exits, so that two runs of the suite never share a file.
// A function-local static: one folder per process is the point.
class ProcessTempFolder {
public:
    ProcessTempFolder() : path_(::testing::TempDir() + "agw_test_XXXXXX") {
        if (mkdtemp(path_.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
    }
    ~ProcessTempFolder() {
        std::string command = "rm -rf '" + path_ + "'";
        if (std::system(command.c_str()) != 0) std::perror("rm");
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline const std::string& ProcessTempDir() {
    static const ProcessTempFolder folder;
    return folder.path();
}

// A file name for the running test, in this process's temporary folder.
inline std::string TestFile(const std::string& stem, const std::string& suffix) {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name) {
        if (c == '/') c = '_';
    }
    return ProcessTempDir() + "/" + stem + "_" + name + suffix;
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
