// Domain files: what is accepted, and a one-line error naming file, line,
// column and what was expected for everything that is not.
#include <cstdio>
#include <regex>

#include "sim_test_util.h"

namespace {

class DomainFile : public SimTest {
protected:
    // The error of loading `yaml`, with the temporary path replaced by "F".
    std::string error_of(const std::string& yaml) {
        serve(yaml);
        std::string err = tuxsim::load_domain();
        const std::string& path = file_->path();
        for (auto pos = err.find(path); pos != std::string::npos; pos = err.find(path)) err.replace(pos, path.size(), "F");
        return err;
    }
};

TEST_F(DomainFile, EachKindOfMistakeIsOneLineWithItsPlace) {
    struct Case {
        const char* yaml;
        const char* expected;
    };
    const Case cases[] = {
        {"classes:\n  T_CLIENT:\n    - {TA_PID: abc}\n",
         "F:3:16: T_CLIENT attribute TA_PID: expected an integer, got \"abc\""},
        {"classes:\n  T_CLIENT:\n    - {TA_PID: \"12\"}\n",
         "F:3:16: T_CLIENT attribute TA_PID: expected an integer, got \"12\""},
        {"classes:\n  T_CLIENT:\n    - TA_CLIENTID: C1\n      TA_BOGUS: 1\n",
         "F:4:7: T_CLIENT attribute TA_BOGUS: not an attribute of T_CLIENT"},
        {"classes:\n  T_MACHINE:\n    - {TA_SRVID: 1}\n",
         "F:3:8: T_MACHINE attribute TA_SRVID: not an attribute of T_MACHINE"},
        {"classes:\n  T_NOSUCH: []\n", "F:2:3: unknown MIB class \"T_NOSUCH\""},
        {"classes:\n  T_CLIENT: [{TA_CLIENTID: [a, b]}]\n",
         "F:2:28: T_CLIENT attribute TA_CLIENTID: expected a string, got a list"},
        {"classes:\n  T_CLIENT: [{TA_CLIENTID: C1, TA_CLIENTID: C2}]\n",
         "F:2:32: T_CLIENT attribute TA_CLIENTID: given twice"},
        {"classes:\n  T_CLIENT: {TA_CLIENTID: C1}\n", "F:2:13: T_CLIENT: expected a list of objects, got a map"},
        {"classes:\n  T_CLIENT: [C1]\n", "F:2:14: T_CLIENT: expected an object (a map of attributes), got \"C1\""},
        {"classes:\n  T_TRANSACTION: [{TA_GRPCOUNT: 2}]\n",
         "F:2:20: T_TRANSACTION attribute TA_GRPCOUNT: computed by the MIB, leave it out"},
        {"classes:\n  T_TRANSACTION: [{TA_GRPNO: [1, 2], TA_GSTATE: [ACTive]}]\n",
         "F:2:49: T_TRANSACTION attribute TA_GSTATE: expected 2 values, one per group as in TA_GRPNO, got 1"},
        {"classes:\n  T_CLIENT: [{TA_CLIENTID: C1\n", nullptr},  // syntax: checked below
        {"clases: {}\n", "F:1:1: unknown section \"clases\": expected classes, activity, faults, quirks, security, "
                          "local_lmid, batch or call_cost_us"},
        {"- a\n- b\n",
         "F:1:1: expected a map with the sections classes, activity, faults, quirks, security, local_lmid, batch, "
         "call_cost_us"},
        {"batch: 0\n", "F:1:8: batch: expected objects per reply from 1 to 100000, got \"0\""},
        {"call_cost_us: -5\n", "F:1:15: call_cost_us: expected microseconds per call from 0 to 1000000, got \"-5\""},
        {"activity: {seed: -1}\n", "F:1:18: activity seed: expected a whole number from 0, got \"-1\""},
        {"activity: {ulog: 2}\n", "F:1:18: activity ulog: expected a chance from 0 to 1, got \"2\""},
        {"faults: [\"tpcall:x:TPESYSTEM\"]\n",
         "F:1:10: faults: fault \"tpcall:x:TPESYSTEM\": call number must be a whole number from 1"},
        {"local_lmid: SITE9\nclasses: {T_MACHINE: [{TA_LMID: SITE1}]}\n",
         "F:1:13: local_lmid: no T_MACHINE has TA_LMID \"SITE9\""},
        {"security: {level: APP_PW}\n", "F:1:11: security: level APP_PW and USER_AUTH need an app_password"},
        {"security: {level: ACL, app_password: x}\n",
         "F:1:19: security level: expected NONE, APP_PW or USER_AUTH, got \"ACL\""},
        {"security: {level: APP_PW, app_password: x, users: {u: p}}\n",
         "F:1:51: security users: only level USER_AUTH checks users' passwords"},
        {"classes:\n  T_GROUP: [{TA_SRVGRP: ~}]\n",
         "F:2:25: T_GROUP attribute TA_SRVGRP: expected a string, got nothing (write \"\" for an empty string)"},
    };
    for (const Case& c : cases) {
        const std::string err = error_of(c.yaml);
        EXPECT_EQ(err.find('\n'), std::string::npos) << err;
        if (c.expected) {
            EXPECT_EQ(err, c.expected) << c.yaml;
        } else {
            EXPECT_TRUE(std::regex_match(err, std::regex("F:[0-9]+:[0-9]+: syntax error: .+"))) << err;
        }
    }
}

TEST_F(DomainFile, MissingFileIsNamed) {
    tuxsim::use_domain_file("/nonexistent/dir/demo.yaml");
    EXPECT_EQ(tuxsim::load_domain(), "/nonexistent/dir/demo.yaml: cannot read domain file: No such file or directory");
}

TEST_F(DomainFile, TpinitFailsWithTheLineOnStandardError) {
    serve("classes:\n  T_CLIENT:\n    - {TA_PID: abc}\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(tpinit(nullptr), -1);
    EXPECT_EQ(tperrno, TPESYSTEM);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, file_->path() + ":3:16: T_CLIENT attribute TA_PID: expected an integer, got \"abc\"\n");
    EXPECT_EQ(tuxsim::own_client_id(), "");
}

TEST_F(DomainFile, ValuesFollowTheirFieldTypes) {
    serve(R"(
classes:
  T_MACHINE:
    - &m {TA_LMID: "007", TA_PERM: 0660, TA_UID: 0x1F, TA_GID: -5, TA_PMID: 12}
    - <<: *m
      TA_LMID: M2
)");
    join();
    MibCall m;
    ASSERT_EQ(m.get("T_MACHINE").call(), 0);
    EXPECT_EQ(m.str("TA_LMID"), "007");
    EXPECT_EQ(m.num("TA_PERM"), 0660);
    EXPECT_EQ(m.num("TA_UID"), 31);
    EXPECT_EQ(m.num("TA_GID"), -5);
    EXPECT_EQ(m.str("TA_PMID"), "12");  // a string field takes any scalar
    // Merge keys copy what the object does not give itself.
    EXPECT_EQ(m.str("TA_LMID", 1), "M2");
    EXPECT_EQ(m.num("TA_PERM", 1), 0660);
}

// Anchors let a small file ask for endless work: maps merging the one before
// them (twice, doubling at each step) and lists nested thousands deep. Both
// are refused with one line instead of hanging or exhausting the stack.
TEST_F(DomainFile, MergesAndNestingAreBounded) {
    auto chain = [](int objects, const char* merge) {
        std::string yaml = "classes:\n  T_MACHINE:\n    - &a0 {TA_LMID: M0}\n";
        for (int i = 1; i < objects; ++i) {
            const std::string prev = "*a" + std::to_string(i - 1);
            char line[128];
            std::snprintf(line, sizeof line, merge, i, prev.c_str(), prev.c_str());
            yaml += line;
        }
        return yaml;
    };
    // Object 64 merges 64 maps through the chain: still read.
    EXPECT_EQ(error_of(chain(65, "    - &a%d {<<: %s}\n")), "");
    EXPECT_NE(error_of(chain(66, "    - &a%d {<<: %s}\n")).find("more than 64 maps merged into one object"),
              std::string::npos);
    EXPECT_NE(error_of(chain(40, "    - &a%d {<<: [%s, %s]}\n")).find("more than 64 maps merged into one object"),
              std::string::npos);
    const std::string deep = "classes: " + std::string(3000, '[') + std::string(3000, ']') + "\n";
    EXPECT_TRUE(std::regex_match(error_of(deep), std::regex("F:1:[0-9]+: syntax error: lists and maps nested too deeply")))
        << error_of(deep);
}

TEST_F(DomainFile, IntegersOutOfRangeAreRefused) {
    EXPECT_NE(error_of("classes: {T_CLIENT: [{TA_PID: 99999999999999999999}]}\n").find("expected an integer"),
              std::string::npos);
}

TEST_F(DomainFile, TheDemoDomainLoadsWithEveryClass) {
    tuxsim::use_domain_file(TUXSIM_DOMAINS_DIR "/demo.yaml");
    ASSERT_EQ(tuxsim::load_domain(), "");
    for (const char* cls : {"T_CLIENT", "T_CONN", "T_DOMAIN", "T_GROUP", "T_MACHINE", "T_MSG", "T_QUEUE", "T_SERVER",
                            "T_SVCGRP", "T_TRANSACTION", "T_ULOG", "T_APPQ", "T_APPQMSG", "T_APPQSPACE",
                            "T_APPQTRANS"}) {
        EXPECT_GT(tuxsim::object_count(cls), 0u) << cls;
    }
    EXPECT_EQ(tuxsim::object_count("T_MACHINE"), 4u);
    EXPECT_EQ(tuxsim::object_count("T_SERVER"), 45u);
    EXPECT_EQ(tuxsim::object_count("T_APPQSPACE"), 3u);
}

}  // namespace
