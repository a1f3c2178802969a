// The ".TMIB" service: GET/GETNEXT walks, TA_OCCURS, MIB_LOCAL, filters, the
// user log, the /Q classes and error replies.
#include <ctime>

#include "sim_test_util.h"

namespace {

const char* kDomain = R"(
classes:
  T_MACHINE:
    - {TA_LMID: SITE1, TA_MAXACCESSERS: 50, TA_CURACCESSERS: 3}
  T_SERVER:
    - {TA_SRVGRP: G1, TA_SRVID: 1, TA_SERVERNAME: one, TA_NUMREQ: 10}
    - {TA_SRVGRP: G2, TA_SRVID: 2, TA_SERVERNAME: two, TA_NUMREQ: 20}
    - {TA_SRVGRP: G1, TA_SRVID: 3, TA_SERVERNAME: three, TA_NUMREQ: 30}
  T_TRANSACTION:
    - {TA_TPTRANID: T1, TA_GRPNO: [10, 20, 30], TA_GSTATE: [ACTive, PREpared, ACTive]}
    - {TA_TPTRANID: T2, TA_GRPNO: 40, TA_GSTATE: ABorted}
  T_ULOG:
    - {TA_ULOGTIME: 120000, TA_ULOGMSG: noon}
    - {TA_ULOGTIME: 90000, TA_ULOGMSG: nine}
    - {TA_ULOGTIME: 150000, TA_ULOGMSG: three, TA_MMDDYY: 10199}
  T_APPQSPACE:
    - {TA_APPQSPACENAME: QS1, TA_QMCONFIG: /q/dev1, TA_LMID: SITE1}
    - {TA_APPQSPACENAME: QS2, TA_QMCONFIG: /q/dev2, TA_LMID: SITE1}
  T_APPQ:
    - {TA_APPQNAME: A, TA_APPQSPACENAME: QS1, TA_QMCONFIG: /q/dev1, TA_LMID: SITE1, TA_CURMSG: 1}
    - {TA_APPQNAME: B, TA_APPQSPACENAME: QS2, TA_QMCONFIG: /q/dev2, TA_LMID: SITE1, TA_CURMSG: 2}
    - {TA_APPQNAME: C, TA_APPQSPACENAME: QS1, TA_QMCONFIG: /q/dev1, TA_LMID: SITE1, TA_CURMSG: 3}
)";

class Mib : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        serve(kDomain);
        join();
    }
    void queue_space(MibCall& m, const char* cls, const char* qs, const char* dev) {
        m.get(cls).set("TA_APPQSPACENAME", qs).set("TA_QMCONFIG", dev).set("TA_LMID", "SITE1");
    }
};

TEST_F(Mib, CursorWalkOneObjectPerReply) {
    MibCall m;
    m.get("T_SERVER").set("TA_OCCURS", 1L);
    std::vector<std::string> names;
    std::vector<long> more;
    ASSERT_EQ(m.call(), 0);
    for (;;) {
        EXPECT_EQ(m.num("TA_OCCURS"), 1);
        EXPECT_EQ(m.count("TA_SERVERNAME"), 1);
        names.push_back(m.str("TA_SERVERNAME"));
        more.push_back(m.num("TA_MORE"));
        if (m.num("TA_MORE") == 0) break;
        ASSERT_EQ(m.next().call(), 0);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(more, (std::vector<long>{2, 1, 0}));
    const auto reqs = tuxsim::requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[0].operation, "GET");
    EXPECT_EQ(reqs[1].operation, "GETNEXT");
    EXPECT_EQ(reqs[2].operation, "GETNEXT");
    EXPECT_EQ(reqs[0].occurs, 1);
    EXPECT_EQ(reqs[0].cursor, "");
    EXPECT_NE(reqs[1].cursor, reqs[2].cursor);
}

TEST_F(Mib, OccursLargerSmallerAndAbsent) {
    MibCall all;
    ASSERT_EQ(all.get("T_SERVER").call(), 0);
    EXPECT_EQ(all.num("TA_OCCURS"), 3);
    EXPECT_EQ(all.num("TA_MORE"), 0);
    EXPECT_EQ(all.str("TA_CURSOR"), "<absent>");
    // Object k's value is occurrence k of every attribute.
    EXPECT_EQ(all.num("TA_SRVID", 2), 3);
    EXPECT_EQ(all.str("TA_SERVERNAME", 2), "three");

    MibCall big;
    ASSERT_EQ(big.get("T_SERVER").set("TA_OCCURS", 50L).call(), 0);
    EXPECT_EQ(big.num("TA_OCCURS"), 3);
    EXPECT_EQ(big.num("TA_MORE"), 0);

    MibCall two;
    ASSERT_EQ(two.get("T_SERVER").set("TA_OCCURS", 2L).call(), 0);
    EXPECT_EQ(two.num("TA_OCCURS"), 2);
    EXPECT_EQ(two.num("TA_MORE"), 1);
    EXPECT_EQ(two.count("TA_SRVID"), 2);
    ASSERT_EQ(two.next().call(), 0);
    EXPECT_EQ(two.num("TA_OCCURS"), 1);
    EXPECT_EQ(two.num("TA_SRVID"), 3);
    EXPECT_EQ(two.num("TA_MORE"), 0);

    MibCall zero;
    EXPECT_EQ(zero.get("T_SERVER").set("TA_OCCURS", 0L).call(), -1);
    EXPECT_EQ(tperrno, TPESVCFAIL);
    EXPECT_EQ(zero.num("TA_ERROR"), TAEINVAL);
}

TEST_F(Mib, LocalAttributesOnlyWithMibLocal) {
    MibCall global;
    ASSERT_EQ(global.get("T_MACHINE").call(), 0);
    EXPECT_EQ(global.num("TA_MAXACCESSERS"), 50);
    EXPECT_EQ(global.count("TA_CURACCESSERS"), 0);

    MibCall local;
    ASSERT_EQ(local.get("T_MACHINE").set("TA_FLAGS", long(MIB_LOCAL)).call(), 0);
    EXPECT_EQ(local.num("TA_MAXACCESSERS"), 50);
    EXPECT_EQ(local.num("TA_CURACCESSERS"), 3);

    // The flags of the GET hold for the GETNEXT calls of its walk.
    MibCall walk;
    ASSERT_EQ(walk.get("T_SERVER").set("TA_OCCURS", 1L).set("TA_FLAGS", long(MIB_LOCAL)).call(), 0);
    EXPECT_EQ(walk.num("TA_NUMREQ"), 10);
    ASSERT_EQ(walk.next().call(), 0);
    EXPECT_EQ(walk.num("TA_NUMREQ"), 20);
    MibCall plain;
    ASSERT_EQ(plain.get("T_SERVER").call(), 0);
    EXPECT_EQ(plain.count("TA_NUMREQ"), 0);
}

TEST_F(Mib, KeyFieldsFilterByEquality) {
    MibCall m;
    ASSERT_EQ(m.get("T_SERVER").set("TA_SRVGRP", "G1").call(), 0);
    EXPECT_EQ(m.num("TA_OCCURS"), 2);
    EXPECT_EQ(m.num("TA_SRVID", 1), 3);
    MibCall none;
    ASSERT_EQ(none.get("T_SERVER").set("TA_SRVGRP", "G9").call(), 0);
    EXPECT_EQ(none.num("TA_OCCURS"), 0);
    EXPECT_EQ(none.num("TA_MORE"), 0);
}

TEST_F(Mib, TransactionGroupsLieEndToEnd) {
    MibCall m;
    ASSERT_EQ(m.get("T_TRANSACTION").call(), 0);
    EXPECT_EQ(m.num("TA_GRPCOUNT", 0), 3);
    EXPECT_EQ(m.num("TA_GRPINDEX", 0), 0);
    EXPECT_EQ(m.num("TA_GRPCOUNT", 1), 1);
    EXPECT_EQ(m.num("TA_GRPINDEX", 1), 3);
    EXPECT_EQ(m.num("TA_GRPNO", 3), 40);
    EXPECT_EQ(m.str("TA_GSTATE", 1), "PREpared");
    // With one object per reply its groups start at occurrence 0.
    MibCall one;
    ASSERT_EQ(one.get("T_TRANSACTION").set("TA_OCCURS", 1L).call(), 0);
    ASSERT_EQ(one.next().call(), 0);
    EXPECT_EQ(one.num("TA_GRPINDEX"), 0);
    EXPECT_EQ(one.num("TA_GRPNO"), 40);
}

TEST_F(Mib, UserLogGivesTodaysRecordsFromATimeOn) {
    tuxsim::set_time(late_today(std::time(nullptr)));
    MibCall all;
    ASSERT_EQ(all.get("T_ULOG").call(), 0);
    // Today's two records, in time order.
    EXPECT_EQ(all.num("TA_OCCURS"), 2);
    EXPECT_EQ(all.num("TA_MORE"), 0);
    EXPECT_EQ(all.str("TA_ULOGMSG", 0), "nine");
    EXPECT_EQ(all.str("TA_ULOGMSG", 1), "noon");
    // The user log pages like any class.
    MibCall paged;
    ASSERT_EQ(paged.get("T_ULOG").set("TA_OCCURS", 1L).call(), 0);
    EXPECT_EQ(paged.str("TA_ULOGMSG"), "nine");
    EXPECT_EQ(paged.num("TA_MORE"), 1);
    ASSERT_EQ(paged.next().call(), 0);
    EXPECT_EQ(paged.str("TA_ULOGMSG"), "noon");
    EXPECT_EQ(paged.num("TA_MORE"), 0);
    std::time_t now = tuxsim::now();
    std::tm tm{};
    localtime_r(&now, &tm);
    EXPECT_EQ(all.num("TA_MMDDYY", 0), (tm.tm_mon + 1) * 10000L + tm.tm_mday * 100L + tm.tm_year % 100);

    MibCall later;
    ASSERT_EQ(later.get("T_ULOG").set("TA_ULOGTIME", 90001L).call(), 0);
    EXPECT_EQ(later.num("TA_OCCURS"), 1);
    EXPECT_EQ(later.str("TA_ULOGMSG"), "noon");
    MibCall at;
    ASSERT_EQ(at.get("T_ULOG").set("TA_ULOGTIME", 120000L).call(), 0);
    EXPECT_EQ(at.num("TA_OCCURS"), 1);
    MibCall after;
    ASSERT_EQ(after.get("T_ULOG").set("TA_ULOGTIME", 120001L).call(), 0);
    EXPECT_EQ(after.num("TA_OCCURS"), 0);
    // Another day's log by naming it.
    MibCall old;
    ASSERT_EQ(old.get("T_ULOG").set("TA_MMDDYY", 10199L).call(), 0);
    EXPECT_EQ(old.num("TA_OCCURS"), 1);
    EXPECT_EQ(old.str("TA_ULOGMSG"), "three");
}

TEST_F(Mib, UndatedUserLogRecordsFollowTheClockToTheNextDay) {
    tuxsim::set_time(late_today(1733800000));  // any fixed day
    MibCall m;
    ASSERT_EQ(m.get("T_ULOG").call(), 0);
    const long day1 = m.num("TA_MMDDYY");
    tuxsim::advance_time(std::chrono::hours(24));
    ASSERT_EQ(m.call(), 0);
    EXPECT_EQ(m.num("TA_OCCURS"), 2);
    EXPECT_NE(m.num("TA_MMDDYY"), day1);
}

TEST_F(Mib, TodaysUserLogHoldsNoRecordOfALaterHour) {
    tuxsim::set_time(late_today(1733800000) - 12 * 3600);  // 11:00
    MibCall m;
    ASSERT_EQ(m.get("T_ULOG").call(), 0);
    EXPECT_EQ(m.num("TA_OCCURS"), 1);
    EXPECT_EQ(m.str("TA_ULOGMSG"), "nine");
}

TEST_F(Mib, QueueSpaceClassesNeedAllThreeKeys) {
    MibCall qs1;
    queue_space(qs1, "T_APPQ", "QS1", "/q/dev1");
    ASSERT_EQ(qs1.call(), 0);
    EXPECT_EQ(qs1.num("TA_OCCURS"), 2);
    EXPECT_EQ(qs1.num("TA_MORE"), 0);
    EXPECT_EQ(qs1.str("TA_APPQNAME", 0), "A");
    EXPECT_EQ(qs1.str("TA_APPQNAME", 1), "C");
    // A queue space's objects page too, and the walk stays in that space.
    MibCall paged;
    queue_space(paged, "T_APPQ", "QS1", "/q/dev1");
    ASSERT_EQ(paged.set("TA_OCCURS", 1L).call(), 0);
    EXPECT_EQ(paged.num("TA_MORE"), 1);
    ASSERT_EQ(paged.next().call(), 0);
    EXPECT_EQ(paged.str("TA_APPQNAME"), "C");
    EXPECT_EQ(paged.num("TA_MORE"), 0);

    MibCall qs2;
    queue_space(qs2, "T_APPQ", "QS2", "/q/dev2");
    ASSERT_EQ(qs2.call(), 0);
    EXPECT_EQ(qs2.num("TA_OCCURS"), 1);
    EXPECT_EQ(qs2.num("TA_CURMSG"), 2);

    // A queue space without objects of the class: no occurrences.
    MibCall empty;
    queue_space(empty, "T_APPQTRANS", "QS1", "/q/dev1");
    ASSERT_EQ(empty.call(), 0);
    EXPECT_EQ(empty.num("TA_OCCURS"), 0);

    for (const char* missing : {"TA_APPQSPACENAME", "TA_QMCONFIG", "TA_LMID"}) {
        MibCall m;
        queue_space(m, "T_APPQMSG", "QS1", "/q/dev1");
        Fdel32(m.req(), Fldid32(missing), 0);
        EXPECT_EQ(m.call(), -1) << missing;
        EXPECT_EQ(tperrno, TPESVCFAIL);
        EXPECT_EQ(m.num("TA_ERROR"), TAEREQUIRED);
        EXPECT_EQ(m.num("TA_BADFLD"), long(Fldid32(missing)));
    }
    MibCall wrong;
    queue_space(wrong, "T_APPQ", "QS1", "/q/dev2");
    EXPECT_EQ(wrong.call(), -1);
    EXPECT_EQ(wrong.num("TA_ERROR"), TAEINVAL);
}

TEST_F(Mib, BadRequestsGetTheMibErrorReply) {
    struct Case {
        const char* op;
        const char* cls;
        long error;
    };
    for (const Case& c : {Case{nullptr, "T_SERVER", TAEREQUIRED}, Case{"DELETE", "T_SERVER", TAEINVAL},
                          Case{"SET", "T_SERVER", TAESUPPORT}, Case{"GET", "T_NOSUCH", TAEINVAL},
                          Case{"GET", nullptr, TAEREQUIRED}, Case{"GETNEXT", "T_SERVER", TAEREQUIRED}}) {
        MibCall m;
        if (c.op) m.set("TA_OPERATION", c.op);
        if (c.cls) m.set("TA_CLASS", c.cls);
        EXPECT_EQ(m.call(), -1);
        EXPECT_EQ(tperrno, TPESVCFAIL);
        EXPECT_EQ(m.num("TA_ERROR"), c.error) << (c.op ? c.op : "-") << " " << (c.cls ? c.cls : "-");
        EXPECT_NE(m.str("TA_STATUS"), "<absent>");
        EXPECT_EQ(m.len(), Fused32(m.rep()));
    }
    const auto reqs = tuxsim::requests();
    EXPECT_EQ(reqs.back().outcome, "TAEREQUIRED");
}

TEST_F(Mib, ErrorReplyIsTheRequestWithTheOutcomeAdded) {
    MibCall m;
    m.get("T_SERVER").set("TA_SRVGRP", "G1").set("TA_OCCURS", 0L);
    ASSERT_EQ(m.call(), -1);
    EXPECT_EQ(tperrno, TPESVCFAIL);
    EXPECT_EQ(m.str("TA_OPERATION"), "GET");
    EXPECT_EQ(m.str("TA_CLASS"), "T_SERVER");
    EXPECT_EQ(m.str("TA_SRVGRP"), "G1");
    EXPECT_EQ(m.num("TA_OCCURS"), 0);
    EXPECT_EQ(m.num("TA_ERROR"), TAEINVAL);
    EXPECT_EQ(m.num("TA_BADFLD"), long(Fldid32("TA_OCCURS")));
    EXPECT_EQ(m.count("TA_ERROR"), 1);
    // A request that already carries outcome fields gets them replaced, not
    // doubled.
    m.set("TA_OCCURS", 1L).set("TA_CLASS", "T_NOSUCH");
    ASSERT_EQ(m.call(), -1);
    EXPECT_EQ(m.count("TA_ERROR"), 1);
    EXPECT_EQ(m.count("TA_BADFLD"), 1);
    EXPECT_EQ(m.num("TA_BADFLD"), long(Fldid32("TA_CLASS")));
}

TEST_F(Mib, RequestBufferMayAlsoTakeTheReply) {
    char* buf = tpalloc("FML32", nullptr, 0);
    ASSERT_NE(buf, nullptr);
    auto fb = [&] { return reinterpret_cast<FBFR32*>(buf); };
    Fchg32(fb(), Fldid32("TA_OPERATION"), 0, "GET", 0);
    Fchg32(fb(), Fldid32("TA_CLASS"), 0, "T_SERVER", 0);
    Fchg32(fb(), Fldid32("TA_SRVGRP"), 0, "G1", 0);
    long len = 0;
    EXPECT_EQ(tpcall(".TMIB", buf, 0, &buf, &len, TPNOTRAN), 0) << tpstrerror(tperrno);
    long occurs = 0;
    FLDLEN32 n = sizeof occurs;
    EXPECT_EQ(Fget32(fb(), Fldid32("TA_OCCURS"), 0, reinterpret_cast<char*>(&occurs), &n), 1);
    EXPECT_EQ(occurs, 2);
    // An error reply echoes the request whole.
    Finit32(fb(), FLDLEN32(Fsizeof32(fb())));
    Fchg32(fb(), Fldid32("TA_OPERATION"), 0, "GET", 0);
    Fchg32(fb(), Fldid32("TA_CLASS"), 0, "T_NOSUCH", 0);
    EXPECT_EQ(tpcall(".TMIB", buf, 0, &buf, &len, TPNOTRAN), -1);
    const char* cls = Ffind32(fb(), Fldid32("TA_CLASS"), 0, nullptr);
    EXPECT_STREQ(cls ? cls : "<absent>", "T_NOSUCH");
    EXPECT_NE(Ffind32(fb(), Fldid32("TA_STATUS"), 0, nullptr), nullptr);
    tpfree(buf);
}

TEST_F(Mib, FilterReturnsOnlyTheNamedAttributes) {
    MibCall m;
    m.get("T_SERVER").set("TA_FILTER", long(Fldid32("TA_SRVID")));
    long name = long(Fldid32("TA_SERVERNAME"));
    Fchg32(m.req(), Fldid32("TA_FILTER"), 1, reinterpret_cast<char*>(&name), 0);
    ASSERT_EQ(m.call(), 0);
    EXPECT_EQ(m.count("TA_SRVID"), 3);
    EXPECT_EQ(m.str("TA_SERVERNAME", 2), "three");
    EXPECT_EQ(m.count("TA_SRVGRP"), 0);
    EXPECT_EQ(m.num("TA_OCCURS"), 3);

    MibCall bad;
    bad.get("T_SERVER").set("TA_FILTER", long(Fldid32("TA_ULOGMSG")));
    EXPECT_EQ(bad.call(), -1);
    EXPECT_EQ(bad.num("TA_ERROR"), TAEINVAL);
    EXPECT_EQ(bad.num("TA_BADFLD"), long(Fldid32("TA_FILTER")));
}

TEST_F(Mib, StaleAndGarbledCursorsAreRefused) {
    MibCall m;
    ASSERT_EQ(m.get("T_SERVER").set("TA_OCCURS", 1L).call(), 0);
    const std::string cursor = m.str("TA_CURSOR");
    // Repeating a GETNEXT with the same cursor gives the same object.
    ASSERT_EQ(m.next().call(), 0);
    const long second = m.num("TA_SRVID");
    m.set("TA_CURSOR", cursor);
    ASSERT_EQ(m.call(), 0);
    EXPECT_EQ(m.num("TA_SRVID"), second);

    for (std::string bad : {std::string("nonsense"), cursor + "x", std::string("TMIB:1:1:0000"), std::string()}) {
        MibCall g;
        g.get("T_SERVER").set("TA_OPERATION", "GETNEXT").set("TA_CURSOR", bad);
        EXPECT_EQ(g.call(), -1) << bad;
        EXPECT_EQ(g.num("TA_ERROR"), TAEINVAL) << bad;
        EXPECT_EQ(g.num("TA_BADFLD"), long(Fldid32("TA_CURSOR")));
    }
    // More walks than are kept evict the oldest: its cursor goes stale.
    for (int i = 0; i < 70; ++i) {
        MibCall other;
        ASSERT_EQ(other.get("T_SERVER").set("TA_OCCURS", 1L).call(), 0);
    }
    m.set("TA_CURSOR", cursor);
    EXPECT_EQ(m.call(), -1);
    EXPECT_EQ(m.num("TA_ERROR"), TAEINVAL);
    EXPECT_NE(m.str("TA_STATUS").find("stale"), std::string::npos);
}

TEST_F(Mib, AWalkSeesTheObjectsAsTheyWereAtItsGet) {
    serve("classes:\n  T_CLIENT: [{TA_CLIENTID: C1}, {TA_CLIENTID: C2}]\n");
    join();
    const std::string first_id = tuxsim::own_client_id();
    MibCall walk;
    ASSERT_EQ(walk.get("T_CLIENT").set("TA_OCCURS", 1L).call(), 0);
    EXPECT_EQ(walk.str("TA_CLIENTID"), "C1");
    // Leaving and joining again changes the class under the walk.
    ASSERT_EQ(tpterm(), 0);
    join();
    ASSERT_EQ(walk.next().call(), 0);
    EXPECT_EQ(walk.str("TA_CLIENTID"), "C2");
    ASSERT_EQ(walk.next().call(), 0);
    EXPECT_EQ(walk.str("TA_CLIENTID"), first_id);
    EXPECT_EQ(walk.num("TA_MORE"), 0);
    // A new GET sees the class as it is now.
    MibCall fresh;
    ASSERT_EQ(fresh.get("T_CLIENT").call(), 0);
    EXPECT_EQ(fresh.str("TA_CLIENTID", 2), tuxsim::own_client_id());
    EXPECT_NE(tuxsim::own_client_id(), first_id);
}

}  // namespace
