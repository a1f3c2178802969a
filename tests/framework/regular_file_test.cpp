// Input files an operator names: only regular files are read, bounded, and a
// FIFO or a directory is refused at once with one line saying what it is.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <string>

#include "config.h"
#include "printable.h"
#include "regular_file.h"
#include "test_util.h"

namespace {

TEST(RegularFile, RefusesWhatIsNotARegularFileWithoutBlocking) {
    const std::string fifo = TestFile("fifo", "");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string path;
        const char* reason;
    } cases[] = {
        {ProcessTempDir(), "is a directory, expected a regular file"},
        {fifo, "is not a regular file (a FIFO, socket or device)"},
        {"/dev/zero", "is not a regular file (a FIFO, socket or device)"},
        {ProcessTempDir() + "/missing.yaml", "No such file or directory"},
    };
    for (const Case& c : cases) {
        std::string text = "stale";
        std::string reason;
        EXPECT_FALSE(zcommon::ReadRegularFile(c.path, 1024, &text, &reason)) << c.path;
        EXPECT_EQ(reason, c.reason) << c.path;
    }
}

TEST(RegularFile, ReadsWholeFilesUpToTheLimitAndRefusesLargerOnes) {
    const std::string path = TestFile("big", ".txt");
    const std::string content(100000, 'x');
    WriteFile(path, content);
    std::string text;
    std::string reason;
    ASSERT_TRUE(zcommon::ReadRegularFile(path, content.size(), &text, &reason)) << reason;
    EXPECT_EQ(text, content);
    EXPECT_FALSE(zcommon::ReadRegularFile(path, content.size() - 1, &text, &reason));
    EXPECT_EQ(reason, "is larger than 99999 bytes");
}

TEST(RegularFile, ARequestFileThatIsADirectoryOrAFifoIsOneLine) {
    const std::string fifo = TestFile("requests", ".fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {ProcessTempDir(), fifo}) {
        agw::Config config;
        std::string error;
        EXPECT_FALSE(agw::LoadConfig(path, &config, &error));
        EXPECT_EQ(error.rfind(path + ": cannot read the request file: ", 0), 0u) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
}

}  // namespace

namespace {

// Outside input in a message: escaped so it cannot break the line or the
// terminal, and cut with a marker so a huge value cannot flood the log.
TEST(Printable, EscapesBytesAndCutsLongTextsWithAMarker) {
    EXPECT_EQ(zcommon::Printable("plain /etc/agw.yaml"), "plain /etc/agw.yaml");
    EXPECT_EQ(zcommon::Printable(std::string("a\nb\0c\\\x7f\xff", 8)), "a\\x0ab\\x00c\\\\\\x7f\\xff");
    const std::string big(65536, 'x');
    const std::string cut = zcommon::Printable(big);
    EXPECT_EQ(cut, std::string(zcommon::kPrintableValue, 'x') + "...(" +
                       std::to_string(65536 - zcommon::kPrintableValue) + " more bytes)");
}

// A 64 KB request file path gives a line of bounded length, still naming
// what is wrong.
TEST(Printable, AHugePathGivesABoundedConfigurationError) {
    agw::Config config;
    std::string error;
    ASSERT_FALSE(agw::LoadConfig("/nonexistent/" + std::string(65536, 'p'), &config, &error));
    EXPECT_NE(error.find("cannot read the request file"), std::string::npos);
    EXPECT_LT(error.size(), 1024u);
}

}  // namespace

namespace {

// An output named by the operator: a FIFO nobody reads is refused at once
// instead of blocking in open(); one with a reader is written as usual.
TEST(OpenForAppend, AFifoWithoutReaderIsRefusedAtOnce) {
    const std::string fifo = TestFile("out_fifo", "");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string reason;
    EXPECT_EQ(zcommon::OpenForAppend(fifo, &reason), -1);
    EXPECT_EQ(reason, "a FIFO that no process reads");

    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const int writer = zcommon::OpenForAppend(fifo, &reason);
    ASSERT_GE(writer, 0) << reason;
    EXPECT_EQ(fcntl(writer, F_GETFL) & O_NONBLOCK, 0);  // writes block as usual
    EXPECT_EQ(write(writer, "row\n", 4), 4);
    char got[8] = {};
    EXPECT_EQ(read(reader, got, sizeof got), 4);
    close(writer);
    close(reader);
    std::remove(fifo.c_str());
}

}  // namespace
