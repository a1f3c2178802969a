// The metrics endpoint: AGW_HTTP, the series built from a table's
// descriptions, whole samples only, label escaping, the exposition checked by
// promtool.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>


#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "agw_internal.h"
#include "metrics.h"
#include "scheduler.h"
#include "test_table.h"
#include "test_util.h"

namespace {

// The test table with a metrics description: qname is the key "queue",
// depth a gauge and also counted, state a state.
class MetricObject : public TstObject {
public:
    using TstObject::TstObject;
    int GetTableMetrics(AgwTableMetrics* info) override {
        info->prefix = "tst_queue";
        info->mode = mode;
        return 0;
    }
    int GetColumnMetric(AgwColumnMetric* metric, int index) override {
        static const AgwColumnMetric kMetrics[] = {
            {}, {}, {},
            {AgwMetricRole::key, "queue", 1.0},
            {AgwMetricRole::gauge, "depth_ratio", 0.01},
            {AgwMetricRole::state, "state", 1.0},
        };
        if (index < 0 || index >= static_cast<int>(std::size(kMetrics))) return 0x21060007;
        *metric = kMetrics[index];
        return 0;
    }
    AgwTableMode mode = AgwTableMode::rows;
};

class MetricManager : public TstManager {
public:
    tavro* CreateTavro(RequestDetail* request, ContextInfo* context) override {
        return new MetricObject(request, context, this, sampler);
    }
};

MetricManager* gManager = nullptr;
int LoadMetricTable() { return TableManager::RegisterWithManager(gManager); }

struct FakeClock : agw::Clock {
    std::int64_t now = 0;
    std::int64_t NowMs() override { return now; }
    void WaitUntil(std::int64_t deadline) override { now = std::max(now, deadline); }
};

// A port free on loopback right now.
int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t len = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len);
    close(fd);
    return ntohs(address.sin_port);
}

// A connection to 127.0.0.1:port that has sent GET /metrics (-1 when it
// cannot); with `stall`, its receive buffer is as small as it gets.
int SendScrape(int port, bool stall = false) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (stall) {
        int tiny = 1;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        close(fd);
        return -1;
    }
    return fd;
}

// The whole reply (status line, headers and body) to GET /metrics.
std::string ScrapeReply(int port) {
    const int fd = SendScrape(port);
    if (fd < 0) return "";
    std::string reply;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return reply;
}

// The body of GET /metrics on 127.0.0.1:port, or "" when it cannot be had.
std::string Scrape(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return "";
    }
    std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        close(fd);
        return "";
    }
    std::string reply;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) reply.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    std::size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "" : reply.substr(body + 4);
}

bool HavePromtool() { return std::system("promtool --version >/dev/null 2>&1") == 0; }

// promtool's verdict on an exposition ("" when it passes).
std::string PromtoolProblems(const std::string& text) {
    std::string in = TestFile("metrics", ".prom");
    std::string out = TestFile("promtool", ".txt");
    WriteFile(in, text);
    int status = std::system(("promtool check metrics < '" + in + "' > '" + out + "' 2>&1").c_str());
    return status == 0 ? "" : ReadFile(out) + "\n" + text;
}

struct MetricsTest : ::testing::Test {
    void SetUp() override {
        agw::UnregisterAllManagers();
        agw::ResetShutdown();
        agw::MetricsRegistry::Instance().Clear();
        unsetenv("AGW_CONFIG");
        unsetenv("AGW_HTTP");
        Counters().samples = 0;
        gManager = new MetricManager;
        TBX_RegisterAgentLoader(LoadMetricTable);
        setenv("AGW_OUTPUT", "/dev/null", 1);
    }
    void TearDown() override {
        agw::UnregisterAllManagers();
        TBX_RegisterAgentLoader(nullptr);
        delete gManager;
        gManager = nullptr;
        agw::ResetShutdown();
        unsetenv("AGW_HTTP");
        unsetenv("AGW_OUTPUT");
        agw::MetricsRegistry::Instance().Clear();
    }
    int Run() {
        char name[] = "agwtest";
        char* argv[] = {name, nullptr};
        return agw::RunMain(1, argv, &clock);
    }
    FakeClock clock;
};

TEST(HttpAddress, LoopbackUnlessAnInterfaceIsNamedAndBadValuesAreRefused) {
    struct Case {
        const char* value;
        const char* bind;  // null: refused
    };
    const Case cases[] = {
        {":9464", "127.0.0.1:9464"},      {"localhost:9464", "127.0.0.1:9464"},
        {"0.0.0.0:9464", "0.0.0.0:9464"}, {"127.0.0.2:80", "127.0.0.2:80"},
        {"[::1]:9464", "[::1]:9464"},     {":0", "127.0.0.1:0"},
        {"9464", nullptr},                {"127.0.0.1:", nullptr},
        {"127.0.0.1:65536", nullptr},     {"127.0.0.1:94a4", nullptr},
        {"example.org:80", nullptr},      {"1.2.3:80", nullptr},
        {"[::1:80", nullptr},             {"::1:80", nullptr},
        {"", nullptr},                    {"127.0.0.1:-1", nullptr},
    };
    for (const Case& c : cases) {
        std::string bind, error;
        bool ok = agw::ParseHttpAddress(c.value, &bind, &error);
        EXPECT_EQ(ok, c.bind != nullptr) << c.value;
        if (ok && c.bind != nullptr) {
            EXPECT_EQ(bind, c.bind) << c.value;
        }
        if (!ok) {
            EXPECT_NE(error.find("expected host:port"), std::string::npos) << c.value;
        }
    }
}

TEST(WbTime, MomentsBecomeUnixSecondsAndBlanksOrNonsenseNothing) {
    const char* saved = std::getenv("TZ");
    std::string old = saved != nullptr ? saved : "";
    setenv("TZ", "UTC", 1);
    tzset();
    double seconds = 0;
    EXPECT_TRUE(agw::WbTimeToUnix("1240101120000500", &seconds));
    EXPECT_DOUBLE_EQ(seconds, 1704110400.5);
    EXPECT_TRUE(agw::WbTimeToUnix("0991231235959000", &seconds));
    EXPECT_DOUBLE_EQ(seconds, 946684799.0);
    for (const char* bad : {"", "                ", "0000000000000000", "1241301120000000", "1230229120000000",
                            "124010112000", "12401011200x0000"}) {
        EXPECT_FALSE(agw::WbTimeToUnix(bad, &seconds)) << bad;
    }
    if (saved != nullptr) {
        setenv("TZ", old.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

TEST_F(MetricsTest, RowsBecomeLabelledSeriesWithEscapedLabelsThatPromtoolAccepts) {
    MetricObject object(nullptr, nullptr, gManager);
    object.AddRow(MakeRow("Q1", 250, "ACT"));
    object.AddRow(MakeRow("a\"b\\c\nd\xff", 7, ""));  // a blank state says nothing
    object.AddRow(MakeRow("Q1", 9, "SUS"));           // the same queue again: served once
    agw::TableExport exported(object, "");
    ASSERT_TRUE(exported.Exported());
    agw::MetricsRegistry& registry = agw::MetricsRegistry::Instance();
    registry.Publish(1, exported.Build(object, object.Data(0), object.NumDataItems(), object.DataSize(),
                                       registry.CommonLabels()));
    registry.AddCounter("agw_test_calls_total", "Calls.", {{"outcome", "ok"}}, 2);
    registry.AddCounter("agw_test_calls_total", "Calls.", {{"outcome", "ok"}}, 1);
    registry.AddCounter("agw_test_calls_total", "Calls.", {{"bad-label", "x"}}, 1);  // ignored

    std::string text = registry.Exposition();
    EXPECT_NE(text.find("tst_queue_depth_ratio{queue=\"Q1\"} 2.5\n"), std::string::npos) << text;
    EXPECT_NE(text.find("tst_queue_depth_ratio{queue=\"a\\\"b\\\\c\\nd\xEF\xBF\xBD\"} 0.07"), std::string::npos)
        << text;
    EXPECT_NE(text.find("tst_queue_state{queue=\"Q1\",state=\"ACT\"} 1\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("SUS"), std::string::npos) << text;
    EXPECT_EQ(text.find("tst_queue_state{queue=\"a"), std::string::npos) << text;
    EXPECT_NE(text.find("# TYPE agw_test_calls_total counter\nagw_test_calls_total{outcome=\"ok\"} 3\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("bad-label"), std::string::npos) << text;
    if (!HavePromtool()) GTEST_SKIP() << "promtool is not installed (scripts/bootstrap installs it)";
    EXPECT_EQ(PromtoolProblems(text), "");
}

// Rows of objects that come and go are counted and summed by state, not
// served one by one, unless the request asks for them; rows the object
// leaves to another process give nothing, and every series gets the common
// labels.
TEST_F(MetricsTest, AnAggregateTableCountsAndSumsInScopeRowsByState) {
    class Scoped : public MetricObject {
    public:
        using MetricObject::MetricObject;
        bool MetricsRowScope(const char* row, AgwLabels* extra) const override {
            if (std::string(row + 72, 2) == "Q9") return false;  // another machine's
            extra->push_back({"lmid", "SITE1"});
            return true;
        }
    } object(nullptr, nullptr, gManager);
    object.mode = AgwTableMode::aggregate;
    for (const char* q : {"Q1", "Q2", "Q3", "Q9"}) object.AddRow(MakeRow(q, 100, q[1] == '3' ? "SUS" : "ACT"));
    agw::MetricsRegistry& registry = agw::MetricsRegistry::Instance();
    registry.SetCommonLabels({{"domain", "DOM1"}}, {{"lmid", "SITE1"}});
    registry.Publish(1, agw::TableExport(object, "").Build(object, object.Data(0), object.NumDataItems(),
                                                            object.DataSize(), registry.CommonLabels()));
    std::string text = registry.Exposition();
    EXPECT_NE(text.find("tst_queues{domain=\"DOM1\",lmid=\"SITE1\",state=\"ACT\"} 2\n"), std::string::npos) << text;
    EXPECT_NE(text.find("tst_queues{domain=\"DOM1\",lmid=\"SITE1\",state=\"SUS\"} 1\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("tst_queues_depth_ratio"), std::string::npos) << text;  // ratios do not add up
    EXPECT_EQ(text.find("queue=\""), std::string::npos) << text;

    registry.Publish(1, agw::TableExport(object, "", /*perObject=*/true)
                            .Build(object, object.Data(0), object.NumDataItems(), object.DataSize(),
                                   registry.CommonLabels()));
    text = registry.Exposition();
    EXPECT_NE(text.find("tst_queue_depth_ratio{domain=\"DOM1\",lmid=\"SITE1\",queue=\"Q2\"} 1\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Q9"), std::string::npos) << text;
}

// The description's help and labels name the series; a state family's HELP
// lists its labels. Without them the column's name stands in, and a label
// that another column of the series already gives is refused.
TEST_F(MetricsTest, HelpAndLabelsComeFromTheDescriptionAndAStateFamilySaysItsLabels) {
    class Described : public MetricObject {
    public:
        Described(TableManager* manager, std::vector<AgwColumnMetric> metrics)
            : MetricObject(nullptr, nullptr, manager), metrics_(std::move(metrics)) {}
        int GetColumnMetric(AgwColumnMetric* metric, int index) override {
            if (index < 0 || index >= static_cast<int>(metrics_.size())) return 0x21060007;
            *metric = metrics_[index];
            return 0;
        }

    private:
        std::vector<AgwColumnMetric> metrics_;
    };
    auto text_of = [](Described& object) {
        object.AddRow(MakeRow("Q1", 250, "ACT"));
        agw::MetricsRegistry& registry = agw::MetricsRegistry::Instance();
        registry.Publish(1, agw::TableExport(object, "").Build(object, object.Data(0), object.NumDataItems(),
                                                                object.DataSize(), registry.CommonLabels()));
        return registry.Exposition();
    };
    Described described(gManager, {{}, {}, {},
                                   {AgwMetricRole::state, "info", 1.0, "", "queue_name"},
                                   {AgwMetricRole::gauge, "depth_ratio", 0.01, "Share of the queue in use."},
                                   {AgwMetricRole::state, "info", 1.0, "", "status"}});
    std::string text = text_of(described);
    EXPECT_NE(text.find("# HELP tst_queue_depth_ratio Share of the queue in use.\n"), std::string::npos) << text;
    EXPECT_NE(text.find("# HELP tst_queue_info Tst queue: value 1, labelled with queue_name and status.\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("tst_queue_info{queue_name=\"Q1\",status=\"ACT\"} 1\n"), std::string::npos) << text;

    Described bare(gManager, {{}, {}, {},
                              {AgwMetricRole::key, "queue", 1.0},
                              {AgwMetricRole::gauge, "depth_ratio", 0.01},
                              {AgwMetricRole::state, "info", 1.0, "", "queue"}});
    text = text_of(bare);
    EXPECT_NE(text.find("# HELP tst_queue_depth_ratio Column TSTQUEUE.DEPTH, scaled to base units.\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("tst_queue_info"), std::string::npos) << "the label queue is the key's\n" << text;
}

// One gzip member (nothing after its trailer), inflated; "" when it is not.
std::string Gunzip(const std::string& member) {
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return "";
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(member.data()));
    z.avail_in = static_cast<uInt>(member.size());
    std::string out;
    int status = Z_OK;
    while (status == Z_OK) {
        char buffer[16384];
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        status = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - z.avail_out);
    }
    const bool whole = status == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    return whole ? out : "";
}

// The lines of an exposition, sorted, without the process series (they are
// read anew at each scrape).
std::vector<std::string> SortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("process_", 0) != 0) lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// A gzip scrape is one gzip member of the plain text's lines (each family
// once, also one that two requests share), and a published sample is
// compressed once however many scrapes follow.
TEST_F(MetricsTest, GzipScrapesServeThePlainSeriesAndCompressEachSampleOnce) {
    MetricObject rows(nullptr, nullptr, gManager);
    MetricObject counted(nullptr, nullptr, gManager);
    counted.mode = AgwTableMode::aggregate;
    for (MetricObject* object : {&rows, &counted}) {
        object->AddRow(MakeRow("Q1", 250, "ACT"));
        object->AddRow(MakeRow("Q2", 7, "SUS"));
    }
    agw::MetricsRegistry& registry = agw::MetricsRegistry::Instance();
    auto publish = [&](std::uint32_t request, MetricObject& object, const char* label) {
        registry.Publish(request, agw::TableExport(object, label).Build(object, object.Data(0), object.NumDataItems(),
                                                                         object.DataSize(), registry.CommonLabels()));
    };
    publish(1, rows, "");
    publish(2, counted, "");
    publish(3, rows, "again");  // the families of request 1 again, with a request label
    registry.AddCounter("agw_test_calls_total", "Calls.", {{"outcome", "ok"}}, 2);

    const std::uint64_t before = registry.Compressions();
    for (int i = 0; i < 3; ++i) {
        const std::string text = Gunzip(registry.Exposition(agw::Encoding::gzip));
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(SortedLines(text), SortedLines(registry.Exposition()));  // each HELP and TYPE once
        EXPECT_NE(text.find("tst_queue_depth_ratio{queue=\"Q1\",request=\"again\"} 2.5\n"), std::string::npos);
    }
    // Requests 1 and 3 share their families: compressed with each scrape.
    EXPECT_EQ(registry.Compressions() - before, 1u);
    publish(2, counted, "");
    EXPECT_FALSE(Gunzip(registry.Exposition(agw::Encoding::gzip)).empty());
    EXPECT_FALSE(Gunzip(registry.Exposition(agw::Encoding::gzip)).empty());
    EXPECT_EQ(registry.Compressions() - before, 2u);
}

TEST(AcceptEncoding, GzipWhenNamedOrByStarUnlessItsWeightIsZero) {
    EXPECT_TRUE(agw::AcceptsGzip("gzip"));
    EXPECT_TRUE(agw::AcceptsGzip("deflate, GZIP;q=0.5"));
    EXPECT_TRUE(agw::AcceptsGzip("identity;q=1, *;q=0.1"));
    EXPECT_TRUE(agw::AcceptsGzip("x-gzip"));
    EXPECT_FALSE(agw::AcceptsGzip(nullptr));
    EXPECT_FALSE(agw::AcceptsGzip("identity"));
    EXPECT_FALSE(agw::AcceptsGzip("gzip;q=0"));
    EXPECT_FALSE(agw::AcceptsGzip("gzip; q=0.000, *"));
    EXPECT_FALSE(agw::AcceptsGzip("*;q=0"));
    EXPECT_FALSE(agw::AcceptsGzip("gzipped"));
}

TEST_F(MetricsTest, AScrapeDuringASampleOrAfterAnIncompleteOneServesTheLastWholeSampleAndVanishedRowsGo) {
    int port = FreePort();
    setenv("AGW_HTTP", (":" + std::to_string(port)).c_str(), 1);
    std::vector<std::string> scrapes;
    gManager->sampler = [&](TstObject& object) {
        switch (object.SampleNumber()) {
            case 1:
                object.AddRow(MakeRow("Q1", 100, "ACT"));
                object.AddRow(MakeRow("Q2", 200, "ACT"));
                break;
            case 2:
                object.AddRow(MakeRow("Q1", 300, "SUS"));  // Q2 is gone
                scrapes.push_back(Scrape(port));           // in the middle of sample 2
                break;
            case 3:
                object.AddRow(MakeRow("Q9", 900, "ACT"));
                object.MarkSampleIncomplete();  // e.g. a failed call ended it early
                break;
            default:
                scrapes.push_back(Scrape(port));
                TBX_Shutdown(0);
        }
    };
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(Run(), 0);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("agwmain: metrics at http://127.0.0.1:" + std::to_string(port) + "/metrics\n"),
              std::string::npos)
        << err;
    ASSERT_EQ(scrapes.size(), 2u);
    EXPECT_NE(scrapes[0].find("tst_queue_depth_ratio{queue=\"Q1\"} 1\n"), std::string::npos) << scrapes[0];
    EXPECT_NE(scrapes[0].find("tst_queue_depth_ratio{queue=\"Q2\"} 2\n"), std::string::npos) << scrapes[0];
    EXPECT_NE(scrapes[0].find("agw_sample_rows{request=\"TSTQUEUE\",table=\"TSTQUEUE\"} 2\n"), std::string::npos)
        << scrapes[0];
    EXPECT_NE(scrapes[1].find("tst_queue_depth_ratio{queue=\"Q1\"} 3\n"), std::string::npos) << scrapes[1];
    EXPECT_NE(scrapes[1].find("tst_queue_state{queue=\"Q1\",state=\"SUS\"} 1\n"), std::string::npos) << scrapes[1];
    EXPECT_EQ(scrapes[1].find("Q2"), std::string::npos) << scrapes[1];
    EXPECT_EQ(scrapes[1].find("Q9"), std::string::npos) << "an incomplete sample is never served\n" << scrapes[1];
    EXPECT_NE(scrapes[1].find("agw_sample_duration_seconds{request=\"TSTQUEUE\",table=\"TSTQUEUE\"}"),
              std::string::npos)
        << scrapes[1];
}

// With max_scrapes: 1 and a scraper that does not read a large answer, the
// next scrape is 503 at once with Retry-After; once that scraper is gone, its
// place is free again.
TEST_F(MetricsTest, AScrapeBeyondTheCapIsRefusedAtOnceUntilOneInFlightEnds) {
    const int port = FreePort();
    setenv("AGW_HTTP", (":" + std::to_string(port)).c_str(), 1);
    const std::string config = TestFile("requests", ".yaml");
    WriteFile(config, "metrics: {max_scrapes: 1}\nrequests:\n  - {name: q, table: TSTQUEUE, interval: 1}\n");
    setenv("AGW_CONFIG", config.c_str(), 1);
    std::string refused, freed;
    gManager->sampler = [&](TstObject& object) {
        if (object.SampleNumber() == 1) {
            for (int i = 0; i < 100000; ++i) object.AddRow(MakeRow(("Q" + std::to_string(i)).c_str(), i, "ACT"));
            return;
        }
        const int stalled = SendScrape(port, /*stall=*/true);  // megabytes it never reads
        pollfd answered{stalled, POLLIN, 0};
        poll(&answered, 1, 10'000);  // its answer has begun: it holds the one place
        refused = ScrapeReply(port);
        close(stalled);
        for (int i = 0; i < 500 && freed.rfind("HTTP/1.1 200", 0) != 0; ++i) {
            freed = ScrapeReply(port);
            usleep(10'000);
        }
        TBX_Shutdown(0);
    };
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Run(), 0);
    ::testing::internal::GetCapturedStderr();
    unsetenv("AGW_CONFIG");
    EXPECT_EQ(refused.rfind("HTTP/1.1 503", 0), 0u) << refused.substr(0, 200);
    EXPECT_NE(refused.find("Retry-After: 1\r\n"), std::string::npos) << refused.substr(0, 200);
    EXPECT_NE(refused.find("too many scrapes at once (1)"), std::string::npos) << refused.substr(0, 200);
    EXPECT_EQ(freed.rfind("HTTP/1.1 200", 0), 0u) << freed.substr(0, 200);
}

TEST_F(MetricsTest, ABadAddressOrABusyPortIsOneLineAndNoSample) {
    // Something listens already on this port.
    int busy = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(busy, 1), 0);
    socklen_t len = sizeof address;
    getsockname(busy, reinterpret_cast<sockaddr*>(&address), &len);
    std::string taken = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    for (const std::string& value : {std::string("9464"), std::string("nowhere:9464"), taken}) {
        setenv("AGW_HTTP", value.c_str(), 1);
        ::testing::internal::CaptureStderr();
        int status = Run();
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, 2) << value;
        EXPECT_EQ(CountLines(err), 1) << err;
        EXPECT_EQ(err.rfind("agwmain: AGW_HTTP \"" + value + "\": ", 0), 0u) << err;
        if (value == taken) {
            EXPECT_NE(err.find("cannot listen on " + taken + ": Address already in use"), std::string::npos) << err;
        }
    }
    close(busy);
    EXPECT_EQ(Counters().samples, 0);
}

}  // namespace
