// Field tables (names, bases, errors, defaults) and Fprint32's text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fml32.h"
#include "const_calls.h"
#include "test_fml32_env.h"

namespace {

struct FreeFml {
    void operator()(FBFR32* p) const { Ffree32(p); }
};
using Fml = std::unique_ptr<FBFR32, FreeFml>;

TEST(Fml32Tables, BasesCommentsAndDollarLines) {
    ScopedFmlEnv env;
    env.fields("test.fml");
    EXPECT_EQ(Fmkfldid32(FLD_SHORT, 101), Fldid32("F_SHORT"));
    EXPECT_EQ(Fmkfldid32(FLD_LONG, 102), Fldid32("F_LONG"));
    EXPECT_EQ(Fmkfldid32(FLD_CHAR, 103), Fldid32("F_CHAR"));
    EXPECT_EQ(Fmkfldid32(FLD_FLOAT, 104), Fldid32("F_FLOAT"));
    EXPECT_EQ(Fmkfldid32(FLD_DOUBLE, 105), Fldid32("F_DOUBLE"));
    EXPECT_EQ(Fmkfldid32(FLD_STRING, 106), Fldid32("F_STRING"));
    EXPECT_EQ(Fmkfldid32(FLD_CARRAY, 107), Fldid32("F_CARRAY"));
    EXPECT_EQ(Fmkfldid32(FLD_LONG, 199), Fldid32("F_OTHER"));  // *base 200, number -1
    EXPECT_EQ(Fmkfldid32(FLD_STRING, 202), Fldid32("F_SECOND"));
    EXPECT_STREQ("F_SECOND", Fname32(Fmkfldid32(FLD_STRING, 202)));

    EXPECT_EQ(BADFLDID, Fldid32("F_NOSUCH"));
    EXPECT_EQ(FBADNAME, Ferror32);
    EXPECT_EQ(nullptr, Fname32(Fmkfldid32(FLD_STRING, 102)));  // number known, type not
    EXPECT_EQ(FBADFLD, Ferror32);
}

TEST(Fml32Tables, SeveralTablesAndTheFirstNameWins) {
    ScopedFmlEnv env;
    env.fields(" test.fml , more.fml ");
    EXPECT_EQ(Fmkfldid32(FLD_LONG, 5000), Fldid32("F_MORE"));
    EXPECT_EQ(Fmkfldid32(FLD_LONG, 102), Fldid32("F_LONG"));
    // Directories are searched in order.
    env.fields("more.fml", "/nonexistent:" TUXSIM_TEST_DATA "/fml");
    EXPECT_EQ(Fmkfldid32(FLD_LONG, 5001), Fldid32("F_LONG"));
}

TEST(Fml32Tables, NamesStayValidAcrossAReset) {
    ScopedFmlEnv env;
    env.fields("test.fml");
    const char* name = Fname32(Fmkfldid32(FLD_LONG, 102));
    ASSERT_STREQ("F_LONG", name);
    env.fields("more.fml");
    EXPECT_EQ(BADFLDID, Fldid32("F_SHORT"));
    EXPECT_STREQ("F_LONG", name);  // still readable (ASan checks)
}

TEST(Fml32Tables, DefaultsFindTheStandInsMibTable) {
    ScopedFmlEnv env;
    env.set("FLDTBLDIR32", nullptr);
    env.set("FIELDTBLS32", nullptr);
    EXPECT_EQ(167778172u, Fldid32("TA_OPERATION"));
    EXPECT_EQ(33560443u, Fldid32("TA_OCCURS"));
    EXPECT_STREQ("TA_CLASS", Fname32(167778162u));
}

TEST(Fml32Tables, ConcurrentFirstUseSeesOneTable) {
    ScopedFmlEnv env;
    env.fields("test.fml");
    std::vector<FLDID32> ids(8, BADFLDID);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < ids.size(); ++i) threads.emplace_back([&ids, i] { ids[i] = Fldid32("F_CARRAY"); });
    for (auto& t : threads) t.join();
    for (FLDID32 got : ids) EXPECT_EQ(Fmkfldid32(FLD_CARRAY, 107), got);
}

struct BadTable {
    const char* files;
    int error;
    const char* message;
};

class Fml32BadTable : public ::testing::TestWithParam<BadTable> {};

TEST_P(Fml32BadTable, FailsEveryLookupAndSaysWhereOnce) {
    const BadTable& p = GetParam();
    ScopedFmlEnv env;
    env.fields(p.files);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(BADFLDID, Fldid32("F_OK"));
    EXPECT_EQ(p.error, Ferror32);
    EXPECT_EQ(BADFLDID, Fldid32("F_LONG"));  // the good table is not used either
    EXPECT_EQ(p.error, Ferror32);
    EXPECT_EQ(nullptr, Fname32(Fmkfldid32(FLD_LONG, 101)));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find(p.message)) << err;
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Files, Fml32BadTable,
    ::testing::Values(BadTable{"test.fml,badtype.fml", FFTSYNTAX, "badtype.fml, line 3: expected a field type"},
                      BadTable{"badbase.fml", FFTSYNTAX, "badbase.fml, line 1: expected a base number"},
                      BadTable{"badnumber.fml", FFTSYNTAX, "line 1: expected a field number from 1"},
                      BadTable{"test.fml,missing.fml", FFTOPEN, "missing.fml: not found in"}));

std::string print(FBFR32* b) {
    std::FILE* f = std::tmpfile();
    EXPECT_EQ(1, Ffprint32(b, f));
    std::rewind(f);
    std::string out;
    char chunk[256];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.append(chunk, n);
    std::fclose(f);
    return out;
}

TEST(Fml32Print, OneLinePerOccurrenceInIdOrderThenABlankLine) {
    ScopedFmlEnv env;
    env.fields("test.fml");
    Fml b(Falloc32(20, 512));
    const short s = -5;
    const long l1 = 7, l2 = 8;
    const double d = 2.5;
    ASSERT_EQ(1, Fadd32(b.get(), Fldid32("F_STRING"), "tab\there\\ ok", 0));
    ASSERT_EQ(1, Fadd32(b.get(), Fldid32("F_LONG"), reinterpret_cast<const char*>(&l1), 0));
    ASSERT_EQ(1, Fadd32(b.get(), Fldid32("F_LONG"), reinterpret_cast<const char*>(&l2), 0));
    ASSERT_EQ(1, Fadd32(b.get(), Fldid32("F_SHORT"), reinterpret_cast<const char*>(&s), 0));
    ASSERT_EQ(1, Fadd32(b.get(), Fldid32("F_DOUBLE"), reinterpret_cast<const char*>(&d), 0));
    ASSERT_EQ(1, Fadd32(b.get(), Fldid32("F_CARRAY"), "A\0\x7f\xff", 4));
    ASSERT_EQ(1, Fadd32(b.get(), Fldid32("F_CHAR"), "\n", 0));
    ASSERT_EQ(1, Fadd32(b.get(), Fmkfldid32(FLD_LONG, 9999), reinterpret_cast<const char*>(&l1), 0));
    EXPECT_EQ("F_SHORT\t-5\n"
              "F_LONG\t7\n"
              "F_LONG\t8\n"
              "((FLDID32)33564431)\t7\n"
              "F_CHAR\t\\0a\n"
              "F_DOUBLE\t2.500000\n"
              "F_STRING\ttab\\09here\\\\ ok\n"
              "F_CARRAY\tA\\00\\7f\\ff\n"
              "\n",
              print(b.get()));

    Fml empty(Falloc32(1, 16));
    EXPECT_EQ("\n", print(empty.get()));

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(1, Fprint32(empty.get()));
    EXPECT_EQ("\n", ::testing::internal::GetCapturedStdout());
    EXPECT_EQ(-1, Ffprint32(empty.get(), nullptr));
    EXPECT_EQ(FEINVAL, Ferror32);
}

TEST(Fml32Print, WithoutFieldTablesEveryFieldShowsItsNumber) {
    ScopedFmlEnv env;
    env.fields("missing.fml");
    ::testing::internal::CaptureStderr();
    Fml b(Falloc32(2, 32));
    const long l = 1;
    ASSERT_EQ(1, Fadd32(b.get(), Fmkfldid32(FLD_LONG, 102), reinterpret_cast<const char*>(&l), 0));
    EXPECT_EQ("((FLDID32)33554534)\t1\n\n", print(b.get()));
    ::testing::internal::GetCapturedStderr();
}

}  // namespace
