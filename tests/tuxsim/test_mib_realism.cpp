// The MIB answers as a real domain does: a GET without TA_OCCURS gets one
// batch and TA_MORE, each machine has its own user log, and the demo domain
// shows the documented states of its classes.
#include <ctime>
#include <set>

#include "sim_test_util.h"

namespace {

class Realism : public SimTest {
protected:
    // A domain of `servers` servers spread over three groups, two machines
    // and their user logs.
    static std::string domain(int servers, const std::string& extra = "") {
        std::string y = extra +
                        "local_lmid: SITE1\n"
                        "classes:\n"
                        "  T_MACHINE: [{TA_LMID: SITE1, TA_PMID: h1}, {TA_LMID: SITE2, TA_PMID: h2}]\n"
                        "  T_SERVER:\n";
        for (int i = 1; i <= servers; ++i) {
            y += "    - {TA_SRVGRP: G" + std::to_string(i % 3) + ", TA_SRVID: " + std::to_string(i) + "}\n";
        }
        y += "  T_ULOG:\n"
             "    - {TA_LMID: SITE1, TA_ULOGTIME: 80000, TA_ULOGLINE: 1, TA_ULOGMSG: one-early}\n"
             "    - {TA_LMID: SITE2, TA_ULOGTIME: 90000, TA_ULOGLINE: 1, TA_ULOGMSG: two-nine}\n"
             "    - {TA_LMID: SITE1, TA_ULOGTIME: 120000, TA_ULOGLINE: 2, TA_ULOGMSG: one-noon}\n"
             "    - {TA_LMID: SITE2, TA_ULOGTIME: 170000, TA_ULOGLINE: 2, TA_ULOGMSG: two-five}\n"
             "    - {TA_ULOGTIME: 180000, TA_ULOGMSG: local-unnamed}\n";
        return y;
    }

    static std::vector<std::string> messages(const MibCall& m) {
        std::vector<std::string> out;
        for (int i = 0; i < m.count("TA_ULOGMSG"); ++i) out.push_back(m.str("TA_ULOGMSG", i));
        return out;
    }
};

TEST_F(Realism, GetWithoutOccursWalksFortyFiveServersInThreeBatches) {
    serve(domain(45));
    join();
    MibCall m;
    m.get("T_SERVER");
    ASSERT_EQ(m.call(), 0);
    std::vector<long> sizes, more;
    std::multiset<long> seen;
    for (;;) {
        sizes.push_back(m.num("TA_OCCURS"));
        more.push_back(m.num("TA_MORE"));
        for (int i = 0; i < m.count("TA_SRVID"); ++i) seen.insert(m.num("TA_SRVID", i));
        if (m.num("TA_MORE") == 0) break;
        EXPECT_NE(m.str("TA_CURSOR"), "<absent>");
        ASSERT_EQ(m.next().call(), 0);
        ASSERT_LE(sizes.size(), 3u);
    }
    EXPECT_EQ(sizes, (std::vector<long>{20, 20, 5}));
    EXPECT_EQ(more, (std::vector<long>{25, 5, 0}));
    EXPECT_EQ(m.str("TA_CURSOR"), "<absent>");
    ASSERT_EQ(seen.size(), 45u);
    EXPECT_EQ(std::set<long>(seen.begin(), seen.end()).size(), 45u);  // each once
    const auto reqs = tuxsim::requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[0].operation, "GET");
    EXPECT_EQ(reqs[1].operation, "GETNEXT");
    EXPECT_EQ(reqs[2].operation, "GETNEXT");
    EXPECT_EQ(reqs[0].occurs, -1);
}

TEST_F(Realism, OccursCapsABatchButNeverRaisesIt) {
    serve(domain(45));
    join();
    MibCall few;
    ASSERT_EQ(few.get("T_SERVER").set("TA_OCCURS", 7L).call(), 0);
    EXPECT_EQ(few.num("TA_OCCURS"), 7);
    EXPECT_EQ(few.num("TA_MORE"), 38);
    MibCall many;
    ASSERT_EQ(many.get("T_SERVER").set("TA_OCCURS", 1000L).call(), 0);
    EXPECT_EQ(many.num("TA_OCCURS"), 20);
    EXPECT_EQ(many.num("TA_MORE"), 25);
    // A GETNEXT may ask for a different count than its GET.
    ASSERT_EQ(few.next().set("TA_OCCURS", 30L).call(), 0);
    EXPECT_EQ(few.num("TA_OCCURS"), 20);
    EXPECT_EQ(few.num("TA_MORE"), 18);
    EXPECT_EQ(few.num("TA_SRVID"), 8);
}

TEST_F(Realism, TheDomainFileSetsTheBatch) {
    serve(domain(45, "batch: 50\n"));
    join();
    MibCall m;
    ASSERT_EQ(m.get("T_SERVER").call(), 0);
    EXPECT_EQ(m.num("TA_OCCURS"), 45);
    EXPECT_EQ(m.num("TA_MORE"), 0);
}

TEST_F(Realism, AWalkIsKeptForItsCursorHoldAfterEachReply) {
    tuxsim::set_time(1733800000);
    serve(domain(45));
    join();
    // Default: 120 seconds after each reply.
    MibCall m;
    ASSERT_EQ(m.get("T_SERVER").call(), 0);
    tuxsim::advance_time(std::chrono::seconds(120));
    ASSERT_EQ(m.next().call(), 0);  // just in time, and the hold starts again
    tuxsim::advance_time(std::chrono::seconds(121));
    ASSERT_EQ(m.next().call(), -1);
    EXPECT_EQ(m.num("TA_ERROR"), TAEINVAL);
    EXPECT_NE(m.str("TA_STATUS").find("TA_CURSORHOLD"), std::string::npos);

    MibCall shorter;
    ASSERT_EQ(shorter.get("T_SERVER").set("TA_CURSORHOLD", 5L).call(), 0);
    tuxsim::advance_time(std::chrono::seconds(6));
    EXPECT_EQ(shorter.next().call(), -1);

    // Nothing held: the count of what remains, but no cursor.
    MibCall none;
    ASSERT_EQ(none.get("T_SERVER").set("TA_CURSORHOLD", 0L).call(), 0);
    EXPECT_EQ(none.num("TA_MORE"), 25);
    EXPECT_EQ(none.str("TA_CURSOR"), "<absent>");
}

TEST_F(Realism, UserLogReadsTheLogOfOneMachine) {
    tuxsim::set_time(late_today(std::time(nullptr)));
    serve(domain(1));
    join();
    MibCall site2;
    ASSERT_EQ(site2.get("T_ULOG").set("TA_LMID", "SITE2").call(), 0);
    EXPECT_EQ(messages(site2), (std::vector<std::string>{"two-nine", "two-five"}));
    for (int i = 0; i < site2.count("TA_LMID"); ++i) EXPECT_EQ(site2.str("TA_LMID", i), "SITE2");

    // Without TA_LMID: the log of the machine this process runs on, which
    // also holds the records that name no machine.
    MibCall local;
    ASSERT_EQ(local.get("T_ULOG").call(), 0);
    EXPECT_EQ(messages(local), (std::vector<std::string>{"one-early", "one-noon", "local-unnamed"}));

    MibCall unknown;
    ASSERT_EQ(unknown.get("T_ULOG").set("TA_LMID", "SITE9").call(), -1);
    EXPECT_EQ(unknown.num("TA_ERROR"), TAEINVAL);
    EXPECT_EQ(unknown.num("TA_BADFLD"), long(Fldid32("TA_LMID")));
    EXPECT_EQ(unknown.str("TA_CLASS"), "T_ULOG");
}

TEST_F(Realism, UserLogTimeWindowIncludesBothEnds) {
    tuxsim::set_time(late_today(std::time(nullptr)));
    serve(domain(1));
    join();
    MibCall window;
    ASSERT_EQ(window.get("T_ULOG").set("TA_ULOGTIME", 80000L).set("TA_ENDTIME", 120000L).call(), 0);
    EXPECT_EQ(messages(window), (std::vector<std::string>{"one-early", "one-noon"}));
    MibCall inside;
    ASSERT_EQ(inside.get("T_ULOG").set("TA_ULOGTIME", 80001L).set("TA_ENDTIME", 119999L).call(), 0);
    EXPECT_EQ(inside.num("TA_OCCURS"), 0);
    EXPECT_EQ(inside.num("TA_MORE"), 0);
    MibCall upto;
    ASSERT_EQ(upto.get("T_ULOG").set("TA_LMID", "SITE2").set("TA_ENDTIME", 100000L).call(), 0);
    EXPECT_EQ(messages(upto), (std::vector<std::string>{"two-nine"}));
    for (const char* field : {"TA_ENDTIME", "TA_ULOGTIME"}) {
        MibCall bad;
        ASSERT_EQ(bad.get("T_ULOG").set(field, 240000L).call(), -1);
        EXPECT_EQ(bad.num("TA_ERROR"), TAEINVAL) << field;
        EXPECT_EQ(bad.num("TA_BADFLD"), long(Fldid32(field))) << field;
    }
}

// What each class of the demo domain shows, state by state: every table has
// objects in more than the one healthy state to read.
TEST_F(Realism, DemoDomainShowsTheDocumentedStates) {
    tuxsim::use_domain_file(TUXSIM_DOMAINS_DIR "/demo.yaml");
    join();
    auto states = [](const std::string& cls, const char* attr = "TA_STATE",
                     std::initializer_list<std::pair<const char*, const char*>> keys = {}) {
        std::set<std::string> out;
        MibCall m;
        m.get(cls);
        for (const auto& [k, v] : keys) m.set(k, v);
        EXPECT_EQ(m.call(), 0) << cls;
        for (;;) {
            for (int i = 0; i < m.count(attr); ++i) out.insert(m.str(attr, i));
            if (m.num("TA_MORE") <= 0 || m.next().call() != 0) break;
        }
        return out;
    };
    using S = std::set<std::string>;
    EXPECT_EQ(states("T_MACHINE"), (S{"ACTive", "INActive", "PARtitioned"}));
    EXPECT_EQ(states("T_GROUP"), (S{"ACTive", "INActive"}));
    EXPECT_EQ(states("T_SERVER"), (S{"ACTive", "SUSpended", "REStarting", "PARtitioned", "INActive"}));
    EXPECT_EQ(states("T_CLIENT"), (S{"ACTive", "SUSpended", "DEAd"}));
    EXPECT_EQ(states("T_TRANSACTION"), (S{"ACTive", "ABortonlY", "ABorteD", "COMcalled", "REAdy", "DECided"}));
    EXPECT_EQ(states("T_TRANSACTION", "TA_GSTATE"), (S{"ACTive", "PREP", "PCOM", "PABT"}));
    EXPECT_TRUE(states("T_CONN").count("ACTive"));
    EXPECT_EQ(states("T_QUEUE"), (S{"ACTive", "SUSpended", "PARtitioned"}));
    EXPECT_EQ(states("T_SVCGRP"), (S{"ACTive", "SUSpended", "PARtitioned", "INActive"}));
    EXPECT_EQ(states("T_APPQSPACE", "TA_STATE", {{"TA_APPQSPACENAME", "QSPACE3"},
                                                 {"TA_QMCONFIG", "/srv/bank/queues/qdev3"},
                                                 {"TA_LMID", "SITE3"}}),
              (S{"INActive"}));
    EXPECT_EQ(states("T_APPQ", "TA_STATE", {{"TA_APPQSPACENAME", "QSPACE1"},
                                            {"TA_QMCONFIG", "/srv/bank/queues/qdev1"},
                                            {"TA_LMID", "SITE1"}}),
              (S{"VALid"}));
    EXPECT_EQ(states("T_APPQTRANS", "TA_STATE", {{"TA_APPQSPACENAME", "QSPACE1"},
                                                 {"TA_QMCONFIG", "/srv/bank/queues/qdev1"},
                                                 {"TA_LMID", "SITE1"}}),
              (S{"ACTive", "REAdy"}));
}

}  // namespace
