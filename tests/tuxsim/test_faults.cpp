// Fault injection (in-process, domain file, TUXSIM_FAULTS), the down span,
// the request record file and the activity model.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim_test_util.h"

namespace {

const char* kSmall = R"(
classes:
  T_MACHINE: [{TA_LMID: SITE1}]
  T_SERVER:
    - {TA_SRVID: 1, TA_NUMREQ: 0, TA_SRVGRP: G}
    - {TA_SRVID: 2, TA_NUMREQ: 0, TA_SRVGRP: G}
)";

// Sets an environment variable for one test.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) { setenv(name, value, 1); }
    ~ScopedEnv() { unsetenv(name_); }

private:
    const char* name_;
};

class Faults : public SimTest {
protected:
    int get_servers() {
        MibCall m;
        m.get("T_SERVER");
        return m.call();
    }
};

TEST_F(Faults, NthCallOfEachFunctionFailsOnce) {
    serve(kSmall);
    tuxsim::fail_call(tuxsim::Call::tpinit, 1, TPEPERM);
    EXPECT_EQ(tpinit(nullptr), -1);
    EXPECT_EQ(tperrno, TPEPERM);
    EXPECT_EQ(tuxsim::object_count("T_CLIENT"), 0u);
    join();

    tuxsim::fail_call(tuxsim::Call::tpalloc, 2, TPEOS);
    char* a = tpalloc("FML32", nullptr, 0);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(tpalloc("FML32", nullptr, 0), nullptr);
    EXPECT_EQ(tperrno, TPEOS);
    char* c = tpalloc("FML32", nullptr, 0);
    EXPECT_NE(c, nullptr);
    tpfree(a);
    tpfree(c);

    tuxsim::fail_call(tuxsim::Call::tpcall, 2, TPETIME);
    EXPECT_EQ(get_servers(), 0);
    EXPECT_EQ(get_servers(), -1);
    EXPECT_EQ(tperrno, TPETIME);
    EXPECT_EQ(get_servers(), 0);
    const auto reqs = tuxsim::requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[1].outcome, "TPETIME");
    EXPECT_EQ(reqs[2].outcome, "OK");
}

TEST_F(Faults, DomainIsDownForASpan) {
    serve(kSmall);
    tuxsim::set_time(1700000000);
    join();
    tuxsim::domain_down(std::chrono::seconds(30), std::chrono::seconds(10));
    EXPECT_EQ(get_servers(), 0);
    tuxsim::advance_time(std::chrono::seconds(10));
    EXPECT_EQ(get_servers(), -1);
    EXPECT_EQ(tperrno, TPESYSTEM);
    EXPECT_EQ(tpterm(), 0);  // leaving works while down
    EXPECT_EQ(tpinit(nullptr), -1);
    EXPECT_EQ(tperrno, TPESYSTEM);
    tuxsim::advance_time(std::chrono::seconds(29));
    EXPECT_EQ(tpinit(nullptr), -1);
    tuxsim::advance_time(std::chrono::seconds(1));
    join();
    EXPECT_EQ(get_servers(), 0);
}

TEST_F(Faults, DomainFileFaultsCountFromTheLoad) {
    serve(std::string(kSmall) + "faults: [\"tpcall:2:TPESVCERR\", \"down:60:100\"]\n");
    tuxsim::set_time(1700000000);
    join();
    EXPECT_EQ(get_servers(), 0);
    EXPECT_EQ(get_servers(), -1);
    EXPECT_EQ(tperrno, TPESVCERR);
    tuxsim::advance_time(std::chrono::seconds(120));
    EXPECT_EQ(get_servers(), -1);
    EXPECT_EQ(tperrno, TPESYSTEM);
}

TEST_F(Faults, EnvironmentFaultsAndTheirSyntax) {
    serve(kSmall);
    {
        ScopedEnv env("TUXSIM_FAULTS", " tpinit:1:TPESYSTEM , tpcall:1:13 ");
        EXPECT_EQ(tpinit(nullptr), -1);
        EXPECT_EQ(tperrno, TPESYSTEM);
        join();
        EXPECT_EQ(get_servers(), -1);
        EXPECT_EQ(tperrno, TPETIME);
        EXPECT_EQ(get_servers(), 0);
    }
    tuxsim::reset();
    serve(kSmall);
    {
        // A bad list is refused at tpinit with one line on standard error.
        ScopedEnv env("TUXSIM_FAULTS", "tpcall:2:TPEBOGUS");
        testing::internal::CaptureStderr();
        EXPECT_EQ(tpinit(nullptr), -1);
        EXPECT_EQ(tperrno, TPESYSTEM);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "TUXSIM_FAULTS: fault \"tpcall:2:TPEBOGUS\": unknown tperrno \"TPEBOGUS\"\n");
    }
    for (const char* bad : {"tpfree:1:TPEOS", "tpcall:0:TPEOS", "tpcall:1", "down", "down:x", "down:5:-1",
                            "tpcall:1:TPEOS,,down:1", "tpcall:1:99"}) {
        EXPECT_NE(tuxsim::install_faults(bad), "") << bad;
    }
    EXPECT_EQ(tuxsim::install_faults(""), "");
    EXPECT_EQ(tuxsim::install_faults("down:5,down:1:30,tpalloc:3:TPELIMIT"), "");
}

TEST_F(Faults, RequestsAreKeptOnlyWhenAsked) {
    serve(kSmall);
    join();
    tuxsim::record_requests(false);
    EXPECT_EQ(get_servers(), 0);
    EXPECT_TRUE(tuxsim::requests().empty());  // a long run does not pile requests up
    tuxsim::record_requests();
    EXPECT_EQ(get_servers(), 0);
    EXPECT_EQ(tuxsim::requests().size(), 1u);
    tuxsim::reset();  // back to the environment's choice
    serve(kSmall);
    join();
    EXPECT_EQ(get_servers(), 0);
    EXPECT_TRUE(tuxsim::requests().empty());
    tuxsim::clear_requests();  // a test that clears the record reads it next
    EXPECT_EQ(get_servers(), 0);
    EXPECT_EQ(tuxsim::requests().size(), 1u);

    TempFile record("", ".log");
    ScopedEnv env("TUXSIM_RECORD", record.path().c_str());
    tuxsim::reset();
    serve(kSmall);
    join();
    EXPECT_EQ(get_servers(), 0);
    EXPECT_EQ(tuxsim::requests().size(), 1u);  // the file's requests, in memory too
}

TEST_F(Faults, RecordFileHasOneLinePerRequest) {
    TempFile record("", ".log");
    ScopedEnv env("TUXSIM_RECORD", record.path().c_str());
    serve(R"(
classes:
  T_APPQSPACE: [{TA_APPQSPACENAME: QS1, TA_QMCONFIG: /q/d1, TA_LMID: SITE1}]
)");
    join();
    MibCall m;
    m.get("T_APPQSPACE").set("TA_APPQSPACENAME", "QS1").set("TA_QMCONFIG", "/q/d1").set("TA_LMID", "SITE1");
    ASSERT_EQ(m.call(), 0);
    MibCall u;
    u.get("T_ULOG").set("TA_ULOGTIME", 120000L).set("TA_FLAGS", long(MIB_LOCAL)).set("TA_OCCURS", 1L);
    ASSERT_EQ(u.call(), 0);
    std::ifstream in(record.path());
    std::stringstream all;
    all << in.rdbuf();
    EXPECT_EQ(all.str(),
              "operation=GET\tclass=T_APPQSPACE\tflags=0\toccurs=-\tcursor=\toutcome=OK"
              "\tTA_APPQSPACENAME=QS1\tTA_LMID=SITE1\tTA_QMCONFIG=/q/d1\n"
              "operation=GET\tclass=T_ULOG\tflags=65536\toccurs=1\tcursor=\toutcome=OK\tTA_ULOGTIME=120000\n");
}

TEST_F(Faults, ActivityMovesCountersOnlyWhenAskedAndKeepsTheOwnEntry) {
    auto numreq_sum = [] {
        MibCall m;
        m.get("T_SERVER").set("TA_FLAGS", long(MIB_LOCAL));
        EXPECT_EQ(m.call(), 0);
        return m.num("TA_NUMREQ", 0) + m.num("TA_NUMREQ", 1);
    };
    serve(kSmall);
    tuxsim::set_time(1700000000);
    join();
    tuxsim::advance_time(std::chrono::hours(1));
    EXPECT_EQ(numreq_sum(), 0);  // no activity section: a still domain

    serve(std::string(kSmall) +
          "  T_CLIENT: [{TA_CLIENTID: C1, TA_STATE: ACTive}]\n"
          "activity: {seed: 7, tick: 1, clients: 1, ulog: 1}\n");
    join();
    const std::string me = tuxsim::own_client_id();
    long before = numreq_sum();
    std::size_t ulog = tuxsim::object_count("T_ULOG");
    for (int i = 0; i < 40; ++i) {
        tuxsim::advance_time(std::chrono::seconds(5));
        numreq_sum();
        MibCall c;
        ASSERT_EQ(c.get("T_CLIENT").set("TA_CLIENTID", me).call(), 0);
        ASSERT_EQ(c.num("TA_OCCURS"), 1) << "own entry lost at step " << i;
    }
    EXPECT_GT(numreq_sum(), before);
    // The log goes on to the last step, keeping the last hour's records.
    std::tm local{};
    const std::time_t now = tuxsim::now();
    localtime_r(&now, &local);
    MibCall last;
    ASSERT_EQ(last.get("T_ULOG").set("TA_ULOGTIME", local.tm_hour * 10000L + local.tm_min * 100L + local.tm_sec).call(), 0);
    EXPECT_EQ(last.num("TA_OCCURS"), 1);
    EXPECT_EQ(tuxsim::object_count("T_ULOG"), ulog);
    EXPECT_GE(tuxsim::object_count("T_CLIENT"), 1u);
}

// Every object of a class, a walk to its end: per object the attributes
// asked for, "NAME=value" each.
std::vector<std::string> walk(const char* cls, std::initializer_list<const char*> attrs, const char* lmid = "") {
    std::vector<std::string> out;
    MibCall m;
    m.get(cls).set("TA_FLAGS", long(MIB_LOCAL));
    if (*lmid) m.set("TA_LMID", lmid);
    for (int rc = m.call(); rc == 0; rc = m.next().call()) {
        for (int i = 0; i < m.num("TA_OCCURS"); ++i) {
            std::string obj;
            for (const char* a : attrs) {
                const bool text = Fldtype32(Fldid32(const_cast<char*>(a))) == FLD_STRING;
                obj += std::string(a) + "=" + (text ? m.str(a, i) : std::to_string(m.num(a, i))) + " ";
            }
            if (obj.find(tuxsim::own_client_id()) == std::string::npos) out.push_back(obj);
        }
        if (m.num("TA_MORE") <= 0) break;
    }
    return out;
}

// What a live domain shows is a function of the file and the clock: a
// process that has followed the domain for ten minutes and one that loads
// it at that moment, on another machine, see the same objects. Counters
// start the UTC day at the file's values, grow in proportion, and a
// suspended server's stay.
TEST_F(Faults, ActivityIsTheSameInEveryProcessAtTheSameMoment) {
    const std::string domain = R"(
activity: {seed: 3, tick: 2, clients: 0.5, ulog: 0.5}
classes:
  T_MACHINE: [{TA_LMID: SITE1}, {TA_LMID: SITE2}]
  T_SERVER:
    - {TA_SRVID: 1, TA_NUMREQ: 10, TA_TOTWORKL: 500, TA_SRVGRP: G}
    - {TA_SRVID: 2, TA_NUMREQ: 10, TA_TOTWORKL: 500, TA_SRVGRP: G, TA_STATE: SUSpended}
  T_CLIENT: [{TA_CLIENTID: C1, TA_STATE: ACTive, TA_LMID: SITE2}]
)";
    const std::time_t midnight = 1700006400;  // 2023-11-15 00:00:00 UTC
    auto seen = [&](std::time_t since, std::time_t t, const char* lmid) {
        tuxsim::reset();
        serve(domain + "local_lmid: " + lmid + "\n");
        for (std::time_t s = since; s < t; s += 7) {
            tuxsim::set_time(s);
            if (s == since) join();
            walk("T_SERVER", {"TA_NUMREQ"});
        }
        tuxsim::set_time(t);
        if (since == t) join();
        std::vector<std::string> all = walk("T_SERVER", {"TA_SRVID", "TA_NUMREQ", "TA_TOTWORKL"});
        for (const std::string& c : walk("T_CLIENT", {"TA_CLIENTID", "TA_LMID", "TA_TIMESTART"})) all.push_back(c);
        for (const char* m : {"SITE1", "SITE2"}) {
            for (const std::string& r : walk("T_ULOG", {"TA_LMID", "TA_ULOGLINE", "TA_ULOGMSG"}, m)) all.push_back(r);
        }
        return all;
    };
    const std::time_t t = midnight + 7200;
    const std::vector<std::string> followed = seen(t - 600, t, "SITE1");
    EXPECT_EQ(followed, seen(t, t, "SITE2"));
    ASSERT_GT(followed.size(), 6u);  // servers, file client, model clients, records
    long numreq = 0, workl = 0;
    ASSERT_EQ(std::sscanf(followed[0].c_str(), "TA_SRVID=1 TA_NUMREQ=%ld TA_TOTWORKL=%ld", &numreq, &workl), 2);
    EXPECT_GT(numreq, 10 + 3600 / 2 / 10);
    EXPECT_NEAR(double(workl - 500) / double(numreq - 10), 50.0, 0.1);
    EXPECT_EQ(followed[1], "TA_SRVID=2 TA_NUMREQ=10 TA_TOTWORKL=500 ");
    EXPECT_EQ(seen(midnight, midnight, "SITE1")[0], "TA_SRVID=1 TA_NUMREQ=10 TA_TOTWORKL=500 ");
}

}  // namespace
