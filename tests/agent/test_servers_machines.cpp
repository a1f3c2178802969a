// The servers and machines tables end to end against the stand-in: the
// requests the cursor loop sends, the rows and their derived columns, and
// the machine statistics' error row while the agent is cut off from Tuxedo.
#include <gtest/gtest.h>

#include <atmi.h>
#include <tuxsim.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "agent_test_util.h"
#include "agw_tbx.h"
#include "scoped_tz.h"
#include "zta07agt.h"
#include "zta08agt.h"
#include "zta12agt.h"
#include "zta13agt.h"
#include "zta_agent.h"
#include "zta_fields.h"
#include "zta_util.h"

namespace {

using agent_test::padded;
using agent_test::stderr_of;
using agent_test::text;

bool all_digits(const char* field, std::size_t width) {
    const std::string s = text(field, width);
    return s.find_first_not_of("0123456789") == std::string::npos;
}

std::string host_padded() {
    char host[64] = {};
    DetermineLocalHost(host, sizeof host);
    return padded(host, 64);
}

class ServersAndMachines : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // One manager per table for the life of the process.
        static const bool registered = zta_txmconf_init() == 0 && zta_txmstats_init() == 0 &&
                                       zta_txserver_init() == 0 && zta_txsrvstat_init() == 0;
        ASSERT_TRUE(registered);
    }

    void SetUp() override {
        Txinit::DeleteInstance();
        Txinit::SetClock(agent_test::pace_clock);
        tuxsim::reset();
        tuxsim::use_domain_file(AGENT_TEST_DATA "/servers_machines.yaml");
        ASSERT_EQ(tuxsim::load_domain(), "");
    }
    void TearDown() override {
        agw::SetTimeStampSource(nullptr);
        Txinit::DeleteInstance();
        Txinit::SetClock(nullptr);
        tuxsim::reset();
    }

    // A table object made the way the framework makes one, joined.
    template <class Agent>
    std::unique_ptr<Agent> make(const char* table) {
        request_.name = table;
        request_.table = table;
        TableManager* manager = TableManager::Find(table);
        EXPECT_NE(manager, nullptr) << table;
        if (manager == nullptr) return nullptr;
        std::unique_ptr<Agent> object;
        stderr_of([&] {
            object.reset(static_cast<Agent*>(manager->CreateTavro(&request_, &context_)));
        });
        EXPECT_TRUE(Txinit::Joined());
        return object;
    }

    // One sample from a clean row count and request record.
    template <class Agent>
    static std::string sample(Agent& object) {
        object.ClearCount();
        tuxsim::clear_requests();
        return stderr_of([&] {
            object.BeginSample();
            object.TakeSample();
        });
    }

    // Every request of the last sample: class, flags, one object per call,
    // GET first and GETNEXT with a new cursor after it.
    static void expect_walk(const char* cls, long flags, std::size_t calls) {
        const auto requests = tuxsim::requests();
        ASSERT_EQ(requests.size(), calls);
        for (std::size_t i = 0; i < requests.size(); ++i) {
            EXPECT_EQ(requests[i].cls, cls);
            EXPECT_EQ(requests[i].flags, flags);
            EXPECT_EQ(requests[i].occurs, 1);
            EXPECT_EQ(requests[i].outcome, "OK");
            EXPECT_EQ(requests[i].operation, i == 0 ? "GET" : "GETNEXT");
            if (i > 0) {
                EXPECT_NE(requests[i].cursor, requests[i - 1].cursor);
            }
        }
    }

    RequestDetail request_;
    ContextInfo context_;
};

TEST_F(ServersAndMachines, ServersGiveOneRowPerCallWithTimesStateAndPermissions) {
    test_support::ScopedTz tz("UTC0");
    auto object = make<zta_txserver_agent>("TXSERVER");
    ASSERT_TRUE(object);
    EXPECT_EQ(object->DataSize(), 672u);
    sample(*object);
    expect_walk("T_SERVER", 0, 6);
    ASSERT_EQ(object->NumDataItems(), 6u);

    const std::string unset(16, '\0');  // as the view left it
    int seen = 0;
    for (int i = 0; i < 6; ++i) {
        const zta_txserver_data_t* row = object->GetRow(i);
        EXPECT_EQ(text(row->originnode, 64), host_padded());
        EXPECT_TRUE(all_digits(row->timestamp, 16));
        // Text from the view keeps its NUL; STATE is blank-padded.
        EXPECT_STREQ(row->servernm, "/app/bin/SRV");
        EXPECT_EQ(text(row->clopt, 3), std::string("-A\0", 3));
        EXPECT_EQ(row->rpperm, 660);  // 0660
        EXPECT_EQ(row->rqperm, 0);
        switch (row->srvid) {
            case 1:  // started, never restarted
                ++seen;
                EXPECT_EQ(text(row->timestart, 16), "1241209040000000");
                EXPECT_EQ(text(row->timerestrt, 16), unset);
                EXPECT_EQ(text(row->state, 16), padded("ACTive", 16));
                break;
            case 2:
                ++seen;
                EXPECT_EQ(text(row->timestart, 16), "1241209040000000");
                EXPECT_EQ(text(row->timerestrt, 16), "1241209040200000");
                break;
            case 3:  // never started
                ++seen;
                EXPECT_EQ(text(row->timestart, 16), unset);
                EXPECT_EQ(text(row->state, 16), padded("INActive", 16));
                break;
            default: break;
        }
    }
    EXPECT_EQ(seen, 3);
}

TEST_F(ServersAndMachines, ServerStatisticsAskForLocalAttributesAndPadFourColumns) {
    auto object = make<zta_txsrvstat_agent>("TXSRVSTAT");
    ASSERT_TRUE(object);
    sample(*object);
    // MIB_LOCAL asks for each server's local figures, not for fewer servers:
    // one call per server of the domain.
    const std::size_t servers = tuxsim::object_count("T_SERVER");
    ASSERT_EQ(servers, 6u);
    expect_walk("T_SERVER", 65536, servers);  // MIB_LOCAL in every request
    ASSERT_EQ(object->NumDataItems(), servers);

    int seen = 0;
    for (std::uint32_t i = 0; i < object->NumDataItems(); ++i) {
        const zta_txsrvstat_data_t* row = object->GetRow(static_cast<int>(i));
        EXPECT_EQ(text(row->originnode, 64), host_padded());
        EXPECT_TRUE(all_digits(row->timestamp, 16));
        EXPECT_EQ(text(row->cltlmid, 16), padded("SITE1", 16));
        EXPECT_EQ(text(row->cmtret, 16), padded("COMPLETE", 16));
        EXPECT_EQ(text(row->cltreply, 2), std::string("Y\0", 2));  // not padded
        EXPECT_EQ(row->zattrib[0], '\0');
        if (row->srvid == 1) {
            ++seen;
            EXPECT_EQ(text(row->srvgrp, 30), padded("GRP1", 30));
            EXPECT_EQ(text(row->currsvc, 16), padded("DEPOSIT", 16));
            EXPECT_EQ(row->numreq, 5120);
            EXPECT_EQ(row->totreqc, 5120);
        } else if (row->srvid == 2) {
            ++seen;
            EXPECT_EQ(text(row->currsvc, 16), std::string(16, ' '));  // not serving
            EXPECT_EQ(row->numreq, 7);
        } else if (row->srvid == 6) {
            ++seen;
            EXPECT_EQ(text(row->srvgrp, 30), padded("GRP2", 30));
        }
    }
    EXPECT_EQ(seen, 3);
}

TEST_F(ServersAndMachines, MachineConfigurationCopiesEachMachineWithPermissionDigits) {
    auto object = make<zta_txmconf_agent>("TXMCONF");
    ASSERT_TRUE(object);
    EXPECT_EQ(object->DataSize(), 600u);
    sample(*object);
    expect_walk("T_MACHINE", 0, 3);
    ASSERT_EQ(object->NumDataItems(), 3u);

    const zta_txmconf_data_t* site1 = object->GetRow(0);
    const zta_txmconf_data_t* site2 = object->GetRow(1);
    ASSERT_EQ(text(site1->lmid, 16), padded("SITE1", 16));
    ASSERT_EQ(text(site2->lmid, 16), padded("SITE2", 16));
    EXPECT_EQ(site1->perm, 660);  // 0660
    EXPECT_EQ(site2->perm, 0);
    EXPECT_EQ(site1->maxaccess, 50);
    EXPECT_EQ(text(site1->envfile, 78), std::string(78, ' '));
    EXPECT_EQ(text(site2->envfile, 78), padded("/app/ENVFILE", 78));
    EXPECT_EQ(text(site1->tmclass, 16), padded("T_MACHINE", 16));
    EXPECT_EQ(text(site1->state, 16), padded("ACTive", 16));
    for (int i = 0; i < 3; ++i) {
        const zta_txmconf_data_t* row = object->GetRow(i);
        EXPECT_EQ(text(row->originnode, 64), host_padded());
        EXPECT_TRUE(all_digits(row->samp_tm, 16));
        // Never written: the working row's zero bytes.
        EXPECT_EQ(text(row->zattrib, 30), std::string(30, '\0'));
        EXPECT_EQ(text(row->zvalue, 30), std::string(30, '\0'));
    }
}

TEST_F(ServersAndMachines, MachineStatisticsPercentagesAreExactHundredths) {
    auto object = make<zta_txmstats_agent>("TXMSTATS");
    ASSERT_TRUE(object);
    EXPECT_EQ(object->DataSize(), 308u);
    sample(*object);
    expect_walk("T_MACHINE", 65536, 3);
    ASSERT_EQ(object->NumDataItems(), 3u);

    const zta_txmstats_data_t* site1 = object->GetRow(0);
    ASSERT_EQ(text(site1->lmid, 16), "SITE1" + std::string(11, ' '));
    EXPECT_EQ(site1->pctaccess, 600);   // 3 of 50
    EXPECT_EQ(site1->pctwsclnt, 0);     // 5 of 0
    EXPECT_EQ(site1->pctconv, 3333);    // 1 of 3, truncated
    EXPECT_EQ(site1->pctgtt, 7000);     // 7 of 10
    EXPECT_EQ(site1->pcttranabt, 0);    // 0 of 0
    EXPECT_EQ(site1->dskpagesz, 4096);

    const zta_txmstats_data_t* site2 = object->GetRow(1);
    ASSERT_EQ(text(site2->lmid, 16), padded("SITE2", 16));
    EXPECT_EQ(site2->pctaccess, 12000);  // above its maximum, not clamped
    EXPECT_EQ(site2->pctgtt, 6666);      // 2 of 3
    EXPECT_EQ(site2->pcttranabt, 2400);  // 12 of 50

    const zta_txmstats_data_t* backup = object->GetRow(2);
    ASSERT_EQ(text(backup->lmid, 16), padded("BACKUP3", 16));
    EXPECT_EQ(backup->pctaccess, 2147483647);  // 300000 of 1 saturates

    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(object->GetRow(i)->tbxtuxcon, 0);
        EXPECT_EQ(text(object->GetRow(i)->originnode, 64), host_padded());
        EXPECT_TRUE(all_digits(object->GetRow(i)->samp_tm, 16));
    }
}

// A machine's row is stamped once its call has succeeded: call n's row reads
// n seconds, where a stamp taken before the call would read n - 1.
TEST_F(ServersAndMachines, MachineStatisticsStampEachRowAfterItsCallSucceeded) {
    test_support::ScopedTz tz("UTC0");
    auto object = make<zta_txmstats_agent>("TXMSTATS");
    ASSERT_TRUE(object);
    agw::SetTimeStampSource(&agent_test::calls_clock);
    sample(*object);
    agw::SetTimeStampSource(nullptr);
    ASSERT_EQ(object->NumDataItems(), 3u);
    for (int i = 0; i < 3; ++i) {
        const std::string second = std::to_string(i + 1);
        EXPECT_EQ(text(object->GetRow(i)->samp_tm, 16), "124120904000" + second + "000") << i;
    }
}

// The error row: ORIGINNODE, a fresh SAMP_TM, TBXTUXCON 1, an empty LMID and
// every other integer 0.
void expect_error_row(const zta_txmstats_data_t& row, const std::string& not_before) {
    EXPECT_EQ(row.tbxtuxcon, 1);
    EXPECT_EQ(text(row.originnode, 64), host_padded());
    EXPECT_TRUE(all_digits(row.samp_tm, 16));
    EXPECT_GE(text(row.samp_tm, 16), not_before);
    EXPECT_EQ(text(row.lmid, 16), std::string(16, '\0'));  // the view's null value
    const zta::TableMeta meta = zta::table_meta_of<zta_txmstats_data_t>();
    for (unsigned short i = 0; i < meta.num_columns; ++i) {
        const zta::ColumnMeta& c = meta.columns[i];
        const std::string name = c.name;
        if (c.type != zta::kColumnTypeInteger || name == "sampleno" || name == "rowno" ||
            name == "tbxtuxcon")
            continue;
        std::int32_t value = 0;
        std::memcpy(&value, reinterpret_cast<const char*>(&row) + c.offset, sizeof value);
        EXPECT_EQ(value, 0) << name;
    }
}

std::string now_stamp() {
    char stamp[ZTA_WBTIME_BUF] = {};
    TBX_GenerateTimeStamp(stamp, 0);
    return std::string(stamp, 16);
}

TEST_F(ServersAndMachines, MachineStatisticsFailedCallsEndWithTheErrorRow) {
    auto object = make<zta_txmstats_agent>("TXMSTATS");
    ASSERT_TRUE(object);

    // The first call fails: the error row is the sample's only row.
    std::string before = now_stamp();
    tuxsim::fail_call(tuxsim::Call::tpcall, 1, TPESYSTEM);
    std::string err = sample(*object);
    EXPECT_NE(err.find("Error: in tpcall\n"), std::string::npos) << err;
    EXPECT_FALSE(Txinit::Joined());
    ASSERT_EQ(object->NumDataItems(), 1u);
    expect_error_row(*object->GetRow(0), before);

    // The second call fails: the first machine's row, then the error row.
    before = now_stamp();
    tuxsim::fail_call(tuxsim::Call::tpcall, 2, TPESYSTEM);
    sample(*object);
    ASSERT_EQ(object->NumDataItems(), 2u);
    EXPECT_EQ(text(object->GetRow(0)->lmid, 16), padded("SITE1", 16));
    EXPECT_EQ(object->GetRow(0)->tbxtuxcon, 0);
    expect_error_row(*object->GetRow(1), before);
}

TEST_F(ServersAndMachines, MachineStatisticsGiveAnErrorRowEverySampleWhileTheDomainIsDown) {
    tuxsim::set_time(1733716800);
    auto object = make<zta_txmstats_agent>("TXMSTATS");
    ASSERT_TRUE(object);
    tuxsim::domain_down(std::chrono::seconds(60));

    // Joined when the domain went down: the MIB call fails and the agent
    // leaves; then the join is refused, or waits for its pace, before each
    // sample, which makes no MIB call but still gives the error row.
    for (int i = 0; i < 3; ++i) {
        const std::string before = now_stamp();
        const std::string err = sample(*object);
        ASSERT_EQ(object->NumDataItems(), 1u) << "sample " << i;
        expect_error_row(*object->GetRow(0), before);
        EXPECT_FALSE(Txinit::Joined());
        if (i > 0) {
            EXPECT_TRUE(tuxsim::requests().empty());
            // Said once, when the outage starts: not at every attempt.
            EXPECT_EQ(err.find("Cannot Log into the Tuxedo Application") != std::string::npos, i == 1) << i;
        }
        tuxsim::advance_time(std::chrono::seconds(20));
    }

    // Back: the next sample once the wait is over joins and gives the
    // machines' rows again.
    tuxsim::advance_time(std::chrono::seconds(1));
    agent_test::pace_now_ms += 30'000;
    sample(*object);
    EXPECT_TRUE(Txinit::Joined());
    ASSERT_EQ(object->NumDataItems(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(object->GetRow(i)->tbxtuxcon, 0);
}

// A reply that promises more objects (TA_MORE) but carries no cursor cannot
// be continued: the walk ends there with an error trace line and stays
// joined (the MIB call itself succeeded).
TEST_F(ServersAndMachines, ReplyWithMoreButNoCursorEndsTheWalk) {
    auto object = make<zta_txserver_agent>("TXSERVER");
    ASSERT_NE(object, nullptr);
    struct cursorless_target final : zta_cursor_target {
        zta_txserver_data_t record{};
        int converted = 0;
        char* ViewRecord() override { return reinterpret_cast<char*>(&record); }
        void ObjectConverted(FBFR32* reply, FLDOCC32, const char*) override {
            ++converted;
            Fdel32(reply, zta::fld::TA_CURSOR, 0);
        }
    } target;
    static TRC1_Block trc = {"ZTA300", "test", "CursorlessReply", {}};
    const zta_cursor_variant variant =
        zta_variant_of<zta_txserver_data_t>(false, zta_stamp::each_pass_before_call);
    tuxsim::clear_requests();
    object->BeginSample();
    const std::string err = stderr_of([&] { zta_cursor_loop(&trc, *object, variant, target); });
    EXPECT_TRUE(object->SampleIncomplete());  // the objects after the first were never seen
    EXPECT_EQ(target.converted, 1);
    ASSERT_EQ(tuxsim::requests().size(), 1u);
    EXPECT_EQ(tuxsim::requests()[0].operation, "GET");
    EXPECT_NE(err.find("T_SERVER: TA_MORE without TA_CURSOR"), std::string::npos) << err;
    EXPECT_TRUE(Txinit::Joined());
}

// Each GETNEXT carries the cursor of the reply before it, as the MIB gave it;
// the last reply, with nothing left, gives none.
TEST_F(ServersAndMachines, EachGetnextSendsThePreviousRepliesCursor) {
    auto object = make<zta_txserver_agent>("TXSERVER");
    ASSERT_NE(object, nullptr);
    struct cursor_target final : zta_cursor_target {
        zta_txserver_data_t record{};
        std::vector<std::string> answered;  // each reply's TA_CURSOR, "" when absent
        char* ViewRecord() override { return reinterpret_cast<char*>(&record); }
        void ObjectConverted(FBFR32* reply, FLDOCC32, const char*) override {
            const char* cursor = Ffind32(reply, zta::fld::TA_CURSOR, 0, nullptr);
            answered.emplace_back(cursor == nullptr ? "" : cursor);
        }
    } target;
    static TRC1_Block trc = {"ZTA300", "test", "CursorChain", {}};
    const zta_cursor_variant variant =
        zta_variant_of<zta_txserver_data_t>(false, zta_stamp::each_pass_before_call);
    tuxsim::clear_requests();
    object->BeginSample();
    stderr_of([&] { zta_cursor_loop(&trc, *object, variant, target); });
    EXPECT_FALSE(object->SampleIncomplete());
    const auto requests = tuxsim::requests();
    ASSERT_EQ(requests.size(), 6u);
    ASSERT_EQ(target.answered.size(), 6u);
    EXPECT_EQ(requests[0].cursor, "");
    for (std::size_t i = 1; i < requests.size(); ++i) {
        EXPECT_NE(target.answered[i - 1], "") << "reply " << i;
        EXPECT_EQ(requests[i].cursor, target.answered[i - 1]) << "call " << i + 1;
    }
    EXPECT_EQ(target.answered.back(), "");
}

}  // namespace
