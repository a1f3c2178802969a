// Table objects: row storage, thresholds, delivery and handles.
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "agw_internal.h"
#include "agw_table.h"
#include "agw_trace.h"
#include "ascii.h"
#include "json.h"
#include "sink.h"

namespace {

TRC1_Block gDumpTrace = {"AGW100", "agwtavro", "DumpThresholds"};

// Serial numbers of table objects (their identifier). Process-wide; objects
// may be made on any thread.
std::atomic<std::uint32_t> gSerial{0};

// The handle table: handle -> live table object and the uses taken on it.
// Process-wide; UseHandle and HDL1_Drop may come from any thread, so it is
// guarded by gHandleMutex.
struct HandleEntry {
    tavro* object;
    std::uint32_t uses;
};
std::mutex gHandleMutex;
std::map<std::uint32_t, HandleEntry> gHandles;
std::uint32_t gNextHandle = 1;

std::uint32_t NewHandle(tavro* object) {
    std::lock_guard<std::mutex> guard(gHandleMutex);
    // Handles are not reused while their object lives; 0 is never a handle.
    while (gNextHandle == 0 || gHandles.count(gNextHandle) != 0) ++gNextHandle;
    std::uint32_t handle = gNextHandle++;
    gHandles[handle] = HandleEntry{object, 0};
    return handle;
}

void ReleaseHandle(std::uint32_t handle) {
    std::lock_guard<std::mutex> guard(gHandleMutex);
    gHandles.erase(handle);
}

// Rows of a sample are delivered in blocks of about this many bytes.
constexpr std::size_t kDeliveryBlock = 64 * 1024;

// The order of a text field against a threshold of `length` bytes, as the
// text form of IsException compares them.
int TextOrder(const char* field, int width, const char* threshold, std::size_t length) {
    std::string_view text = agw::FieldText(field, width);
    std::size_t common = text.size() < length ? text.size() : length;
    int order = common == 0 ? 0 : std::memcmp(text.data(), threshold, common);
    if (order == 0 && text.size() != length) order = text.size() < length ? -1 : 1;
    return order;
}

int Compare(IntfOper op, int order) {
    switch (op) {
        case EQ: return order == 0;
        case NE: return order != 0;
        case LT: return order < 0;
        case LE: return order <= 0;
        case GT: return order > 0;
        case GE: return order >= 0;
    }
    return 0;
}

}  // namespace

int HDL1_Drop(unsigned handle) {
    std::lock_guard<std::mutex> guard(gHandleMutex);
    auto it = gHandles.find(handle);
    if (it == gHandles.end()) return AGW_STATUS_BAD_HANDLE;
    if (it->second.uses == 0) return AGW_STATUS_NOT_IN_USE;
    --it->second.uses;
    return AGW_STATUS_OK;
}

int tavro::UseHandle(unsigned handle) {
    std::lock_guard<std::mutex> guard(gHandleMutex);
    auto it = gHandles.find(handle);
    if (it == gHandles.end()) return AGW_STATUS_BAD_HANDLE;
    if (it->second.uses == UINT32_MAX) return AGW_STATUS_TOO_MANY_ROWS;
    ++it->second.uses;
    return AGW_STATUS_OK;
}

tavro::tavro(RequestDetail* request, ContextInfo* /*context*/, TableManager* manager)
    : manager_(manager),
      sampleType_(request != nullptr ? request->type : AGW_SAMPLE_REPORT),
      interval_(request != nullptr ? request->interval : 30),
      identifier_(gSerial.fetch_add(1, std::memory_order_relaxed) + 1),
      handle_(NewHandle(this)),
      requestType_(sampleType_) {
    if (request != nullptr) {
        requestName_ = request->name;
        thresholds_ = request->thresholds;
        settings_ = request->settings;
    }
}

const std::string& tavro::Setting(const std::string& key) const {
    static const std::string kNone;
    auto it = settings_.find(key);
    return it == settings_.end() ? kNone : it->second;
}

tavro::~tavro() {
    // Normally the framework has taken the object off its manager's list
    // already; this covers an object deleted directly.
    if (manager_ != nullptr) {
        manager_->lock();
        manager_->List().Remove(this);
        manager_->unlock();
    }
    ReleaseHandle(handle_);
    std::free(rowBlock_);
}

const char* tavro::TableName() const { return manager_ != nullptr ? manager_->TableName() : ""; }
const char* tavro::ApplicationName() const { return manager_ != nullptr ? manager_->ApplicationName() : ""; }

int tavro::_get_interval() const {
    long long ms = static_cast<long long>(interval_) * 1000;
    if (ms > INT_MAX) return INT_MAX;
    if (ms < INT_MIN) return INT_MIN;
    return static_cast<int>(ms);
}

int tavro::Drop() { return HDL1_Drop(handle_); }

void tavro::SetAllocationDefault(unsigned rows) { allocationDefault_ = rows == 0 ? 1 : rows; }

void tavro::SetRowSize(unsigned bytes) {
    if (bytes == rowSize_) return;
    // Rows of the old size cannot be read with the new one.
    std::free(rowBlock_);
    rowBlock_ = nullptr;
    rowsAllocated_ = 0;
    rowCount_ = 0;
    rowSize_ = bytes;
    format_.reset();
}

void tavro::PrintSelf() {}

int tavro::NumColumns() { return 0; }

int tavro::GetColumnInfo(ColumnInfo* /*info*/, int /*index*/) { return AGW_STATUS_BAD_ARGUMENT; }

int tavro::ExecuteCommand(char* /*command*/, int /*length*/, char* /*reply*/) { return AGW_STATUS_NOT_SUPPORTED; }

void tavro::CommandCompleted(TavroAutomationCapsule* /*capsule*/) {}

int tavro::GetTableMetrics(AgwTableMetrics* /*info*/) { return AGW_STATUS_NOT_SUPPORTED; }

int tavro::GetColumnMetric(AgwColumnMetric* /*metric*/, int /*index*/) { return AGW_STATUS_NOT_SUPPORTED; }

bool tavro::MetricsRowScope(const char* /*row*/, AgwLabels* /*extra*/) const { return true; }

void tavro::BeforeMetrics() {}

int tavro::InsertRow(char* row) {
    if (row == nullptr) return AGW_STATUS_BAD_ARGUMENT;
    if (rowSize_ == 0) return AGW_STATUS_NO_ROW_SIZE;
    if (rowCount_ == rowsAllocated_) {
        // Geometric growth: a sample of n rows costs O(log n) reallocations.
        std::uint32_t step = rowsAllocated_ > allocationDefault_ ? rowsAllocated_ : allocationDefault_;
        if (rowsAllocated_ == UINT32_MAX) return AGW_STATUS_TOO_MANY_ROWS;
        if (step > UINT32_MAX - rowsAllocated_) step = UINT32_MAX - rowsAllocated_;
        std::uint32_t rows = rowsAllocated_ + step;
        auto* grown = static_cast<char*>(std::realloc(rowBlock_, static_cast<std::size_t>(rows) * rowSize_));
        if (grown == nullptr) return AGW_STATUS_NO_MEMORY;
        rowBlock_ = grown;
        rowsAllocated_ = rows;
    }
    char* slot = Data(rowCount_);
    std::memcpy(slot, row, rowSize_);
    if (rowSize_ >= 72) {
        // SAMPLENO and ROWNO follow the 64-byte ORIGINNODE of every row.
        auto sample = static_cast<std::int32_t>(sampleNumber_);
        auto index = static_cast<std::int32_t>(rowCount_);
        std::memcpy(slot + 64, &sample, sizeof sample);
        std::memcpy(slot + 68, &index, sizeof index);
    }
    ++rowCount_;
    return AGW_STATUS_OK;
}

void tavro::ResolveThresholds() {
    resolved_.clear();
    for (std::size_t i = 0; i < thresholds_.size(); ++i) {
        const AgwThreshold& threshold = thresholds_[i];
        Resolved r{Resolved::Kind::ask, threshold.op, 0, 0, false, 0, 0, i};
        ColumnInfo info{};
        if (agw::FindColumn(*this, threshold.column, &info)) {
            r.offset = info.offset;
            r.size = info.size;
            if (info.type == AGW_COLTYPE_INTEGER && info.size == sizeof(std::int32_t)) {
                r.kind = Resolved::Kind::integer;
                r.holds = agw::ParseDecimal(threshold.value.c_str(), &r.limit);
            } else if (info.type == AGW_COLTYPE_TEXT) {
                r.kind = Resolved::Kind::text;
                r.length = std::strlen(threshold.value.c_str());
            }
        }
        resolved_.push_back(r);
    }
    thresholdsResolved_ = true;
}

int tavro::CheckForException(char* row) {
    if (thresholds_.empty()) return 1;
    if (row == nullptr) return 0;
    if (!thresholdsResolved_) ResolveThresholds();
    for (const Resolved& r : resolved_) {
        int met = 0;
        switch (r.kind) {
            case Resolved::Kind::integer:
                if (r.holds) {
                    std::int32_t value;
                    std::memcpy(&value, row + r.offset, sizeof value);
                    met = Compare(r.op, value < r.limit ? -1 : (value > r.limit ? 1 : 0));
                }
                break;
            case Resolved::Kind::text:
                met = Compare(r.op, TextOrder(row + r.offset, r.size, thresholds_[r.index].value.data(), r.length));
                break;
            case Resolved::Kind::ask: {
                AgwThreshold& threshold = thresholds_[r.index];
                met = ColumnIsException(row, threshold.column.data(), threshold.op, threshold.value.data());
                break;
            }
        }
        if (!met) return 0;
    }
    return 1;
}

int tavro::ColumnIsException(char* /*row*/, char* /*column*/, IntfOper /*op*/, char* /*threshold*/) { return 0; }

int tavro::IsException(IntfOper op, const char* field, const char* threshold, int width) {
    if (threshold == nullptr) return 0;
    return Compare(op, TextOrder(field, width, threshold, std::strlen(threshold)));
}

int tavro::IsException(IntfOper op, long value, const char* threshold) {
    long limit = 0;
    if (!agw::ParseDecimal(threshold, &limit)) return 0;
    return Compare(op, value < limit ? -1 : (value > limit ? 1 : 0));
}

void tavro::DumpThresholds() {
    TRC1_Printf(&gDumpTrace, __LINE__, "\t::request=%s,thresholds=%zu\n", requestName_.c_str(), thresholds_.size());
    for (const AgwThreshold& threshold : thresholds_) {
        TRC1_Printf(&gDumpTrace, __LINE__, "\t::threshold %s %s \"%s\"\n", threshold.column.c_str(),
                    agw::OperatorName(threshold.op), threshold.value.c_str());
    }
}

int tavro::Dispatch() {
    rowsDelivered_ = 0;
    if (rowCount_ == 0) return AGW_STATUS_OK;
    if (!format_) {
        std::vector<ColumnInfo> columns;
        int n = NumColumns();
        for (int i = 0; i < n; ++i) {
            ColumnInfo info{};
            if (GetColumnInfo(&info, i) == AGW_STATUS_OK) columns.push_back(info);
        }
        format_ = std::make_unique<agw::RowFormat>(TableName(), requestName_, columns);
    }
    // The rows stream through one buffer per thread, reused by every
    // Dispatch on it and handed to the sink in blocks of whole lines, so that
    // delivery costs the same per row however large the sample.
    thread_local std::vector<char> block;
    const std::size_t room = kDeliveryBlock + format_->MaxBytes();
    if (block.size() < room) block.resize(room);
    agw::RowSink* sink = agw::CurrentSink();
    const std::string time = agw::UtcTime(agw::StampClockNow());  // one for the whole sample
    bool written = true;
    char* const start = block.data();
    char* end = start;
    std::uint32_t inBlock = 0;
    for (std::uint32_t i = 0; i < rowCount_ && written; ++i) {
        end = format_->Write(end, Data(i), rowSize_, time);
        ++inBlock;
        if (static_cast<std::size_t>(end - start) >= kDeliveryBlock) {
            // The rest of a sample that cannot be written is dropped.
            written = sink->Write(std::string_view(start, static_cast<std::size_t>(end - start)));
            if (written) rowsDelivered_ += inBlock;
            end = start;
            inBlock = 0;
        }
    }
    if (written && end != start) {
        written = sink->Write(std::string_view(start, static_cast<std::size_t>(end - start)));
        if (written) rowsDelivered_ += inBlock;
    }
    return written ? AGW_STATUS_OK : AGW_STATUS_SINK_FAILED;
}

int tavro::DispatchSampleRecord() {
    std::string record;
    agw::AppendSampleRecord(record, sampleNumber_, requestName_, TableName(), rowsDelivered_, !sampleIncomplete_,
                            incompleteReason_, agw::UtcTime(agw::StampClockNow()));
    return agw::CurrentSink()->Write(record) ? AGW_STATUS_OK : AGW_STATUS_SINK_FAILED;
}

namespace agw {

bool FindColumn(tavro& object, std::string_view upperName, ColumnInfo* found) {
    const int n = object.NumColumns();
    for (int i = 0; i < n; ++i) {
        ColumnInfo info{};
        if (object.GetColumnInfo(&info, i) != AGW_STATUS_OK || info.name == nullptr) continue;
        std::size_t k = 0;
        while (info.name[k] != '\0' && k < upperName.size() && zcommon::ToUpper(info.name[k]) == upperName[k]) ++k;
        if (k == upperName.size() && info.name[k] == '\0') {
            if (found != nullptr) *found = info;
            return true;
        }
    }
    return false;
}

}  // namespace agw
