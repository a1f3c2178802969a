// The generic table binding, exercised through the clients table's base:
// column metadata, situation tests by column name, AddData, the push path
// and the trace dump.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "agwtx01b.h"

namespace {

// A table object of TXCLIENTS that samples nothing and can make InsertRow
// fail on a chosen call.
class Probe : public zta_txclients_base {
public:
    using zta_txclients_base::zta_txclients_base;
    void TakeSample() override {}
    int InsertRow(char* row) override {
        ++inserts;
        if (inserts == fail_at) return kFailure;
        return zta_txclients_base::InsertRow(row);
    }
    int CheckForException(char* row) override {
        ++offered;
        return zta_txclients_base::CheckForException(row);
    }
    static constexpr int kFailure = 0x7e57;
    int fail_at = 0;
    int inserts = 0;
    int offered = 0;
};

RequestDetail report(const char* name) {
    RequestDetail r;
    r.name = name;
    r.table = "TXCLIENTS";
    r.type = AGW_SAMPLE_REPORT;
    r.interval = 30;
    return r;
}

zta_txclients_data_t client_row(const char* id, std::int32_t sampleno = 7) {
    zta_txclients_data_t row;
    std::memset(&row, ' ', sizeof row);
    std::memcpy(row.clientid, id, std::strlen(id));
    row.sampleno = sampleno;
    row.rowno = 0;
    return row;
}

// One report request's table object of TXCLIENTS, on a manager of its own.
class BindingObject : public ::testing::Test {
protected:
    RequestDetail r = report("r");
    ContextInfo c;
    zta_txclients_manager manager{"ZTA", "TXCLIENTS"};
    Probe object{&r, &c, &manager};
};

TEST_F(BindingObject, GetColumnInfoDescribesColumnsAndRefusesOtherIndexes) {
    EXPECT_EQ(object.NumColumns(), 14);

    ColumnInfo untouched{};
    untouched.name = "sentinel";
    untouched.offset = 1;
    untouched.size = 2;
    untouched.type = 3;
    for (int bad : {-1, 14, 1000}) {
        ColumnInfo info = untouched;
        EXPECT_EQ(object.GetColumnInfo(&info, bad), 0x21060007) << bad;
        EXPECT_STREQ(info.name, "sentinel");
        EXPECT_EQ(info.offset, 1);
        EXPECT_EQ(info.size, 2);
        EXPECT_EQ(info.type, 3);
    }
    ColumnInfo info{};
    ASSERT_EQ(object.GetColumnInfo(&info, 0), 0);
    EXPECT_STREQ(info.name, "originnode");
    EXPECT_EQ(info.offset, 0);
    EXPECT_EQ(info.size, 64);
    EXPECT_EQ(info.type, 9);
    ASSERT_EQ(object.GetColumnInfo(&info, 1), 0);
    EXPECT_STREQ(info.name, "sampleno");
    EXPECT_EQ(info.offset, 64);
    EXPECT_EQ(info.size, 4);
    EXPECT_EQ(info.type, 3);
    ASSERT_EQ(object.GetColumnInfo(&info, 13), 0);
    EXPECT_STREQ(info.name, "lmid");
    EXPECT_EQ(info.offset, 336);
    EXPECT_EQ(info.size, 16);
}

TEST_F(BindingObject, ColumnIsExceptionMatchesUpperCaseNamesOnly) {
    zta_txclients_data_t row = client_row("CL42");
    char* p = reinterpret_cast<char*>(&row);
    char eq_id[] = "CL42", other[] = "CL43", seven[] = "7", six[] = "6";
    char upper[] = "CLIENTID", lower[] = "clientid", mixed[] = "ClientId", none[] = "NOSUCH";
    char sampleno[] = "SAMPLENO";

    EXPECT_NE(object.ColumnIsException(p, upper, EQ, eq_id), 0);  // text form at offset 88, width 78
    EXPECT_EQ(object.ColumnIsException(p, upper, EQ, other), 0);
    EXPECT_NE(object.ColumnIsException(p, upper, LT, other), 0);
    EXPECT_EQ(object.ColumnIsException(p, lower, EQ, eq_id), 0);
    EXPECT_EQ(object.ColumnIsException(p, mixed, EQ, eq_id), 0);
    for (IntfOper op : {EQ, NE, LT, LE, GT, GE}) {
        EXPECT_EQ(object.ColumnIsException(p, none, op, eq_id), 0);
    }
    EXPECT_NE(object.ColumnIsException(p, sampleno, EQ, seven), 0);  // integer form
    EXPECT_NE(object.ColumnIsException(p, sampleno, GT, six), 0);
    EXPECT_EQ(object.ColumnIsException(p, sampleno, LT, six), 0);
}

TEST(BindingSituations, ResolvedThresholdsKeepWhatTheColumnTestsByNameKeep) {
    zta_txclients_manager manager{"ZTA", "TXCLIENTS"};
    ContextInfo c;
    std::vector<zta_txclients_data_t> rows;
    for (const char* id : {"", "CL4", "CL42", "CL43", "cl42", "CL42 X"})
        for (std::int32_t sampleno : {-7, 0, 6, 7, 8, 2147483647}) rows.push_back(client_row(id, sampleno));
    std::memcpy(rows[1].clientid, "CL42\0ZZ", 7);  // a NUL-terminated field
    for (IntfOper op : {EQ, NE, LT, LE, GT, GE}) {
        for (const AgwThreshold& t : {AgwThreshold{"CLIENTID", op, "CL42"}, AgwThreshold{"CLIENTID", op, ""},
                                      AgwThreshold{"SAMPLENO", op, "7"}, AgwThreshold{"SAMPLENO", op, "-7"},
                                      AgwThreshold{"SAMPLENO", op, "7.0"}, AgwThreshold{"clientid", op, "CL42"}}) {
            RequestDetail r = report("s");
            r.thresholds = {t, {"STATE", LT, "X"}};  // and a second, met by the blank state
            Probe object{&r, &c, &manager};
            for (zta_txclients_data_t& row : rows) {
                char* p = reinterpret_cast<char*>(&row);
                bool by_name = true;
                for (AgwThreshold each : r.thresholds)
                    by_name = by_name && object.ColumnIsException(p, each.column.data(), each.op, each.value.data());
                EXPECT_EQ(object.CheckForException(p) != 0, by_name)
                    << t.column << " " << int(op) << " " << t.value << " row " << row.sampleno;
            }
        }
    }
}

TEST_F(BindingObject, AddDataStopsAtTheFirstFailingInsertRow) {
    object.BeginSample();

    EXPECT_EQ(object.AddData(nullptr, 0), 0);
    EXPECT_EQ(object.NumDataItems(), 0u);

    zta_txclients_data_t rows[3] = {client_row("A"), client_row("B"), client_row("C")};
    object.fail_at = 2;
    EXPECT_EQ(object.AddData(rows, 3), Probe::kFailure);
    EXPECT_EQ(object.NumDataItems(), 1u);
    EXPECT_EQ(object.offered, 2);  // the third row is never offered
    EXPECT_EQ(object.GetRow(0)->clientid[0], 'A');
    EXPECT_EQ(object.CheckDataIndex(-1), 0);
    EXPECT_EQ(object.CheckDataIndex(0), 1);
    EXPECT_EQ(object.CheckDataIndex(1), 0);
    EXPECT_EQ(object._get_value_clientid(0), object.GetRow(0)->clientid);
    EXPECT_EQ(object._get_value_sampleno(0), 1);  // stamped by the framework
    // Indexes that name no stored row never reach outside the row block.
    EXPECT_EQ(object._get_value_sampleno(-1), 0);
    EXPECT_EQ(object._get_value_rowno(1), 0);
    EXPECT_EQ(std::string(object._get_value_clientid(1), 78), std::string(78, ' '));
    EXPECT_EQ(std::string(object._get_value_originnode(-5), 64), std::string(64, ' '));
}

TEST(Binding, AddDataWithThresholdsStoresOnlyKeptRows) {
    RequestDetail r = report("r");
    r.type = AGW_SAMPLE_SITUATION_REQUEST;
    r.thresholds.push_back({"CLIENTID", EQ, "B"});
    ContextInfo c;
    zta_txclients_manager manager("ZTA", "TXCLIENTS");
    Probe object(&r, &c, &manager);
    zta_txclients_data_t rows[3] = {client_row("A"), client_row("B"), client_row("C")};
    EXPECT_EQ(object.AddData(rows, 3), 0);
    ASSERT_EQ(object.NumDataItems(), 1u);
    EXPECT_EQ(object.GetRow(0)->clientid[0], 'B');
    EXPECT_EQ(object.offered, 3);
}

// Standard output pointed at a file for the duration of a scope.
class StdoutTo {
public:
    explicit StdoutTo(const char* path) {
        std::fflush(stdout);
        saved_ = dup(1);
        const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        close(fd);
    }
    ~StdoutTo() {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }

private:
    int saved_;
};

TEST(Binding, AddDataToEventReportsTheLastFailingDispatch) {
    zta_txclients_manager manager("ZTA", "TXCLIENTS");
    RequestDetail all = report("all");
    RequestDetail none = report("none");
    none.thresholds.push_back({"CLIENTID", EQ, "nobody"});
    ContextInfo c;
    Probe keeps(&all, &c, &manager);
    Probe rejects(&none, &c, &manager);

    zta_txclients_data_t row = client_row("PUSHED");
    // No table objects: 0 after taking and releasing the lock.
    EXPECT_EQ(manager.AddDataToEvent(&row, 1), 0);

    manager.lock();
    manager.List().Add(&keeps);
    manager.List().Add(&rejects);
    manager.unlock();

    {
        StdoutTo out("/dev/null");
        EXPECT_EQ(manager.AddDataToEvent(&row, 1), 0);
    }
    EXPECT_EQ(keeps.NumDataItems(), 0u);  // delivered and cleared
    EXPECT_EQ(keeps.inserts, 1);
    EXPECT_EQ(rejects.inserts, 0);

    {
        // The first object's delivery fails, the second has nothing to
        // deliver: the failure is the result.
        StdoutTo out("/dev/full");
        ::testing::internal::CaptureStderr();
        EXPECT_NE(manager.AddDataToEvent(&row, 1), 0);
        ::testing::internal::GetCapturedStderr();
    }
    EXPECT_EQ(keeps.NumDataItems(), 0u);

    manager.lock();
    manager.List().Remove(&keeps);
    manager.List().Remove(&rejects);
    manager.unlock();
}

TEST(Binding, EventArrivedWithoutManagerTouchesNothing) {
    auto* saved = zta_txclients_manager::_static_manager;
    zta_txclients_manager::_static_manager = nullptr;
    zta_txclients_data_t row = client_row("X");
    EXPECT_EQ(zta_txclients_manager::EventArrived(&row, 1), 0);
    zta_txclients_manager::_static_manager = saved;
}

TEST_F(BindingObject, PrintSelfDumpsRowsOnlyWithDetailTracing) {
    object.BeginSample();
    zta_txclients_data_t row = client_row("DUMPED");
    ASSERT_EQ(object.AddData(&row, 1), 0);

    ASSERT_EQ(TRC1_Configure("0x80"), 0);
    ::testing::internal::CaptureStderr();
    object.PrintSelf();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    ASSERT_EQ(TRC1_Configure("0x10"), 0);
    ::testing::internal::CaptureStderr();
    object.PrintSelf();
    const std::string dump = ::testing::internal::GetCapturedStderr();
    TRC1_Configure("0x80");

    EXPECT_NE(dump.find("zta_txclients_base @"), std::string::npos) << dump;
    EXPECT_NE(dump.find("::appl=ZTA,table=TXCLIENTS,interval=30000,samptype=2"), std::string::npos)
        << dump;
    EXPECT_NE(dump.find("_data {"), std::string::npos);
    EXPECT_NE(dump.find("count=1, allocated=50, allocSize=50"), std::string::npos) << dump;
    EXPECT_NE(dump.find("sampleno=1"), std::string::npos);
    EXPECT_NE(dump.find("clientid=\"DUMPED" + std::string(72, ' ') + "\""), std::string::npos);
    // Columns in row order: originnode first, lmid last.
    EXPECT_LT(dump.find("originnode="), dump.find("lmid="));
}

}  // namespace
