// ATMI of the stand-in: typed buffers, joining and leaving, tpcall's checks
// and the error texts.
#include <unistd.h>

#include <cstring>
#include <set>
#include <thread>

#include "sim_test_util.h"

namespace {

const char* kTwoMachines = R"(
local_lmid: SITE2
classes:
  T_MACHINE:
    - {TA_LMID: SITE1, TA_PMID: host1}
    - {TA_LMID: SITE2, TA_PMID: host2}
  T_CLIENT:
    - {TA_CLIENTID: C1, TA_STATE: ACTive, TA_USRNAME: u1, TA_WSC: Y}
)";

class Atmi : public SimTest {};

TEST_F(Atmi, AllocatesFml32OfAnySizeAndTpinitWhole) {
    char* small = tpalloc("FML32", nullptr, 0);
    ASSERT_NE(small, nullptr);
    char type[8] = {}, subtype[16] = {};
    EXPECT_GE(tptypes(small, type, subtype), 1024);
    EXPECT_STREQ(type, "FML32");
    EXPECT_EQ(Fused32(reinterpret_cast<FBFR32*>(small)) > 0, true);

    char* big = tpalloc("FML32", nullptr, 200000);
    EXPECT_EQ(tptypes(big, nullptr, nullptr), 200000);
    EXPECT_EQ(Fsizeof32(reinterpret_cast<FBFR32*>(big)), 200000);

    // A size smaller than the structure still gives a whole, zeroed TPINIT.
    auto* info = reinterpret_cast<TPINIT*>(tpalloc("TPINIT", nullptr, 10));
    ASSERT_NE(info, nullptr);
    EXPECT_GE(tptypes(reinterpret_cast<char*>(info), type, nullptr), long(sizeof(TPINIT)));
    EXPECT_STREQ(type, "TPINIT");
    EXPECT_EQ(info->datalen, 0);
    EXPECT_EQ(info->usrname[0], '\0');
    std::memset(info, 'x', sizeof(TPINIT));  // the whole structure is ours to write

    EXPECT_EQ(tpalloc("STRING", nullptr, 10), nullptr);
    EXPECT_EQ(tperrno, TPENOENT);
    EXPECT_EQ(tpalloc("FML32", nullptr, -1), nullptr);
    EXPECT_EQ(tperrno, TPEINVAL);
    tpfree(small);
    tpfree(big);
    tpfree(reinterpret_cast<char*>(info));
}

TEST_F(Atmi, ReallocKeepsFml32ContentAndTellsTheBufferItsSize) {
    auto* fb = reinterpret_cast<FBFR32*>(tpalloc("FML32", nullptr, 1024));
    const FLDID32 cls = Fldid32("TA_CLASS");
    for (int i = 0; i < 20; ++i) Fadd32(fb, cls, ("class" + std::to_string(i)).c_str(), 0);
    auto* grown = reinterpret_cast<FBFR32*>(tprealloc(reinterpret_cast<char*>(fb), 100000));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(Fsizeof32(grown), 100000);
    EXPECT_EQ(Foccur32(grown, cls), 20);
    EXPECT_STREQ(Ffind32(grown, cls, 19, nullptr), "class19");
    // The new room is usable.
    std::string big(50000, 'a');
    EXPECT_EQ(Fadd32(grown, Fldid32("TA_STATUS"), big.c_str(), 0), 1);
    // Shrinking below what the buffer holds is refused and leaves it intact.
    EXPECT_EQ(tprealloc(reinterpret_cast<char*>(grown), 2000), nullptr);
    EXPECT_EQ(tperrno, TPEINVAL);
    EXPECT_EQ(Foccur32(grown, cls), 20);
    tpfree(reinterpret_cast<char*>(grown));
}

TEST_F(Atmi, ForeignPointersAreRefusedWithoutACrash) {
    char stack[64] = {};
    std::string heap(100, 'z');
    tpfree(nullptr);  // a no-op
    tpfree(stack);
    EXPECT_EQ(tperrno, TPEINVAL);
    EXPECT_EQ(tprealloc(heap.data() + 8, 100), nullptr);
    EXPECT_EQ(tperrno, TPEINVAL);
    EXPECT_EQ(tptypes(stack, nullptr, nullptr), -1);
    EXPECT_EQ(tperrno, TPEINVAL);
    // A freed buffer is foreign too: no double free.
    char* b = tpalloc("FML32", nullptr, 0);
    tpfree(b);
    tpfree(b);
    EXPECT_EQ(tperrno, TPEINVAL);
}

TEST_F(Atmi, JoiningAddsTheOwnClientEntryAndLeavingRemovesIt) {
    serve(kTwoMachines);
    auto* info = reinterpret_cast<TPINIT*>(tpalloc("TPINIT", nullptr, 144));
    std::strcpy(info->usrname, "TXWATCHER");
    std::strcpy(info->cltname, "tpsysadm");
    ASSERT_EQ(tpinit(info), 0);
    EXPECT_EQ(tuxsim::object_count("T_CLIENT"), 2u);
    // Joining twice succeeds and adds no second entry.
    EXPECT_EQ(tpinit(info), 0);
    EXPECT_EQ(tuxsim::object_count("T_CLIENT"), 2u);

    MibCall m;
    m.get("T_CLIENT").set("TA_CLIENTID", tuxsim::own_client_id());
    ASSERT_EQ(m.call(), 0);
    EXPECT_EQ(m.num("TA_OCCURS"), 1);
    EXPECT_EQ(m.str("TA_USRNAME"), "TXWATCHER");
    EXPECT_EQ(m.str("TA_CLTNAME"), "tpsysadm");
    EXPECT_EQ(m.str("TA_STATE"), "ACTive");
    EXPECT_EQ(m.str("TA_WSC"), "N");
    EXPECT_EQ(m.str("TA_WSH"), "N");
    EXPECT_EQ(m.num("TA_PID"), long(getpid()));
    EXPECT_EQ(m.str("TA_LMID"), "SITE2");  // the machine the file names as local

    ASSERT_EQ(tpterm(), 0);
    EXPECT_EQ(tuxsim::object_count("T_CLIENT"), 1u);
    EXPECT_EQ(tuxsim::own_client_id(), "");
    // Leaving again is not an error either.
    EXPECT_EQ(tpterm(), 0);
    // A new join gets a new, distinct identifier.
    std::string before = tuxsim::own_client_id();
    ASSERT_EQ(tpinit(info), 0);
    EXPECT_NE(tuxsim::own_client_id(), before);
    tpfree(reinterpret_cast<char*>(info));
}

TEST_F(Atmi, NullTpinitJoinsWithEmptyNamesOnTheFirstMachine) {
    serve(R"(
classes:
  T_MACHINE: [{TA_LMID: M1}, {TA_LMID: M2}]
)");
    join();
    MibCall m;
    ASSERT_EQ(m.get("T_CLIENT").call(), 0);
    EXPECT_EQ(m.str("TA_USRNAME"), "");
    EXPECT_EQ(m.str("TA_CLTNAME"), "");
    EXPECT_EQ(m.str("TA_LMID"), "M1");
}

// A secured domain admits a join only with the passwords its level asks for:
// the application password in passwd, for USER_AUTH also the user's own as
// the variable data. Any other join fails with TPEPERM and adds no client.
TEST_F(Atmi, SecuredDomainAdmitsOnlyTheRightPasswords) {
    struct Case {
        const char* level;
        const char* user;
        const char* app;
        const char* data;
        long datalen;
        int expected;
    } cases[] = {
        {"USER_AUTH", "TXWATCHER", "s3cret", "u-pass", 7, 0},
        {"USER_AUTH", "TXWATCHER", "s3cret", "u-pass", 6, 0},  // without its NUL
        {"USER_AUTH", "TXWATCHER", "s3cret!", "u-pass", 7, TPEPERM},
        {"USER_AUTH", "TXWATCHER", "s3cret", "u-pas", 6, TPEPERM},
        {"USER_AUTH", "someone", "s3cret", "u-pass", 7, TPEPERM},
        {"USER_AUTH", "TXWATCHER", "s3cret", "", 0, TPEPERM},
        {"USER_AUTH", "TXWATCHER", "s3cret", "u-pass", 4096, TPEINVAL},  // beyond the buffer
        {"APP_PW", "anyone", "s3cret", "", 0, 0},
        {"APP_PW", "anyone", "", "", 0, TPEPERM},
    };
    for (const Case& c : cases) {
        serve(std::string("security: {level: ") + c.level +
              ", app_password: s3cret" + (std::strcmp(c.level, "USER_AUTH") == 0 ? ", users: {TXWATCHER: u-pass}" : "") +
              "}\nclasses: {T_MACHINE: [{TA_LMID: M1}]}\n");
        auto* info = reinterpret_cast<TPINIT*>(tpalloc("TPINIT", nullptr, long(TPINITNEED(16))));
        ASSERT_NE(info, nullptr);
        std::strcpy(info->usrname, c.user);
        std::strcpy(info->passwd, c.app);
        std::strcpy(reinterpret_cast<char*>(&info->data), c.data);
        info->datalen = c.datalen;
        const std::string what = std::string(c.level) + " " + c.user + " " + c.app + " " + std::to_string(c.datalen);
        EXPECT_EQ(tpinit(info) == 0 ? 0 : tperrno, c.expected) << what;
        EXPECT_EQ(tuxsim::object_count("T_CLIENT"), c.expected == 0 ? 1u : 0u) << what;
        EXPECT_EQ(tpinit(nullptr) == 0 && c.expected != 0, false) << what;  // no TPINIT, no admission
        tpterm();
        tpfree(reinterpret_cast<char*>(info));
    }
}

TEST_F(Atmi, TpcallChecksTheProtocolServiceAndArguments) {
    serve(kTwoMachines);
    MibCall m;
    m.get("T_MACHINE");
    EXPECT_EQ(m.call(), -1);
    EXPECT_EQ(tperrno, TPEPROTO);  // not joined
    join();
    char* rep = m.rep_ptr();
    long len = 0;
    EXPECT_EQ(tpcall("BALANCE", reinterpret_cast<char*>(m.req()), 0, &rep, &len, 0), -1);
    EXPECT_EQ(tperrno, TPENOENT);
    EXPECT_EQ(tpcall(".TMIB", reinterpret_cast<char*>(m.req()), 0, &rep, &len, TPNOREPLY), -1);
    EXPECT_EQ(tperrno, TPEINVAL);
    EXPECT_EQ(tpcall(".TMIB", reinterpret_cast<char*>(m.req()), 0, nullptr, &len, 0), -1);
    EXPECT_EQ(tperrno, TPEINVAL);
    char foreign[256] = {};
    EXPECT_EQ(tpcall(".TMIB", foreign, 0, &rep, &len, 0), -1);
    EXPECT_EQ(tperrno, TPEINVAL);
    // The agent's flags, 266 together, are accepted.
    EXPECT_EQ(TPNOTRAN | TPNOCHANGE | TPSIGRSTRT, 266);
    EXPECT_EQ(m.call(266), 0);
    EXPECT_EQ(m.num("TA_OCCURS"), 2);
    EXPECT_EQ(m.len(), Fused32(m.rep()));
}

TEST_F(Atmi, ReplyGrowsFromATinyReplyBuffer) {
    std::string yaml = "batch: 1000\nclasses:\n  T_SERVER:\n";
    for (int i = 0; i < 300; ++i) {
        yaml += "    - {TA_SRVID: " + std::to_string(i) + ", TA_SRVGRP: GROUP_WITH_A_LONG_NAME, TA_CLOPT: \"-A -- -x " +
                std::string(40, 'o') + "\"}\n";
    }
    serve(yaml);
    join();
    MibCall m(16);  // smallest FML32 buffer
    ASSERT_EQ(m.get("T_SERVER").call(), 0);
    EXPECT_EQ(m.num("TA_OCCURS"), 300);
    EXPECT_EQ(m.num("TA_SRVID", 299), 299);
    EXPECT_GT(tptypes(m.rep_ptr(), nullptr, nullptr), 1024);
    EXPECT_EQ(m.len(), Fused32(m.rep()));
    EXPECT_LE(m.len(), Fsizeof32(m.rep()));
}

TEST_F(Atmi, EveryErrorCodeHasItsOwnText) {
    std::set<std::string> texts;
    for (int e = TPMINVAL; e < TPMAXVAL; ++e) {
        ASSERT_NE(tpstrerror(e), nullptr);
        texts.insert(tpstrerror(e));
    }
    EXPECT_EQ(texts.size(), size_t(TPMAXVAL));
    EXPECT_NE(std::string(tpstrerror(TPMAXVAL + 7)), "");
    EXPECT_NE(std::string(tpstrerror(-1)), "");
}

TEST_F(Atmi, TperrnoBelongsToEachThread) {
    tperrno = TPESYSTEM;
    int seen = -1;
    std::thread([&] {
        seen = tperrno;
        tperrno = TPEPROTO;
    }).join();
    EXPECT_EQ(seen, 0);
    EXPECT_EQ(tperrno, TPESYSTEM);
}

}  // namespace
