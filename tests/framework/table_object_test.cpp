// Row storage, stamping and thresholds of table objects.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

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

TEST(RowBlock, GrowsGeometricallyBeyondTheFirstSteps) {
    TstObject object(nullptr, nullptr, nullptr);  // allocation default 4
    std::vector<std::uint32_t> sizes;
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(object.AddRow(MakeRow("Q", i, "ON")), 0);
        if (sizes.empty() || sizes.back() != object.NumRowsAllocated()) sizes.push_back(object.NumRowsAllocated());
    }
    EXPECT_EQ(sizes, (std::vector<std::uint32_t>{4, 8, 16, 32, 64, 128}));
    for (int i = 0; i < 100; ++i) ASSERT_EQ(object.Row(static_cast<unsigned>(i))->depth, i);
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

// What CheckForException decided before its thresholds were resolved once:
// every threshold asked through ColumnIsException, by column name.
bool KeptByName(TstObject& object, char* row) {
    for (const AgwThreshold& t : object.Thresholds()) {
        std::string column = t.column, value = t.value;
        if (!object.ColumnIsException(row, column.data(), t.op, value.data())) return false;
    }
    return true;
}

TEST(Thresholds, ResolvedOnceTheyKeepTheSameRowsAsAskingByName) {
    // Values around the thresholds: equal, neighbours, blanks and NULs inside
    // the width, prefixes, bytes above 0x7F, the integer extremes.
    const char* texts[] = {"", "A", "AB", "ABC", "ABC ", "ABD", "AB C", "abc", "\xC3\xA9", "ZZZZZZZ", " ABC"};
    const std::int32_t numbers[] = {INT32_MIN, -10, -1, 0, 1, 9, 10, 11, 1000, INT32_MAX};
    const char* textThresholds[] = {"", "ABC", "AB", "ABC ", " ABC", "ABCDEFGHIJKL", "\xC3"};
    const char* numberThresholds[] = {"10", "-1", "+11", "0", "2147483647", "-2147483648", "1x", "", " 5",
                                      "99999999999999999999"};
    std::vector<tst_row> rows;
    for (const char* q : texts)
        for (std::int32_t n : numbers)
            for (const char* st : {"ACT", "", "ACTIVE"}) rows.push_back(MakeRow(q, n, st));
    tst_row odd = MakeRow("ABC", 10, "ACT");
    std::memcpy(odd.qname, "ABC\0XYZ   ", 10);  // bytes after a NUL do not count
    rows.push_back(odd);

    int compared = 0;
    for (IntfOper op : {EQ, NE, LT, LE, GT, GE}) {
        std::vector<std::vector<AgwThreshold>> sets;
        for (const char* t : textThresholds) sets.push_back({{"QNAME", op, t}});
        for (const char* t : numberThresholds) sets.push_back({{"DEPTH", op, t}});
        // Several at once, a column the table lacks, a lower-case name.
        sets.push_back({{"DEPTH", op, "10"}, {"STATE", NE, "IDL"}, {"QNAME", op, "ABC"}});
        sets.push_back({{"NOSUCH", op, "1"}});
        sets.push_back({{"qname", op, "ABC"}});
        for (const auto& thresholds : sets) {
            RequestDetail request = Request(thresholds);
            TstObject object(&request, nullptr, nullptr);
            for (tst_row& row : rows) {
                char* bytes = reinterpret_cast<char*>(&row);
                ASSERT_EQ(object.CheckForException(bytes) != 0, KeptByName(object, bytes))
                    << thresholds[0].column << " " << agw::OperatorName(op) << " \"" << thresholds[0].value << "\"";
                ++compared;
            }
        }
    }
    EXPECT_GT(compared, 10000);
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
