// The clients table end to end against the stand-in: the cursor loop's
// requests, the rows, failures of the MIB call and of the join.
#include <gtest/gtest.h>

#include <atmi.h>
#include <tuxsim.h>
#include <tuxsim_fml.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "agent_test_util.h"
#include "agw_tbx.h"
#include "scoped_tz.h"
#include "zta01agt.h"
#include "zta_agent.h"
#include "zta_cycle.h"

namespace {

using agent_test::pace_clock;
using agent_test::padded;
using agent_test::stderr_of;
using agent_test::text;

class ClientsTable : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // One manager per table for the life of the process.
        static const int status = zta_txclients_init();
        ASSERT_EQ(status, 0);
    }

    void SetUp() override {
        Txinit::DeleteInstance();
        Txinit::SetClock(pace_clock);
        tuxsim::reset();
        tuxsim::record_requests();
        tuxsim::use_domain_file(AGENT_TEST_DATA "/three_clients.yaml");
        ASSERT_EQ(tuxsim::load_domain(), "");
        request_.name = "clients";
        request_.table = "TXCLIENTS";
    }
    void TearDown() override {
        agw::SetTimeStampSource(nullptr);
        Txinit::DeleteInstance();
        Txinit::SetClock(nullptr);
        tuxsim::reset();
    }

    // A table object made the way the framework makes one.
    std::unique_ptr<zta_txclients_agent> make_object() {
        tavro* t = zta_txclients_manager::_static_manager->CreateTavro(&request_, &context_);
        return std::unique_ptr<zta_txclients_agent>(static_cast<zta_txclients_agent*>(t));
    }

    static void sample(zta_txclients_agent& object) {
        object.BeginSample();
        object.TakeSample();
    }

    RequestDetail request_;
    ContextInfo context_;
};

TEST_F(ClientsTable, ThreeClientsGiveOneGetTwoGetnextAndThreeRows) {
    std::unique_ptr<zta_txclients_agent> object;
    const std::string joined = stderr_of([&] { object = make_object(); });
    EXPECT_NE(joined.find("TXWATCHER has joined the Application successfully!\n"),
              std::string::npos);
    ASSERT_TRUE(Txinit::Joined());
    EXPECT_EQ(object->DataSize(), 352u);
    EXPECT_EQ(object->AllocationDefault(), 50u);

    tuxsim::clear_requests();
    sample(*object);

    const auto requests = tuxsim::requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].operation, "GET");
    EXPECT_EQ(requests[0].cursor, "");
    for (std::size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].cls, "T_CLIENT");
        EXPECT_EQ(requests[i].occurs, 1);
        EXPECT_EQ(requests[i].flags, 0);  // no TA_FLAGS
        EXPECT_EQ(requests[i].outcome, "OK");
        if (i > 0) {
            EXPECT_EQ(requests[i].operation, "GETNEXT");
            EXPECT_NE(requests[i].cursor, "");
            EXPECT_NE(requests[i].cursor, requests[i - 1].cursor);
        }
    }

    ASSERT_EQ(object->NumDataItems(), 3u);
    char host[64] = {};
    DetermineLocalHost(host, sizeof host);
    bool saw_self = false, saw_ws = false, saw_native = false;
    for (int i = 0; i < 3; ++i) {
        const zta_txclients_data_t* row = object->GetRow(i);
        EXPECT_EQ(text(row->originnode, 64), padded(host, 64));
        EXPECT_EQ(row->sampleno, 1);
        EXPECT_EQ(row->rowno, i);
        const std::string tm = text(row->samp_tm, 16);
        EXPECT_EQ(tm.find_first_not_of("0123456789"), std::string::npos) << tm;
        const std::string user = text(row->username, 30);
        if (user == padded("TXWATCHER", 30)) {
            saw_self = true;
            EXPECT_EQ(text(row->clientname, 30), padded("tpsysadm", 30));
            EXPECT_EQ(text(row->workstclnt, 2), "N ");
            EXPECT_EQ(text(row->clientid, 78), padded(tuxsim::own_client_id(), 78));
        } else if (user == padded("bob", 30)) {
            saw_ws = true;
            EXPECT_EQ(text(row->workstclnt, 2), "Y ");
            EXPECT_EQ(text(row->clientname, 30), std::string(30, ' '));
            EXPECT_EQ(text(row->clientid, 78), padded("CLIENT0002-WS", 78));
            EXPECT_EQ(text(row->netaddr, 78), padded("//10.0.0.7:4021", 78));
        } else if (user == padded("alice", 30)) {
            saw_native = true;
            EXPECT_EQ(text(row->workstclnt, 2), "N ");
            EXPECT_EQ(text(row->state, 10), padded("ACTive", 10));
            EXPECT_EQ(text(row->lmid, 16), padded("SITE1", 16));
        }
    }
    EXPECT_TRUE(saw_self && saw_ws && saw_native);

    // The next sample starts afresh with GET.
    object->ClearCount();
    tuxsim::clear_requests();
    sample(*object);
    ASSERT_FALSE(tuxsim::requests().empty());
    EXPECT_EQ(tuxsim::requests()[0].operation, "GET");
    EXPECT_EQ(object->NumDataItems(), 3u);
    EXPECT_EQ(object->GetRow(0)->sampleno, 2);
}

// Each call stamps the row it brings, before the call: three rows, three
// stamps, where a stamp taken once per sample would give every row the first.
TEST_F(ClientsTable, EachCallStampsItsOwnRowBeforeTheCall) {
    test_support::ScopedTz tz("UTC0");
    std::unique_ptr<zta_txclients_agent> object;
    stderr_of([&] { object = make_object(); });
    tuxsim::clear_requests();
    agw::SetTimeStampSource(&agent_test::calls_clock);
    sample(*object);
    agw::SetTimeStampSource(nullptr);
    ASSERT_EQ(tuxsim::requests().size(), 3u);
    ASSERT_EQ(object->NumDataItems(), 3u);
    for (int i = 0; i < 3; ++i) {
        const std::string second = std::to_string(i);
        EXPECT_EQ(text(object->GetRow(i)->samp_tm, 16), "124120904000" + second + "000") << i;
    }
}

TEST_F(ClientsTable, FailedSecondCallKeepsFirstRowAndLeavesTheApplication) {
    auto object = make_object();
    ASSERT_TRUE(Txinit::Joined());
    tuxsim::clear_requests();
    tuxsim::fail_call(tuxsim::Call::tpcall, 2, TPESYSTEM);

    const std::string err = stderr_of([&] { sample(*object); });

    EXPECT_EQ(object->NumDataItems(), 1u);
    EXPECT_TRUE(object->SampleIncomplete());  // the row is delivered, the sample clears nothing
    // The three lines come first, together; an error trace line may follow
    // on the same stream.
    const std::string expected = std::string("Error: in tpcall\nERROR NO : ") +
                                 std::to_string(TPESYSTEM) + "\nError Message : " +
                                 tpstrerror(TPESYSTEM) + "\n";
    EXPECT_EQ(err.substr(0, expected.size()), expected);
    EXPECT_EQ(tuxsim::requests().size(), 2u);  // no further call in that sample
    EXPECT_FALSE(Txinit::Joined());
    EXPECT_EQ(tuxsim::own_client_id(), "");  // tpterm removed the entry

    // The next object made joins again.
    std::unique_ptr<zta_txclients_agent> second;
    stderr_of([&] { second = make_object(); });
    EXPECT_TRUE(Txinit::Joined());
    EXPECT_NE(tuxsim::own_client_id(), "");
}

TEST_F(ClientsTable, ExistingObjectJoinsAgainAtItsNextSampleOnceAFailedJoinsWaitIsOver) {
    auto object = make_object();
    tuxsim::fail_call(tuxsim::Call::tpcall, 1, TPETIME);
    stderr_of([&] { sample(*object); });
    EXPECT_EQ(object->NumDataItems(), 0u);
    EXPECT_FALSE(Txinit::Joined());

    // While the domain refuses the join, the sample makes no MIB call.
    tuxsim::clear_requests();
    tuxsim::fail_call(tuxsim::Call::tpinit, 1, TPESYSTEM);
    const std::string refused = stderr_of([&] { sample(*object); });
    EXPECT_NE(refused.find("Cannot Log into the Tuxedo Application"), std::string::npos);
    EXPECT_TRUE(tuxsim::requests().empty());
    EXPECT_EQ(refused.find("Error: in tpcall"), std::string::npos);
    EXPECT_TRUE(object->SampleIncomplete());
    EXPECT_EQ(object->SampleIncompleteReason(), "cannot join the Tuxedo application");

    // Within a second of the failed join a sample neither joins nor calls.
    agent_test::pace_now_ms += 999;
    EXPECT_EQ(stderr_of([&] { sample(*object); }), "");
    EXPECT_FALSE(Txinit::Joined());
    EXPECT_TRUE(tuxsim::requests().empty());
    EXPECT_EQ(object->SampleIncompleteReason(), "not joined; next attempt in 1 s");

    agent_test::pace_now_ms += 1;
    stderr_of([&] { sample(*object); });
    EXPECT_TRUE(Txinit::Joined());
    EXPECT_EQ(object->NumDataItems(), 3u);
    EXPECT_FALSE(object->SampleIncomplete());
}

// Views that cannot be found: one line naming the view and the FML32 error,
// no MIB call and no row of nulls; the sample is incomplete. Once the views
// are back, so are the rows.
TEST_F(ClientsTable, AViewThatCannotBeLoadedEndsTheSampleWithOneLine) {
    auto object = make_object();
    const char* old = std::getenv("VIEWDIR32");
    const std::string saved = old != nullptr ? old : "";
    setenv("VIEWDIR32", "/nonexistent", 1);
    tuxsim_Freset32();
    tuxsim::clear_requests();
    const std::string err = stderr_of([&] { sample(*object); });
    if (old != nullptr) setenv("VIEWDIR32", saved.c_str(), 1); else unsetenv("VIEWDIR32");
    tuxsim_Freset32();

    EXPECT_EQ(object->NumDataItems(), 0u);
    EXPECT_TRUE(object->SampleIncomplete());
    EXPECT_TRUE(tuxsim::requests().empty());
    const std::string line = "Error: view txview01 cannot be used: Fvsinit32: ";
    const auto at = err.find(line);
    ASSERT_NE(at, std::string::npos) << err;
    EXPECT_EQ(err.find(line, at + 1), std::string::npos) << err;  // once per sample
    EXPECT_NE(err[at + line.size()], '\n') << err;  // the FML32 error's text follows
    // The error trace names the table's unit and where the report wrote it.
    EXPECT_NE(err.find(" zta01agt(ztaerrors:"), std::string::npos) << err;

    stderr_of([&] { sample(*object); });
    EXPECT_EQ(object->NumDataItems(), 3u);
}

// The per-row trace gives each row's index in the sample, under the
// binding's unit and the line of the shared routine that writes it.
TEST_F(ClientsTable, PerRowTraceGivesTheRowsIndex) {
    auto object = make_object();
    TRC1_Configure("0x80,agwtx01b=0x01");
    const std::string err = stderr_of([&] { sample(*object); });
    TRC1_Configure(nullptr);
    for (const char* row : {"Passing row 0 ", "Passing row 1 ", "Passing row 2 "}) {
        EXPECT_NE(err.find(row), std::string::npos) << row << err;
    }
    EXPECT_NE(err.find(" agwtx01b(ztabind:"), std::string::npos) << err;
}

// A MIB that ignores TA_OCCURS 1 and answers up to seven objects at once:
// every client is a row, in the MIB's order, and the walk goes on from each
// reply's cursor (45 objects: 7 calls).
TEST_F(ClientsTable, EveryObjectOfAReplyIgnoringTheOccursAskedForIsARow) {
    tuxsim::use_domain_file(AGENT_TEST_DATA "/forty_four_clients.yaml");
    std::unique_ptr<zta_txclients_agent> object;
    stderr_of([&] { object = make_object(); });
    tuxsim::force_occurs(7);
    tuxsim::clear_requests();
    sample(*object);
    ASSERT_EQ(object->NumDataItems(), 45u);
    EXPECT_FALSE(object->SampleIncomplete());
    for (int i = 0; i < 44; ++i) {
        char id[16];
        std::snprintf(id, sizeof id, "CLT%04d", i + 1);
        EXPECT_EQ(text(object->GetRow(i)->clientid, 78), padded(id, 78));
        EXPECT_EQ(text(object->GetRow(i)->username, 30), padded(std::string("user") + (id + 5), 30));
    }
    EXPECT_EQ(tuxsim::requests().size(), 7u);
}

TEST_F(ClientsTable, FailedJoinIsRetriedByTheNextTableObject) {
    tuxsim::fail_call(tuxsim::Call::tpinit, 1, TPESYSTEM);
    const std::string err = stderr_of([&] { EXPECT_EQ(Txinit::Instance(), nullptr); });
    EXPECT_EQ(err.rfind("Cannot Log into the Tuxedo Application\n", 0), 0u) << err;
    EXPECT_FALSE(Txinit::Joined());

    agent_test::pace_now_ms += 1000;  // the wait after one failed join
    std::unique_ptr<zta_txclients_agent> object;
    stderr_of([&] { object = make_object(); });
    EXPECT_TRUE(Txinit::Joined());
    sample(*object);
    EXPECT_EQ(object->NumDataItems(), 3u);
}

// While the domain is down, however often samples fall due, the joins
// wait 1, 2, 4, 8, 16 s, then 30 s each; the first that succeeds forgets
// the pace.
TEST_F(ClientsTable, FailedJoinsBackOffWhateverTheSamplesDueAndASuccessResetsThePace) {
    auto object = make_object();
    Txinit::DeleteInstance();
    tuxsim::domain_down(std::chrono::seconds(3600));
    std::vector<std::int64_t> attempts;
    const std::int64_t start = agent_test::pace_now_ms;
    stderr_of([&] {
        for (; agent_test::pace_now_ms - start <= 70'000; agent_test::pace_now_ms += 500) {  // a sample every half second
            sample(*object);
            if (object->SampleIncompleteReason() == "cannot join the Tuxedo application") {
                attempts.push_back((agent_test::pace_now_ms - start) / 1000);
            }
        }
    });
    EXPECT_EQ(attempts, (std::vector<std::int64_t>{0, 1, 3, 7, 15, 31, 61}));
    tuxsim::clear_faults();
    agent_test::pace_now_ms += 30'000;
    stderr_of([&] { sample(*object); });
    ASSERT_TRUE(Txinit::Joined());
    EXPECT_EQ(object->NumDataItems(), 3u);
    // Joined again, then out after a failed call: the next join is at once.
    tuxsim::fail_call(tuxsim::Call::tpcall, 1, TPESYSTEM);
    stderr_of([&] { sample(*object); });
    EXPECT_FALSE(Txinit::Joined());
    stderr_of([&] { sample(*object); });
    EXPECT_TRUE(Txinit::Joined());
}

TEST_F(ClientsTable, FailedTpinitBufferAllocationMakesNoJoinAttempt) {
    tuxsim::fail_call(tuxsim::Call::tpalloc, 1, TPEOS);
    const std::string err = stderr_of([&] { EXPECT_EQ(Txinit::Instance(), nullptr); });
    EXPECT_EQ(err.rfind(std::string("ERROR:tpalloc:") + tpstrerror(TPEOS) + "\n", 0), 0u) << err;
    EXPECT_EQ(err.find("Cannot Log into"), std::string::npos);
    EXPECT_EQ(tuxsim::own_client_id(), "");
}

TEST_F(ClientsTable, JoiningTwiceMakesOneEntryAndLeavingTwiceIsHarmless) {
    Txinit* first = nullptr;
    Txinit* again = nullptr;
    stderr_of([&] {
        first = Txinit::Instance();
        again = Txinit::Instance();
    });
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(first, again);
    EXPECT_EQ(tuxsim::object_count("T_CLIENT"), 3u);
    Txinit::DeleteInstance();
    EXPECT_EQ(tuxsim::object_count("T_CLIENT"), 2u);
    Txinit::DeleteInstance();  // not joined: nothing happens
    EXPECT_FALSE(Txinit::Joined());
}

TEST_F(ClientsTable, DeScrambleIsItsOwnInverseAndStopsAtTheEnd) {
    char empty[1] = "";
    EXPECT_EQ(Txinit::DeScramble(empty), empty);
    EXPECT_EQ(empty[0], '\0');
}

// The shared cursor loop on a class without objects: the reply carries no
// object, so no row is added and no conversion runs.
TEST_F(ClientsTable, FortyFiveClientsGiveFortyFiveRowsWhateverTheirState) {
    tuxsim::use_domain_file(AGENT_TEST_DATA "/forty_four_clients.yaml");
    std::unique_ptr<zta_txclients_agent> object;
    stderr_of([&] { object = make_object(); });
    ASSERT_TRUE(Txinit::Joined());
    tuxsim::clear_requests();
    sample(*object);
    ASSERT_EQ(object->NumDataItems(), 45u);  // 44 and the agent's own entry
    std::set<std::string> ids;
    std::set<std::string> states;
    for (int i = 0; i < 45; ++i) {
        ids.insert(text(object->GetRow(i)->clientid, 78));
        states.insert(text(object->GetRow(i)->state, 10));
    }
    EXPECT_EQ(ids.size(), 45u);
    EXPECT_EQ(states, (std::set<std::string>{padded("ACTive", 10), padded("SUSpended", 10), padded("DEAd", 10)}));
    const auto requests = tuxsim::requests();
    ASSERT_EQ(requests.size(), 45u);
    EXPECT_EQ(requests.back().outcome, "OK");
}

TEST_F(ClientsTable, ReplyWithoutObjectAddsNoRow) {
    std::unique_ptr<zta_txclients_agent> object;
    stderr_of([&] { object = make_object(); });
    struct counting_target final : zta_cursor_target {
        zta_txconv_data_t record{};
        int converted = 0;
        char* ViewRecord() override { return reinterpret_cast<char*>(&record); }
        void ObjectConverted(FBFR32*, FLDOCC32, const char*) override { ++converted; }
    } target;
    static TRC1_Block trc = {"ZTA300", "test", "ReplyWithoutObject", {}};
    tuxsim::clear_requests();
    object->BeginSample();
    zta_cursor_loop(&trc, *object,
                    zta_variant_of<zta_txconv_data_t>(true, zta_stamp::each_pass_before_call), target);
    EXPECT_EQ(target.converted, 0);
    EXPECT_FALSE(object->SampleIncomplete());  // an empty class is a whole answer
    ASSERT_EQ(tuxsim::requests().size(), 1u);
    EXPECT_EQ(tuxsim::requests()[0].flags, 65536);  // MIB_LOCAL where the variant asks
}

}  // namespace
