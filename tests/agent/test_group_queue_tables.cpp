// The server group, message queue, server queue, queue load and service
// group tables end to end against the stand-in: the requests each sampler
// makes, the rows it hands over, and what it traces.
#include <gtest/gtest.h>

#include <atmi.h>
#include <tuxsim.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

#include "agent_test_util.h"
#include "zta06agt.h"
#include "zta09agt.h"
#include "zta10agt.h"
#include "zta11agt.h"
#include "zta14agt.h"
#include "zta_agent.h"

namespace {

using agent_test::padded;
using agent_test::stderr_of;
using agent_test::text;

// A sampler whose rows take a few milliseconds each to hand over, so that a
// timestamp taken per MIB call would differ from row to row.
template <class Agent>
class slow_agent final : public Agent {
public:
    using Agent::Agent;
    std::int32_t AddData(typename Agent::row_type* rows, int count) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        return Agent::AddData(rows, count);
    }
};

class GroupQueueTables : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static const bool registered = zta_txsvrgrp_init() == 0 && zta_txsysmq_init() == 0 &&
                                       zta_txsvrq_init() == 0 && zta_txqload_init() == 0 &&
                                       zta_txsvcgrp_init() == 0;
        ASSERT_TRUE(registered);
    }

    void SetUp() override {
        Txinit::DeleteInstance();
        tuxsim::reset();
        tuxsim::use_domain_file(AGENT_TEST_DATA "/groups_and_queues.yaml");
        ASSERT_EQ(tuxsim::load_domain(), "");
        stderr_of([] { Txinit::Instance(); });
        ASSERT_TRUE(Txinit::Joined());
        char host[64] = {};
        DetermineLocalHost(host, sizeof host);
        originnode_ = padded(host, 64);
    }
    void TearDown() override {
        TRC1_Configure(nullptr);
        Txinit::DeleteInstance();
        tuxsim::reset();
    }

    // A table object made the way the framework makes one.
    template <class Agent, class Manager>
    std::unique_ptr<Agent> make_object(const char* table) {
        request_.name = table;
        request_.table = table;
        tavro* t = Manager::_static_manager->CreateTavro(&request_, &context_);
        return std::unique_ptr<Agent>(static_cast<Agent*>(t));
    }
    template <class Agent>
    std::unique_ptr<Agent> make_slow(TableManager* manager, const char* table) {
        request_.name = table;
        request_.table = table;
        return std::make_unique<Agent>(&request_, &context_, manager);
    }

    // One sample; returns the requests it made.
    static std::vector<tuxsim::Request> sample(tavro& object) {
        tuxsim::clear_requests();
        object.BeginSample();
        object.TakeSample();
        return tuxsim::requests();
    }

    static void expect_walk(const std::vector<tuxsim::Request>& requests, const char* cls,
                            std::size_t objects, long flags) {
        ASSERT_EQ(requests.size(), objects);
        for (std::size_t i = 0; i < requests.size(); ++i) {
            EXPECT_EQ(requests[i].operation, i == 0 ? "GET" : "GETNEXT");
            EXPECT_EQ(requests[i].cls, cls);
            EXPECT_EQ(requests[i].occurs, 1);
            EXPECT_EQ(requests[i].flags, flags);
            EXPECT_EQ(requests[i].outcome, "OK");
        }
    }

    RequestDetail request_;
    ContextInfo context_;
    std::string originnode_;
};

TEST_F(GroupQueueTables, FourServerGroupsGiveFourBlankPaddedRows) {
    auto object = make_object<zta_txsvrgrp_agent, zta_txsvrgrp_manager>("TXSVRGRP");
    EXPECT_EQ(object->DataSize(), 240u);
    expect_walk(sample(*object), "T_GROUP", 4, 0);

    ASSERT_EQ(object->NumDataItems(), 4u);
    for (int i = 0; i < 4; ++i) {
        const zta_txsvrgrp_data_t* row = object->GetRow(i);
        EXPECT_EQ(text(row->originnode, 64), originnode_);
        EXPECT_EQ(text(row->samp_tm, 16).find_first_not_of("0123456789"), std::string::npos);
    }
    const zta_txsvrgrp_data_t* bank = object->GetRow(0);
    EXPECT_EQ(text(bank->srvgrp, 30), padded("BANKGRP1", 30));
    EXPECT_EQ(bank->grpno, 10);
    EXPECT_EQ(bank->tmscount, 2);
    EXPECT_EQ(text(bank->tmsname, 78), padded("TMS_ORA", 78));
    EXPECT_EQ(text(bank->state, 16), padded("ACTive", 16));
    EXPECT_EQ(text(bank->lmid, 16), padded("SITE1", 16));
    EXPECT_EQ(text(object->GetRow(2)->state, 16), padded("INActive", 16));
    // A group without transaction manager servers.
    const zta_txsvrgrp_data_t* ws = object->GetRow(3);
    EXPECT_EQ(ws->tmscount, 0);
    EXPECT_EQ(text(ws->tmsname, 78), std::string(78, ' '));
}

TEST_F(GroupQueueTables, ServerGroupsTraceTheirBuffersInOrder) {
    auto groups = make_object<zta_txsvrgrp_agent, zta_txsvrgrp_manager>("TXSVRGRP");
    auto queues = make_object<zta_txsvrq_agent, zta_txsvrq_manager>("TXSVRQ");

    TRC1_Configure("0x10");
    const std::string traced = stderr_of([&] { sample(*groups); });
    std::size_t at = 0;
    for (const char* line :
         {"tpalloc: rqbuf", "tpalloc: rpbuf", "tpfree: rqbuf", "tpfree: rpbuf"}) {
        const std::size_t found = traced.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << " in\n" << traced;
        at = found;
    }
    EXPECT_EQ(groups->NumDataItems(), 4u);

    // Only the server groups table traces its buffers, and only as detail:
    // nothing failed, so the error class (0x80) never shows them.
    EXPECT_EQ(stderr_of([&] { sample(*queues); }).find("rqbuf"), std::string::npos);
    TRC1_Configure("0x180");
    EXPECT_EQ(stderr_of([&] { sample(*groups); }).find("rqbuf"), std::string::npos);
}

TEST_F(GroupQueueTables, FailedReplyAllocationFreesTheRequestBuffer) {
    auto object = make_object<zta_txsvrgrp_agent, zta_txsvrgrp_manager>("TXSVRGRP");
    const std::size_t buffers = tuxsim::live_buffers();
    tuxsim::fail_call(tuxsim::Call::tpalloc, 2, TPEOS);

    TRC1_Configure("0x90");
    const std::string err = stderr_of([&] { EXPECT_TRUE(sample(*object).empty()); });

    EXPECT_EQ(tuxsim::live_buffers(), buffers);
    EXPECT_EQ(object->NumDataItems(), 0u);
    const std::string expected = std::string("Error: in tpalloc\nERROR NO : ") +
                                 std::to_string(TPEOS) + "\nError Message : " +
                                 tpstrerror(TPEOS) + "\n";
    EXPECT_NE(err.find(expected), std::string::npos) << err;
    const std::size_t allocated = err.find("tpalloc: rqbuf");
    ASSERT_NE(allocated, std::string::npos) << err;
    EXPECT_NE(err.find("tpfree: rqbuf", allocated), std::string::npos) << err;
    EXPECT_EQ(err.find("rpbuf"), std::string::npos) << err;
    EXPECT_TRUE(Txinit::Joined());  // an allocation failure does not leave
}

TEST_F(GroupQueueTables, MessageQueueTimesAreLocalWbTimestampsOrEmpty) {
    const char* old_tz = std::getenv("TZ");
    const std::string saved_tz = old_tz != nullptr ? old_tz : "";
    setenv("TZ", "ZTA-2", 1);  // two hours east of UTC, no tz database needed
    tzset();

    auto object = make_object<zta_txsysmq_agent, zta_txsysmq_manager>("TXSYSMQ");
    const auto requests = sample(*object);

    if (old_tz != nullptr) {
        setenv("TZ", saved_tz.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();

    EXPECT_EQ(object->DataSize(), 176u);
    expect_walk(requests, "T_MSG", 2, 65536);
    ASSERT_EQ(object->NumDataItems(), 2u);

    const std::string empty(16, '\0');
    const zta_txsysmq_data_t* never_received = object->GetRow(0);
    EXPECT_EQ(text(never_received->originnode, 64), originnode_);
    EXPECT_EQ(never_received->msgid, 101);
    EXPECT_EQ(text(never_received->curtime, 16), "1241210050640000");
    EXPECT_EQ(text(never_received->msgstime, 16), "1241210050630000");
    EXPECT_EQ(text(never_received->msgrtime, 16), empty);
    // 1999-12-31 23:59:59 UTC is already 2000 in local time.
    EXPECT_EQ(text(never_received->ctime, 16), "1000101015959000");
    EXPECT_EQ(never_received->lspid, 30112);
    EXPECT_EQ(text(never_received->lmid, 16), padded("SITE1", 16));

    // A reply without the current time: CURTIME stays empty, the others are
    // converted, and nothing of the previous queue remains.
    const zta_txsysmq_data_t* no_curtime = object->GetRow(1);
    EXPECT_EQ(text(no_curtime->curtime, 16), empty);
    EXPECT_EQ(text(no_curtime->msgrtime, 16), "1241210050631000");
    EXPECT_EQ(text(no_curtime->ctime, 16), "1241209060000000");
    EXPECT_EQ(text(no_curtime->lmid, 16), padded("SITE2", 16));
}

TEST_F(GroupQueueTables, ServerQueuesShareOneTimestampAndShowOneCharacterFlags) {
    auto object = make_slow<slow_agent<zta_txsvrq_agent>>(zta_txsvrq_manager::_static_manager,
                                                          "TXSVRQ");
    EXPECT_EQ(object->DataSize(), 328u);
    expect_walk(sample(*object), "T_QUEUE", 3, 0);
    ASSERT_EQ(object->NumDataItems(), 3u);

    const std::string stamp = text(object->GetRow(0)->samp_tm, 16);
    EXPECT_EQ(stamp.find_first_not_of("0123456789"), std::string::npos) << stamp;
    for (int i = 0; i < 3; ++i) {
        const zta_txsvrq_data_t* row = object->GetRow(i);
        EXPECT_EQ(text(row->samp_tm, 16), stamp) << "row " << i;
        EXPECT_EQ(text(row->originnode, 64), originnode_);
    }

    const zta_txsvrq_data_t* bank = object->GetRow(0);
    EXPECT_EQ(bank->servercnt, 2);
    EXPECT_EQ(text(bank->conv, 2), "N ");
    EXPECT_EQ(text(bank->restart, 2), "Y ");
    EXPECT_EQ(text(bank->rcmd, 78), padded("/srv/bank/bin/restart.sh", 78));
    EXPECT_EQ(text(bank->servername, 78), padded("/srv/bank/bin/BANKSRV", 78));
    EXPECT_EQ(text(bank->lmid, 16), padded("SITE1", 16));

    // No TA_CONV in the reply: a NUL and a blank. A queue address of nine
    // characters and 21 blanks.
    const zta_txsvrq_data_t* qspace = object->GetRow(1);
    EXPECT_EQ(text(qspace->conv, 2), std::string("\0 ", 2));
    EXPECT_EQ(text(qspace->restart, 2), "N ");
    EXPECT_EQ(text(qspace->rqaddr, 30), padded("QSPACE1Q1", 30));
    EXPECT_EQ(text(qspace->rcmd, 78), std::string(78, ' '));
    EXPECT_EQ(text(object->GetRow(2)->conv, 2), "Y ");

    // The next sample takes a new timestamp.
    object->ClearCount();
    sample(*object);
    ASSERT_EQ(object->NumDataItems(), 3u);
    EXPECT_NE(text(object->GetRow(0)->samp_tm, 16), stamp);
}

TEST_F(GroupQueueTables, QueueLoadAsksForLocalFiguresUnderOneTimestamp) {
    auto object = make_slow<slow_agent<zta_txqload_agent>>(
        zta_txqload_manager::_static_manager, "TXQLOAD");
    EXPECT_EQ(object->DataSize(), 260u);
    expect_walk(sample(*object), "T_QUEUE", 3, 65536);
    ASSERT_EQ(object->NumDataItems(), 3u);

    const std::string stamp = text(object->GetRow(0)->timestamp, 16);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(text(object->GetRow(i)->timestamp, 16), stamp);

    const zta_txqload_data_t* bank = object->GetRow(0);
    EXPECT_EQ(text(bank->originnode, 64), originnode_);
    EXPECT_EQ(text(bank->servernm, 78), padded("/srv/bank/bin/BANKSRV", 78));
    EXPECT_EQ(bank->totwkqd, 505000);
    EXPECT_EQ(text(bank->source, 16), padded("SITE1", 16));
    EXPECT_EQ(text(bank->zattrib, 30), std::string(30, '\0'));
    EXPECT_EQ(text(bank->zvalue, 30), std::string(30, '\0'));

    // Server name and source absent from the reply: blanks only.
    const zta_txqload_data_t* qspace = object->GetRow(1);
    EXPECT_EQ(text(qspace->servernm, 78), std::string(78, ' '));
    EXPECT_EQ(text(qspace->source, 16), std::string(16, ' '));
    EXPECT_EQ(object->GetRow(2)->nqueued, 3);
}

TEST_F(GroupQueueTables, ServiceOfferedByTwoGroupsGivesTwoPaddedRows) {
    auto object = make_object<zta_txsvcgrp_agent, zta_txsvcgrp_manager>("TXSVCGRP");
    EXPECT_EQ(object->DataSize(), 520u);
    expect_walk(sample(*object), "T_SVCGRP", 3, 65536);
    ASSERT_EQ(object->NumDataItems(), 3u);

    const zta_txsvcgrp_data_t* first = object->GetRow(0);
    const zta_txsvcgrp_data_t* second = object->GetRow(1);
    EXPECT_EQ(text(first->servicenm, 16), padded("DEPOSIT", 16));
    EXPECT_EQ(text(second->servicenm, 16), padded("DEPOSIT", 16));
    EXPECT_EQ(text(first->svcgrp, 30), padded("BANKGRP1", 30));
    EXPECT_EQ(text(second->svcgrp, 30), padded("BANKGRP2", 30));
    EXPECT_EQ(second->grpno, 20);
    EXPECT_EQ(first->ncompleted, 2410);
    EXPECT_EQ(second->ncompleted, 77);
    EXPECT_EQ(first->nqueued, 1);

    EXPECT_EQ(text(first->originnode, 64), originnode_);
    EXPECT_EQ(text(first->timestamp, 16).find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(text(first->svctype, 16), padded("APP", 16));
    EXPECT_EQ(first->svctimeout, 120);
    EXPECT_EQ(text(first->autotran, 2), "Y ");
    EXPECT_EQ(text(first->buftype, 256), padded("FML32:*", 256));
    EXPECT_EQ(text(first->rqaddr, 30), padded("BANKQ1", 30));
    // ROUTINGNM is 15 wide: the name, then blanks to the 15th byte, no NUL.
    EXPECT_EQ(text(first->routingnm, 15), padded("ACCT_ROUTE", 15));

    const zta_txsvcgrp_data_t* inquiry = object->GetRow(2);
    EXPECT_EQ(text(inquiry->buftype, 256), std::string(256, ' '));
    EXPECT_EQ(text(inquiry->routingnm, 15), std::string(15, ' '));
    EXPECT_EQ(text(inquiry->autotran, 2), "N ");
}

}  // namespace
