// The agent as a real process: banner, join, rows of the clients table as
// JSON Lines, and the orderly logout on an interrupt or termination signal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <atmi.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef ZTAAGENT_PATH

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class AgentProcess : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ztaagent-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::ofstream(dir_ + "/requests.yaml") << "requests:\n"
                                                  "  - name: clients\n"
                                                  "    table: TXCLIENTS\n"
                                                  "    type: report\n"
                                                  "    interval: 1\n";
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        std::system(("rm -rf " + dir_).c_str());
    }

    // Starts the agent with extra environment settings (and no argument:
    // an option does one thing and exits, see test_command_line.py).
    void start(const std::vector<std::string>& env) {
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            const int out = open((dir_ + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = open((dir_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(err, 2);
            setenv("TUXSIM_DOMAIN", AGENT_TEST_DATA "/three_clients.yaml", 1);
            setenv("AGW_CONFIG", (dir_ + "/requests.yaml").c_str(), 1);
            setenv("AGW_OUTPUT", (dir_ + "/rows.jsonl").c_str(), 1);
            unsetenv("AGW_TRACE");
            unsetenv("AGW_TRACE_FILE");
            unsetenv("TUXSIM_FAULTS");
            for (const std::string& e : env) putenv(strdup(e.c_str()));
            char* argv[] = {const_cast<char*>(ZTAAGENT_PATH), nullptr};
            execv(ZTAAGENT_PATH, argv);
            _exit(127);
        }
    }

    // Waits until the row output holds `count` lines, at most 20 seconds.
    bool wait_for_rows(std::size_t count) {
        for (int i = 0; i < 200; ++i) {
            const std::string rows = slurp(dir_ + "/rows.jsonl");
            std::size_t lines = 0;
            for (char c : rows) lines += c == '\n';
            if (lines >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    // Waits until the row output holds a row of each of `tables`, at most 20
    // seconds; `rows` gets the output as last read.
    bool wait_for_tables(const std::vector<std::string>& tables, std::string& rows) {
        for (int i = 0; i < 200; ++i) {
            rows = slurp(dir_ + "/rows.jsonl");
            bool all = true;
            for (const std::string& t : tables) {
                all = all && rows.find("{\"table\":\"" + t + "\",\"request\":\"" + t +
                                       "\",\"row\":{") != std::string::npos;
            }
            if (all) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    // Sends the signal and returns the exit status (-1 when it did not exit
    // normally within 20 seconds).
    int stop_with(int sig) {
        kill(pid_, sig);
        for (int i = 0; i < 200; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return -1;
    }

    // Runs the agent until it has written `rows` rows, ends it with SIGTERM
    // (expecting status 0) and returns its standard error.
    std::string run_until_rows(const std::vector<std::string>& env, std::size_t rows) {
        start(env);
        EXPECT_TRUE(wait_for_rows(rows)) << slurp(dir_ + "/stderr");
        EXPECT_EQ(stop_with(SIGTERM), 0);
        return slurp(dir_ + "/stderr");
    }

    std::string dir_;
    pid_t pid_ = -1;
};

TEST_F(AgentProcess, TerminationGivesTheLogoutAndStatusZero) {
    start({});
    ASSERT_TRUE(wait_for_rows(3)) << slurp(dir_ + "/stderr");
    EXPECT_EQ(stop_with(SIGTERM), 0);

    const std::string out = slurp(dir_ + "/stdout");
    EXPECT_EQ(out.rfind("\nVELTRANE Monitoring Agent for Tuxedo.\n", 0), 0u) << out;
    for (const char* line : {"Product: VMA for Tuxedo\n", "Prefix : ZTA\n", "Version: 300\n",
                             "Driver : 03.00.00\n", "Build Date   : ", "Build Time   : "}) {
        EXPECT_NE(out.find(line), std::string::npos) << line;
    }
    const std::string err = slurp(dir_ + "/stderr");
    EXPECT_NE(err.find("TXWATCHER has joined the Application successfully!\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find("Logging out of Application\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("Logging out of Application"), err.rfind("Logging out of Application"));

    const std::string rows = slurp(dir_ + "/rows.jsonl");
    EXPECT_NE(rows.find("{\"table\":\"TXCLIENTS\",\"request\":\"clients\",\"row\":{"),
              std::string::npos)
        << rows;
    EXPECT_NE(rows.find("\"username\":\"TXWATCHER\""), std::string::npos) << rows;
    EXPECT_NE(rows.find("\"clientname\":\"tpsysadm\""), std::string::npos);
    EXPECT_NE(rows.find("\"username\":\"alice\""), std::string::npos);
}

TEST_F(AgentProcess, InterruptTracesTheSignalAndLogsOutOnce) {
    start({"AGW_TRACE=0x180"});
    ASSERT_TRUE(wait_for_rows(1)) << slurp(dir_ + "/stderr");
    EXPECT_EQ(stop_with(SIGINT), 0);
    const std::string err = slurp(dir_ + "/stderr");
    EXPECT_NE(err.find("Signal captured: SIGINT"), std::string::npos) << err;
    EXPECT_NE(err.find("*** Tuxedo Agent shutting down ***"), std::string::npos) << err;
    EXPECT_EQ(err.find("Logging out of Application\n"), err.rfind("Logging out of Application\n"));
}

TEST_F(AgentProcess, FailedJoinAtStartIsRetriedByTheTableObject) {
    const std::string err = run_until_rows({"TUXSIM_FAULTS=tpinit:1:TPESYSTEM"}, 3);
    const auto failed = err.find("Cannot Log into the Tuxedo Application\n");
    const auto joined = err.find("TXWATCHER has joined the Application successfully!\n");
    ASSERT_NE(failed, std::string::npos) << err;
    ASSERT_NE(joined, std::string::npos) << err;
    EXPECT_LT(failed, joined);
}

TEST_F(AgentProcess, RecoversFromAFailedMibCall) {
    const std::string err = run_until_rows({"TUXSIM_FAULTS=tpcall:1:TPESYSTEM"}, 3);
    const auto failed = err.find("Error: in tpcall\nERROR NO : 12\nError Message : ");
    ASSERT_NE(failed, std::string::npos) << err;
    // Joined at start, left after the failure, joined again for the next sample.
    const std::string joined = "TXWATCHER has joined the Application successfully!\n";
    const auto rejoined = err.find(joined, failed);
    EXPECT_NE(rejoined, std::string::npos) << err;
    EXPECT_LT(err.find(joined), failed);
}

// Without a request file every registered table is sampled at once: the
// servers and machines tables deliver rows in the first sample.
TEST_F(AgentProcess, DefaultRequestsServeTheServersAndMachinesTables) {
    start({"AGW_CONFIG=", "TUXSIM_DOMAIN=" AGENT_TEST_DATA "/servers_machines.yaml"});
    std::string rows;
    EXPECT_TRUE(wait_for_tables({"TXCLIENTS", "TXSERVER", "TXSRVSTAT", "TXMCONF", "TXMSTATS"}, rows))
        << rows;
    EXPECT_EQ(stop_with(SIGTERM), 0);
}

// The same for the group and queue tables.
TEST_F(AgentProcess, DefaultRequestsServeTheGroupAndQueueTables) {
    start({"AGW_CONFIG=", "TUXSIM_DOMAIN=" AGENT_TEST_DATA "/groups_and_queues.yaml"});
    std::string rows;
    EXPECT_TRUE(wait_for_tables({"TXSVRGRP", "TXSYSMQ", "TXSVRQ", "TXQLOAD", "TXSVCGRP"}, rows))
        << rows << slurp(dir_ + "/stderr");
    EXPECT_EQ(stop_with(SIGTERM), 0);
    EXPECT_NE(rows.find("\"routingnm\":\"ACCT_ROUTE\""), std::string::npos);
    EXPECT_NE(rows.find("\"msgrtime\":\"\""), std::string::npos);
}

// A domain down for a while: TXMSTATS gives error rows during the outage
// and machine rows again after it.
TEST_F(AgentProcess, MachineStatisticsReportTheOutageAsErrorRows) {
    std::ofstream(dir_ + "/mstats.yaml") << "requests:\n"
                                            "  - {name: mstats, table: TXMSTATS, interval: 1}\n";
    start({"AGW_CONFIG=" + dir_ + "/mstats.yaml",
           "TUXSIM_DOMAIN=" AGENT_TEST_DATA "/servers_machines.yaml",
           "TUXSIM_FAULTS=down:2:1"});
    std::string rows;
    std::size_t error_row = std::string::npos, after = std::string::npos;
    for (int i = 0; i < 150 && after == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        rows = slurp(dir_ + "/rows.jsonl");
        error_row = rows.find("\"tbxtuxcon\":1");
        if (error_row != std::string::npos) after = rows.find("\"tbxtuxcon\":0", error_row);
    }
    EXPECT_EQ(stop_with(SIGTERM), 0);
    ASSERT_NE(error_row, std::string::npos) << rows;
    EXPECT_NE(after, std::string::npos) << rows;
    EXPECT_NE(rows.find("\"lmid\":\"\",\"curaccess\":0,"), std::string::npos) << rows;
}

// The build record is exported from the binary although nothing calls it.
TEST(AgentBinary, KeepsTheBuildRecord) {
    FILE* nm = popen("nm -D " ZTAAGENT_PATH, "r");
    ASSERT_NE(nm, nullptr);
    std::string symbols;
    char line[512];
    while (std::fgets(line, sizeof line, nm) != nullptr) symbols += line;
    pclose(nm);
    EXPECT_NE(symbols.find(" T wbbld00\n"), std::string::npos) << symbols.substr(0, 2000);
}

TEST_F(AgentProcess, DefaultRequestsServeEveryRegisteredTable) {
    // Without a request file every table is requested.
    start({"AGW_CONFIG=", "TUXSIM_DOMAIN=" AGENT_TEST_DATA "/activity_tables.yaml"});
    std::string rows;
    EXPECT_TRUE(wait_for_tables(
        {"TXCLIENTS", "TXCSTATS", "TXCONV", "TXDOMCFG", "TXBBLCFG", "TXTRANSACT"}, rows))
        << rows;
    EXPECT_EQ(stop_with(SIGTERM), 0);
    EXPECT_NE(rows.find("\"dmclass\":\"T_DOMAIN\""), std::string::npos);
    EXPECT_NE(rows.find("\"pctques\":146"), std::string::npos);
    EXPECT_NE(rows.find("\"gstate\":\"ACTive\""), std::string::npos);
}

// The /Q tables with their rows on standard output, where TXAPPQ also prints
// its replies: every row stays one whole JSON line.
TEST_F(AgentProcess, QueueTablesShareStandardOutputWithPrintedReplies) {
    std::ofstream requests(dir_ + "/requests.yaml");
    requests << "requests:\n";
    for (const char* table : {"TXAPPQ", "TXQMSG", "TXQSPCS", "TXQTRAN"}) {
        requests << "  - {name: " << table << ", table: " << table << ", interval: 1}\n";
    }
    requests.close();
    start({"AGW_OUTPUT=-", "TUXSIM_DOMAIN=" AGENT_TEST_DATA "/queue_spaces.yaml",
           "TXAPPQSPACENAME=QSA;QSB;", "TXQMCONFIG=/q/dev", "TXLMID=SITE1;SITE2;"});
    const std::vector<std::string> tables = {"TXAPPQ", "TXQMSG", "TXQSPCS", "TXQTRAN"};
    auto all_seen = [&](const std::string& out) {
        for (const std::string& t : tables) {
            if (out.find("{\"table\":\"" + t + "\",") == std::string::npos) return false;
        }
        return true;
    };
    std::string out;
    for (int i = 0; i < 200 && !all_seen(out); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        out = slurp(dir_ + "/stdout");
    }
    EXPECT_EQ(stop_with(SIGTERM), 0);
    out = slurp(dir_ + "/stdout");
    ASSERT_TRUE(all_seen(out)) << out << slurp(dir_ + "/stderr");
    EXPECT_NE(out.find("TA_APPQNAME\tORDERS\n"), std::string::npos) << out;

    std::istringstream lines(out);
    std::size_t rows = 0;
    for (std::string line; std::getline(lines, line);) {
        const auto at = line.find("\"table\":");
        if (at == std::string::npos || line.find("\"row\":") == std::string::npos) continue;  // rows only
        ++rows;
        EXPECT_EQ(at, 1u) << line;
        EXPECT_EQ(line.front(), '{') << line;
        EXPECT_EQ(line.back(), '}') << line;
    }
    EXPECT_GE(rows, 6u);  // 3 queues, 2 messages, 2 spaces, 1 transaction at least once
}

// ---- The fault matrix over every table the binary serves ----------------

// The tables the agent binary serves, as agwmain lists them for a request on
// a table nobody serves.
std::vector<std::string> served_tables(const std::string& dir) {
    std::ofstream(dir + "/bogus.yaml") << "requests:\n  - {name: x, table: NOSUCHTABLE}\n";
    const std::string command = "AGW_CONFIG=" + dir + "/bogus.yaml " ZTAAGENT_PATH " 2>&1 >/dev/null";
    FILE* run = popen(command.c_str(), "r");
    std::string out;
    char line[4096];
    while (run != nullptr && std::fgets(line, sizeof line, run) != nullptr) out += line;
    if (run != nullptr) pclose(run);
    std::vector<std::string> tables;
    const auto open = out.find("manager serves (");
    if (open == std::string::npos) return tables;
    std::istringstream list(out.substr(open + 16, out.find(')', open) - open - 16));
    for (std::string t; std::getline(list, t, ',');) {
        t.erase(0, t.find_first_not_of(' '));
        tables.push_back(t);
    }
    return tables;
}

// Lines of the row output that hold a row of `table`, from `from` on.
std::size_t rows_of(const std::string& rows, const std::string& table, std::size_t from = 0) {
    std::size_t n = 0;
    const std::string key = "{\"table\":\"" + table + "\",\"request\"";
    for (auto at = rows.find(key, from); at != std::string::npos; at = rows.find(key, at + 1)) ++n;
    return n;
}

class FaultMatrix : public AgentProcess {
protected:
    // Every served table every second, the /Q tables on the demo domain's
    // two queue spaces, and the situation "self" on the agent's own client
    // (which stays in the domain whatever else happens).
    void SetUp() override {
        AgentProcess::SetUp();
        tables_ = served_tables(dir_);
        ASSERT_GE(tables_.size(), 14u);
        std::ofstream requests(dir_ + "/requests.yaml");
        requests << "requests:\n";
        for (const std::string& t : tables_) requests << "  - {name: " << t << ", table: " << t << ", interval: 1}\n";
        requests << "  - name: self\n    table: TXCLIENTS\n    type: situation\n    interval: 1\n"
                    "    thresholds: [{column: USERNAME, op: EQ, value: TXWATCHER}]\n";
    }
    std::vector<std::string> demo_env(const std::string& faults) {
        return {"TUXSIM_DOMAIN=", "TUXSIM_FAULTS=" + faults, "TXAPPQSPACENAME=QSPACE1;QSPACE2;",
                "TXQMCONFIG=/srv/bank/queues/qdev1;/srv/bank/queues/qdev2;", "TXLMID=SITE1;SITE2;",
                "AGW_OUTPUT=" + dir_ + "/rows.jsonl"};
    }
    // Waits (at most 20 s) until `done(rows)` holds.
    template <class Done>
    std::string wait_until(Done done) {
        std::string rows;
        for (int i = 0; i < 200; ++i) {
            rows = slurp(dir_ + "/rows.jsonl");
            if (done(rows)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return rows;
    }
    // Tables with rows before `at` that have rows after it too.
    void expect_rows_resume(const std::string& rows, std::size_t at) {
        for (const std::string& t : tables_) {
            if (rows_of(rows.substr(0, at), t) > 0) {
                EXPECT_GT(rows_of(rows, t, at), 0u) << t;
            }
        }
    }
    std::vector<std::string> tables_;
};

// Down for three seconds after two: TXMSTATS gives error rows while it is
// down, the join is refused meanwhile, every table's rows resume after, and
// the situation on the agent's own client is raised once and never cleared
// by the samples that could not look.
TEST_F(FaultMatrix, DomainDownForSeveralSamplesAndBack) {
    start(demo_env("down:3:2"));
    const std::string rows = wait_until([](const std::string& r) {
        const auto error_row = r.find("\"tbxtuxcon\":1");
        return error_row != std::string::npos && r.find("\"tbxtuxcon\":0", error_row) != std::string::npos;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a few samples more after the outage
    EXPECT_EQ(stop_with(SIGTERM), 0);
    const std::string all = slurp(dir_ + "/rows.jsonl");
    const std::string err = slurp(dir_ + "/stderr");

    const auto error_row = all.find("\"tbxtuxcon\":1");
    ASSERT_NE(error_row, std::string::npos) << err;
    const auto last_error_row = all.rfind("\"tbxtuxcon\":1");
    EXPECT_GT(rows_of(all.substr(0, error_row), "TXCLIENTS"), 0u);  // rows before the outage kept
    expect_rows_resume(all, all.find('\n', last_error_row));
    EXPECT_NE(err.find("Error: in tpcall\nERROR NO : 12\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Cannot Log into the Tuxedo Application", err.find("Error: in tpcall")), std::string::npos);

    const std::string raised = "{\"situation\":\"self\",\"table\":\"TXCLIENTS\",\"state\":\"raised\"";
    ASSERT_NE(all.find(raised), std::string::npos) << all;
    EXPECT_EQ(all.find(raised), all.rfind(raised));  // exactly once
    EXPECT_EQ(all.find("\"state\":\"cleared\""), std::string::npos);
}

// The join fails at start (retried by the first sample), and a tpalloc fails
// later: its three lines, no crash, rows of every table go on.
TEST_F(FaultMatrix, FailedJoinAtStartAndAFailedAllocation) {
    start(demo_env("tpinit:1:TPESYSTEM,tpalloc:6:TPEOS"));
    const std::string rows = wait_until([&](const std::string& r) { return rows_of(r, "TXMSTATS") >= 6; });
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(stop_with(SIGTERM), 0);
    const std::string err = slurp(dir_ + "/stderr");
    EXPECT_LT(err.find("Cannot Log into the Tuxedo Application"),
              err.find("TXWATCHER has joined the Application successfully!"));
    const auto alloc = err.find("Error: in tpalloc\nERROR NO : " + std::to_string(TPEOS) + "\nError Message : ");
    EXPECT_NE(alloc, std::string::npos) << err;
    const std::string all = slurp(dir_ + "/rows.jsonl");
    for (const std::string& t : tables_) {
        if (t.rfind("TXQ", 0) == 0 || t == "TXAPPQ") continue;  // a queue space may hold nothing
        EXPECT_GT(rows_of(all, t), 0u) << t;
    }
}

// tpcall fails on the first, a middle and the last object of a walk of the
// three clients: the rows before each failure are kept (1 and 2), the
// sample after each failure is whole again (3).
TEST_F(FaultMatrix, FailedCallOnFirstMiddleAndLastObjectOfAWalk) {
    std::ofstream(dir_ + "/requests.yaml") << "requests:\n  - {name: clients, table: TXCLIENTS, interval: 1}\n";
    // Sample 1: call 1 fails (first); 2: calls 2 ok, 3 fails (middle);
    // 3: calls 4-6 ok; 4: calls 7, 8 ok, 9 fails (last); 5: whole.
    start({"TUXSIM_FAULTS=tpcall:1:TPESYSTEM,tpcall:3:TPESYSTEM,tpcall:9:TPESYSTEM"});
    const std::string rows = wait_until([](const std::string& r) { return r.find("\"sampleno\":5,") != std::string::npos; });
    EXPECT_EQ(stop_with(SIGTERM), 0);
    const std::size_t expected[] = {0, 0, 1, 3, 2, 3};
    for (int sample = 1; sample <= 5; ++sample) {
        std::size_t n = 0;
        const std::string key = "\"sampleno\":" + std::to_string(sample) + ",";
        for (auto at = rows.find(key); at != std::string::npos; at = rows.find(key, at + 1)) ++n;
        EXPECT_EQ(n, expected[sample]) << "sample " << sample << "\n" << rows;
    }
    const std::string err = slurp(dir_ + "/stderr");
    std::size_t failures = 0;
    for (auto at = err.find("Error: in tpcall\n"); at != std::string::npos; at = err.find("Error: in tpcall\n", at + 1)) ++failures;
    EXPECT_EQ(failures, 3u) << err;
}

// Views that cannot be found: one line per sample naming the view, and no
// row of nulls delivered.
TEST_F(FaultMatrix, MissingViewsDeliverNoBlankRows) {
    std::ofstream(dir_ + "/requests.yaml") << "requests:\n  - {name: clients, table: TXCLIENTS, interval: 1}\n";
    start({"VIEWDIR32=/nonexistent", "AGW_TRACE=0"});
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(stop_with(SIGTERM), 0);
    // Only the samples' records, each saying the sample was incomplete and why.
    std::istringstream lines(slurp(dir_ + "/rows.jsonl"));
    int records = 0;
    for (std::string line; std::getline(lines, line); ++records) {
        EXPECT_EQ(line.find("\"row\":"), std::string::npos) << line;
        EXPECT_NE(line.find(",\"rows\":0,\"complete\":false,\"reason\":\"view txview01 cannot be used: "),
                  std::string::npos) << line;
    }
    EXPECT_GE(records, 1);
    const std::string err = slurp(dir_ + "/stderr");
    EXPECT_NE(err.find("Error: view txview01 cannot be used: Fvsinit32: "), std::string::npos) << err;
}

// Bytes that are not UTF-8 (and a control character) in a text the domain
// returns: the row line stays valid UTF-8 JSON.
TEST_F(FaultMatrix, NonUtf8TextsFromTheDomainKeepTheRowsValid) {
    std::ofstream(dir_ + "/requests.yaml") << "requests:\n  - {name: clients, table: TXCLIENTS, interval: 1}\n";
    std::string domain = slurp(AGENT_TEST_DATA "/three_clients.yaml");
    const auto at = domain.find("alice");
    ASSERT_NE(at, std::string::npos);
    domain.replace(at, 5, "al\xff" "i\xc3" "ce\x01");
    std::ofstream(dir_ + "/domain.yaml") << domain;
    start({"TUXSIM_DOMAIN=" + dir_ + "/domain.yaml"});
    ASSERT_TRUE(wait_for_rows(3));
    EXPECT_EQ(stop_with(SIGTERM), 0);
    const std::string rows = slurp(dir_ + "/rows.jsonl");
    EXPECT_NE(rows.find("\"username\":\"al\xef\xbf\xbd" "i\xef\xbf\xbd" "ce\\u0001\""), std::string::npos) << rows;
}

// A domain file that cannot be read at the first join is a configuration
// mistake: one line naming it, and the process ends with status 2.
TEST_F(FaultMatrix, ADomainThatCannotBeReadEndsTheRunWithOneLine) {
    std::ofstream(dir_ + "/requests.yaml") << "requests:\n  - {name: clients, table: TXCLIENTS, interval: 1}\n";
    start({"TUXSIM_DOMAIN=/tmp", "AGW_TRACE=0"});
    int status = -1;
    bool ended = false;
    for (int i = 0; i < 200 && !ended; ++i) {
        ended = waitpid(pid_, &status, WNOHANG) == pid_;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(ended) << "the agent is still running";
    pid_ = -1;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    const std::string err = slurp(dir_ + "/stderr");
    const std::string reason = "/tmp: cannot read domain file: ";
    ASSERT_NE(err.find(reason), std::string::npos) << err;
    EXPECT_EQ(err.find(reason), err.rfind(reason)) << err;
}

}  // namespace

#endif  // ZTAAGENT_PATH
