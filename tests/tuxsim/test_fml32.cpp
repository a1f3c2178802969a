// FML32 buffers: values of every type, occurrences, ordering, space limits,
// relocation and damaged buffers.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fml32.h"
#include "const_calls.h"
#include "tuxsim_fml.h"

namespace {

const FLDID32 kShort = Fmkfldid32(FLD_SHORT, 101);
const FLDID32 kLong = Fmkfldid32(FLD_LONG, 102);
const FLDID32 kChar = Fmkfldid32(FLD_CHAR, 103);
const FLDID32 kFloat = Fmkfldid32(FLD_FLOAT, 104);
const FLDID32 kDouble = Fmkfldid32(FLD_DOUBLE, 105);
const FLDID32 kString = Fmkfldid32(FLD_STRING, 106);
const FLDID32 kCarray = Fmkfldid32(FLD_CARRAY, 107);

struct FreeFml {
    void operator()(FBFR32* p) const { std::free(p); }
};
using Fml = std::unique_ptr<FBFR32, FreeFml>;

Fml alloc(FLDOCC32 fields = 32, FLDLEN32 bytes = 1024) { return Fml(Falloc32(fields, bytes)); }

long get_long(FBFR32* b, FLDID32 id, FLDOCC32 oc) {
    long v = -999;
    FLDLEN32 len = sizeof v;
    EXPECT_EQ(1, Fget32(b, id, oc, reinterpret_cast<char*>(&v), &len)) << "occurrence " << oc;
    return v;
}

std::string get_string(FBFR32* b, FLDID32 id, FLDOCC32 oc) {
    char* p = Ffind32(b, id, oc, nullptr);
    return p ? std::string(p) : std::string("<absent>");
}

// Every FML32 call that reads the buffer; each must either work or fail with
// FNOTFLD, and never read outside the block (ASan watches).
void touch_everything(FBFR32* b) {
    for (FLDID32 id : {kShort, kLong, kChar, kFloat, kDouble, kString, kCarray}) {
        char out[64];
        FLDLEN32 len = sizeof out;
        if (Fget32(b, id, 0, out, &len) < 0) {
            EXPECT_TRUE(Ferror32 == FNOTFLD || Ferror32 == FNOTPRES || Ferror32 == FNOSPACE);
        }
        if (Ffind32(b, id, 1, &len) == nullptr) {
            EXPECT_TRUE(Ferror32 == FNOTFLD || Ferror32 == FNOTPRES);
        }
        if (Foccur32(b, id) < 0) {
            EXPECT_EQ(FNOTFLD, Ferror32);
        }
    }
    FLDID32 id = FIRSTFLDID;
    FLDOCC32 oc = 0;
    for (int guard = 0; guard < 1000 && Fnext32(b, &id, &oc, nullptr, nullptr) == 1; ++guard) {
    }
    std::FILE* sink = std::fopen("/dev/null", "w");
    Ffprint32(b, sink);
    std::fclose(sink);
    const long v = 7;
    Fchg32(b, kLong, 3, reinterpret_cast<const char*>(&v), 0);
    Fadd32(b, kShort, reinterpret_cast<const char*>(&v), 0);
    Fdel32(b, kString, 0);
}

TEST(Fml32Ids, IdentifierIsTypeShiftedAboveNumber) {
    EXPECT_EQ(167778172u, Fmkfldid32(FLD_STRING, 6012));  // TA_OPERATION
    EXPECT_EQ(33560443u, Fmkfldid32(FLD_LONG, 6011));     // TA_OCCURS
    EXPECT_EQ(FLD_STRING, Fldtype32(167778172u));
    EXPECT_EQ(6012, Fldno32(167778172u));
    EXPECT_EQ(BADFLDID, Fmkfldid32(7, 1));
    EXPECT_EQ(FTYPERR, Ferror32);
    EXPECT_EQ(BADFLDID, Fmkfldid32(FLD_LONG, 0));
    EXPECT_EQ(FBADFLD, Ferror32);
    EXPECT_EQ(BADFLDID, Fmkfldid32(FLD_LONG, 1u << 25));
}

TEST(Fml32Values, EveryTypeRoundTrips) {
    Fml b = alloc();
    const short s = -1234;
    const long l = 0x7123456789abcdefL;
    const char c = 'Q';
    const float f = 2.5f;
    const double d = -1.0e300;
    const char bytes[] = {'a', '\0', 'b', '\xff'};
    ASSERT_EQ(1, Fchg32(b.get(), kShort, 0, reinterpret_cast<const char*>(&s), 0));
    ASSERT_EQ(1, Fchg32(b.get(), kLong, 0, reinterpret_cast<const char*>(&l), 0));
    ASSERT_EQ(1, Fchg32(b.get(), kChar, 0, &c, 0));
    ASSERT_EQ(1, Fchg32(b.get(), kFloat, 0, reinterpret_cast<const char*>(&f), 0));
    ASSERT_EQ(1, Fchg32(b.get(), kDouble, 0, reinterpret_cast<const char*>(&d), 0));
    ASSERT_EQ(1, Fchg32(b.get(), kString, 0, "hello", 999));  // len ignored for strings
    ASSERT_EQ(1, Fchg32(b.get(), kCarray, 0, bytes, sizeof bytes));

    short s2 = 0;
    long l2 = 0;
    char c2 = 0;
    float f2 = 0;
    double d2 = 0;
    char str[16];
    char arr[16];
    FLDLEN32 len = sizeof s2;
    ASSERT_EQ(1, Fget32(b.get(), kShort, 0, reinterpret_cast<char*>(&s2), &len));
    EXPECT_EQ(s, s2);
    EXPECT_EQ(sizeof(short), len);
    ASSERT_EQ(1, Fget32(b.get(), kLong, 0, reinterpret_cast<char*>(&l2), nullptr));
    EXPECT_EQ(l, l2);
    ASSERT_EQ(1, Fget32(b.get(), kChar, 0, &c2, nullptr));
    EXPECT_EQ(c, c2);
    ASSERT_EQ(1, Fget32(b.get(), kFloat, 0, reinterpret_cast<char*>(&f2), nullptr));
    EXPECT_EQ(f, f2);
    ASSERT_EQ(1, Fget32(b.get(), kDouble, 0, reinterpret_cast<char*>(&d2), nullptr));
    EXPECT_EQ(d, d2);
    len = sizeof str;
    ASSERT_EQ(1, Fget32(b.get(), kString, 0, str, &len));
    EXPECT_STREQ("hello", str);
    EXPECT_EQ(6u, len);
    len = sizeof arr;
    ASSERT_EQ(1, Fget32(b.get(), kCarray, 0, arr, &len));
    ASSERT_EQ(sizeof bytes, len);
    EXPECT_EQ(0, std::memcmp(bytes, arr, len));

    // Ffind32 points at values usable as their C types.
    FLDLEN32 flen = 0;
    auto* lp = reinterpret_cast<long*>(Ffind32(b.get(), kLong, 0, &flen));
    ASSERT_NE(nullptr, lp);
    EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(lp) % alignof(long));
    EXPECT_EQ(l, *lp);
    auto* dp = reinterpret_cast<double*>(Ffind32(b.get(), kDouble, 0, nullptr));
    ASSERT_NE(nullptr, dp);
    EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(dp) % alignof(double));
    EXPECT_EQ(d, *dp);
}

TEST(Fml32Values, EmptyStringAndCarrayAndReplacementOfOtherLength) {
    Fml b = alloc();
    ASSERT_EQ(1, Fchg32(b.get(), kString, 0, "", 0));
    ASSERT_EQ(1, Fchg32(b.get(), kCarray, 0, "x", 0));
    FLDLEN32 len = 99;
    ASSERT_NE(nullptr, Ffind32(b.get(), kCarray, 0, &len));
    EXPECT_EQ(0u, len);
    EXPECT_EQ("", get_string(b.get(), kString, 0));
    const long before = Fused32(b.get());
    ASSERT_EQ(1, Fchg32(b.get(), kString, 0, "a much longer value than before", 0));
    EXPECT_EQ("a much longer value than before", get_string(b.get(), kString, 0));
    ASSERT_EQ(1, Fchg32(b.get(), kString, 0, "", 0));
    EXPECT_EQ(before, Fused32(b.get()));
}

TEST(Fml32Values, BadArgumentsAreRefused) {
    Fml b = alloc();
    const long v = 1;
    EXPECT_EQ(-1, Fchg32(b.get(), BADFLDID, 0, reinterpret_cast<const char*>(&v), 0));
    EXPECT_EQ(FBADFLD, Ferror32);
    EXPECT_EQ(-1, Fchg32(b.get(), (7u << 25) | 5u, 0, reinterpret_cast<const char*>(&v), 0));
    EXPECT_EQ(FTYPERR, Ferror32);
    EXPECT_EQ(-1, Fchg32(b.get(), kLong, -1, reinterpret_cast<const char*>(&v), 0));
    EXPECT_EQ(FEINVAL, Ferror32);
    EXPECT_EQ(-1, Fadd32(b.get(), kLong, static_cast<char*>(nullptr), 0));
    EXPECT_EQ(FEINVAL, Ferror32);
    EXPECT_EQ(-1, Fget32(b.get(), kLong, 0, nullptr, nullptr));
    EXPECT_EQ(FNOTPRES, Ferror32);
    EXPECT_EQ(nullptr, Ffind32(nullptr, kLong, 0, nullptr));
    EXPECT_EQ(FNOTFLD, Ferror32);
    EXPECT_EQ(-1, Fnext32(b.get(), nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(FEINVAL, Ferror32);
}

TEST(Fml32Occurrences, AddChangeDeleteKeepOrder) {
    Fml b = alloc();
    for (long v : {10L, 20L, 30L, 40L}) ASSERT_EQ(1, Fadd32(b.get(), kLong, reinterpret_cast<const char*>(&v), 0));
    EXPECT_EQ(4, Foccur32(b.get(), kLong));
    const long changed = 25;
    ASSERT_EQ(1, Fchg32(b.get(), kLong, 1, reinterpret_cast<const char*>(&changed), 0));
    ASSERT_EQ(1, Fdel32(b.get(), kLong, 2));  // 30 goes, 40 moves up
    EXPECT_EQ(3, Foccur32(b.get(), kLong));
    EXPECT_EQ(10, get_long(b.get(), kLong, 0));
    EXPECT_EQ(25, get_long(b.get(), kLong, 1));
    EXPECT_EQ(40, get_long(b.get(), kLong, 2));
    EXPECT_EQ(-1, Fdel32(b.get(), kLong, 3));
    EXPECT_EQ(FNOTPRES, Ferror32);
    // A null value deletes that occurrence.
    ASSERT_EQ(1, Fchg32(b.get(), kLong, 0, static_cast<char*>(nullptr), 0));
    EXPECT_EQ(2, Foccur32(b.get(), kLong));
    EXPECT_EQ(25, get_long(b.get(), kLong, 0));
    EXPECT_EQ(1, Fchg32(b.get(), kLong, 9, static_cast<char*>(nullptr), 0));  // deleting what is absent changes nothing
    EXPECT_EQ(2, Foccur32(b.get(), kLong));
    EXPECT_EQ(0, Foccur32(b.get(), kShort));
}

TEST(Fml32Occurrences, ChangeBeyondTheLastAddsEmptyOccurrencesBetween) {
    Fml b = alloc();
    ASSERT_EQ(1, Fchg32(b.get(), kString, 0, "first", 0));
    ASSERT_EQ(1, Fchg32(b.get(), kString, 3, "fourth", 0));
    EXPECT_EQ(4, Foccur32(b.get(), kString));
    EXPECT_EQ("first", get_string(b.get(), kString, 0));
    EXPECT_EQ("", get_string(b.get(), kString, 1));
    EXPECT_EQ("", get_string(b.get(), kString, 2));
    EXPECT_EQ("fourth", get_string(b.get(), kString, 3));
    const long v = 5;
    ASSERT_EQ(1, Fchg32(b.get(), kLong, 2, reinterpret_cast<const char*>(&v), 0));
    EXPECT_EQ(0, get_long(b.get(), kLong, 0));
    EXPECT_EQ(0, get_long(b.get(), kLong, 1));
    EXPECT_EQ(5, get_long(b.get(), kLong, 2));
}

TEST(Fml32Occurrences, NextWalksInFieldIdOrderWhateverTheInsertionOrder) {
    Fml b = alloc();
    const long one = 1, two = 2;
    const short s = 3;
    ASSERT_EQ(1, Fadd32(b.get(), kString, "s0", 0));
    ASSERT_EQ(1, Fadd32(b.get(), kLong, reinterpret_cast<const char*>(&one), 0));
    ASSERT_EQ(1, Fadd32(b.get(), kString, "s1", 0));
    ASSERT_EQ(1, Fadd32(b.get(), kShort, reinterpret_cast<const char*>(&s), 0));
    ASSERT_EQ(1, Fadd32(b.get(), kLong, reinterpret_cast<const char*>(&two), 0));
    std::vector<std::pair<FLDID32, FLDOCC32>> seen;
    FLDID32 id = FIRSTFLDID;
    FLDOCC32 oc = 0;
    char value[16];
    FLDLEN32 len = sizeof value;
    while (Fnext32(b.get(), &id, &oc, value, &len) == 1) {
        seen.emplace_back(id, oc);
        len = sizeof value;
    }
    const std::vector<std::pair<FLDID32, FLDOCC32>> want = {
        {kShort, 0}, {kLong, 0}, {kLong, 1}, {kString, 0}, {kString, 1}};
    EXPECT_EQ(want, seen);
    EXPECT_EQ(2, get_long(b.get(), kLong, 1));
    EXPECT_EQ("s1", get_string(b.get(), kString, 1));
    // A destination too small for the next value fails and keeps the position.
    id = kLong;
    oc = 1;
    char tiny[2];
    len = sizeof tiny;
    EXPECT_EQ(-1, Fnext32(b.get(), &id, &oc, tiny, &len));
    EXPECT_EQ(FNOSPACE, Ferror32);
    EXPECT_EQ(kLong, id);
}

TEST(Fml32Space, FullBufferFailsWithNoSpaceAndKeepsItsContent) {
    Fml b = alloc(4, 32);
    const long size = Fsizeof32(b.get());
    ASSERT_GT(size, 0);
    int added = 0;
    for (long v = 0;; ++v) {
        if (Fadd32(b.get(), kLong, reinterpret_cast<const char*>(&v), 0) != 1) break;
        ++added;
        ASSERT_LT(added, 1000);
    }
    EXPECT_EQ(FNOSPACE, Ferror32);
    EXPECT_GE(added, 4);  // Fneeded32 promised room for four longs
    EXPECT_LE(Fused32(b.get()), size);
    EXPECT_EQ(added, Foccur32(b.get(), kLong));
    for (int i = 0; i < added; ++i) EXPECT_EQ(i, get_long(b.get(), kLong, i));
    // Growing an existing value does not fit either, and changes nothing.
    EXPECT_EQ(-1, Fchg32(b.get(), kString, 0, "does not fit", 0));
    EXPECT_EQ(FNOSPACE, Ferror32);
    EXPECT_EQ(-1, Fchg32(b.get(), kLong, 1000000, reinterpret_cast<const char*>(&size), 0));
    EXPECT_EQ(FNOSPACE, Ferror32);
    EXPECT_EQ(added, Foccur32(b.get(), kLong));
}

TEST(Fml32Space, ShortGetDestinationWritesNothingBeyondIt) {
    Fml b = alloc();
    ASSERT_EQ(1, Fchg32(b.get(), kString, 0, "0123456789", 0));
    ASSERT_EQ(1, Fchg32(b.get(), kCarray, 0, "abcdef", 6));
    char dest[16];
    std::memset(dest, '#', sizeof dest);
    FLDLEN32 len = 4;
    EXPECT_EQ(-1, Fget32(b.get(), kString, 0, dest, &len));
    EXPECT_EQ(FNOSPACE, Ferror32);
    for (char ch : dest) EXPECT_EQ('#', ch);
    len = 5;
    EXPECT_EQ(-1, Fget32(b.get(), kCarray, 0, dest, &len));
    EXPECT_EQ(FNOSPACE, Ferror32);
    for (char ch : dest) EXPECT_EQ('#', ch);
    // Without a length the caller vouches for the room: exactly the value's
    // bytes are written.
    ASSERT_EQ(1, Fget32(b.get(), kCarray, 0, dest, nullptr));
    EXPECT_EQ(0, std::memcmp(dest, "abcdef", 6));
    for (std::size_t i = 6; i < sizeof dest; ++i) EXPECT_EQ('#', dest[i]);
}

TEST(Fml32Space, NeededAndAllocGuardTheirArithmetic) {
    EXPECT_EQ(-1, Fneeded32(-1, 10));
    EXPECT_EQ(FEINVAL, Ferror32);
    EXPECT_EQ(-1, Fneeded32(0x7fffffff, 0xffffffffu));
    EXPECT_EQ(FEINVAL, Ferror32);
    EXPECT_EQ(nullptr, Falloc32(0x7fffffff, 0xffffffffu));
    EXPECT_EQ(nullptr, Falloc32(0, 0));
    EXPECT_EQ(FEINVAL, Ferror32);
    // F fields holding V bytes of values fit in Fneeded32(F, V) bytes,
    // whatever the alignment padding.
    const long need = Fneeded32(3, 3);
    std::vector<std::uint64_t> block(static_cast<std::size_t>(need) / 8 + 1);
    auto* b = reinterpret_cast<FBFR32*>(block.data());
    ASSERT_EQ(1, Finit32(b, static_cast<FLDLEN32>(need)));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(1, Fadd32(b, kChar, "x", 0)) << i;
    EXPECT_EQ(-1, Finit32(b, 4));
    EXPECT_EQ(FNOSPACE, Ferror32);
    EXPECT_EQ(-1, Finit32(reinterpret_cast<FBFR32*>(reinterpret_cast<char*>(block.data()) + 1), 64));
    EXPECT_EQ(FALIGNERR, Ferror32);
}

TEST(Fml32Relocation, MemcpyToAnotherAddressAndReallocKeepTheBuffer) {
    Fml b = alloc(8, 128);
    ASSERT_EQ(1, Fchg32(b.get(), kString, 0, "moved", 0));
    const double d = 3.25;
    ASSERT_EQ(1, Fchg32(b.get(), kDouble, 0, reinterpret_cast<const char*>(&d), 0));
    const long size = Fsizeof32(b.get());
    Fml copy(static_cast<FBFR32*>(std::malloc(static_cast<std::size_t>(size))));
    std::memcpy(copy.get(), b.get(), static_cast<std::size_t>(size));
    b.reset();  // the original is gone: nothing in the copy may point into it
    EXPECT_EQ("moved", get_string(copy.get(), kString, 0));
    EXPECT_EQ(d, *reinterpret_cast<double*>(Ffind32(copy.get(), kDouble, 0, nullptr)));

    // Grown by realloc and told its new size, it takes more fields.
    auto* grown = static_cast<FBFR32*>(std::realloc(copy.release(), static_cast<std::size_t>(size) * 4));
    ASSERT_NE(nullptr, grown);
    Fml g(grown);
    ASSERT_EQ(1, tuxsim_Fresize32(g.get(), static_cast<FLDLEN32>(size * 4)));
    EXPECT_EQ(size * 4, Fsizeof32(g.get()));
    for (int i = 0; i < 20; ++i) ASSERT_EQ(1, Fadd32(g.get(), kString, "more and more", 0)) << i;
    EXPECT_EQ("moved", get_string(g.get(), kString, 0));
    EXPECT_EQ(-1, tuxsim_Fresize32(g.get(), 32));
    EXPECT_EQ(FNOSPACE, Ferror32);
}

// Lookups deep into a large buffer, in any order, and after the buffer (or
// bytes copied over its place) changed, find what is there now.
TEST(Fml32Relocation, LookupsFollowEveryChangeAndCopiesOverTheSamePlace) {
    Fml b = alloc(2000, 40000);
    for (long i = 0; i < 500; ++i) {
        ASSERT_EQ(1, Fadd32(b.get(), kLong, reinterpret_cast<const char*>(&i), 0));
        ASSERT_EQ(1, Fadd32(b.get(), kString, i % 2 ? "odd" : "even", 0));
    }
    for (FLDOCC32 oc : {499, 0, 250, 251}) {
        EXPECT_EQ(oc, get_long(b.get(), kLong, oc));
        EXPECT_EQ(oc % 2 ? "odd" : "even", get_string(b.get(), kString, oc));
    }
    EXPECT_EQ(nullptr, Ffind32(b.get(), kLong, 500, nullptr));
    ASSERT_EQ(1, Fdel32(b.get(), kLong, 0));
    EXPECT_EQ(1, get_long(b.get(), kLong, 0));
    EXPECT_EQ(499, get_long(b.get(), kLong, 498));

    // Same header, other bytes: a buffer copied over another's place.
    const long size = Fsizeof32(b.get());
    Fml same(static_cast<FBFR32*>(std::malloc(static_cast<std::size_t>(size))));
    std::memcpy(same.get(), b.get(), static_cast<std::size_t>(size));
    const long seven = 7;
    ASSERT_EQ(1, Fchg32(same.get(), kLong, 10, reinterpret_cast<const char*>(&seven), 0));
    ASSERT_EQ(1, Fchg32(same.get(), kString, 10, "eve!", 0));
    EXPECT_EQ(11, get_long(b.get(), kLong, 10));
    std::memcpy(b.get(), same.get(), static_cast<std::size_t>(size));
    EXPECT_EQ(7, get_long(b.get(), kLong, 10));
    EXPECT_EQ("eve!", get_string(b.get(), kString, 10));
}

// Writes a 32-bit word of the header (0 magic, 1 size, 2 used, 3 last) or of
// the first record (4 id, 5 length).
void poke(FBFR32* b, int word, std::uint32_t value) {
    std::memcpy(reinterpret_cast<char*>(b) + 4 * word, &value, sizeof value);
}

std::uint32_t peek(FBFR32* b, int word) {
    std::uint32_t v;
    std::memcpy(&v, reinterpret_cast<char*>(b) + 4 * word, sizeof v);
    return v;
}

TEST(Fml32Damage, DamagedHeadersAndRecordsAreRefusedWithNotFielded) {
    auto make = [] {
        Fml b = alloc(4, 64);
        EXPECT_EQ(1, Fchg32(b.get(), kString, 0, "abc", 0));
        const long v = 1;
        EXPECT_EQ(1, Fchg32(b.get(), kLong, 0, reinterpret_cast<const char*>(&v), 0));
        return b;
    };
    struct Case {
        const char* what;
        int word;
        std::uint32_t value;
    };
    Fml probe = make();
    const std::uint32_t size = peek(probe.get(), 1);
    const std::uint32_t used = peek(probe.get(), 2);
    const Case cases[] = {
        {"bad magic", 0, 0x12345678},
        {"size below the header", 1, 8},
        {"used beyond the size", 2, size + 8},
        {"used below the header", 2, 0},
        {"used not a record boundary", 2, used - 4},
        {"last beyond used", 3, used + 64},
        {"last pointing inside a record", 3, 20},
        {"first record with a bad type", 4, (9u << 25) | 1u},
        {"first record of field number 0", 4, 0},
        {"length past the end", 5, 0xfffffff0u},
        {"fixed-size value of the wrong length", 5, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fml b = make();
        poke(b.get(), c.word, c.value);
        EXPECT_EQ(nullptr, Ffind32(b.get(), kString, 0, nullptr));
        EXPECT_EQ(FNOTFLD, Ferror32);
        FLDID32 id = FIRSTFLDID;
        FLDOCC32 oc = 0;
        EXPECT_EQ(-1, Fnext32(b.get(), &id, &oc, nullptr, nullptr));
        EXPECT_EQ(FNOTFLD, Ferror32);
        const short s = 1;
        EXPECT_EQ(-1, Fadd32(b.get(), kShort, reinterpret_cast<const char*>(&s), 0));
        EXPECT_EQ(FNOTFLD, Ferror32);
        EXPECT_EQ(-1, Fprint32(b.get()));
        EXPECT_EQ(FNOTFLD, Ferror32);
    }
    // Ffree32 frees only what carries a buffer's header.
    Fml b = make();
    poke(b.get(), 0, 0);
    EXPECT_EQ(-1, Ffree32(b.get()));
    EXPECT_EQ(FNOTFLD, Ferror32);
}

TEST(Fml32Damage, StringWithoutItsTerminatorIsRefused) {
    Fml b = alloc();
    ASSERT_EQ(1, Fchg32(b.get(), kString, 0, "abc", 0));
    char* p = Ffind32(b.get(), kString, 0, nullptr);
    ASSERT_NE(nullptr, p);
    p[3] = 'd';  // overwrite the NUL
    EXPECT_EQ(nullptr, Ffind32(b.get(), kString, 0, nullptr));
    EXPECT_EQ(FNOTFLD, Ferror32);
}

TEST(Fml32Damage, RandomCorruptionNeverReadsOutsideTheBlock) {
    std::mt19937 rng(20260101);
    Fml original = alloc(16, 256);
    const long v = 42;
    const double d = 1.5;
    ASSERT_EQ(1, Fchg32(original.get(), kString, 0, "some text", 0));
    ASSERT_EQ(1, Fchg32(original.get(), kString, 1, "more", 0));
    ASSERT_EQ(1, Fchg32(original.get(), kLong, 0, reinterpret_cast<const char*>(&v), 0));
    ASSERT_EQ(1, Fchg32(original.get(), kDouble, 0, reinterpret_cast<const char*>(&d), 0));
    ASSERT_EQ(1, Fchg32(original.get(), kCarray, 0, "\x01\x02", 2));
    const auto size = static_cast<std::size_t>(Fsizeof32(original.get()));
    const auto used = static_cast<std::size_t>(Fused32(original.get()));
    for (int round = 0; round < 400; ++round) {
        // A fresh heap block of exactly the buffer's size, so that ASan
        // reports any read past its end.
        Fml b(static_cast<FBFR32*>(std::malloc(size)));
        std::memcpy(b.get(), original.get(), size);
        auto* bytes = reinterpret_cast<unsigned char*>(b.get());
        const int flips = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < flips; ++i) bytes[rng() % used] = static_cast<unsigned char>(rng());
        touch_everything(b.get());
    }
    // A used size cut short leaves records outside it: they are not read.
    Fml b(static_cast<FBFR32*>(std::malloc(size)));
    std::memcpy(b.get(), original.get(), size);
    poke(b.get(), 2, 16 + 8);
    touch_everything(b.get());
}

TEST(Fml32Errors, EveryCodeHasATextAndErrorsArePerThread) {
    for (int e = FMINVAL; e <= FEBADOP; ++e) {
        const std::string text = Fstrerror32(e);
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(std::string::npos, text.find("unknown FML32 error")) << e;
    }
    EXPECT_NE(std::string::npos, std::string(Fstrerror32(FEBADOP + 5)).find("25"));
    EXPECT_NE(std::string(Fstrerror32(FNOTFLD)), std::string(Fstrerror32(FNOSPACE)));

    Ferror32 = FMINVAL;
    std::thread other([] {
        EXPECT_EQ(nullptr, Ffind32(nullptr, kLong, 0, nullptr));
        EXPECT_EQ(FNOTFLD, Ferror32);
    });
    other.join();
    EXPECT_EQ(FMINVAL, Ferror32);
}

}  // namespace
