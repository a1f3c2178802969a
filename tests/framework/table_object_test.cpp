// Row storage, stamping and thresholds of table objects.
#include <gtest/gtest.h>

#include <climits>

#include "agw_internal.h"
#include "test_table.h"

namespace {

RequestDetail Request(std::vector<AgwThreshold> thresholds = {}) {
    RequestDetail request;
    request.name = "q";
    request.table = "TSTQUEUE";
    request.thresholds = std::move(thresholds);
    return request;
}

TEST(RowBlock, GrowsByTheAllocationDefaultAndClearCountKeepsStorage) {
    RequestDetail request = Request();
    TstObject object(&request, nullptr, nullptr);
    EXPECT_EQ(object.NumRowsAllocated(), 0u);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(object.AddRow(MakeRow("Q", i, "ON")), 0);
    EXPECT_EQ(object.NumDataItems(), 5u);
    EXPECT_EQ(object.NumRowsAllocated(), 8u);  // two steps of four
    for (int i = 0; i < 5; ++i) EXPECT_EQ(object.Row(i)->depth, i);

    const char* block = object.Data(0);
    object.ClearCount();
    EXPECT_EQ(object.NumDataItems(), 0u);
    EXPECT_EQ(object.NumRowsAllocated(), 8u);
    for (int i = 0; i < 8; ++i) ASSERT_EQ(object.AddRow(MakeRow("R", 10 + i, "ON")), 0);
    EXPECT_EQ(object.Data(0), block);  // refilled in place, no new block
    EXPECT_EQ(object.NumRowsAllocated(), 8u);
    EXPECT_EQ(object.Row(7)->depth, 17);
}

TEST(RowBlock, CopiesTheRowSoTheCallerMayReuseIt) {
    TstObject object(nullptr, nullptr, nullptr);
    tst_row row = MakeRow("A", 1, "ON");
    ASSERT_EQ(object.InsertRow(reinterpret_cast<char*>(&row)), 0);
    row.depth = 99;
    EXPECT_EQ(object.Row(0)->depth, 1);
}

TEST(RowBlock, RefusesRowsWithoutARowSizeAndDropsRowsWhenTheSizeChanges) {
    TstObject object(nullptr, nullptr, nullptr);
    tst_row row = MakeRow("A", 1, "ON");
    object.SetRowSize(0);
    EXPECT_EQ(object.InsertRow(reinterpret_cast<char*>(&row)), AGW_STATUS_NO_ROW_SIZE);
    EXPECT_EQ(object.InsertRow(nullptr), AGW_STATUS_BAD_ARGUMENT);
    object.SetRowSize(sizeof row);
    ASSERT_EQ(object.InsertRow(reinterpret_cast<char*>(&row)), 0);
    object.SetRowSize(sizeof row - 4);
    EXPECT_EQ(object.NumDataItems(), 0u);
    EXPECT_EQ(object.NumRowsAllocated(), 0u);
}

TEST(RowBlock, StampsSampleNumberAndRowIndex) {
    TstObject object(nullptr, nullptr, nullptr);
    object.BeginSample();
    object.AddRow(MakeRow("A", 1, "ON"));
    object.AddRow(MakeRow("B", 2, "ON"));
    EXPECT_EQ(object.Row(0)->sampleno, 1);
    EXPECT_EQ(object.Row(0)->rowno, 0);
    EXPECT_EQ(object.Row(1)->sampleno, 1);
    EXPECT_EQ(object.Row(1)->rowno, 1);
    object.ClearCount();
    object.BeginSample();
    object.AddRow(MakeRow("C", 3, "ON"));
    EXPECT_EQ(object.Row(0)->sampleno, 2);
    EXPECT_EQ(object.Row(0)->rowno, 0);
    EXPECT_EQ(object.Row(0)->depth, 3);  // the rest of the row is untouched
}

TEST(RowBlock, ShortRowsAreNotStamped) {
    TstObject object(nullptr, nullptr, nullptr);
    object.SetRowSize(70);
    char row[70];
    std::memset(row, 'x', sizeof row);
    object.BeginSample();
    ASSERT_EQ(object.InsertRow(row), 0);
    EXPECT_EQ(std::memcmp(object.Data(0), row, sizeof row), 0);
}

TEST(TableObject, TakesTypeAndIntervalFromTheRequestAndGivesMilliseconds) {
    RequestDetail request = Request();
    request.type = AGW_SAMPLE_SITUATION_REQUEST;
    request.interval = 30;
    TstObject object(&request, nullptr, nullptr);
    EXPECT_EQ(object._get_sampletype(), AGW_SAMPLE_SITUATION_REQUEST);
    EXPECT_EQ(object._get_interval(), 30000);
    object._set_sampletype(AGW_SAMPLE_SITUATION);
    object._set_interval(120);
    EXPECT_EQ(object.Interval(), 120);
    EXPECT_EQ(object._get_interval(), 120000);
    EXPECT_EQ(object.RequestType(), AGW_SAMPLE_SITUATION_REQUEST);  // the request stays what it was
    object._set_interval(INT_MAX);
    EXPECT_EQ(object._get_interval(), INT_MAX);
    object._set_interval(INT_MIN);
    EXPECT_EQ(object._get_interval(), INT_MIN);
}

// Per operator, whether "field op threshold" holds when the field is greater
// than, equal to and less than the threshold.
using OperatorCase = std::tuple<IntfOper, bool, bool, bool>;
const OperatorCase kOperatorCases[] = {
    {EQ, false, true, false}, {NE, true, false, true}, {LT, false, false, true},
    {LE, false, true, true},  {GT, true, false, false}, {GE, true, true, false},
};

class IntegerOperators : public ::testing::TestWithParam<OperatorCase> {};

// For value 5 against thresholds 4, 5 and 6: whether the operator holds.
TEST_P(IntegerOperators, CompareTheValueWithTheThreshold) {
    auto [op, vs4, vs5, vs6] = GetParam();
    TstObject object(nullptr, nullptr, nullptr);
    EXPECT_EQ(object.IsException(op, 5L, "4") != 0, vs4);
    EXPECT_EQ(object.IsException(op, 5L, "5") != 0, vs5);
    EXPECT_EQ(object.IsException(op, 5L, "+6") != 0, vs6);
    EXPECT_EQ(object.IsException(op, -5L, "-5") != 0, vs5);
}

INSTANTIATE_TEST_SUITE_P(All, IntegerOperators, ::testing::ValuesIn(kOperatorCases));

TEST(IntegerThreshold, OnlyAStrictDecimalIntegerEverHolds) {
    TstObject object(nullptr, nullptr, nullptr);
    for (const char* bad : {"", " 5", "5 ", "5x", "0x5", "5.0", "+", "-", "99999999999999999999999"}) {
        EXPECT_EQ(object.IsException(NE, 7L, bad), 0) << bad;
        EXPECT_FALSE(agw::ParseDecimal(bad, nullptr)) << bad;
    }
    EXPECT_EQ(object.IsException(NE, 7L, nullptr), 0);
    EXPECT_NE(object.IsException(EQ, -2147483648L, "-2147483648"), 0);
}

class TextOperators : public ::testing::TestWithParam<OperatorCase> {};

// Field "ABC" against thresholds "ABB", "ABC" and "ABCD".
TEST_P(TextOperators, CompareBlankPaddedAndNulTerminatedFields) {
    auto [op, vsLess, vsEqual, vsLonger] = GetParam();
    TstObject object(nullptr, nullptr, nullptr);
    const char padded[6] = {'A', 'B', 'C', ' ', ' ', ' '};   // no NUL
    const char terminated[6] = {'A', 'B', 'C', '\0', 'Z', 'Z'};  // bytes after the NUL do not count
    for (const char* field : {padded, terminated}) {
        EXPECT_EQ(object.IsException(op, field, "ABB", 6) != 0, vsLess);
        EXPECT_EQ(object.IsException(op, field, "ABC", 6) != 0, vsEqual);
        EXPECT_EQ(object.IsException(op, field, "ABCD", 6) != 0, vsLonger);
    }
}

INSTANTIATE_TEST_SUITE_P(All, TextOperators, ::testing::ValuesIn(kOperatorCases));

TEST(TextThreshold, ReadsNoFurtherThanTheWidthAndComparesBytesUnsigned) {
    TstObject object(nullptr, nullptr, nullptr);
    const char full[4] = {'A', 'B', 'C', 'D'};  // fills its width, no NUL
    EXPECT_NE(object.IsException(EQ, full, "ABCD", 4), 0);
    EXPECT_NE(object.IsException(EQ, full, "AB", 2), 0);
    const char high[2] = {'\xC3', '\0'};
    EXPECT_NE(object.IsException(GT, high, "z", 2), 0);  // 0xC3 sorts after 'z'
    const char blanks[3] = {' ', ' ', ' '};
    EXPECT_NE(object.IsException(EQ, blanks, "", 3), 0);
}

TEST(Thresholds, EveryThresholdMustHoldAndNoneKeepsEveryRow) {
    RequestDetail none = Request();
    TstObject all(&none, nullptr, nullptr);
    tst_row row = MakeRow("BIG", 50, "ACT");
    EXPECT_NE(all.CheckForException(reinterpret_cast<char*>(&row)), 0);

    RequestDetail request = Request({{"DEPTH", GE, "10"}, {"STATE", EQ, "ACT"}, {"QNAME", NE, "SKIP"}});
    TstObject object(&request, nullptr, nullptr);
    EXPECT_NE(object.CheckForException(reinterpret_cast<char*>(&row)), 0);
    tst_row shallow = MakeRow("BIG", 9, "ACT");
    tst_row idle = MakeRow("BIG", 50, "IDL");
    tst_row skipped = MakeRow("SKIP", 50, "ACT");
    for (tst_row* r : {&shallow, &idle, &skipped}) EXPECT_EQ(object.CheckForException(reinterpret_cast<char*>(r)), 0);

    RequestDetail unknown = Request({{"NOSUCH", EQ, "1"}});
    TstObject nothing(&unknown, nullptr, nullptr);
    EXPECT_EQ(nothing.CheckForException(reinterpret_cast<char*>(&row)), 0);
}

TEST(Thresholds, KeptCopiesOutliveTheRequest) {
    auto request = std::make_unique<RequestDetail>(Request({{"DEPTH", GT, "1"}}));
    TstObject object(request.get(), nullptr, nullptr);
    request.reset();
    EXPECT_EQ(object.RequestName(), "q");
    EXPECT_EQ(object.AddRow(MakeRow("A", 2, "ON")), 0);
    EXPECT_EQ(object.AddRow(MakeRow("A", 1, "ON")), 0);
    EXPECT_EQ(object.NumDataItems(), 1u);
}

}  // namespace
