// VIEW32: layouts against the compiler's, null values, conversions from
// FML32 fields, and refused view files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fml32.h"
#include "const_calls.h"
#include "test_fml32_env.h"
#include "tuxsim_fml.h"

namespace {

struct Mixed {
    char c1;
    double d1;
    short s1;
    long l1;
    char str5[5];
    int i1;
    char arr3[3];
    float f1;
    char c2;
};

struct Arrays {
    short s3[3];
    char names[2][7];
    double d2[2];
    char tail;
};

struct Flagged {
    char c;
    short C_str;
    unsigned short L_str[3];
    char str[3][9];
    short C_l;
    long l[2];
    unsigned short L_bytes;
    char bytes[4];
};

struct ShortsOnly {
    short a;
    char b;
};

struct Cross {
    char s_of_long[12];
    char s_of_double[16];
    char s_of_char[4];
    char s_of_carray[8];
    short h_of_long;
    int i_of_string;
    long l_of_double;
    double d_of_string;
    float f_of_long;
    char c_of_short;
    char c_of_string;
    char a_of_string[4];
};

struct Onlyway {
    long to_buffer;
    long none;
    long from_buffer;
};

struct FreeFml {
    void operator()(FBFR32* p) const { Ffree32(p); }
};
using Fml = std::unique_ptr<FBFR32, FreeFml>;

class View32 : public ::testing::Test {
protected:
    void SetUp() override {
        env_.fields("test.fml");
        env_.views("layout.v,convert.v");
    }
    ScopedFmlEnv env_;
};

FLDID32 id(const char* name) {
    const FLDID32 f = Fldid32(name);
    EXPECT_NE(BADFLDID, f) << name;
    return f;
}

template <typename T>
void chg(FBFR32* b, const char* field, FLDOCC32 oc, T value) {
    ASSERT_EQ(1, Fchg32(b, id(field), oc, reinterpret_cast<const char*>(&value), 0)) << field;
}

void chg_text(FBFR32* b, const char* field, FLDOCC32 oc, const std::string& value, FLDLEN32 len = 0) {
    ASSERT_EQ(1, Fchg32(b, id(field), oc, value.data(), len)) << field;
}

#define EXPECT_LAYOUT(S, view, member) \
    EXPECT_EQ(static_cast<long>(offsetof(S, member)), tuxsim_Fvoffset32(view, #member)) << view << "." #member

TEST_F(View32, LayoutMatchesTheCompilersForEveryMemberType) {
    EXPECT_EQ(static_cast<long>(sizeof(Mixed)), tuxsim_Fvsize32("mixed"));
    EXPECT_LAYOUT(Mixed, "mixed", c1);
    EXPECT_LAYOUT(Mixed, "mixed", d1);
    EXPECT_LAYOUT(Mixed, "mixed", s1);
    EXPECT_LAYOUT(Mixed, "mixed", l1);
    EXPECT_LAYOUT(Mixed, "mixed", str5);
    EXPECT_LAYOUT(Mixed, "mixed", i1);
    EXPECT_LAYOUT(Mixed, "mixed", arr3);
    EXPECT_LAYOUT(Mixed, "mixed", f1);
    EXPECT_LAYOUT(Mixed, "mixed", c2);

    EXPECT_EQ(static_cast<long>(sizeof(Arrays)), tuxsim_Fvsize32("arrays"));
    EXPECT_LAYOUT(Arrays, "arrays", s3);
    EXPECT_LAYOUT(Arrays, "arrays", names);
    EXPECT_LAYOUT(Arrays, "arrays", d2);
    EXPECT_LAYOUT(Arrays, "arrays", tail);

    EXPECT_EQ(static_cast<long>(sizeof(Flagged)), tuxsim_Fvsize32("flagged"));
    EXPECT_LAYOUT(Flagged, "flagged", c);
    EXPECT_LAYOUT(Flagged, "flagged", str);
    EXPECT_LAYOUT(Flagged, "flagged", l);
    EXPECT_LAYOUT(Flagged, "flagged", bytes);

    EXPECT_EQ(static_cast<long>(sizeof(ShortsOnly)), tuxsim_Fvsize32("shorts_only"));
    EXPECT_EQ(static_cast<long>(sizeof(Nulls)), tuxsim_Fvsize32("nulls"));
    EXPECT_LAYOUT(Nulls, "nulls", own);
    EXPECT_EQ(static_cast<long>(sizeof(Cross)), tuxsim_Fvsize32("cross"));
    EXPECT_LAYOUT(Cross, "cross", a_of_string);

    EXPECT_EQ(-1, tuxsim_Fvoffset32("mixed", "nosuch"));
    EXPECT_EQ(FNOCNAME, Ferror32);
}

TEST_F(View32, InitWritesExactlyTheStructAndEveryNullValue) {
    // Exactly sizeof(Nulls) on the heap: ASan reports a write past it.
    auto raw = std::make_unique<unsigned char[]>(sizeof(Nulls));
    std::memset(raw.get(), 0xAA, sizeof(Nulls));
    ASSERT_EQ(1, Fvsinit32(reinterpret_cast<char*>(raw.get()), "nulls"));
    Nulls n;
    std::memcpy(&n, raw.get(), sizeof n);
    EXPECT_EQ('x', n.c);
    EXPECT_EQ(-7, n.s);
    EXPECT_EQ(42, n.i);
    EXPECT_EQ(-1L, n.l);
    EXPECT_EQ(1.5f, n.f);
    EXPECT_EQ(2.25, n.d);
    EXPECT_STREQ("no\"ne", n.str);
    EXPECT_EQ(0, std::memcmp(n.arr, "ab\0\0", 4));
    EXPECT_EQ(5, n.own);
    // Padding is zeroed too: the record is the same whatever it held before.
    EXPECT_EQ(0, raw[offsetof(Nulls, c) + 1]);

    Mixed m;
    std::memset(&m, 0x55, sizeof m);
    ASSERT_EQ(1, Fvsinit32(reinterpret_cast<char*>(&m), "mixed"));
    EXPECT_EQ(0, m.c1);
    EXPECT_EQ(0.0, m.d1);
    EXPECT_EQ(0L, m.l1);
    EXPECT_STREQ("", m.str5);
    EXPECT_EQ(0, std::memcmp(m.arr3, "\0\0\0", 3));
    EXPECT_EQ(0, m.c2);
}

TEST_F(View32, FieldsLandInTheirMembersAndAbsentOnesGetTheirNullValue) {
    Fml b(Falloc32(20, 400));
    chg(b.get(), "F_SHORT", 0, short{-300});
    chg(b.get(), "F_LONG", 0, 123456789L);
    chg(b.get(), "F_DOUBLE", 0, 6.5);
    chg_text(b.get(), "F_STRING", 0, "hello");
    Nulls n;
    ASSERT_EQ(1, Fvsinit32(reinterpret_cast<char*>(&n), "nulls"));
    n.own = 999;
    n.c = 'q';  // absent field: gets its null value back
    ASSERT_EQ(1, Fvftos32(b.get(), reinterpret_cast<char*>(&n), "nulls"));
    EXPECT_EQ(-300, n.s);
    EXPECT_EQ(123456789, n.i);
    EXPECT_EQ(123456789L, n.l);
    EXPECT_EQ(6.5, n.d);
    EXPECT_STREQ("hello", n.str);
    EXPECT_EQ('x', n.c);
    EXPECT_EQ(1.5f, n.f);
    EXPECT_EQ(0, std::memcmp(n.arr, "ab\0\0", 4));
    EXPECT_EQ(999, n.own);  // bound to no field: untouched
}

TEST_F(View32, StringsAreCutToTheMemberAndAlwaysTerminated) {
    Fml b(Falloc32(20, 400));
    chg_text(b.get(), "F_STRING", 0, "this is far longer than six");
    chg_text(b.get(), "F_CARRAY", 0, std::string("wxyz!", 5), 5);
    struct Guarded {
        Nulls n;
        char guard[16];
    } g;
    std::memset(&g, '#', sizeof g);
    ASSERT_EQ(1, Fvftos32(b.get(), reinterpret_cast<char*>(&g.n), "nulls"));
    EXPECT_STREQ("this ", g.n.str);
    EXPECT_EQ(0, std::memcmp(g.n.arr, "wxyz", 4));  // carray: no terminator
    for (char ch : g.guard) EXPECT_EQ('#', ch);
}

TEST_F(View32, ConversionsBetweenFieldAndMemberTypes) {
    Fml b(Falloc32(20, 400));
    chg(b.get(), "F_LONG", 0, 70000L);
    chg(b.get(), "F_DOUBLE", 0, 1e30);
    chg(b.get(), "F_SHORT", 0, short{65});
    chg(b.get(), "F_CHAR", 0, 'z');
    chg_text(b.get(), "F_STRING", 0, "123abc");
    chg_text(b.get(), "F_CARRAY", 0, std::string("ab\0cd", 5), 5);
    Cross x;
    ASSERT_EQ(1, Fvsinit32(reinterpret_cast<char*>(&x), "cross"));
    ASSERT_EQ(1, Fvftos32(b.get(), reinterpret_cast<char*>(&x), "cross"));
    EXPECT_STREQ("70000", x.s_of_long);
    EXPECT_EQ(15u, std::strlen(x.s_of_double));  // cut, terminated
    EXPECT_EQ(0, std::strncmp(x.s_of_double, "100000000000000", 15));
    EXPECT_STREQ("z", x.s_of_char);
    EXPECT_STREQ("ab", x.s_of_carray);  // a string ends at the carray's NUL
    EXPECT_EQ(static_cast<short>(70000 - 65536), x.h_of_long);  // narrowed as C narrows
    EXPECT_EQ(123, x.i_of_string);
    EXPECT_EQ(LONG_MAX, x.l_of_double);  // too large for long: clamped
    EXPECT_EQ(123.0, x.d_of_string);
    EXPECT_EQ(70000.0f, x.f_of_long);
    EXPECT_EQ('A', x.c_of_short);
    EXPECT_EQ('1', x.c_of_string);
    EXPECT_EQ(0, std::memcmp(x.a_of_string, "123a", 4));
}

TEST_F(View32, ArraysTakeOccurrencesWithCountAndLengthMembers) {
    Fml b(Falloc32(20, 400));
    chg_text(b.get(), "F_STRING", 0, "one");
    chg_text(b.get(), "F_STRING", 1, "second-is-long");
    chg(b.get(), "F_LONG", 0, 11L);
    chg(b.get(), "F_LONG", 1, 22L);
    chg(b.get(), "F_LONG", 2, 33L);  // one more than the member holds
    chg_text(b.get(), "F_CARRAY", 0, "xy", 2);
    Flagged f;
    ASSERT_EQ(1, Fvsinit32(reinterpret_cast<char*>(&f), "flagged"));
    f.c = 'k';
    ASSERT_EQ(1, Fvftos32(b.get(), reinterpret_cast<char*>(&f), "flagged"));
    EXPECT_EQ(2, f.C_str);
    EXPECT_STREQ("one", f.str[0]);
    EXPECT_STREQ("second-i", f.str[1]);
    EXPECT_STREQ("", f.str[2]);
    EXPECT_EQ(4, f.L_str[0]);
    EXPECT_EQ(9, f.L_str[1]);
    EXPECT_EQ(0, f.L_str[2]);
    EXPECT_EQ(2, f.C_l);
    EXPECT_EQ(11L, f.l[0]);
    EXPECT_EQ(22L, f.l[1]);
    EXPECT_EQ(2, f.L_bytes);
    EXPECT_EQ(0, std::memcmp(f.bytes, "xy\0\0", 4));
    EXPECT_EQ('k', f.c);
}

TEST_F(View32, OneWayFlagsLeaveMembersAlone) {
    Fml b(Falloc32(4, 64));
    chg(b.get(), "F_LONG", 0, 8L);
    Onlyway o{1, 2, 3};
    ASSERT_EQ(1, Fvftos32(b.get(), reinterpret_cast<char*>(&o), "onlyway"));
    EXPECT_EQ(1L, o.to_buffer);
    EXPECT_EQ(2L, o.none);
    EXPECT_EQ(8L, o.from_buffer);
}

TEST_F(View32, UnknownViewsDamagedBuffersAndBadArguments) {
    Fml b(Falloc32(4, 64));
    Mixed m{};
    EXPECT_EQ(-1, Fvsinit32(reinterpret_cast<char*>(&m), "no_such_view"));
    EXPECT_EQ(FBADVIEW, Ferror32);
    EXPECT_EQ(-1, Fvftos32(b.get(), reinterpret_cast<char*>(&m), "no_such_view"));
    EXPECT_EQ(FBADVIEW, Ferror32);
    EXPECT_EQ(-1, Fvsinit32(nullptr, "mixed"));
    EXPECT_EQ(FEINVAL, Ferror32);
    EXPECT_EQ(-1, Fvsinit32(reinterpret_cast<char*>(&m), static_cast<char*>(nullptr)));
    EXPECT_EQ(FEINVAL, Ferror32);

    chg(b.get(), "F_LONG", 0, 8L);
    reinterpret_cast<unsigned char*>(b.get())[20] ^= 0x40;  // the record's length
    Nulls n;
    std::memset(&n, 0x11, sizeof n);
    EXPECT_EQ(-1, Fvftos32(b.get(), reinterpret_cast<char*>(&n), "nulls"));
    EXPECT_EQ(FNOTFLD, Ferror32);
    EXPECT_EQ(0x11, reinterpret_cast<unsigned char*>(&n)[0]);  // left as it was
    reinterpret_cast<unsigned char*>(b.get())[20] ^= 0x40;
}

TEST_F(View32, WithoutViewFilesEveryTxviewFileOfTheDirectoryIsRead) {
    env_.set("VIEWFILES32", nullptr);
    char rec[16];
    EXPECT_EQ(1, Fvsinit32(rec, "txview90"));
    EXPECT_EQ(-1, Fvsinit32(rec, "mixed"));  // layout.v is not a txview file
    EXPECT_EQ(FBADVIEW, Ferror32);
}

TEST_F(View32, ConcurrentFirstUseLoadsOnce) {
    std::vector<std::thread> threads;
    std::vector<int> results(8, 0);
    for (std::size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&results, t] {
            Nulls n;
            results[t] = Fvsinit32(reinterpret_cast<char*>(&n), "nulls") == 1 && n.s == -7;
        });
    }
    for (auto& th : threads) th.join();
    for (int r : results) EXPECT_EQ(1, r);
}

struct BadFile {
    const char* file;
    const char* view;
    int error;
    const char* message;  // part of the one stderr line
};

class View32Bad : public ::testing::TestWithParam<BadFile> {};

TEST_P(View32Bad, IsRefusedWithOneLineNamingFileLineAndExpectation) {
    const BadFile& p = GetParam();
    ScopedFmlEnv env;
    env.fields("test.fml");
    env.views(p.file);
    char rec[64];
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(-1, Fvsinit32(rec, p.view));
    EXPECT_EQ(p.error, Ferror32);
    EXPECT_EQ(-1, Fvsinit32(rec, p.view));  // reported once only
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find(p.file)) << err;
    EXPECT_NE(std::string::npos, err.find(p.message)) << err;
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Files, View32Bad,
    ::testing::Values(BadFile{"bad_type.v", "bad_type", FVFSYNTAX, "line 5: expected a member type"},
                      BadFile{"bad_type.v", "good_before", FVFSYNTAX, "line 5"},
                      BadFile{"bad_dec.v", "bad_dec", FVFSYNTAX, "dec_t"},
                      BadFile{"bad_noend.v", "bad_noend", FVFSYNTAX, "expected END"},
                      BadFile{"bad_size.v", "bad_size", FVFSYNTAX, "line 2: expected a size"},
                      BadFile{"bad_null.v", "bad_null", FVFSYNTAX, "an integer from -32768 to 32767"},
                      BadFile{"bad_huge.v", "bad_huge", FVFSYNTAX, "line 6: expected member sizes adding up to at most 64 MB"},
                      BadFile{"bad_field.v", "bad_field", FBADFLD, "F_NOSUCH is not in the field tables"},
                      BadFile{"no_such_file.v", "any", FVFOPEN, "not found"}),
    [](const ::testing::TestParamInfo<BadFile>& info) { return std::string(info.param.view); });

TEST(View32BadNeighbour, AViewWithAnUnknownFieldDoesNotSpoilItsFile) {
    ScopedFmlEnv env;
    env.fields("test.fml");
    env.views("bad_field.v");
    ::testing::internal::CaptureStderr();
    long rec[2];
    EXPECT_EQ(1, Fvsinit32(reinterpret_cast<char*>(rec), "fine_neighbour"));
    ::testing::internal::GetCapturedStderr();
}

}  // namespace
