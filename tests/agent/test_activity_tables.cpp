// Client statistics, conversations, domain and bulletin-board configuration
// and transactions, each sampled end to end against the stand-in: the
// requests the cursor loop sends and the rows with their derived columns.
#include <gtest/gtest.h>

#include <atmi.h>
#include <fml32.h>
#include <tuxsim.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "agw_tbx.h"
#include "zta02agt.h"
#include "zta03agt.h"
#include "zta04agt.h"
#include "zta05agt.h"
#include "zta15agt.h"
#include "zta_agent.h"
#include "zta_fields.h"
#include "zta_util.h"

namespace {

std::string text(const char* field, std::size_t width) { return std::string(field, width); }
std::string padded(const std::string& value, std::size_t width) {
    return value + std::string(width - value.size(), ' ');
}
// A NUL-terminated string within its column: the value, then NUL bytes.
std::string terminated(const std::string& value, std::size_t width) {
    return value + std::string(width - value.size(), '\0');
}

std::string host_name() {
    char host[64] = {};
    DetermineLocalHost(host, sizeof host);
    return host;
}

// The requests of one sample: `n` calls, a GET and then GETNEXTs, each for
// one object of `cls` with the flags `flags`.
void expect_walk(const std::vector<tuxsim::Request>& requests, std::size_t n, const char* cls,
                 long flags) {
    ASSERT_EQ(requests.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(requests[i].operation, i == 0 ? "GET" : "GETNEXT");
        EXPECT_EQ(requests[i].cls, cls);
        EXPECT_EQ(requests[i].flags, flags);
        EXPECT_EQ(requests[i].occurs, 1);
    }
}

// One sample of one table: the table object with its rows and the requests
// the sample sent.
template <class Agent>
struct Sampled {
    std::unique_ptr<Agent> object;
    std::vector<tuxsim::Request> requests;

    // The first row for which `match` holds, or null.
    const typename Agent::row_type* row(
        const std::function<bool(const typename Agent::row_type&)>& match) const {
        for (unsigned i = 0; i < object->NumDataItems(); ++i) {
            if (match(*object->GetRow(static_cast<int>(i)))) return object->GetRow(static_cast<int>(i));
        }
        return nullptr;
    }
};

class ActivityTables : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // One manager per table for the life of the process.
        static const bool registered = [] {
            return zta_txcstats_init() == 0 && zta_txconv_init() == 0 &&
                   zta_txdomcfg_init() == 0 && zta_txbblcfg_init() == 0 &&
                   zta_txtransact_init() == 0;
        }();
        ASSERT_TRUE(registered);
    }
    void SetUp() override { use_domain("activity_tables.yaml"); }
    void TearDown() override {
        Txinit::DeleteInstance();
        tuxsim::reset();
    }

    static void use_domain(const std::string& file) {
        Txinit::DeleteInstance();
        tuxsim::reset();
        tuxsim::use_domain_file(std::string(AGENT_TEST_DATA "/") + file);
        ASSERT_EQ(tuxsim::load_domain(), "");
    }

    // Makes a table object the way the framework does and takes one sample.
    template <class Agent, class Manager>
    Sampled<Agent> sample_once() {
        request_.name = Agent::kMeta.upper;
        request_.table = Agent::kMeta.upper;
        ::testing::internal::CaptureStderr();  // the join message
        tavro* made = Manager::_static_manager->CreateTavro(&request_, &context_);
        ::testing::internal::GetCapturedStderr();
        Sampled<Agent> s{std::unique_ptr<Agent>(static_cast<Agent*>(made)), {}};
        tuxsim::clear_requests();
        s.object->BeginSample();
        s.object->TakeSample();
        s.requests = tuxsim::requests();
        return s;
    }

    RequestDetail request_;
    ContextInfo context_;
};

// Once with one object per reply, as asked, and once from a MIB that ignores
// TA_OCCURS and answers three at a time: every object is a row either way,
// each with the derived values of its own occurrence.
TEST_F(ActivityTables, ClientStatisticsDeriveElapsedIdleAndAbortedShare) {
  for (const long per_reply : {0L, 3L}) {
    SCOPED_TRACE(per_reply);
    tuxsim::force_occurs(per_reply);
    const auto s = sample_once<zta_txcstats_agent, zta_txcstats_manager>();
    // Five clients and the agent's own entry.
    if (per_reply == 0) {
        expect_walk(s.requests, 6, "T_CLIENT", 0);
    } else {
        ASSERT_EQ(s.requests.size(), 2u);
        EXPECT_EQ(s.requests[1].operation, "GETNEXT");
    }
    EXPECT_FALSE(s.object->SampleIncomplete());
    ASSERT_EQ(s.object->NumDataItems(), 6u);
    EXPECT_EQ(s.object->DataSize(), 312u);
    auto client = [&](const std::string& id) {
        return s.row([&](const zta_txcstats_data_t& r) { return text(r.clientid, 78) == padded(id, 78); });
    };

    const zta_txcstats_data_t* a = client("CLT.SITE1.4711.00001");  // 20 characters
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(text(a->originnode, 64), padded(host_name(), 64));
    EXPECT_EQ(text(a->samp_tm, 16).find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(a->elaptime, 3725);
    EXPECT_EQ(a->elapmin, 62);
    EXPECT_EQ(a->elaphr, 1);
    EXPECT_EQ(a->pctransabt, 33);
    EXPECT_EQ(a->idletime, 59);
    EXPECT_EQ(a->idlemins, 0);
    // The view fills the working row's counters.
    EXPECT_EQ(a->currreq, 2);
    EXPECT_EQ(a->procid, 4711);
    EXPECT_EQ(text(a->zattrib, 30), std::string(30, '\0'));

    const zta_txcstats_data_t* b = client("CLT.SITE1.4712.0002");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->pctransabt, 75);  // 30 M of 40 M: no 32-bit overflow
    EXPECT_EQ(b->elaptime, 0);
    EXPECT_EQ(b->idlemins, 2);
    const zta_txcstats_data_t* c = client("CLT.SITE1.4713.0003");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->pctransabt, 100);
    const zta_txcstats_data_t* d = client("CLT.SITE1.4714.0004");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->pctransabt, 0);  // no transactions, whatever the abort count
    const zta_txcstats_data_t* e = client("CLT.SITE1.4715.0005");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->elaptime, 0);  // not the time since 1970
  }
}

// Two hundred objects asked for per call of a 5,000-client domain: the rows
// of one object per call, keys and derived values alike, in order, in a
// few dozen calls; and from a MIB that keeps one cursor handle and one
// TA_MORE for the walk, one object per reply, the same rows again.
TEST_F(ActivityTables, ManyObjectsPerCallGiveTheRowsOfOneInFewCalls) {
    char dir[] = "/tmp/zta-occurs-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string domain = std::string(dir) + "/domain.yaml";
    {
        std::ofstream out(domain);
        out << "batch: 500\nclasses:\n  T_MACHINE: [{TA_LMID: SITE1}]\n  T_CLIENT:\n";
        for (int i = 0; i < 5000; ++i) {
            out << "    - {TA_CLIENTID: C" << 10000 + i << ", TA_STATE: ACTive, TA_CURTIME: 1733803725, TA_TIMESTART: "
                << 1733800000 - i << ", TA_NUMTRAN: " << i % 7 << ", TA_NUMTRANABT: " << i % 3
                << (i % 2 ? ", TA_USRNAME: user" : "") << "}\n";
        }
    }
    Txinit::DeleteInstance();
    tuxsim::reset();
    tuxsim::use_domain_file(domain);
    ASSERT_EQ(tuxsim::load_domain(), "");
    std::remove(domain.c_str());
    rmdir(dir);
    tuxsim::record_requests();
    tuxsim::set_time(1733803725);
    agw::SetTimeStampSource(&tuxsim::now);
    struct Restore {
        ~Restore() { agw::SetTimeStampSource(nullptr); }
    } restore;
    auto rows = [](const Sampled<zta_txcstats_agent>& s) {
        EXPECT_FALSE(s.object->SampleIncomplete()) << s.object->SampleIncompleteReason();
        std::string all;
        for (unsigned i = 0; i < s.object->NumDataItems(); ++i) {
            all.append(reinterpret_cast<const char*>(s.object->GetRow(static_cast<int>(i))), s.object->DataSize());
        }
        return all;
    };

    const auto one = sample_once<zta_txcstats_agent, zta_txcstats_manager>();
    request_.settings["mib.occurs"] = "200";
    const auto many = sample_once<zta_txcstats_agent, zta_txcstats_manager>();
    ASSERT_EQ(many.object->NumDataItems(), 5001u);  // and the agent's own entry
    EXPECT_LE(many.requests.size(), 30u);
    EXPECT_EQ(many.requests.front().occurs, 200);
    EXPECT_EQ(many.requests.back().occurs, 200);
    EXPECT_EQ(rows(many), rows(one));
    const zta_txcstats_data_t* last_of_file = many.object->GetRow(4999);
    EXPECT_EQ(text(last_of_file->clientid, 78), padded("C14999", 78));
    EXPECT_EQ(last_of_file->elaptime, 3725 + 4999);
    EXPECT_EQ(last_of_file->pctransabt, 100);  // 1 of its 1 transaction aborted

    tuxsim::Quirks q;
    q.fixed_cursor = {"T_CLIENT"};
    ASSERT_EQ(tuxsim::set_quirks(q), "");
    const auto fixed = sample_once<zta_txcstats_agent, zta_txcstats_manager>();
    EXPECT_EQ(fixed.requests.size(), 5001u);
    EXPECT_EQ(rows(fixed), rows(one));
}

TEST_F(ActivityTables, ConversationsAskForLocalAttributesAndPadTheClientOnly) {
    const auto s = sample_once<zta_txconv_agent, zta_txconv_manager>();
    expect_walk(s.requests, 2, "T_CONN", 65536);  // MIB_LOCAL
    ASSERT_EQ(s.object->NumDataItems(), 2u);
    const zta_txconv_data_t* first = s.object->GetRow(0);
    EXPECT_EQ(text(first->clientid, 78), padded("CLT.SITE1.4711.00001.CONVERSE1", 78));
    EXPECT_EQ(text(first->originnode, 64), padded(host_name(), 64));
    EXPECT_EQ(text(first->servname, 15), terminated("POSTBATCH", 15));
    EXPECT_EQ(text(first->originlmid, 16), terminated("SITE1", 16));
    EXPECT_EQ(first->originprid, 4711);  // local attributes
    EXPECT_EQ(first->subsdct, 13);

    // What the first conversation had must not leak into the second.
    const zta_txconv_data_t* second = s.object->GetRow(1);
    EXPECT_EQ(text(second->clientid, 78), padded("CLT.SITE1.4712.0002", 78));
    EXPECT_EQ(second->originprid, 0);
    EXPECT_EQ(second->subprid, 21451);
}

TEST_F(ActivityTables, DomainConfigurationIsOneBlankPaddedRow) {
    const auto s = sample_once<zta_txdomcfg_agent, zta_txdomcfg_manager>();
    expect_walk(s.requests, 1, "T_DOMAIN", 0);
    ASSERT_EQ(s.object->NumDataItems(), 1u);
    const zta_txdomcfg_data_t* r = s.object->GetRow(0);
    EXPECT_EQ(text(r->dmclass, 16), padded("T_DOMAIN", 16));
    EXPECT_EQ(text(r->state, 8), padded("ACTive", 8));
    EXPECT_EQ(text(r->appauthsrv, 15), std::string(15, ' '));  // absent
    EXPECT_EQ(text(r->domid, 30), padded("TESTDOM", 30));
    EXPECT_EQ(text(r->modelcfg, 3), "SHM");  // as wide as the column: every character kept
    EXPECT_EQ(text(r->loadbal, 2), "Y ");
    EXPECT_EQ(text(r->sysaccess, 16), padded("FASTPATH", 16));
    EXPECT_EQ(r->ipckey, 80952);
    EXPECT_EQ(text(r->zattrib, 30), std::string(30, '\0'));
}

TEST_F(ActivityTables, BulletinBoardPercentagesAreExactHundredths) {
    const auto s = sample_once<zta_txbblcfg_agent, zta_txbblcfg_manager>();
    expect_walk(s.requests, 1, "T_DOMAIN", 0);
    ASSERT_EQ(s.object->NumDataItems(), 1u);
    const zta_txbblcfg_data_t* r = s.object->GetRow(0);
    EXPECT_EQ(text(r->originnode, 64), padded(host_name(), 64));
    EXPECT_EQ(r->pctrttable, 7000);  // 7 of 10, not 6999
    EXPECT_EQ(r->pctgrps, 6666);     // 2 of 3, truncated
    EXPECT_EQ(r->pctmach, 0);        // a maximum of 0
    EXPECT_EQ(r->pctques, 146);      // 120 of 8192
    EXPECT_EQ(r->pctrtrng, 0);
    EXPECT_EQ(r->pctstrpsz, 600);
    EXPECT_EQ(r->pctserv, 10000);
    EXPECT_EQ(r->pctservic, 2000);
    EXPECT_EQ(r->pctbblst, 3333);
    EXPECT_EQ(r->pctbbltp, std::numeric_limits<std::int32_t>::max());  // saturated
    EXPECT_EQ(r->maxques, 8192);
}

TEST_F(ActivityTables, TransactionsEachShowTheirOwnFirstGroup) {
    const auto s = sample_once<zta_txtransact_agent, zta_txtransact_manager>();
    expect_walk(s.requests, 3, "T_TRANSACTION", 0);
    ASSERT_EQ(s.object->NumDataItems(), 3u);
    const zta_txtransact_data_t* three = s.object->GetRow(0);
    EXPECT_EQ(text(three->tptranid, 78), terminated("0x0 0x1 0x2", 78));
    EXPECT_EQ(text(three->state, 16), terminated("ACTive", 16));
    EXPECT_EQ(three->timeout, 30);
    EXPECT_EQ(three->grpcount, 3);
    EXPECT_EQ(three->grpno, 10);
    EXPECT_EQ(text(three->gstate, 16), padded("ACTive", 16));
    EXPECT_EQ(text(three->originnode, 64), padded(host_name(), 64));
    EXPECT_EQ(text(three->timestamp, 16).find_first_not_of("0123456789"), std::string::npos);

    const zta_txtransact_data_t* one = s.object->GetRow(1);
    EXPECT_EQ(one->grpcount, 1);
    EXPECT_EQ(one->grpno, 40);
    EXPECT_EQ(text(one->gstate, 16), padded("PABT", 16));

    const zta_txtransact_data_t* none = s.object->GetRow(2);
    EXPECT_EQ(none->grpcount, 0);
    EXPECT_EQ(none->grpno, 0);
    EXPECT_EQ(text(none->gstate, 16), std::string(16, ' '));
}

TEST_F(ActivityTables, QuietDomainGivesNoPhantomRowsAndBlankSettings) {
    use_domain("quiet_domain.yaml");
    const auto conv = sample_once<zta_txconv_agent, zta_txconv_manager>();
    expect_walk(conv.requests, 1, "T_CONN", 65536);
    EXPECT_EQ(conv.object->NumDataItems(), 0u);
    const auto trans = sample_once<zta_txtransact_agent, zta_txtransact_manager>();
    expect_walk(trans.requests, 1, "T_TRANSACTION", 0);
    EXPECT_EQ(trans.object->NumDataItems(), 0u);

    const auto dom = sample_once<zta_txdomcfg_agent, zta_txdomcfg_manager>();
    ASSERT_EQ(dom.object->NumDataItems(), 1u);
    const zta_txdomcfg_data_t* r = dom.object->GetRow(0);
    EXPECT_EQ(text(r->dmclass, 16), padded("T_DOMAIN", 16));
    EXPECT_EQ(text(r->domid, 30), std::string(30, ' '));
    EXPECT_EQ(text(r->loadbal, 2), "  ");
    EXPECT_EQ(r->ipckey, 0);

    const auto bbl = sample_once<zta_txbblcfg_agent, zta_txbblcfg_manager>();
    ASSERT_EQ(bbl.object->NumDataItems(), 1u);
    EXPECT_EQ(bbl.object->GetRow(0)->pctserv, 0);
    EXPECT_EQ(bbl.object->GetRow(0)->maxserv, 0);
}

// A reply laid out as a MIB reply with several transactions would be: the
// group lists end to end, the transaction's own starting at TA_GRPINDEX.
class FirstGroup : public ::testing::Test {
protected:
    void SetUp() override {
        tuxsim::reset();
        reply_ = reinterpret_cast<FBFR32*>(tpalloc(zta_text("FML32"), nullptr, 4096));
        ASSERT_NE(reply_, nullptr);
        const long groups[] = {1, 2, 30, 40};
        const char* states[] = {"PREP", "PCOM", "ACTive", "A-GROUP-STATE-TOO-LONG"};
        for (int i = 0; i < 4; ++i) {
            Fchg32(reply_, zta::fld::TA_GRPNO, i, zta_value(groups[i]), 0);
            Fchg32(reply_, zta::fld::TA_GSTATE, i, zta_text(states[i]), 0);
        }
        std::memset(&row_, 'x', sizeof row_);
    }
    void TearDown() override { tpfree(reinterpret_cast<char*>(reply_)); }

    void set(FLDID32 field, long value) { Fchg32(reply_, field, 0, zta_value(value), 0); }

    FBFR32* reply_ = nullptr;
    zta_txtransact_data_t row_;
};

TEST_F(FirstGroup, StartsAtTheTransactionsGroupIndex) {
    set(zta::fld::TA_GRPINDEX, 2);
    set(zta::fld::TA_GRPCOUNT, 2);
    zta_first_group(row_, reply_);
    EXPECT_EQ(row_.grpno, 30);
    EXPECT_EQ(text(row_.gstate, 16), terminated("ACTive", 16));

    // A state longer than the column keeps width - 1 characters and its NUL.
    set(zta::fld::TA_GRPINDEX, 3);
    set(zta::fld::TA_GRPCOUNT, 1);
    zta_first_group(row_, reply_);
    EXPECT_EQ(row_.grpno, 40);
    EXPECT_EQ(text(row_.gstate, 16), std::string("A-GROUP-STATE-T") + '\0');
}

TEST_F(FirstGroup, NoGroupsOrAnIndexPastTheReplyGiveEmptyColumns) {
    set(zta::fld::TA_GRPINDEX, 0);
    set(zta::fld::TA_GRPCOUNT, 0);
    zta_first_group(row_, reply_);
    EXPECT_EQ(row_.grpno, 0);
    EXPECT_EQ(text(row_.gstate, 16), std::string(16, '\0'));

    std::memset(&row_, 'x', sizeof row_);
    set(zta::fld::TA_GRPINDEX, 9);
    set(zta::fld::TA_GRPCOUNT, 1);
    zta_first_group(row_, reply_);
    EXPECT_EQ(row_.grpno, 0);
    EXPECT_EQ(text(row_.gstate, 16), std::string(16, '\0'));

    // Without the index and count the groups start at the first occurrence.
    Fdel32(reply_, zta::fld::TA_GRPINDEX, 0);
    Fdel32(reply_, zta::fld::TA_GRPCOUNT, 0);
    zta_first_group(row_, reply_);
    EXPECT_EQ(row_.grpno, 1);
    EXPECT_EQ(text(row_.gstate, 16), terminated("PREP", 16));
}

TEST(WholePercent, SixtyFourBitsTruncatedAndSaturated) {
    EXPECT_EQ(zta_percent_whole(1, 3), 33);
    EXPECT_EQ(zta_percent_whole(7, 7), 100);
    EXPECT_EQ(zta_percent_whole(5, 0), 0);
    EXPECT_EQ(zta_percent_whole(30'000'000, 40'000'000), 75);
    EXPECT_EQ(zta_percent_whole(std::numeric_limits<std::int64_t>::max(), 1),
              std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(zta_percent_whole(std::numeric_limits<std::int64_t>::min(), 1),
              std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(zta_saturate32(std::int64_t{1} << 40), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(zta_saturate32(-5), -5);
}

}  // namespace
