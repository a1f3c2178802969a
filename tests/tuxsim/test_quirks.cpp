// The quirks of a laxer MIB: from the domain file and from set_quirks, one
// behaviour each, and strict view conversions.
#include <time.h>

#include <chrono>
#include <cstring>
#include <set>

#include "sim_test_util.h"
#include "test_fml32_env.h"
#include "tuxsim_fml.h"

namespace {

// Three clients of the file and the process's own make four; five servers;
// two objects per reply.
const char* kDomain = R"(
batch: 2
classes:
  T_MACHINE: [{TA_LMID: SITE1}]
  T_CLIENT: [{TA_CLIENTID: C1}, {TA_CLIENTID: C2}, {TA_CLIENTID: C3}]
  T_SERVER: [{TA_SRVID: 1}, {TA_SRVID: 2}, {TA_SRVID: 3}, {TA_SRVID: 4}, {TA_SRVID: 5}]
  T_GROUP: [{TA_SRVGRP: G1}]
)";

class Quirks : public SimTest {
protected:
    // Serves kDomain with `quirks` as its quirks section, joined.
    void start(const std::string& quirks = "") {
        serve(std::string(kDomain) + (quirks.empty() ? "" : "quirks: " + quirks + "\n"));
        join();
    }
    std::string error_of(const std::string& quirks) {
        serve("quirks: " + quirks + "\n");
        std::string err = tuxsim::load_domain();
        return err.substr(std::min(err.size(), file_->path().size()));
    }
};

TEST_F(Quirks, TheSectionIsCheckedLikeTheRestOfTheFile) {
    EXPECT_EQ(error_of("{endless: [T_NOSUCH]}"), ":1:20: quirks endless: unknown MIB class \"T_NOSUCH\"");
    EXPECT_EQ(error_of("{omit_more: 3}"), ":1:21: quirks omit_more: expected true, false or a list of MIB classes, got \"3\"");
    EXPECT_EQ(error_of("{strict_views: [T_CLIENT]}"), ":1:24: quirks strict_views: expected true or false, got a list");
    EXPECT_EQ(error_of("{repeat_cursor: true}"),
              ":1:10: quirks: unknown setting \"repeat_cursor\": expected ignore_occurs, endless, fixed_cursor, "
              "repeat_objects, omit_more, unsupported or strict_views");
    EXPECT_EQ(error_of("[endless]"), ":1:9: quirks: expected a map (ignore_occurs, endless, fixed_cursor, "
                                     "repeat_objects, omit_more, unsupported, strict_views), got a list");
    tuxsim::Quirks q;
    q.unsupported = {"T_CLIENT", "T_NOSUCH"};
    EXPECT_EQ(tuxsim::set_quirks(q), "set_quirks: unsupported: unknown MIB class \"T_NOSUCH\"");
}

TEST_F(Quirks, IgnoreOccursAnswersAWholeBatchAndTheRecordKeepsTheRequest) {
    start("{ignore_occurs: [T_CLIENT]}");
    MibCall clients;
    ASSERT_EQ(clients.get("T_CLIENT").set("TA_OCCURS", 1L).call(), 0);
    EXPECT_EQ(clients.count("TA_CLIENTID"), 2);
    EXPECT_EQ(clients.num("TA_OCCURS"), 2);
    EXPECT_EQ(clients.num("TA_MORE"), 2);
    ASSERT_EQ(clients.next().call(), 0);
    EXPECT_EQ(clients.num("TA_MORE"), 0);
    EXPECT_EQ(tuxsim::requests().front().occurs, 1);
    MibCall servers;  // a class not named keeps to TA_OCCURS
    ASSERT_EQ(servers.get("T_SERVER").set("TA_OCCURS", 1L).call(), 0);
    EXPECT_EQ(servers.num("TA_OCCURS"), 1);
}

TEST_F(Quirks, EndlessGivesNothingButMoreAndAFreshCursorForEver) {
    start("{endless: [T_SERVER]}");
    MibCall m;
    m.get("T_SERVER");
    std::set<std::string> cursors;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(i == 0 ? m.call() : m.next().call(), 0) << i;
        EXPECT_EQ(m.num("TA_OCCURS"), 0);
        EXPECT_EQ(m.num("TA_MORE"), 3);
        EXPECT_EQ(m.count("TA_SRVID"), 0);
        cursors.insert(m.str("TA_CURSOR"));
    }
    EXPECT_EQ(cursors.size(), 5u);
    EXPECT_EQ(cursors.count("<absent>"), 0u);
}

TEST_F(Quirks, FixedCursorKeepsOneHandleAndTaMoreWhileEachReplyMovesOn) {
    start("{fixed_cursor: [T_SERVER]}");
    MibCall m;
    ASSERT_EQ(m.get("T_SERVER").set("TA_OCCURS", 2L).call(), 0);
    const std::string handle = m.str("TA_CURSOR");
    for (long srvid = 1; srvid <= 5; ++srvid) {
        if (srvid > 1) {
            ASSERT_EQ(m.next().call(), 0) << srvid;
        }
        EXPECT_EQ(m.num("TA_OCCURS"), 1);
        EXPECT_EQ(m.num("TA_SRVID"), srvid);
        EXPECT_EQ(m.num("TA_MORE"), srvid < 5 ? 4 : 0);
        EXPECT_EQ(m.str("TA_CURSOR"), srvid < 5 ? handle : "<absent>");
    }
}

TEST_F(Quirks, RepeatObjectsAnswersThePreviousObjectsUnderAFreshCursor) {
    start("{repeat_objects: [T_SERVER]}");
    MibCall m;
    ASSERT_EQ(m.get("T_SERVER").call(), 0);
    std::set<std::string> cursors{m.str("TA_CURSOR")};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(m.next().call(), 0) << i;
        cursors.insert(m.str("TA_CURSOR"));
        EXPECT_EQ(m.num("TA_SRVID", 0), 1);
        EXPECT_EQ(m.num("TA_SRVID", 1), 2);
        EXPECT_EQ(m.num("TA_MORE"), 3);
    }
    EXPECT_EQ(cursors.size(), 4u);
}

// call_cost_us: each call to ".TMIB" waits as an IPC round trip would,
// without using the caller's CPU.
TEST_F(Quirks, CallCostMakesEachMibCallWaitWithoutCpu) {
    serve(std::string(kDomain) + "call_cost_us: 20000\n");
    join();
    auto cpu = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
    };
    const auto wall0 = std::chrono::steady_clock::now();
    const auto cpu0 = cpu();
    MibCall m;
    ASSERT_EQ(m.get("T_SERVER").call(), 0);
    ASSERT_EQ(m.next().call(), 0);
    ASSERT_EQ(m.next().call(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - wall0, std::chrono::milliseconds(60));
    EXPECT_LT(cpu() - cpu0, std::chrono::milliseconds(20));
}

TEST_F(Quirks, OmitMoreLeavesTaMoreOutOnlyWhenNothingIsLeft) {
    start("{omit_more: true}");
    MibCall m;
    ASSERT_EQ(m.get("T_SERVER").call(), 0);
    EXPECT_EQ(m.num("TA_MORE"), 3);
    ASSERT_EQ(m.next().call(), 0);
    EXPECT_EQ(m.num("TA_MORE"), 1);
    ASSERT_EQ(m.next().call(), 0);
    EXPECT_EQ(m.count("TA_MORE"), 0);
    EXPECT_EQ(m.count("TA_CURSOR"), 0);
    EXPECT_EQ(m.num("TA_SRVID"), 5);
}

TEST_F(Quirks, UnsupportedClassFailsAsTheMibDoesAndIsRecorded) {
    start();
    tuxsim::Quirks q;
    q.unsupported = {"T_GROUP"};
    ASSERT_EQ(tuxsim::set_quirks(q), "");
    for (const char* op : {"GET", "GETNEXT"}) {
        MibCall m;
        m.set("TA_OPERATION", op).set("TA_CLASS", "T_GROUP").set("TA_CURSOR", "TMIB:1:0:0");
        ASSERT_EQ(m.call(), -1) << op;
        EXPECT_EQ(tperrno, TPESVCFAIL);
        EXPECT_EQ(m.str("TA_OPERATION"), op);
        EXPECT_EQ(m.num("TA_ERROR"), TAESUPPORT);
        EXPECT_EQ(m.str("TA_STATUS"), "Unsupported class [T_GROUP]");
        EXPECT_EQ(m.count("TA_BADFLD"), 0);
        EXPECT_EQ(tuxsim::requests().back().outcome, "TAESUPPORT");
    }
    MibCall servers;
    EXPECT_EQ(servers.get("T_SERVER").call(), 0);
    // reset() forgets the quirks.
    tuxsim::reset();
    serve(kDomain);
    join();
    MibCall groups;
    EXPECT_EQ(groups.get("T_GROUP").call(), 0);
}

// A client of the file without TA_TIMESTART reads without one: nothing fills
// it in (only the process's own entry has one).
TEST_F(Quirks, NoTimestartIsFilledInForAClientOfTheFile) {
    start();
    MibCall m;
    ASSERT_EQ(m.get("T_CLIENT").set("TA_OCCURS", 1L).call(), 0);
    EXPECT_EQ(m.str("TA_CLIENTID"), "C1");
    EXPECT_EQ(m.count("TA_TIMESTART"), 0);
}

class StrictViews : public Quirks {
protected:
    void SetUp() override {
        Quirks::SetUp();
        env_.fields("test.fml,tpadm", TUXSIM_TEST_DATA "/fml:" TUXSIM_FIELDS_DIR);
        env_.views("convert.v");
        buf_ = Falloc32(8, 256);
    }
    void TearDown() override {
        Ffree32(buf_);
        Quirks::TearDown();
    }
    // Converts a buffer of F_LONG 7 and the two texts into view nulls.
    int convert(const std::string& str, const std::string& arr) {
        long seven = 7;
        Fchg32(buf_, Fldid32(const_cast<char*>("F_LONG")), 0, reinterpret_cast<char*>(&seven), 0);
        Fchg32(buf_, Fldid32(const_cast<char*>("F_STRING")), 0, str.c_str(), 0);
        Fchg32(buf_, Fldid32(const_cast<char*>("F_CARRAY")), 0, arr.data(), FLDLEN32(arr.size()));
        Fvsinit32(reinterpret_cast<char*>(&out_), const_cast<char*>("nulls"));
        return Fvftos32(buf_, reinterpret_cast<char*>(&out_), const_cast<char*>("nulls"));
    }
    ScopedFmlEnv env_;
    FBFR32* buf_ = nullptr;
    Nulls out_{};
};

TEST_F(StrictViews, ALongValueFailsWithNoSpaceInsteadOfBeingCut) {
    ASSERT_EQ(convert("abcdefg", "abcdef"), 1);  // off: cut to fit
    EXPECT_STREQ(out_.str, "abcde");
    EXPECT_EQ(std::memcmp(out_.arr, "abcd", 4), 0);

    tuxsim::Quirks q;
    q.strict_views = true;
    ASSERT_EQ(tuxsim::set_quirks(q), "");
    EXPECT_EQ(convert("abcde", "abcd"), 1);  // what fits exactly still converts
    EXPECT_EQ(convert("abcde", "abcde"), -1);
    EXPECT_EQ(Ferror32, FNOSPACE);
    EXPECT_EQ(out_.i, 7);  // converted before the carray member
    EXPECT_EQ(convert("abcdef", "abcd"), -1);
    EXPECT_EQ(std::memcmp(out_.arr, "ab\0\0", 4), 0);  // after it: nothing more

    tuxsim::reset();
    EXPECT_EQ(convert("abcdefg", "ab"), 1);
    serve("quirks: {strict_views: true}\nclasses: {T_MACHINE: [{TA_LMID: SITE1}]}\n");
    ASSERT_EQ(tuxsim::load_domain(), "");
    EXPECT_EQ(convert("abcdefg", "ab"), -1);
    ASSERT_EQ(tuxsim::set_quirks({}), "");  // overrides the domain file's
    EXPECT_EQ(convert("abcdefg", "ab"), 1);
}

}  // namespace
