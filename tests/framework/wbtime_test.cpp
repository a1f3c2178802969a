// The WB timestamp at the edges of its century rule: made from a moment or
// from fields, read back to the same moment, nothing made or read outside
// 1900..2899.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "scoped_tz.h"
#include "wbtime.h"

namespace {

using zcommon::WbTimeFields;

std::string FromEpoch(std::int64_t seconds, int milliseconds) {
    char out[zcommon::kWbTimeBufferSize];
    zcommon::MakeWbTimeFromEpoch(seconds, milliseconds, out);
    return std::string(out);
}

std::string FromFields(const WbTimeFields& fields) {
    char out[zcommon::kWbTimeBufferSize];
    zcommon::MakeWbTime(fields, out);
    return std::string(out);
}

TEST(WbTimeUnit, CenturyDigitAtItsEdgesAndMomentsReadBack) {
    test_support::ScopedTz tz("UTC0");
    const struct {
        std::int64_t seconds;
        const char* stamp;
        const char* readable;
    } moments[] = {
        {-2208988800LL, "0000101000000123", "1900-01-01 00:00:00"},   // the first moment
        {946684799, "0991231235959123", "1999-12-31 23:59:59"},
        {946684800, "1000101000000123", "2000-01-01 00:00:00"},
        {2147483648LL, "1380119031408123", "2038-01-19 03:14:08"},    // past the 32-bit time_t
        {29348006399LL, "9991231235959123", "2899-12-31 23:59:59"},   // the last moment
    };
    for (const auto& m : moments) {
        EXPECT_EQ(FromEpoch(m.seconds, 123), m.stamp);
        double seconds = 0;
        ASSERT_TRUE(zcommon::WbTimeToEpochSeconds(m.stamp, &seconds)) << m.stamp;
        EXPECT_DOUBLE_EQ(seconds, static_cast<double>(m.seconds) + 0.123) << m.stamp;
        EXPECT_EQ(zcommon::WbTimeReadable(m.stamp), m.readable);
    }
    // Local time: the same moment is still 1999 west of Greenwich.
    test_support::ScopedTz west("PST8");
    EXPECT_EQ(FromEpoch(946684800, 0), "0991231160000000");
    double seconds = 0;
    ASSERT_TRUE(zcommon::WbTimeToEpochSeconds("0991231160000000", &seconds));
    EXPECT_DOUBLE_EQ(seconds, 946684800.0);
}

TEST(WbTimeUnit, NothingOutsideTheRuleIsMadeOrRead) {
    test_support::ScopedTz tz("UTC0");
    const std::string none(16, '0');
    EXPECT_EQ(FromEpoch(29348006400LL, 0), none);   // 2900-01-01
    EXPECT_EQ(FromEpoch(-2208988801LL, 0), none);   // 1899-12-31 23:59:59
    EXPECT_EQ(FromEpoch(INT64_MAX, 0), none);       // beyond the C library
    EXPECT_EQ(FromEpoch(0, 1000), none);
    EXPECT_EQ(FromFields({2900, 1, 1, 0, 0, 0, 0}), none);
    EXPECT_EQ(FromFields({1899, 12, 31, 23, 59, 59, 0}), none);
    EXPECT_EQ(FromFields({2023, 2, 29, 12, 0, 0, 0}), none);   // not a leap year
    EXPECT_EQ(FromFields({2024, 2, 29, 12, 0, 0, 7}), "1240229120000007");
    EXPECT_EQ(FromFields({1990, 6, 1, 24, 0, 0, 0}), none);
    EXPECT_EQ(FromFields({}), none);

    WbTimeFields fields{1, 2, 3, 4, 5, 6, 7};
    for (const char* bad : {"", "                ", "0000000000000000", "1241301120000000", "1230229120000000",
                            "1240101240000000", "124010112000", "12401011200x0000", "12401011200000000"}) {
        EXPECT_FALSE(zcommon::ReadWbTime(bad, &fields)) << bad;
        EXPECT_EQ(zcommon::WbTimeReadable(bad), "") << bad;
    }
    EXPECT_EQ(fields.year, 1);  // untouched by a refusal
}

}  // namespace
