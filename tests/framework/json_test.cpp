// JSON Lines output of rows and situation events.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "agw_tbx.h"
#include "json.h"
#include "sink.h"
#include "test_table.h"
#include "test_util.h"

namespace {

std::string Json(std::string_view bytes) {
    std::string out;
    agw::AppendJsonString(out, bytes);
    return out;
}

TEST(JsonString, EscapesQuotesBackslashesAndControlCharacters) {
    EXPECT_EQ(Json("plain"), "\"plain\"");
    EXPECT_EQ(Json("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(Json("\n\r\t\b\f"), "\"\\n\\r\\t\\b\\f\"");
    EXPECT_EQ(Json(std::string_view("\x01\x1f\0", 3)), "\"\\u0001\\u001f\\u0000\"");
    EXPECT_EQ(Json("\x7f"), "\"\x7f\"");
}

TEST(JsonString, KeepsValidUtf8AndReplacesEveryInvalidSequence) {
    EXPECT_EQ(Json("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"");
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(Json("a\xFF" "b"), "\"a" + r + "b\"");                 // never valid
    EXPECT_EQ(Json("\xC3"), "\"" + r + "\"");                        // cut at the end
    EXPECT_EQ(Json("\xE2\x82" "A"), "\"" + r + "A\"");               // cut before a plain byte
    EXPECT_EQ(Json("\xC0\xAF"), "\"" + r + r + "\"");                // overlong
    EXPECT_EQ(Json("\xED\xA0\x80"), "\"" + r + r + r + "\"");        // surrogate
    EXPECT_EQ(Json("\xF4\x90\x80\x80"), "\"" + r + r + r + r + "\"");  // above U+10FFFF
    EXPECT_EQ(Json("\x80\xBF"), "\"" + r + r + "\"");                // stray continuations
}

struct DispatchTest : ::testing::Test {
    void SetUp() override { previous = agw::InstallSink(&sink); }
    void TearDown() override { agw::InstallSink(previous); }
    agw::MemorySink sink;
    agw::RowSink* previous = nullptr;
};

TEST_F(DispatchTest, WritesOneObjectPerRowFromTheColumnDescriptions) {
    TstManager manager;
    RequestDetail request;
    request.name = "deep \"queues\"";
    TstObject object(&request, nullptr, &manager);
    object.BeginSample();
    object.AddRow(MakeRow("Q1", 7, "ACT"));
    tst_row odd = MakeRow("", -3, "");
    std::memcpy(odd.qname, "\xFF\x01\"\xC3\xA9 ", 6);  // invalid byte, control, quote, e-acute, blank
    std::memcpy(odd.state, "ABCDEFGH", 8);               // fills its width, no NUL
    object.AddRow(odd);
    agw::SetTimeStampSource([] { return std::time_t{1796811605}; });
    ASSERT_EQ(object.Dispatch(), 0);
    agw::SetTimeStampSource(nullptr);
    std::string expected =
        "{\"table\":\"TSTQUEUE\",\"request\":\"deep \\\"queues\\\"\",\"row\":{\"originnode\":\"node1\","
        "\"sampleno\":1,\"rowno\":0,\"qname\":\"Q1\",\"depth\":7,\"state\":\"ACT\"},"
        "\"time\":\"2026-12-09T10:20:05Z\"}\n"
        "{\"table\":\"TSTQUEUE\",\"request\":\"deep \\\"queues\\\"\",\"row\":{\"originnode\":\"node1\","
        "\"sampleno\":1,\"rowno\":1,\"qname\":\"\xEF\xBF\xBD\\u0001\\\"\xC3\xA9\",\"depth\":-3,"
        "\"state\":\"ABCDEFGH\"},\"time\":\"2026-12-09T10:20:05Z\"}\n";
    EXPECT_EQ(sink.Text(), expected);
}

TEST_F(DispatchTest, NothingToDeliverWritesNothing) {
    TstObject object(nullptr, nullptr, nullptr);
    EXPECT_EQ(object.Dispatch(), 0);
    EXPECT_EQ(sink.Text(), "");
}

// Keeps every block it is given, to check how delivery cut the lines.
class BlockSink : public agw::RowSink {
public:
    bool Write(std::string_view lines) override {
        blocks.emplace_back(lines);
        return failFrom < 0 || static_cast<int>(blocks.size()) <= failFrom;
    }
    std::vector<std::string> blocks;
    int failFrom = -1;  // writes after this many fail
};

// True when bytes are well-formed UTF-8 (shortest forms, no surrogates,
// nothing above U+10FFFF).
bool WellFormedUtf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (n == 0 || i + n > bytes.size()) return false;
        std::uint32_t cp = n == 1 ? c : c & (0x7F >> n);
        for (std::size_t k = 1; k < n; ++k) {
            const auto d = static_cast<unsigned char>(bytes[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = cp << 6 | (d & 0x3F);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

TEST(Delivery, AHundredThousandRowsInBlocksOfWholeLinesNoneLostOrRepeated) {
    BlockSink sink;
    agw::RowSink* previous = agw::InstallSink(&sink);
    TstManager manager;
    RequestDetail request;
    request.name = "all";
    TstObject object(&request, nullptr, &manager);
    constexpr int kRows = 100000;
    for (int round = 0; round < 2; ++round) {  // the reused buffer starts clean each time
        sink.blocks.clear();
        object.BeginSample();
        for (int i = 0; i < kRows; ++i) {
            tst_row row = MakeRow("Q", i, "ON");
            // Bytes of every kind in the text columns, invalid UTF-8 among them.
            for (int k = 0; k < 8; ++k) row.qname[k] = static_cast<char>((i * 31 + k * 97) % 256);
            row.state[0] = static_cast<char>(0xC0 + i % 64);
            ASSERT_EQ(object.AddRow(row), 0);
        }
        ASSERT_EQ(object.Dispatch(), 0);
        object.ClearCount();

        ASSERT_GT(sink.blocks.size(), 1u);  // streamed, not one string per sample
        int next = 0;
        for (const std::string& block : sink.blocks) {
            ASSERT_FALSE(block.empty());
            ASSERT_EQ(block.back(), '\n');
            ASSERT_TRUE(WellFormedUtf8(block));
            for (std::size_t at = 0; at < block.size();) {
                const std::size_t end = block.find('\n', at);
                const std::string_view line(block.data() + at, end - at);
                const std::string rowno = ",\"rowno\":" + std::to_string(next) + ",";
                ASSERT_NE(line.find(rowno), std::string_view::npos) << "row " << next;
                ASSERT_NE(line.find("\"depth\":" + std::to_string(next) + ","), std::string_view::npos);
                ASSERT_NE(line.find("},\"time\":\""), std::string_view::npos);
                ASSERT_EQ(line.substr(line.size() - 3), "Z\"}");
                ++next;
                at = end + 1;
            }
        }
        EXPECT_EQ(next, kRows);
    }

    // An output that fails drops the rest of the sample and says so.
    object.BeginSample();
    for (int i = 0; i < kRows; ++i) ASSERT_EQ(object.AddRow(MakeRow("Q", i, "ON")), 0);
    sink.blocks.clear();
    sink.failFrom = 1;
    EXPECT_EQ(object.Dispatch(), AGW_STATUS_SINK_FAILED);
    EXPECT_EQ(sink.blocks.size(), 2u);
    agw::InstallSink(previous);
}

TEST(RowFormat, ColumnsOutsideTheRowOrOfUnknownTypeAreNull) {
    std::vector<ColumnInfo> columns = {
        {"INSIDE", 0, 4, AGW_COLTYPE_INTEGER},
        {"past_end", 6, 4, AGW_COLTYPE_INTEGER},
        {nullptr, 0, 2, 42},
        {"huge", 65535, 65535, AGW_COLTYPE_TEXT},
    };
    agw::RowFormat format("T", "r", columns);
    std::int32_t value[2] = {12, 0};
    std::string out;
    format.Append(out, reinterpret_cast<const char*>(value), 8);
    EXPECT_EQ(out, "{\"table\":\"T\",\"request\":\"r\",\"row\":{\"inside\":12,\"past_end\":null,\"column2\":null,"
                   "\"huge\":null}}\n");
}

TEST(RowFormat, EveryByteValueGivesJsonThatPythonReads) {
    if (!HavePython()) GTEST_SKIP() << "python3 is not installed";
    std::vector<ColumnInfo> columns = {{"text", 0, 64, AGW_COLTYPE_TEXT}};
    agw::RowFormat format("T", "r", columns);
    std::string out;
    for (int start = 0; start < 256; start += 8) {
        char row[64];
        for (int i = 0; i < 64; ++i) row[i] = static_cast<char>((start + i * 37) % 256 | (i % 3 == 0 ? 0x80 : 0));
        row[0] = static_cast<char>(start);
        format.Append(out, row, sizeof row);
    }
    agw::AppendSituationEvent(out, "s\xFF", "T", true, 3);
    std::string path = TestFile("agw_every_byte", ".jsonl");
    WriteFile(path, out);
    EXPECT_TRUE(PythonAcceptsJsonLines(path));
}

TEST(SituationEvent, HasTheFixedShape) {
    std::string out;
    agw::AppendSituationEvent(out, "busy", "TSTQUEUE", true, 2);
    agw::AppendSituationEvent(out, "busy", "TSTQUEUE", false, 0);
    EXPECT_EQ(out,
              "{\"situation\":\"busy\",\"table\":\"TSTQUEUE\",\"state\":\"raised\",\"rows\":2}\n"
              "{\"situation\":\"busy\",\"table\":\"TSTQUEUE\",\"state\":\"cleared\",\"rows\":0}\n");
}

TEST(SituationEvent, TimeComesLastAsIsoUtc) {
    std::string out;
    agw::AppendSituationEvent(out, "busy", "TSTQUEUE", true, 2, agw::UtcTime(1796811605));
    EXPECT_EQ(out, "{\"situation\":\"busy\",\"table\":\"TSTQUEUE\",\"state\":\"raised\",\"rows\":2,"
                   "\"time\":\"2026-12-09T10:20:05Z\"}\n");
    EXPECT_EQ(agw::UtcTime(0), "1970-01-01T00:00:00Z");
}

// Log rotation renames the row file; Reopen makes a fresh one (0640) at the
// name, and the next lines go there, none into the renamed one.
TEST(FileSink, ReopenAfterARenameWritesToAFreshFileAtTheName) {
    const std::string path = TestFile("rows", ".jsonl");
    std::string error;
    std::unique_ptr<agw::RowSink> sink = agw::OpenRowOutput(path, &error);
    ASSERT_TRUE(sink) << error;
    ASSERT_TRUE(sink->Write("{\"n\":1}\n"));
    ASSERT_EQ(std::rename(path.c_str(), (path + ".1").c_str()), 0);
    ASSERT_TRUE(sink->Write("{\"n\":2}\n"));  // still the open file
    EXPECT_EQ(sink->Reopen(&error), 1) << error;
    ASSERT_TRUE(sink->Write("{\"n\":3}\n"));
    EXPECT_EQ(ReadFile(path + ".1"), "{\"n\":1}\n{\"n\":2}\n");
    EXPECT_EQ(ReadFile(path), "{\"n\":3}\n");
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777 & ~0640u, 0u);  // never more than 0640, whatever the umask
    EXPECT_EQ(info.st_mode & 0007, 0u);

    std::unique_ptr<agw::RowSink> out = agw::OpenRowOutput("-", &error);
    EXPECT_EQ(out->Reopen(&error), 0);  // standard output has no name to reopen
}


// Rows to standard output share it with text the agent prints through stdio:
// what stdio still holds goes out first, and text printed under stdout's
// lock is never split by a row line.
TEST(StdoutSink, WritesAfterStdioAndWaitsForItsLock) {
    ::testing::internal::CaptureStdout();
    std::fputs("pending\n", stdout);  // may still sit in stdio's buffer
    agw::FdSink sink(STDOUT_FILENO, "standard output", false);
    flockfile(stdout);
    std::fputs("half ", stdout);
    std::thread writer([&] { EXPECT_TRUE(sink.Write("{\"row\":1}\n")); });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // a chance to cut in
    std::fputs("line\n", stdout);
    std::fflush(stdout);
    funlockfile(stdout);
    writer.join();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "pending\nhalf line\n{\"row\":1}\n");
}

}  // namespace
