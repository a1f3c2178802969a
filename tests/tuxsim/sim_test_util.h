// Helpers for the tests of the simulated domain: temporary domain files, a
// fixture that starts every test from a clean stand-in, and a MIB request
// with its reply.
#ifndef SIM_TEST_UTIL_H
#define SIM_TEST_UTIL_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>

#include "atmi.h"
#include "fml32.h"
#include "const_calls.h"
#include "tuxsim.h"

// 23:00 local time on the day of `t`, so that all of that day's user-log
// records of a domain are already written.
inline std::time_t late_today(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    tm.tm_hour = 23;
    tm.tm_min = 0;
    tm.tm_sec = 0;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

// A domain file written for one test and removed afterwards.
class TempFile {
public:
    explicit TempFile(const std::string& text, const char* suffix = ".yaml") {
        // A folder of its own (mkdtemp), so the suffix needs no rename race.
        char tmpl[] = "/tmp/tuxsim_test_XXXXXX";
        if (mkdtemp(tmpl) != nullptr) dir_ = tmpl;
        path_ = dir_ + "/domain" + suffix;
        std::ofstream(path_) << text;
    }
    ~TempFile() {
        std::remove(path_.c_str());
        rmdir(dir_.c_str());
    }
    const std::string& path() const { return path_; }

private:
    std::string dir_;
    std::string path_;
};

// Every test starts with a fresh stand-in serving its own domain file, its
// requests kept in memory for tuxsim::requests().
class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        tuxsim::reset();
        tuxsim::record_requests();
    }
    void TearDown() override { tuxsim::reset(); }

    // Serves `yaml` from now on (kept until the test ends).
    void serve(const std::string& yaml) {
        file_ = std::make_unique<TempFile>(yaml);
        tuxsim::use_domain_file(file_->path());
    }
    void join() { ASSERT_EQ(tpinit(nullptr), 0) << tpstrerror(tperrno); }

    std::unique_ptr<TempFile> file_;
};

// One request buffer and one reply buffer, and shorthands to read them.
class MibCall {
public:
    explicit MibCall(long reply_size = 8192) {
        req_ = reinterpret_cast<FBFR32*>(tpalloc("FML32", nullptr, 0));
        rep_ = tpalloc("FML32", nullptr, reply_size);
    }
    ~MibCall() {
        tpfree(reinterpret_cast<char*>(req_));
        tpfree(rep_);
    }
    MibCall(const MibCall&) = delete;
    MibCall& operator=(const MibCall&) = delete;

    MibCall& set(const char* name, const std::string& v) {
        Fchg32(req_, Fldid32(name), 0, v.c_str(), 0);
        return *this;
    }
    MibCall& set(const char* name, long v) {
        Fchg32(req_, Fldid32(name), 0, reinterpret_cast<char*>(&v), 0);
        return *this;
    }
    MibCall& get(const std::string& cls) { return set("TA_OPERATION", "GET").set("TA_CLASS", cls); }
    // Turns the request into the GETNEXT that follows the last reply.
    MibCall& next() { return set("TA_OPERATION", "GETNEXT").set("TA_CURSOR", str("TA_CURSOR")); }

    int call(long flags = TPNOTRAN | TPNOCHANGE | TPSIGRSTRT) {
        return tpcall(".TMIB", reinterpret_cast<char*>(req_), 0, &rep_, &len_, flags);
    }

    long num(const char* name, int oc = 0) const {
        long v = -999;
        FLDLEN32 n = sizeof v;
        Fget32(rep(), Fldid32(name), oc, reinterpret_cast<char*>(&v), &n);
        return v;
    }
    std::string str(const char* name, int oc = 0) const {
        char* p = Ffind32(rep(), Fldid32(name), oc, nullptr);
        return p ? p : "<absent>";
    }
    int count(const char* name) const { return Foccur32(rep(), Fldid32(name)); }

    FBFR32* req() { return req_; }
    FBFR32* rep() const { return reinterpret_cast<FBFR32*>(rep_); }
    char*& rep_ptr() { return rep_; }
    long len() const { return len_; }

private:
    FBFR32* req_;
    char* rep_;
    long len_ = 0;
};

#endif
