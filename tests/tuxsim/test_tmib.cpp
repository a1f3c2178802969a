// The tmib tool, run as a process: output, GETNEXT following and exit codes.
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "sim_test_util.h"

#ifdef TMIB_PATH
namespace {

struct ToolRun {
    int status;
    std::string out, err;
};

ToolRun tmib(const std::string& args) {
    TempFile out("", ".out"), err("", ".err");
    const std::string cmd =
        "env -u TUXSIM_FAULTS -u TUXSIM_DOMAIN " TMIB_PATH " " + args + " >" + out.path() + " 2>" + err.path();
    const int rc = std::system(cmd.c_str());
    auto slurp = [](const std::string& p) {
        std::ifstream in(p);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    };
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(out.path()), slurp(err.path())};
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

const char* kDomain = R"(
classes:
  T_SERVER:
    - {TA_SRVGRP: G1, TA_SRVID: 1, TA_NUMREQ: 11}
    - {TA_SRVGRP: G2, TA_SRVID: 2, TA_NUMREQ: 22}
    - {TA_SRVGRP: G1, TA_SRVID: 3, TA_NUMREQ: 33}
)";

// A MIB whose walk never ends is not followed for ever; one that keeps its
// cursor handle and TA_MORE while each reply moves on is followed to the end.
TEST(Tmib, StopsAWalkThatMakesNoProgressAndFollowsAFixedCursor) {
    TempFile domain(std::string("quirks: {endless: [T_SERVER], repeat_objects: [T_MACHINE], fixed_cursor: [T_GROUP]}\n") +
                    kDomain + "  T_MACHINE:\n    - {TA_LMID: S1}\n    - {TA_LMID: S2}\n" +
                    "  T_GROUP:\n    - {TA_SRVGRP: G1}\n    - {TA_SRVGRP: G2}\n    - {TA_SRVGRP: G3}\n");
    for (const char* cls : {"T_SERVER", "T_MACHINE"}) {
        ToolRun r = tmib("-d " + domain.path() + " -o 1 GET " + cls);
        EXPECT_EQ(r.status, 1) << cls;
        EXPECT_EQ(r.err.rfind("tmib: the walk makes no progress: ", 0), 0u) << r.err;
    }
    ToolRun groups = tmib("-d " + domain.path() + " GET T_GROUP");
    EXPECT_EQ(groups.status, 0) << groups.err;
    EXPECT_EQ(count(groups.out, "TA_MORE\t2\n"), 2);
    EXPECT_NE(groups.out.find("TA_SRVGRP\tG3\n"), std::string::npos) << groups.out;
}

TEST(Tmib, FollowsMoreWithGetnextAndPrintsEachReply) {
    TempFile domain(kDomain);
    ToolRun r = tmib("-d " + domain.path() + " -o 1 GET T_SERVER");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count(r.out, "TA_OCCURS\t1\n"), 3);
    EXPECT_EQ(count(r.out, "TA_MORE\t0\n"), 1);
    EXPECT_NE(r.out.find("TA_SRVID\t3\n"), std::string::npos);
    EXPECT_EQ(count(r.out, "TA_NUMREQ"), 0);  // global attributes only
    EXPECT_EQ(r.out.back(), '\n');

    ToolRun one = tmib("-n -o 1 -d " + domain.path() + " GET T_SERVER");
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(count(one.out, "TA_OCCURS"), 1);
    EXPECT_NE(one.out.find("TA_MORE\t2\n"), std::string::npos);

    ToolRun local = tmib("-l -d " + domain.path() + " GET T_SERVER TA_SRVGRP=G1");
    EXPECT_EQ(local.status, 0);
    EXPECT_NE(local.out.find("TA_OCCURS\t2\n"), std::string::npos);
    EXPECT_NE(local.out.find("TA_NUMREQ\t33\n"), std::string::npos);
    EXPECT_EQ(count(local.out, "TA_NUMREQ\t22"), 0);
}

TEST(Tmib, BadArgumentsGiveUsageAndStatusTwo) {
    TempFile domain(kDomain);
    for (const std::string args : {"", "GET", "-o", "-o 0 GET T_SERVER", "-x GET T_SERVER", "SET T_SERVER",
                                   "GET T_SERVER TA_NOSUCH=1", "GET T_SERVER TA_SRVID=abc", "GET T_SERVER novalue"}) {
        ToolRun r = tmib("-d " + domain.path() + " " + args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.err.find("usage: tmib"), std::string::npos) << args;
        EXPECT_EQ(r.out, "") << args;
    }
}

TEST(Tmib, FailedCallsGiveStatusOne) {
    TempFile domain(kDomain);
    ToolRun r = tmib("-d " + domain.path() + " GET T_NOSUCH");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("tperrno 11: " + std::string(tpstrerror(TPESVCFAIL))), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("TA_STATUS: unknown class \"T_NOSUCH\""), std::string::npos) << r.err;

    TempFile bad("classes:\n  T_SERVER: [{TA_SRVID: x}]\n");
    // A domain file that cannot be used at the first join ends the process
    // with status 2 and the one line that says why.
    ToolRun b = tmib("-d " + bad.path() + " GET T_SERVER");
    EXPECT_EQ(b.status, 2);
    EXPECT_EQ(b.err, bad.path() + ":2:25: T_SERVER attribute TA_SRVID: expected an integer, got \"x\"\n");
}

TEST(Tmib, ServesTheDemoDomainByDefault) {
    ToolRun r = tmib("GET T_MACHINE");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("TA_LMID\tSITE1\n"), std::string::npos);
    EXPECT_NE(r.out.find("TA_LMID\tSITE2\n"), std::string::npos);
}

TEST(Tmib, DemoDomainPagesItsServersAndKeepsALogPerMachine) {
    ToolRun first = tmib("-n GET T_SERVER");
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find("TA_OCCURS\t20\n"), std::string::npos);
    EXPECT_NE(first.out.find("TA_MORE\t25\n"), std::string::npos);
    EXPECT_NE(first.out.find("TA_CURSOR\t"), std::string::npos);

    ToolRun all = tmib("GET T_SERVER");
    EXPECT_EQ(count(all.out, "TA_SRVID\t"), 45);

    ToolRun site2 = tmib("GET T_ULOG TA_LMID=SITE2");
    EXPECT_EQ(site2.status, 0) << site2.err;
    EXPECT_GT(count(site2.out, "TA_LMID\tSITE2\n"), 0);
    EXPECT_EQ(count(site2.out, "TA_LMID\t"), count(site2.out, "TA_LMID\tSITE2\n"));
    EXPECT_EQ(count(site2.out, "TA_LMID\t"), count(site2.out, "TA_ULOGMSG\t"));
}

}  // namespace
#endif
