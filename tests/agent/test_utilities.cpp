// WB timestamps of given times and the token walk over separator lists.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "scoped_tz.h"
#include "zta_agent.h"
#include "zta_util.h"

namespace {

using test_support::ScopedTz;

std::string wb(std::int64_t seconds) {
    char buf[ZTA_WBTIME_BUF];
    std::memset(buf, 'x', sizeof buf);
    secondstoWBtime(seconds, buf);
    EXPECT_EQ(buf[16], '\0');
    return buf;
}

TEST(WbTime, EpochEastAndWestOfGreenwich) {
    {
        ScopedTz tz("UTC0");
        EXPECT_EQ(wb(0), "0700101000000000");
    }
    {
        ScopedTz tz("EST5");  // west: still 1969 locally
        EXPECT_EQ(wb(0), "0691231190000000");
    }
    {
        ScopedTz tz("JST-9");  // east
        EXPECT_EQ(wb(0), "0700101090000000");
    }
}

TEST(WbTime, CenturyDigitFollowsTheLocalYearAround2000) {
    const std::int64_t y2k = 946684800;  // 2000-01-01 00:00:00 UTC
    {
        ScopedTz tz("UTC0");
        EXPECT_EQ(wb(y2k), "1000101000000000");
        EXPECT_EQ(wb(y2k - 1), "0991231235959000");
    }
    {
        ScopedTz tz("CET-1");  // already 2000 locally
        EXPECT_EQ(wb(y2k), "1000101010000000");
    }
    {
        ScopedTz tz("PST8");  // still 1999 locally
        EXPECT_EQ(wb(y2k), "0991231160000000");
    }
}

TEST(WbTime, SixtyFourBitTimesDoNotWrapIn2038) {
    ScopedTz tz("UTC0");
    // 2038-01-19 03:14:08 UTC, one second past the 32-bit limit.
    EXPECT_EQ(wb(2147483648LL), "1380119031408000");
    EXPECT_EQ(wb(4102444800LL), "2000101000000000");  // 2100-01-01: the next century digit
}

TEST(WbTime, NegativeTimesGiveCenturyDigitZero) {
    ScopedTz tz("UTC0");
    EXPECT_EQ(wb(-1), "0691231235959000");
    EXPECT_EQ(wb(-2208988800LL), "0000101000000000");  // 1900-01-01
    EXPECT_EQ(wb(-2208988801LL), "0000000000000000");  // 1899: before the first century
    // Beyond what the C library converts: sixteen zeros, never garbage.
    EXPECT_EQ(wb(INT64_MAX), "0000000000000000");
}

struct Walk {
    std::string token;
    bool more;
    int position;
};

Walk next(const char* list, int& position, std::size_t outsize = 256) {
    char out[256];
    std::memset(out, 0, sizeof out);
    const char* sep = GetQueueString(list, ';', out, outsize, position);
    if (sep != nullptr) {
        EXPECT_EQ(*sep, ';');
    }
    return {out, sep != nullptr, position};
}

TEST(QueueString, TwoNamesEachFollowedByTheSeparator) {
    const char* list = "QS1;QS2;";
    int pos = 0;
    Walk a = next(list, pos);
    EXPECT_EQ(a.token, "QS1");
    EXPECT_TRUE(a.more);
    EXPECT_EQ(a.position, 4);
    Walk b = next(list, pos);
    EXPECT_EQ(b.token, "QS2");
    EXPECT_TRUE(b.more);
    Walk c = next(list, pos);
    EXPECT_EQ(c.token, "");
    EXPECT_FALSE(c.more);
    EXPECT_EQ(pos, 0);
    // The next walk starts over.
    EXPECT_EQ(next(list, pos).token, "QS1");
}

TEST(QueueString, EmptyTokensAndListsWithoutSeparator) {
    int pos = 0;
    EXPECT_EQ(next("A;;B", pos).token, "A");
    Walk empty = next("A;;B", pos);
    EXPECT_EQ(empty.token, "");
    EXPECT_TRUE(empty.more);
    Walk last = next("A;;B", pos);
    EXPECT_EQ(last.token, "B");
    EXPECT_FALSE(last.more);

    pos = 0;
    Walk whole = next("/q/dev", pos);
    EXPECT_EQ(whole.token, "/q/dev");
    EXPECT_FALSE(whole.more);
    EXPECT_EQ(pos, 0);
}

TEST(QueueString, NeverWritesPastTheOutputBuffer) {
    std::string longname(300, 'q');
    std::string list = longname + ";" + longname;
    char out[16 + 8];
    std::memset(out, '#', sizeof out);
    int pos = 0;
    EXPECT_NE(GetQueueString(list.c_str(), ';', out, 16, pos), nullptr);
    EXPECT_EQ(std::string(out), std::string(15, 'q'));  // cut and terminated
    for (std::size_t i = 16; i < sizeof out; ++i) EXPECT_EQ(out[i], '#');
    EXPECT_EQ(pos, 301);  // the walk still moves past the whole token
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(GetQueueString(list.c_str(), ';', out, 16, pos), nullptr);
    EXPECT_EQ(std::strlen(out), 15u);
    EXPECT_EQ(out[16], '#');
    // A position outside the list yields nothing and starts over.
    pos = 10000;
    EXPECT_EQ(GetQueueString("A;", ';', out, 16, pos), nullptr);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(pos, 0);
}

TEST(BlankFill, PadsWithoutTerminatorAndCutsAtWidth) {
    char field[8];
    std::memset(field, 'x', sizeof field);
    zta_blankfill(field, 6, "ab");
    EXPECT_EQ(std::string(field, 8), "ab    xx");
    zta_blankfill(field, 6, "abcdefgh");
    EXPECT_EQ(std::string(field, 8), "abcdefxx");
    zta_blankfill(field, 6, "");
    EXPECT_EQ(std::string(field, 6), "      ");
}

TEST(BuildRecord, EighteenTextsFilledAtBuildTime) {
    const wbbld_record* record = nullptr;
    wbbld00(&record);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->count, 18);
    EXPECT_EQ(record->reserved, 0);
    EXPECT_STRNE(record->texts[0], "");  // build date
    EXPECT_STREQ(record->texts[2], "wbbld00");
    EXPECT_STREQ(record->texts[14], "1");
    for (int i : {3, 4, 5, 12, 13, 15}) EXPECT_STREQ(record->texts[i], "") << i;
    EXPECT_STRNE(record->texts[9], "");  // operating-system name
    ASSERT_NE(record->list, nullptr);
    EXPECT_EQ(record->list[0], nullptr);
}

}  // namespace

TEST(Percent, ExactHundredthsTruncatedAndUnclamped) {
    EXPECT_EQ(zta_percent_hundredths(12, 50), 2400);
    EXPECT_EQ(zta_percent_hundredths(3, 50), 600);
    EXPECT_EQ(zta_percent_hundredths(7, 10), 7000);
    EXPECT_EQ(zta_percent_hundredths(2, 3), 6666);
    EXPECT_EQ(zta_percent_hundredths(1, 3), 3333);
    EXPECT_EQ(zta_percent_hundredths(120, 8192), 146);
    EXPECT_EQ(zta_percent_hundredths(50, 50), 10000);
    EXPECT_EQ(zta_percent_hundredths(5, 0), 0);
    EXPECT_EQ(zta_percent_hundredths(0, 0), 0);
    // A current value above its maximum shows above 100 %.
    EXPECT_EQ(zta_percent_hundredths(60, 50), 12000);
}

TEST(Percent, SaturatesToThirtyTwoBitsWithoutOverflow) {
    EXPECT_EQ(zta_percent_hundredths(300000, 1), INT32_MAX);
    EXPECT_EQ(zta_percent_hundredths(-300000, 1), INT32_MIN);
    EXPECT_EQ(zta_percent_hundredths(INT64_MAX, 1), INT32_MAX);
    EXPECT_EQ(zta_percent_hundredths(INT64_MIN, -1), INT32_MAX);
    EXPECT_EQ(zta_percent_hundredths(INT64_MAX, INT64_MAX), 10000);
    // Truncation is toward zero for a negative quotient.
    EXPECT_EQ(zta_percent_hundredths(-2, 3), -6666);
}

TEST(OctalDigits, PermissionsReadAsTheirOctalDigits) {
    EXPECT_EQ(zta_octal_digits(0660), 660);
    EXPECT_EQ(zta_octal_digits(0666), 666);
    EXPECT_EQ(zta_octal_digits(0), 0);
    EXPECT_EQ(zta_octal_digits(07777), 7777);
    EXPECT_EQ(zta_octal_digits(-0660), -660);
    // Ten octal digits and more leave the 32-bit range: saturated.
    EXPECT_EQ(zta_octal_digits(07777777777), 2147483647);
    EXPECT_EQ(zta_octal_digits(INT64_MAX), INT32_MAX);
    EXPECT_EQ(zta_octal_digits(INT64_MIN), INT32_MIN);
    EXPECT_EQ(zta_octal_digits(01777777777), 1777777777);
}
