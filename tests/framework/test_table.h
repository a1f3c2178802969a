// A small table for the framework's tests (TSTQUEUE, one row per queue), and
// the column-list table object it is made of, which the benchmark shares.
#ifndef AGW_TEST_TABLE_H
#define AGW_TEST_TABLE_H

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "agw.h"

struct tst_row {
    char originnode[64];
    std::int32_t sampleno;
    std::int32_t rowno;
    char qname[10];  // blank-padded
    char pad[2];
    std::int32_t depth;
    char state[8];  // NUL-terminated
};
static_assert(sizeof(tst_row) == 96);

inline tst_row MakeRow(const char* qname, std::int32_t depth, const char* state) {
    tst_row row;
    std::memset(&row, 0, sizeof row);
    std::memset(row.originnode, ' ', sizeof row.originnode);
    std::memcpy(row.originnode, "node1", 5);
    std::memset(row.qname, ' ', sizeof row.qname);
    std::memcpy(row.qname, qname, std::min(std::strlen(qname), sizeof row.qname));
    row.depth = depth;
    std::memcpy(row.state, state, strnlen(state, sizeof row.state - 1));  // stays NUL-terminated
    return row;
}

struct TstColumn {
    const char* name;
    const char* upper;
    unsigned short offset, size, type;
};
inline constexpr TstColumn kTstColumns[] = {
    {"originnode", "ORIGINNODE", 0, 64, AGW_COLTYPE_TEXT},
    {"sampleno", "SAMPLENO", 64, 4, AGW_COLTYPE_INTEGER},
    {"rowno", "ROWNO", 68, 4, AGW_COLTYPE_INTEGER},
    {"qname", "QNAME", 72, 10, AGW_COLTYPE_TEXT},
    {"depth", "DEPTH", 84, 4, AGW_COLTYPE_INTEGER},
    {"state", "STATE", 88, 8, AGW_COLTYPE_TEXT},
};

// Counters shared by every test object (tests run one at a time).
struct TstCounters {
    std::atomic<int> live{0};
    std::atomic<int> samples{0};
};
inline TstCounters& Counters() {
    static TstCounters counters;
    return counters;
}

// A table object that describes its columns and answers threshold questions
// from a constant column list, as an agent's binding does.
class DescribedObject : public tavro {
public:
    DescribedObject(RequestDetail* request, ContextInfo* context, TableManager* manager, const TstColumn* columns,
                    int count)
        : tavro(request, context, manager), columns_(columns), count_(count) {}

    int NumColumns() override { return count_; }
    int GetColumnInfo(ColumnInfo* info, int index) override {
        if (index < 0 || index >= count_) return 0x21060007;
        const TstColumn& c = columns_[index];
        *info = ColumnInfo{c.name, c.offset, c.size, c.type};
        return 0;
    }
    int ColumnIsException(char* row, char* column, IntfOper op, char* threshold) override {
        for (int i = 0; i < count_; ++i) {
            const TstColumn& c = columns_[i];
            if (std::strcmp(c.upper, column) != 0) continue;
            if (c.type == AGW_COLTYPE_TEXT) return IsException(op, row + c.offset, threshold, c.size);
            std::int32_t value;
            std::memcpy(&value, row + c.offset, sizeof value);
            return IsException(op, static_cast<long>(value), threshold);
        }
        return 0;
    }

private:
    const TstColumn* columns_;
    int count_;
};

class TstObject : public DescribedObject {
public:
    // What a sample does; the default adds nothing.
    using Sampler = std::function<void(TstObject&)>;

    TstObject(RequestDetail* request, ContextInfo* context, TableManager* manager, Sampler sampler = {})
        : DescribedObject(request, context, manager, kTstColumns, static_cast<int>(std::size(kTstColumns))),
          sampler_(std::move(sampler)) {
        SetRowSize(sizeof(tst_row));
        SetAllocationDefault(4);
        ++Counters().live;
    }
    ~TstObject() override { --Counters().live; }

    void TakeSample() override {
        ++Counters().samples;
        if (sampler_) sampler_(*this);
    }
    // The agent's way in: keep the row when the request does.
    int AddRow(tst_row row) {
        char* bytes = reinterpret_cast<char*>(&row);
        return CheckForException(bytes) ? InsertRow(bytes) : 0;
    }
    const tst_row* Row(unsigned i) { return reinterpret_cast<const tst_row*>(Data(i)); }

private:
    Sampler sampler_;
};

class TstManager : public TableManager {
public:
    explicit TstManager(const char* table = "TSTQUEUE") : TableManager("TST", table) {}
    tavro* CreateTavro(RequestDetail* request, ContextInfo* context) override {
        if (failCreate) return nullptr;
        auto* object = new TstObject(request, context, this, sampler);
        if (switchSituations && object->_get_sampletype() == AGW_SAMPLE_SITUATION_REQUEST) {
            // As an agent may do: sample situations itself, on its own interval.
            object->_set_sampletype(AGW_SAMPLE_SITUATION);
            object->_set_interval(120);
        }
        return object;
    }
    TstObject::Sampler sampler;
    bool failCreate = false;
    bool switchSituations = false;
};

#endif
