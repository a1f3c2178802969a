// The four /Q tables against the stand-in: which queue spaces the configured
// lists watch, one MIB call per queue space, one row per occurrence, absent
// attributes, the queue-space percentages, and a failed call.
#include <gtest/gtest.h>

#include <atmi.h>
#include <tuxsim.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <string>

#include "agent_test_util.h"
#include "zta17agt.h"
#include "zta18agt.h"
#include "zta19agt.h"
#include "zta20agt.h"
#include "zta_agent.h"

namespace {

using agent_test::padded;
using agent_test::stderr_of;
using agent_test::text;

// A NUL-terminated column: the string and NULs to the full width.
std::string nul_filled(const std::string& value, std::size_t width) {
    return value + std::string(width - value.size(), '\0');
}

std::size_t count_of(const std::string& haystack, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++n;
    return n;
}

TRC1_Block trc = {"ZTA300", "test_queues", "Configure", {}};

class QueueTables : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // One manager per table for the life of the process.
        static const int status =
            zta_txappq_init() | zta_txqmsg_init() | zta_txqspcs_init() | zta_txqtran_init();
        ASSERT_EQ(status, 0);
    }

    void SetUp() override {
        Txinit::DeleteInstance();
        tuxsim::reset();
        tuxsim::use_domain_file(AGENT_TEST_DATA "/queue_spaces.yaml");
        ASSERT_EQ(tuxsim::load_domain(), "");
    }
    void TearDown() override {
        Txinit::DeleteInstance();
        tuxsim::reset();
    }

    // A table object made the way the framework makes one, its lists then
    // configured as the environment would give them (null: unset). The
    // first object of a table reads the real environment once; configuring
    // afterwards replaces what it read.
    template <class Agent, class Manager>
    std::unique_ptr<Agent> make(const char* qspc, const char* qmconf, const char* lmid) {
        RequestDetail& request = requests_.emplace_back();
        request.name = "queues";
        request.table = zta::TableTraits<typename Agent::Row>::kUpperName;
        std::unique_ptr<Agent> object;
        stderr_of([&] {
            object.reset(static_cast<Agent*>(Manager::_static_manager->CreateTavro(&request, &context_)));
        });
        Agent::theirQueues.Configure(&trc, qspc, qmconf, lmid);
        return object;
    }

    // One sample; returns its standard error.
    template <class Agent>
    static std::string sample(Agent& object) {
        tuxsim::clear_requests();
        object.BeginSample();
        return stderr_of([&] { object.TakeSample(); });
    }

    std::deque<RequestDetail> requests_;  // stable addresses for the objects
    ContextInfo context_;
};

TEST_F(QueueTables, ListsThatWatchNothingMakeNoMibCall) {
    const std::string long_list = std::string(300, 'Q') + ";";
    struct Case {
        const char *qspc, *qmconf, *lmid;
        const char* error;  // the one error trace line, or null for none
    } cases[] = {
        {nullptr, "/q/dev;", "SITE1;", nullptr},
        {"@QSA;", "/q/dev;", "SITE1;", nullptr},
        {"QSA", "/q/dev", "SITE1", nullptr},  // no ";": no entry counts
        {"QSA;", nullptr, "SITE1;", "TXAPPQSPACENAME is set without TXQMCONFIG:"},
        {"QSA;", "/q/dev;", nullptr, "TXAPPQSPACENAME is set without TXLMID:"},
        {"QSA;", nullptr, nullptr, "TXAPPQSPACENAME is set without TXQMCONFIG and TXLMID:"},
        {long_list.c_str(), "/q/dev;", "SITE1;", "TXAPPQSPACENAME is 301 bytes long, at most 255 fit"},
        {"QSA;", "/q/dev;", long_list.c_str(), "TXLMID is 301 bytes long, at most 255 fit"},
    };
    auto object = make<zta_txappq_agent, zta_txappq_manager>(nullptr, nullptr, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.qspc == nullptr ? "unset" : std::string(c.qspc).substr(0, 10));
        const std::string err = stderr_of(
            [&] { zta_txappq_agent::theirQueues.Configure(&trc, c.qspc, c.qmconf, c.lmid); });
        if (c.error == nullptr) {
            EXPECT_EQ(err, "");
        } else {
            EXPECT_EQ(count_of(err, c.error), 1u) << err;
            EXPECT_EQ(count_of(err, "\n"), 1u) << err;
            // A refused list is not kept, not even in part.
            EXPECT_EQ(zta_txappq_agent::theirQueues.theirInfoDefined, 0);
            EXPECT_STREQ(zta_txappq_agent::theirQueues.theirQspcstr, "");
        }
        sample(*object);
        EXPECT_TRUE(tuxsim::requests().empty());
        EXPECT_EQ(object->NumDataItems(), 0u);
    }
    // 255 bytes still fit.
    const std::string longest = std::string(254, 'Q') + ";";
    EXPECT_TRUE(zta_txappq_agent::theirQueues.Configure(&trc, longest.c_str(), "/q/dev", "SITE1"));
}

TEST_F(QueueTables, ApplicationQueuesOfTwoSpacesInListOrderWithOneSharedDevice) {
    // One device without ";" serves both spaces; text after the last ";"
    // is never asked for.
    auto object = make<zta_txappq_agent, zta_txappq_manager>("QSB;QSA;QSC", "/q/dev", "SITE2;SITE1;");
    ::testing::internal::CaptureStdout();
    const std::string err = sample(*object);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(err, "");

    const auto calls = tuxsim::requests();
    ASSERT_EQ(calls.size(), 2u);
    const char* spaces[][2] = {{"QSB", "SITE2"}, {"QSA", "SITE1"}};
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].cls, "T_APPQ");
        EXPECT_EQ(calls[i].occurs, -1);  // no TA_OCCURS
        EXPECT_EQ(calls[i].flags, 0);    // no TA_FLAGS
        EXPECT_EQ(calls[i].keys.at("TA_APPQSPACENAME"), spaces[i][0]);
        EXPECT_EQ(calls[i].keys.at("TA_QMCONFIG"), "/q/dev");
        EXPECT_EQ(calls[i].keys.at("TA_LMID"), spaces[i][1]);
    }

    // Each reply printed to standard output.
    EXPECT_EQ(count_of(out, "TA_APPQNAME\t"), 3u) << out;

    ASSERT_EQ(object->NumDataItems(), 3u);
    char host[64] = {};
    DetermineLocalHost(host, sizeof host);
    const zta_txappq_data_t* payments = object->GetRow(0);
    EXPECT_EQ(text(payments->appqnm, 16), padded("PAYMENTS", 16));
    EXPECT_EQ(text(payments->qmconfg, 78), padded("/q/dev", 78));
    EXPECT_EQ(text(payments->originnode, 64), padded(host, 64));
    EXPECT_EQ(payments->curmsg, 5);

    const zta_txappq_data_t* orders = object->GetRow(1);
    EXPECT_EQ(text(orders->appqnm, 16), padded("ORDERS", 16));
    EXPECT_EQ(text(orders->qorder, 16), nul_filled("PRIO", 16));
    // A value longer than its column is cut, leaving room for the NUL.
    EXPECT_EQ(text(orders->cmd, 78),
              std::string("/bin/qalert ORDERS with a threshold command longer than the seventy-eight characters of its column")
                      .substr(0, 77) + '\0');
    EXPECT_EQ(orders->maxrtry, 3);
    const std::string tm = text(orders->timestamp, 16);
    EXPECT_EQ(tm.find_first_not_of("0123456789"), std::string::npos) << tm;

    // Sampled again with the spaces the other way round: the queue without
    // TA_CMD after the one with it gets an empty CMD, not the other's.
    object->ClearCount();
    zta_txappq_agent::theirQueues.Configure(&trc, "QSA;QSB;", "/q/dev", "SITE1;SITE2;");
    ::testing::internal::CaptureStdout();
    sample(*object);
    ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(object->NumDataItems(), 3u);
    const zta_txappq_data_t* last = object->GetRow(2);
    EXPECT_EQ(text(last->appqnm, 16), padded("PAYMENTS", 16));
    EXPECT_EQ(text(last->cmd, 78), std::string(78, '\0'));
    EXPECT_EQ(text(last->qorder, 16), std::string(16, '\0'));
    EXPECT_EQ(last->maxrtry, 0);
}

// A MIB that keeps one cursor handle and one TA_MORE for a walk, one object
// per reply: every queue of the space, in order.
TEST_F(QueueTables, AFixedCursorHandleGivesEveryQueueOfTheSpace) {
    char dir[] = "/tmp/zta-queues-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string domain = std::string(dir) + "/domain.yaml";
    {
        std::ofstream out(domain);
        out << "quirks: {fixed_cursor: [T_APPQ]}\nclasses:\n  T_MACHINE: [{TA_LMID: SITE1}]\n"
               "  T_APPQSPACE: [{TA_APPQSPACENAME: QS1, TA_QMCONFIG: /q/dev, TA_LMID: SITE1}]\n  T_APPQ:\n";
        for (int i = 1; i <= 4; ++i) {
            out << "    - {TA_APPQNAME: Q" << i << ", TA_APPQSPACENAME: QS1, TA_QMCONFIG: /q/dev, TA_LMID: SITE1}\n";
        }
    }
    Txinit::DeleteInstance();
    tuxsim::use_domain_file(domain);
    auto object = make<zta_txappq_agent, zta_txappq_manager>("QS1;", "/q/dev;", "SITE1;");
    ::testing::internal::CaptureStdout();
    sample(*object);
    ::testing::internal::GetCapturedStdout();
    std::remove(domain.c_str());
    rmdir(dir);
    EXPECT_FALSE(object->SampleIncomplete()) << object->SampleIncompleteReason();
    EXPECT_EQ(tuxsim::requests().size(), 4u);
    ASSERT_EQ(object->NumDataItems(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(text(object->GetRow(i)->appqnm, 16), padded("Q" + std::to_string(i + 1), 16));
}

TEST_F(QueueTables, SpaceWithoutQueuesGivesNoRowAndListsRestartEverySample) {
    auto object = make<zta_txappq_agent, zta_txappq_manager>("QSC;QSA;", "/q/dev3;/q/dev;", "SITE1;");
    for (int i = 0; i < 2; ++i) {
        object->ClearCount();
        ::testing::internal::CaptureStdout();
        sample(*object);
        ::testing::internal::GetCapturedStdout();
        const auto calls = tuxsim::requests();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0].keys.at("TA_APPQSPACENAME"), "QSC");
        EXPECT_EQ(calls[0].keys.at("TA_QMCONFIG"), "/q/dev3");
        EXPECT_EQ(calls[0].outcome, "OK");
        // A shorter machine list gives the empty string for the missing
        // entries, which the MIB does not know.
        EXPECT_EQ(calls[1].keys.at("TA_APPQSPACENAME"), "QSA");
        EXPECT_EQ(calls[1].keys.at("TA_LMID"), "");
    }
}

TEST_F(QueueTables, FailedCallEndsTheSampleAndKeepsEarlierSpacesRows) {
    auto object = make<zta_txqmsg_agent, zta_txqmsg_manager>("QSA;QSB;QSC;", "/q/dev;/q/dev;/q/dev3;",
                                         "SITE1;SITE2;SITE1;");
    tuxsim::fail_call(tuxsim::Call::tpcall, 2, TPESYSTEM);
    const std::string err = sample(*object);
    EXPECT_EQ(err.rfind("Error: in tpcall\nERROR NO : " + std::to_string(TPESYSTEM) + "\n", 0), 0u)
        << err;
    EXPECT_EQ(tuxsim::requests().size(), 2u);  // QSC is not asked for
    EXPECT_FALSE(Txinit::Joined());
    ASSERT_EQ(object->NumDataItems(), 1u);
    EXPECT_EQ(text(object->GetRow(0)->appqmsgid, 32), padded("0x0a01", 32));

    // The next sample joins again and walks the whole list.
    object->ClearCount();
    sample(*object);
    EXPECT_TRUE(Txinit::Joined());
    EXPECT_EQ(tuxsim::requests().size(), 3u);
    EXPECT_EQ(object->NumDataItems(), 2u);
}

TEST_F(QueueTables, MessageWithoutCorrelationIdAfterOneWithIt) {
    auto object = make<zta_txqmsg_agent, zta_txqmsg_manager>("QSA;QSB;", "/q/dev", "SITE1;SITE2;");
    sample(*object);
    ASSERT_EQ(tuxsim::requests().size(), 2u);
    EXPECT_EQ(tuxsim::requests()[0].cls, "T_APPQMSG");
    ASSERT_EQ(object->NumDataItems(), 2u);
    const zta_txqmsg_data_t* first = object->GetRow(0);
    EXPECT_EQ(text(first->appqnm, 16), padded("ORDERS", 16));
    EXPECT_EQ(first->priority, 50);
    EXPECT_EQ(text(first->qtime, 16), nul_filled("+60", 16));
    EXPECT_EQ(text(first->corrid, 32), nul_filled("ORD-0001", 32));
    EXPECT_EQ(first->msgsize, 1024);
    const zta_txqmsg_data_t* second = object->GetRow(1);
    EXPECT_EQ(text(second->appqmsgid, 32), padded("0x0b01", 32));
    EXPECT_EQ(text(second->corrid, 32), std::string(32, '\0'));
    EXPECT_EQ(text(second->qtime, 16), std::string(16, '\0'));
    EXPECT_EQ(second->priority, 0);
    EXPECT_EQ(second->msgsize, 760);
}

TEST_F(QueueTables, QueueSpacePercentagesComeFromTheSpacesOwnLimits) {
    auto object = make<zta_txqspcs_agent, zta_txqspcs_manager>("QSA;QSB;", "/q/dev", "SITE1;SITE2;");
    sample(*object);
    EXPECT_EQ(tuxsim::requests()[0].cls, "T_APPQSPACE");
    ASSERT_EQ(object->NumDataItems(), 2u);
    const zta_txqspcs_data_t* a = object->GetRow(0);
    EXPECT_EQ(text(a->appspcnm, 16), padded("QSA", 16));
    EXPECT_EQ(text(a->errqnm, 16), padded("ERRQ", 16));
    EXPECT_EQ(text(a->forceinit, 16), padded("N", 16));
    EXPECT_EQ(a->blocking, 16);
    EXPECT_EQ(a->pctcurmsg, 150);     // 3 of 200
    EXPECT_EQ(a->pctcurproc, 1333);   // 4 of 30
    EXPECT_EQ(a->pctcurq, 0);         // MAXQUEUES 0
    EXPECT_EQ(a->pctcurtran, 12500);  // 25 of 20: above its limit, not clamped
    EXPECT_EQ(a->pcthwmsg, 2500);     // 50 of 200
    EXPECT_EQ(a->pcthwproc, 10000);   // 30 of 30
    EXPECT_EQ(a->pcthwq, 0);
    EXPECT_EQ(a->pcthwtrans, 10000);
    EXPECT_EQ(a->pctinit, 100);  // as the MIB gives it

    // QSB has no limits: its percentages are 0, not computed from QSA's.
    const zta_txqspcs_data_t* b = object->GetRow(1);
    EXPECT_EQ(text(b->appspcnm, 16), padded("QSB", 16));
    EXPECT_EQ(text(b->errqnm, 16), std::string(16, ' '));
    EXPECT_EQ(b->curmsg, 7);
    EXPECT_EQ(b->maxmsg, 0);
    EXPECT_EQ(b->pctcurmsg, 0);
    EXPECT_EQ(b->pcthwmsg, 0);
    EXPECT_EQ(b->pcthwtrans, 0);
    EXPECT_EQ(b->pctinit, 0);
}

TEST_F(QueueTables, OneTransactionInOneSpaceAndNoneInTheOther) {
    auto object = make<zta_txqtran_agent, zta_txqtran_manager>("QSA;QSB;", "/q/dev", "SITE1;SITE2;");
    sample(*object);
    EXPECT_EQ(tuxsim::requests().size(), 2u);
    EXPECT_EQ(tuxsim::requests()[1].cls, "T_APPQTRANS");
    ASSERT_EQ(object->NumDataItems(), 1u);
    const zta_txqtran_data_t* row = object->GetRow(0);
    EXPECT_EQ(text(row->xid, 78), padded("0x1a 0xabc", 78));
    EXPECT_EQ(text(row->appspcnm, 16), padded("QSA", 16));
    EXPECT_EQ(text(row->state, 16), padded("ACTive", 16));
}

// Only the application queues print their replies: standard output of the
// other three carries nothing but the rows delivered later.
TEST_F(QueueTables, MessagesSpacesAndTransactionsPrintNoReply) {
    const auto quiet = [](const char* table, auto object) {
        ::testing::internal::CaptureStdout();
        sample(*object);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << table;
        EXPECT_EQ(tuxsim::requests().size(), 2u) << table;
        EXPECT_GT(object->NumDataItems(), 0u) << table;
    };
    const char *spaces = "QSA;QSB;", *device = "/q/dev", *machines = "SITE1;SITE2;";
    quiet("TXQMSG", make<zta_txqmsg_agent, zta_txqmsg_manager>(spaces, device, machines));
    quiet("TXQSPCS", make<zta_txqspcs_agent, zta_txqspcs_manager>(spaces, device, machines));
    quiet("TXQTRAN", make<zta_txqtran_agent, zta_txqtran_manager>(spaces, device, machines));
}

// The readers on a reply built by hand: an occurrence that lacks a field
// gives blanks, an empty string or 0, whatever the row held before.
TEST(QueueReaders, AbsentValuesAreEmptiedAndLongValuesCut) {
    FBFR32* reply = Falloc32(16, 1024);
    ASSERT_NE(reply, nullptr);
    const FLDID32 name = zta::fld::field_named("TA_APPQNAME");
    const FLDID32 cmd = zta::fld::field_named("TA_CMD");
    const FLDID32 retries = zta::fld::field_named("TA_MAXRETRIES");
    const std::string longname(40, 'N');
    Fchg32(reply, name, 0, zta_text(longname.c_str()), 0);
    Fchg32(reply, name, 1, zta_text("Q2"), 0);
    Fchg32(reply, cmd, 0, zta_text("run"), 0);
    const long three = 3;
    Fchg32(reply, retries, 0, zta_value(three), 0);

    char column[16];
    std::memset(column, 'x', sizeof column);
    zta_read_padded(reply, name, 0, column, sizeof column);
    EXPECT_EQ(text(column, 16), std::string(16, 'N'));
    zta_read_padded(reply, name, 2, column, sizeof column);
    EXPECT_EQ(text(column, 16), std::string(16, ' '));
    zta_read_string(reply, name, 0, column, sizeof column);
    EXPECT_EQ(text(column, 16), std::string(15, 'N') + '\0');
    std::memset(column, 'x', sizeof column);
    zta_read_string(reply, cmd, 1, column, sizeof column);
    EXPECT_EQ(text(column, 16), std::string(16, '\0'));
    EXPECT_EQ(zta_read_long(reply, retries, 0), 3);
    EXPECT_EQ(zta_read_long(reply, retries, 1), 0);
    EXPECT_EQ(zta_read_long(reply, zta::fld::TA_OCCURS, 0), 0);  // no TA_OCCURS: no row

    // A 64-bit value beyond the 32-bit column is saturated, not wrapped.
    zta_txappq_data_t row;
    std::memset(&row, 'x', sizeof row);
    const long huge = 1L << 40;
    Fchg32(reply, retries, 1, zta_value(huge), 0);
    zta_node node;
    zta_fill_queue_row(row, node, reply, 1);
    EXPECT_EQ(row.maxrtry, INT32_MAX);
    EXPECT_EQ(text(row.appqnm, 16), padded("Q2", 16));
    EXPECT_EQ(text(row.cmd, 78), std::string(78, '\0'));
    EXPECT_EQ(row.curmsg, 0);
    EXPECT_EQ(row.sampleno, 0);
    EXPECT_EQ(text(row.originnode, 64), std::string(64, ' '));
    Ffree32(reply);
}

}  // namespace
