// The user log table against the stand-in: the conversion of one record,
// demand reports, situation drives shared by all situation objects, the
// start-up deferral, the day change, the scan interval and the records
// counter that follows the log.
#include <gtest/gtest.h>

#include <atmi.h>
#include <fml32.h>
#include <tuxsim.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

// The registry the endpoint serves, to read the counter as a scrape would.
#include "../../framework/src/metrics.h"
#include "agent_test_util.h"
#include "zta16agt.h"
#include "zta_agent.h"
#include "zta_fields.h"
#include "zta_scope.h"

namespace {

using agent_test::padded;
using agent_test::stderr_of;
using agent_test::text;

// A NUL-terminated column as a string.
std::string cstr(const char* field, std::size_t width) {
    return std::string(field, strnlen(field, width));
}

// Epoch seconds of a local date and time.
std::time_t local_time(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

class UlogTable : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static const int status = zta_txulogs_init();
        ASSERT_EQ(status, 0);
    }

    void SetUp() override {
        Txinit::DeleteInstance();
        tuxsim::reset();
        tuxsim::use_domain_file(AGENT_TEST_DATA "/ulog.yaml");
        ASSERT_EQ(tuxsim::load_domain(), "");
        // The agent's timestamps and the domain's "today" follow one clock.
        tuxsim::set_time(local_time(2026, 3, 12, 10, 0, 0));
        agw::SetTimeStampSource(&tuxsim::now);
        zta_release_log_buffers();
        zta_txulogs_agent::theirDrive = {};
        zta_txulogs_agent::theirCounter = {};
        zta_set_place_for_tests(zta_domain_place{});
        agw::MetricsRegistry::Instance().Clear();
        unsetenv("ZTA_ULOG_SCAN");
        request_.name = "ulog";
        request_.table = "TXULOGS";
    }
    void TearDown() override {
        objects_.clear();
        zta_release_log_buffers();
        Txinit::DeleteInstance();
        tuxsim::reset();
        agw::SetTimeStampSource(nullptr);
        unsetenv("ZTA_ULOG_SCAN");
        TRC1_Configure("0x80");
        zta_set_place_for_tests(zta_domain_place{}, false);
        agw::MetricsRegistry::Instance().Clear();
        if (!dir_.empty()) {
            std::remove((dir_ + "/domain.yaml").c_str());
            rmdir(dir_.c_str());
        }
    }

    // The test's domain: one machine, an empty log and replies of at most
    // `batch` records, in a directory of the test's own.
    void use_batch(int batch) {
        char tmpl[] = "/tmp/zta-ulog-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::ofstream(dir_ + "/domain.yaml")
            << "local_lmid: SITE1\nbatch: " << batch
            << "\nclasses:\n  T_MACHINE:\n"
            << "    - {TA_LMID: SITE1, TA_PMID: host1, TA_STATE: ACTive}\n";
        tuxsim::use_domain_file(dir_ + "/domain.yaml");
        ASSERT_EQ(tuxsim::load_domain(), "");
    }
    // This agent runs on SITE1.
    static void place_on_site1() {
        zta_domain_place place;
        place.lmid = "SITE1";
        zta_set_place_for_tests(place);
    }
    // The counter's value for SITE1 and `severity` as the endpoint serves it
    // (whatever other labels the series carries); -1 without such a series.
    static double counted(const std::string& severity) {
        std::istringstream in(agw::MetricsRegistry::Instance().Exposition());
        double value = -1;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("tuxedo_userlog_records_total{", 0) != 0 ||
                line.find("lmid=\"SITE1\"") == std::string::npos ||
                line.find("severity=\"" + severity + "\"") == std::string::npos)
                continue;
            value = (value < 0 ? 0 : value) + std::stod(line.substr(line.rfind(' ') + 1));
        }
        return value;
    }

    // A table object made the way the framework makes one; the fixture owns it.
    zta_txulogs_agent& make_object(IntfSampleType type) {
        request_.type = type;
        tavro* t = nullptr;
        stderr_of([&] { t = zta_txulogs_manager::_static_manager->CreateTavro(&request_, &context_); });
        objects_.emplace_back(static_cast<zta_txulogs_agent*>(t));
        return *objects_.back();
    }
    std::vector<zta_txulogs_agent*> situations(int n) {
        std::vector<zta_txulogs_agent*> made;
        for (int i = 0; i < n; ++i) made.push_back(&make_object(AGW_SAMPLE_SITUATION_REQUEST));
        return made;
    }

    // One sample, as the framework runs it: rows of this sample only.
    static void sample(zta_txulogs_agent& object) {
        object.ClearCount();
        object.BeginSample();
        object.TakeSample();
    }
    // The four situation samples of the process that are skipped.
    static void defer(zta_txulogs_agent& object) {
        for (int i = 0; i < 4; ++i) {
            tuxsim::clear_requests();
            sample(object);
            EXPECT_EQ(object.NumDataItems(), 0u);
            EXPECT_TRUE(tuxsim::requests().empty());
        }
    }

    static void write(const std::string& msg, const std::string& severity = "ERROR") {
        ASSERT_EQ(tuxsim::write_ulog({{"TA_ULOGMSG", msg}, {"TA_SEVERITY", severity}}), "");
    }
    static std::vector<std::string> messages(zta_txulogs_agent& object) {
        std::vector<std::string> out;
        for (unsigned i = 0; i < object.NumDataItems(); ++i) {
            out.push_back(cstr(object.GetRow(int(i))->ulogmsg, 256));
        }
        return out;
    }
    static std::string ulogtime_asked() {
        const auto r = tuxsim::requests();
        if (r.size() != 1) return "calls: " + std::to_string(r.size());
        auto it = r[0].keys.find("TA_ULOGTIME");
        return it == r[0].keys.end() ? "absent" : it->second;
    }

    RequestDetail request_;
    ContextInfo context_;
    std::vector<std::unique_ptr<zta_txulogs_agent>> objects_;
    std::string dir_;  // use_batch's directory
};

// A reply buffer built by hand, for the conversion of single records.
struct Reply {
    FBFR32* fbfr = reinterpret_cast<FBFR32*>(tpalloc(zta_text("FML32"), nullptr, 8192));
    ~Reply() { tpfree(reinterpret_cast<char*>(fbfr)); }
    void set(FLDID32 field, FLDOCC32 occ, long value) { Fchg32(fbfr, field, occ, zta_value(value), 0); }
    void set(FLDID32 field, FLDOCC32 occ, const std::string& value) {
        Fchg32(fbfr, field, occ, zta_text(value.c_str()), 0);
    }
};

TEST_F(UlogTable, ScanIntervalFromTheEnvironment) {
    EXPECT_EQ(zta_txulogs_agent::ScanInterval(nullptr), 30);
    EXPECT_EQ(zta_txulogs_agent::ScanInterval("10"), 30);
    EXPECT_EQ(zta_txulogs_agent::ScanInterval("-5"), 30);
    EXPECT_EQ(zta_txulogs_agent::ScanInterval("120"), 120);
    const std::string err = stderr_of([] {
        EXPECT_EQ(zta_txulogs_agent::ScanInterval("abc"), 30);
        EXPECT_EQ(zta_txulogs_agent::ScanInterval("120s"), 30);
        EXPECT_EQ(zta_txulogs_agent::ScanInterval(""), 30);
        EXPECT_EQ(zta_txulogs_agent::ScanInterval("99999999999999999999"), 2147483);
        EXPECT_EQ(zta_txulogs_agent::ScanInterval("2147484"), 2147483);
    });
    EXPECT_NE(err.find("ZTA_ULOG_SCAN: expected a whole number of seconds, got \"abc\""),
              std::string::npos)
        << err;

    // A situation request becomes a situation object at the scan interval;
    // a report request keeps its own.
    setenv("ZTA_ULOG_SCAN", "120", 1);
    request_.interval = 45;
    auto& report = make_object(AGW_SAMPLE_REPORT);
    EXPECT_EQ(report._get_sampletype(), AGW_SAMPLE_REPORT);
    EXPECT_EQ(report.Interval(), 45);
    auto& situation = make_object(AGW_SAMPLE_SITUATION_REQUEST);
    EXPECT_EQ(situation._get_sampletype(), AGW_SAMPLE_SITUATION);
    EXPECT_EQ(situation.Interval(), 120);
    unsetenv("ZTA_ULOG_SCAN");
    EXPECT_EQ(make_object(AGW_SAMPLE_SITUATION_REQUEST).Interval(), 30);
    EXPECT_EQ(zta_txulogs_agent::theirDrive.theirConstructorCount, 2);
    objects_.clear();
    EXPECT_EQ(zta_txulogs_agent::theirDrive.theirConstructorCount, 0);
}

TEST_F(UlogTable, FillRowBoundsEveryColumnAndClearsAbsentAttributes) {
    Reply reply;
    namespace f = zta::fld;
    // Occurrence 0: every attribute, most of them longer than their column.
    reply.set(f::TA_LMID, 0, std::string(40, 'L'));
    reply.set(f::TA_PMID, 0, "host1");
    reply.set(f::TA_MMDDYY, 0, 120301L);
    reply.set(f::TA_ULOGTIME, 0, 142530L);
    reply.set(f::TA_ULOGLINE, 0, 77L);
    reply.set(f::TA_ULOGMSG, 0, std::string(300, 'm'));
    reply.set(f::TA_TPTRANID, 0, std::string(100, 't'));
    reply.set(f::TA_XID, 0, "xid-1");
    reply.set(f::TA_PID, 0, 4242L);
    reply.set(f::TA_SEVERITY, 0, std::string(35, 'S'));
    reply.set(f::TA_ULOGCAT, 0, "LIBTUX");
    reply.set(f::TA_ULOGMSGNUM, 0, 1811L);
    reply.set(f::TA_ULOGPROCNM, 0, "BBL");
    // Occurrence 1: a record of the last century that lacks most attributes.
    reply.set(f::TA_MMDDYY, 1, 123199L);
    reply.set(f::TA_ULOGTIME, 1, 235959L);
    reply.set(f::TA_ULOGMSG, 1, "short");
    reply.set(f::TA_SEVERITY, 1, "INFO");

    auto& object = make_object(AGW_SAMPLE_REPORT);
    zta_txulogs_data_t row;
    std::memset(&row, 'x', sizeof row);
    object.FillRow(reply.fbfr, &row, 0, 0);

    char host[64] = {};
    DetermineLocalHost(host, sizeof host);
    EXPECT_EQ(text(row.originnode, 64), padded(host, 64));
    EXPECT_EQ(row.sampleno, 0);
    EXPECT_EQ(row.rowno, 0);
    EXPECT_EQ(text(row.timestamp, 16), "1260312100000000");
    EXPECT_EQ(text(row.lmid, 16), std::string(16, 'L'));
    EXPECT_EQ(text(row.pmid, 30), padded("host1", 30));
    EXPECT_EQ(text(row.ulog_tm, 16), "1011203142530000");
    EXPECT_EQ(row.ulogline, 77);  // not overwritten by ULOG_TM's terminator
    EXPECT_EQ(text(row.ulogmsg, 256), std::string(255, 'm') + '\0');
    EXPECT_EQ(text(row.tranid, 78), std::string(77, 't') + '\0');
    EXPECT_EQ(cstr(row.xid, 78), "xid-1");
    EXPECT_EQ(text(row.xid, 78).back(), '\0');
    EXPECT_EQ(row.pid, 4242);
    EXPECT_EQ(text(row.severity, 30), std::string(30, 'S'));
    EXPECT_EQ(text(row.ulogcat, 30), padded("LIBTUX", 30));
    EXPECT_EQ(row.ulogmsgnum, 1811);
    EXPECT_EQ(text(row.ulogprocnm, 30), padded("BBL", 30));

    // The same working row for the next record: nothing of the first stays.
    object.FillRow(reply.fbfr, &row, 1, 0);
    EXPECT_EQ(text(row.ulog_tm, 16), "0991231235959000");
    EXPECT_EQ(text(row.lmid, 16), std::string(16, ' '));
    EXPECT_EQ(text(row.pmid, 30), std::string(30, ' '));
    EXPECT_EQ(text(row.ulogmsg, 256), "short" + std::string(251, '\0'));
    EXPECT_EQ(text(row.tranid, 78), std::string(78, '\0'));
    EXPECT_EQ(text(row.xid, 78), std::string(78, '\0'));
    EXPECT_EQ(row.ulogline, 0);
    EXPECT_EQ(row.pid, 0);
    EXPECT_EQ(row.ulogmsgnum, 0);
    EXPECT_EQ(text(row.severity, 30), padded("INFO", 30));
    EXPECT_EQ(text(row.ulogcat, 30), std::string(30, ' '));

}

TEST_F(UlogTable, DemandSampleShowsTodaysRecordsFromOneCall) {
    write("ERROR: first");
    write("INFO: second", "INFO");
    // The reply buffer starts small, so the call must move it; the stored
    // pointer follows, and the next sample uses the moved buffer.
    zta_txulogs_agent::theirDrive.rpLoglength = 64;
    auto& object = make_object(AGW_SAMPLE_REPORT);

    TRC1_Configure("0x80,zta16agt=0x90");
    tuxsim::clear_requests();
    const std::string trace = stderr_of([&] { sample(object); });

    ASSERT_NE(theirLogReplyBuffer, nullptr);
    const auto requests = tuxsim::requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].operation, "GET");
    EXPECT_EQ(requests[0].cls, "T_ULOG");
    EXPECT_EQ(requests[0].occurs, -1);  // no TA_OCCURS
    EXPECT_EQ(requests[0].flags, 0);    // no TA_FLAGS
    EXPECT_EQ(requests[0].keys.count("TA_ULOGTIME"), 0u);
    EXPECT_EQ(messages(object), (std::vector<std::string>{"ERROR: first", "INFO: second"}));
    EXPECT_EQ(text(object.GetRow(0)->lmid, 16), padded("SITE1", 16));
    EXPECT_GT(zta_txulogs_agent::theirDrive.rpLoglength, 64);
    EXPECT_NE(trace.find("Retrieving <2> rows for demand report"), std::string::npos) << trace;
    EXPECT_NE(trace.find("Adding Data Severity: <" + padded("ERROR", 30) + "> "),
              std::string::npos)
        << trace;

    write("WARN: third", "WARN");
    sample(object);
    EXPECT_EQ(object.NumDataItems(), 3u);
}

// Logout gives both process-wide reply buffers back to Tuxedo, each once;
// the leave then releases what remains.
TEST_F(UlogTable, LogoutFreesTheDemandAndSituationReplyBuffers) {
    const std::size_t unjoined = tuxsim::live_buffers();
    write("ERROR: one");
    auto& report = make_object(AGW_SAMPLE_REPORT);
    auto& situation = *situations(1)[0];
    defer(situation);
    sample(report);
    sample(situation);
    ASSERT_EQ(messages(situation), std::vector<std::string>{"ERROR: one"});
    ASSERT_NE(theirLogReplyBuffer, nullptr);
    ASSERT_NE(theirSitReplyBuffer, nullptr);

    const std::size_t joined = tuxsim::live_buffers();
    zta_release_log_buffers();
    EXPECT_EQ(theirLogReplyBuffer, nullptr);
    EXPECT_EQ(theirSitReplyBuffer, nullptr);
    EXPECT_EQ(tuxsim::live_buffers(), joined - 2);
    zta_release_log_buffers();
    EXPECT_EQ(tuxsim::live_buffers(), joined - 2);
    Txinit::DeleteInstance();
    EXPECT_EQ(tuxsim::live_buffers(), unjoined);
}

TEST_F(UlogTable, SituationsDeferFourSamplesThenFollowTheLog) {
    write("ERROR: before start");
    auto& object = *situations(1)[0];
    defer(object);

    tuxsim::clear_requests();
    sample(object);
    EXPECT_EQ(ulogtime_asked(), "0");
    EXPECT_EQ(tuxsim::requests()[0].operation, "GET");
    EXPECT_EQ(tuxsim::requests()[0].cls, "T_ULOG");
    EXPECT_EQ(messages(object), std::vector<std::string>{"ERROR: before start"});

    // Only what was written since the previous drive.
    tuxsim::advance_time(std::chrono::seconds(30));
    write("ERROR: new");
    tuxsim::clear_requests();
    sample(object);
    EXPECT_EQ(ulogtime_asked(), "100000");  // from the last record's second
    EXPECT_EQ(messages(object), std::vector<std::string>{"ERROR: new"});

    tuxsim::clear_requests();
    sample(object);
    EXPECT_EQ(ulogtime_asked(), "100030");
    EXPECT_EQ(object.NumDataItems(), 0u);
}

TEST_F(UlogTable, ThreeSituationsShareOneCallPerDrive) {
    auto objs = situations(3);
    // The deferral counts the process's situation samples, whoever runs them.
    for (int i = 0; i < 4; ++i) {
        tuxsim::clear_requests();
        sample(*objs[i % 3]);
        EXPECT_TRUE(tuxsim::requests().empty());
    }
    write("ERROR: one");
    write("ERROR: two");
    for (int round = 0; round < 2; ++round) {
        std::size_t calls = 0;
        for (int k = 0; k < 3; ++k) {
            tuxsim::clear_requests();
            sample(*objs[(k + 1) % 3]);  // any object may open a drive
            calls += tuxsim::requests().size();
            EXPECT_EQ(calls, 1u) << "round " << round << ", sample " << k;
            if (round == 0) {
                EXPECT_EQ(messages(*objs[(k + 1) % 3]),
                          (std::vector<std::string>{"ERROR: one", "ERROR: two"}));
            } else {
                EXPECT_EQ(objs[(k + 1) % 3]->NumDataItems(), 0u);
            }
        }
    }
}

TEST_F(UlogTable, FailedDriveGivesItsLaterObjectsNoRows) {
    auto objs = situations(3);
    for (int i = 0; i < 4; ++i) sample(*objs[0]);
    write("ERROR: one");
    for (auto* o : objs) sample(*o);
    EXPECT_EQ(objs[2]->NumDataItems(), 1u);
    EXPECT_FALSE(objs[2]->SampleIncomplete());

    tuxsim::fail_call(tuxsim::Call::tpcall, 1, TPESYSTEM);
    const std::string err = stderr_of([&] { sample(*objs[0]); });
    EXPECT_EQ(err.rfind("Error: in tpcall\nERROR NO : ", 0), 0u) << err;
    EXPECT_FALSE(Txinit::Joined());
    tuxsim::clear_requests();
    sample(*objs[1]);
    sample(*objs[2]);
    EXPECT_EQ(objs[1]->NumDataItems(), 0u);
    EXPECT_EQ(objs[2]->NumDataItems(), 0u);
    // Nobody read the log in that drive: none of its samples clears a situation.
    for (auto* o : objs) EXPECT_TRUE(o->SampleIncomplete());
    EXPECT_TRUE(tuxsim::requests().empty());
    EXPECT_FALSE(Txinit::Joined());  // the later objects made no Tuxedo call

    // The next drive joins again and asks from where the last good one ended.
    tuxsim::advance_time(std::chrono::seconds(30));
    write("ERROR: two");
    stderr_of([&] { sample(*objs[1]); });
    EXPECT_TRUE(Txinit::Joined());
    EXPECT_EQ(messages(*objs[1]), std::vector<std::string>{"ERROR: two"});
}

TEST_F(UlogTable, DayChangeAsksTheNewDayFromTimeZero) {
    tuxsim::set_time(local_time(2026, 3, 12, 23, 59, 59));
    auto& object = *situations(1)[0];
    defer(object);
    write("ERROR: last of the day");
    tuxsim::clear_requests();
    sample(object);
    EXPECT_EQ(ulogtime_asked(), "0");
    EXPECT_EQ(object.NumDataItems(), 1u);

    // The next drive of the same day asks from the last record's second.
    TRC1_Configure("0x80,zta16agt=0x90");
    tuxsim::clear_requests();
    std::string trace = stderr_of([&] { sample(object); });
    EXPECT_EQ(ulogtime_asked(), "235959");
    EXPECT_EQ(object.NumDataItems(), 0u);
    EXPECT_EQ(trace.find("ULOG switched"), std::string::npos);

    tuxsim::advance_time(std::chrono::seconds(31));
    write("ERROR: first of the new day");
    tuxsim::clear_requests();
    trace = stderr_of([&] { sample(object); });
    EXPECT_NE(trace.find("ULOG switched"), std::string::npos) << trace;
    EXPECT_EQ(ulogtime_asked(), "0");
    EXPECT_EQ(messages(object), std::vector<std::string>{"ERROR: first of the new day"});
    EXPECT_EQ(text(object.GetRow(0)->ulog_tm, 16), "1260313000030000");
}

}  // namespace

namespace {

// Situation drives follow the log by time and line and page through it:
// 35 records over two seconds behind replies of 20, the first reply's last
// record sharing its second with the next ten, reach every situation of
// each drive exactly once.
TEST_F(UlogTable, SituationDrivesDeliverEachRecordOnceAcrossReplies) {
    use_batch(20);
    tuxsim::set_time(local_time(2026, 3, 12, 1, 0, 0));
    auto objs = situations(2);
    defer(*objs[0]);
    int written = 0;
    auto burst = [&](int n) {
        for (int i = 0; i < n; ++i) write("ERROR: " + std::to_string(written++));
    };
    std::vector<std::string> seen[2];
    auto scan = [&] {
        tuxsim::clear_requests();
        for (int k = 0; k < 2; ++k) {
            sample(*objs[k]);
            EXPECT_FALSE(objs[k]->SampleIncomplete());
            for (const std::string& m : messages(*objs[k])) seen[k].push_back(m);
        }
        EXPECT_EQ(seen[0], seen[1]);  // the drive's later object presents the same rows
        return tuxsim::requests();
    };

    burst(20);
    EXPECT_EQ(scan().size(), 1u);
    EXPECT_EQ(seen[1].size(), 20u);
    burst(10);
    tuxsim::advance_time(std::chrono::seconds(1));
    burst(5);
    const auto calls = scan();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].operation, "GET");
    EXPECT_EQ(calls[0].keys.at("TA_ULOGTIME"), "10000");
    EXPECT_EQ(calls[1].operation, "GETNEXT");
    EXPECT_EQ(seen[1].size(), 35u);
    scan();

    std::vector<std::string> all;
    for (int i = 0; i < 35; ++i) all.push_back("ERROR: " + std::to_string(i));
    EXPECT_EQ(seen[1], all);

    // A backlog beyond one drive's records waits for the next scan, even
    // within one second; a scan that left some is incomplete.
    for (int i = 0; i < 1005; ++i) write("WARN: storm", "WARN");
    sample(*objs[0]);
    EXPECT_EQ(objs[0]->NumDataItems(), zta_txulogs_agent::kMaxDriveRecords);
    EXPECT_TRUE(objs[0]->SampleIncomplete());
    sample(*objs[1]);
    EXPECT_EQ(objs[1]->NumDataItems(), zta_txulogs_agent::kMaxDriveRecords);
    EXPECT_TRUE(objs[1]->SampleIncomplete());
    sample(*objs[0]);
    EXPECT_EQ(objs[0]->NumDataItems(), 5u);
    EXPECT_FALSE(objs[0]->SampleIncomplete());
}

// A MIB that keeps one cursor handle and one TA_MORE for a walk, one record
// per reply: the situation drive and the counter each take every record.
TEST_F(UlogTable, AFixedCursorHandleGivesTheDriveAndTheCounterEveryRecord) {
    use_batch(20);
    tuxsim::Quirks q;
    q.fixed_cursor = {"T_ULOG"};
    ASSERT_EQ(tuxsim::set_quirks(q), "");
    place_on_site1();
    auto& report = make_object(AGW_SAMPLE_REPORT);
    auto& situation = *situations(1)[0];
    defer(situation);
    sample(report);  // the counter's baseline of an empty log
    for (int i = 0; i < 30; ++i) write("ERROR: " + std::to_string(i));

    tuxsim::clear_requests();
    sample(situation);
    EXPECT_FALSE(situation.SampleIncomplete()) << situation.SampleIncompleteReason();
    EXPECT_EQ(tuxsim::requests().size(), 30u);
    const std::vector<std::string> seen = messages(situation);
    ASSERT_EQ(seen.size(), 30u);
    EXPECT_EQ(seen.back(), "ERROR: 29");
    sample(report);
    EXPECT_EQ(counted("ERROR"), 30);
}

TEST_F(UlogTable, DemandSampleShowsOneReplyWhenTheLogPages) {
    for (int i = 0; i < 25; ++i) {
        tuxsim::advance_time(std::chrono::seconds(1));
        write("INFO: record " + std::to_string(i), "INFO");
    }
    auto& object = make_object(AGW_SAMPLE_REPORT);
    TRC1_Configure("0x80,zta16agt=0x180");
    tuxsim::clear_requests();
    const std::string trace = stderr_of([&] { sample(object); });
    // The stand-in answers a GET in batches: no GETNEXT follows.
    ASSERT_EQ(tuxsim::requests().size(), 1u);
    EXPECT_EQ(object.NumDataItems(), 20u);
    EXPECT_EQ(messages(object).front(), "INFO: record 0");
    // What the reply left out is said, and kept for ztaquery's heading.
    EXPECT_NE(trace.find("TXULOGS: the demand reply holds 20 of the 25 records of today's log "
                         "(TA_MORE 5)"),
              std::string::npos)
        << trace;
    EXPECT_EQ(object.LastDemandReply().records, 20);
    EXPECT_EQ(object.LastDemandReply().Total(), 25);

    tuxsim::fail_call(tuxsim::Call::tpcall, 1, TPESYSTEM);
    stderr_of([&] { sample(object); });
    EXPECT_EQ(object.LastDemandReply().Total(), 0);
}

// Records written between two samples of a report request raise the counter
// by exactly their number: many in one second, over several replies, and
// across a failed call, which never touches the report it follows.
TEST_F(UlogTable, CounterTakesEachNewRecordOnce) {
    use_batch(7);
    for (int i = 0; i < 5; ++i) write("INFO: before start", "INFO");
    auto& report = make_object(AGW_SAMPLE_REPORT);
    // Until the agent knows its machine, it follows no log.
    tuxsim::clear_requests();
    sample(report);
    EXPECT_EQ(tuxsim::requests().size(), 1u);
    EXPECT_EQ(counted("INFO"), -1);

    // The first scan is the baseline: the log's records so far are not new.
    place_on_site1();
    sample(report);
    EXPECT_EQ(counted("INFO"), 0);

    // Twenty more in the same second: 25 records of 100000, four replies.
    for (int i = 0; i < 20; ++i) {
        write(i % 2 ? "ERROR: burst" : "INFO: burst", i % 2 ? "ERROR" : "INFO");
    }
    tuxsim::clear_requests();
    sample(report);
    EXPECT_EQ(counted("INFO"), 10);
    EXPECT_EQ(counted("ERROR"), 10);
    auto r = tuxsim::requests();
    ASSERT_EQ(r.size(), 5u);  // the demand's one GET, then the counter's GET and three GETNEXT
    EXPECT_EQ(r[0].keys.count("TA_ULOGTIME"), 0u);
    EXPECT_EQ(r[1].operation, "GET");
    EXPECT_EQ(r[1].keys["TA_LMID"], "SITE1");
    EXPECT_EQ(r[1].keys["TA_MMDDYY"], "31226");
    EXPECT_EQ(r[1].keys["TA_ULOGTIME"], "100000");  // from the last record's second
    EXPECT_EQ(r[4].operation, "GETNEXT");
    EXPECT_EQ(report.NumDataItems(), 7u);  // the demand still shows one reply

    // Nothing new, nothing counted.
    sample(report);
    EXPECT_EQ(counted("INFO"), 10);

    // The counter's call fails in its fifth reply's turn: the report is whole,
    // the three new records of the fourth stay counted, the rest come with
    // the next sample, none twice.
    for (int i = 0; i < 20; ++i) write("WARN: more", "WARN");
    tuxsim::fail_call(tuxsim::Call::tpcall, 6, TPESYSTEM);
    tuxsim::clear_requests();
    stderr_of([&] { sample(report); });
    EXPECT_FALSE(report.SampleIncomplete());
    EXPECT_EQ(report.NumDataItems(), 7u);
    EXPECT_EQ(tuxsim::requests().front().outcome, "OK");
    EXPECT_EQ(counted("WARN"), 3);
    stderr_of([&] { sample(report); });
    EXPECT_EQ(counted("WARN"), 20);
    EXPECT_EQ(counted("INFO") + counted("ERROR"), 20);
}

TEST_F(UlogTable, CounterMakesAtMostAHundredCallsPerScan) {
    use_batch(1);
    place_on_site1();
    auto& report = make_object(AGW_SAMPLE_REPORT);
    sample(report);  // the baseline of an empty log
    for (int i = 0; i < 60; ++i) write("INFO: one", "INFO");
    tuxsim::advance_time(std::chrono::seconds(1));
    for (int i = 0; i < 60; ++i) write("INFO: two", "INFO");

    TRC1_Configure("0x80,zta16agt=0x180");
    tuxsim::clear_requests();
    std::string trace = stderr_of([&] { sample(report); });
    EXPECT_EQ(tuxsim::requests().size(), 101u);
    EXPECT_EQ(counted("INFO"), 100);
    EXPECT_NE(trace.find("T_ULOG: the user-log counter made its 100 MIB calls of this scan with "
                         "TA_MORE 20; the rest is counted at the next scan"),
              std::string::npos)
        << trace;
    TRC1_Configure("0x80");
    sample(report);
    EXPECT_EQ(counted("INFO"), 120);

    // More records in one second than a hundred replies carry: the scan
    // that only reads again those counted moves on, rather than stop the
    // counter for the rest of the day.
    tuxsim::advance_time(std::chrono::seconds(1));
    for (int i = 0; i < 150; ++i) write("INFO: storm", "INFO");
    sample(report);
    sample(report);
    EXPECT_EQ(counted("INFO"), 220);
    TRC1_Configure("0x80");
    trace = stderr_of([&] { sample(report); });
    EXPECT_NE(trace.find("holds more records of 100002 than 100 replies carry; its records of "
                         "that second after line 220 are not counted"),
              std::string::npos)
        << trace;
    tuxsim::advance_time(std::chrono::seconds(1));
    write("INFO: after the storm", "INFO");
    sample(report);
    EXPECT_EQ(counted("INFO"), 221);
}

// The old day's last records, written after its last scan, and the new
// day's first (a log that starts again at line 1) are each counted once.
TEST_F(UlogTable, CounterFinishesTheOldDayBeforeTheNewOne) {
    tuxsim::set_time(local_time(2026, 3, 12, 23, 59, 0));
    place_on_site1();
    write("INFO: before start", "INFO");
    auto& report = make_object(AGW_SAMPLE_REPORT);
    sample(report);
    tuxsim::set_time(local_time(2026, 3, 12, 23, 59, 30));
    write("WARN: late", "WARN");
    write("WARN: late", "WARN");
    sample(report);
    EXPECT_EQ(counted("WARN"), 2);
    write("WARN: same second, after the scan", "WARN");
    tuxsim::set_time(local_time(2026, 3, 12, 23, 59, 59));
    write("WARN: last of the day", "WARN");
    write("WARN: last of the day", "WARN");
    tuxsim::set_time(local_time(2026, 3, 13, 0, 0, 10));
    ASSERT_EQ(tuxsim::write_ulog({{"TA_ULOGMSG", "ERROR: new day"}, {"TA_SEVERITY", "ERROR"},
                                  {"TA_ULOGLINE", "1"}}),
              "");
    tuxsim::set_time(local_time(2026, 3, 13, 0, 0, 20));
    ASSERT_EQ(tuxsim::write_ulog({{"TA_ULOGMSG", "ERROR: new day"}, {"TA_SEVERITY", "ERROR"},
                                  {"TA_ULOGLINE", "2"}}),
              "");

    tuxsim::clear_requests();
    sample(report);
    EXPECT_EQ(counted("WARN"), 5);
    EXPECT_EQ(counted("ERROR"), 2);
    EXPECT_EQ(counted("INFO"), 0);
    auto r = tuxsim::requests();
    ASSERT_EQ(r.size(), 3u);  // the demand's GET, then the old day and the new
    EXPECT_EQ(r[1].keys["TA_MMDDYY"], "31226");
    EXPECT_EQ(r[1].keys["TA_ULOGTIME"], "235930");
    EXPECT_EQ(r[2].keys["TA_MMDDYY"], "31326");
    EXPECT_EQ(r[2].keys["TA_ULOGTIME"], "0");

    tuxsim::clear_requests();
    sample(report);
    EXPECT_EQ(counted("WARN") + counted("ERROR"), 7);
    EXPECT_EQ(tuxsim::requests()[1].keys["TA_ULOGTIME"], "20");
}

// The log of the same day starts again with lower line numbers (the domain
// was booted again): later seconds are counted, the last second's lines up
// to the last one taken are not counted again.
TEST_F(UlogTable, CounterNeverGoesBackWhenTheLogStartsAgain) {
    place_on_site1();
    auto& report = make_object(AGW_SAMPLE_REPORT);
    sample(report);
    tuxsim::advance_time(std::chrono::seconds(5));
    for (int i = 0; i < 3; ++i) write("ERROR: first boot");
    sample(report);
    EXPECT_EQ(counted("ERROR"), 3);

    auto line = [](const std::string& n) {
        ASSERT_EQ(tuxsim::write_ulog({{"TA_ULOGMSG", "ERROR: booted again"},
                                      {"TA_SEVERITY", "ERROR"}, {"TA_ULOGLINE", n}}),
                  "");
    };
    line("1");  // within the second already followed
    tuxsim::advance_time(std::chrono::seconds(1));
    line("1");
    line("2");
    TRC1_Configure("0x80,zta16agt=0x180");
    const std::string trace = stderr_of([&] { sample(report); });
    EXPECT_EQ(counted("ERROR"), 5);
    EXPECT_NE(trace.find("the user log of SITE1 starts again at line 1 (100006) after line 3"),
              std::string::npos)
        << trace;
    sample(report);
    EXPECT_EQ(counted("ERROR"), 5);
}

}  // namespace
