// Table managers and table objects: the classes an agent derives from.
//
// A TableManager exists once per table for the life of the process and makes
// a table object (a tavro) for each request of its table. The framework owns
// the table objects: it adds each one to its manager's list right after
// CreateTavro, samples it, delivers its rows, and at the end removes it from
// the list and destroys it through the virtual destructor.
#ifndef AGW_TABLE_H
#define AGW_TABLE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "agw_metrics.h"
#include "agw_types.h"

class tavro;
class TableManager;
namespace agw {
class RowFormat;
}

// A manager's lock. Recursive, so that a thread already holding it (the
// scheduler holds it while it samples a table object) may take it again,
// e.g. through the push path of the same table.
struct TAVRO_Lock {
    std::recursive_mutex mutex;
};
int SYN1_GetLock(TAVRO_Lock* lock);
int SYN1_ReleaseLock(TAVRO_Lock* lock);

// The live table objects of one manager, in the order they were made.
// Changed and walked only under the manager's lock.
class TavroList {
public:
    void Add(tavro* object);
    bool Remove(tavro* object);  // false when it was not in the list
    bool Contains(const tavro* object) const;
    std::size_t Count() const { return items_.size(); }

private:
    friend class TavroListIter;
    std::vector<tavro*> items_;
};

// Walks a TavroList: while (tavro* t = it.Next()) { ... }
class TavroListIter {
public:
    explicit TavroListIter(TavroList& list) : list_(list) {}
    tavro* Next() { return next_ < list_.items_.size() ? list_.items_[next_++] : nullptr; }

private:
    TavroList& list_;
    std::size_t next_ = 0;
};

constexpr std::size_t AGW_NAME_SIZE = 32;  // room for application and table names, with the NUL

class TableManager {
public:
    // Keeps copies of both names. A name that does not fit AGW_NAME_SIZE - 1
    // bytes is cut, and the manager is then refused by RegisterWithManager.
    TableManager(const char* application, const char* table);
    virtual ~TableManager();  // unregisters the manager and destroys its table objects
    // Destroys every table object of this manager (each removed from the
    // list under the lock, then deleted). The argument is reserved.
    virtual void Shutdown(unsigned long reserved);
    virtual tavro* CreateTavro(RequestDetail* request, ContextInfo* context) = 0;
    // A table object that only describes the table (its columns and
    // metrics) and is never sampled: making it reaches no outside system, so
    // that a request file can be checked and the series listed without
    // starting anything. The caller deletes it. The default makes none.
    virtual tavro* CreateDescription(RequestDetail* request, ContextInfo* context);

    // Registers the manager so that agwmain brings it the requests for its
    // table. Returns 0; AGW_STATUS_BAD_ARGUMENT for a null manager or a bad
    // name; AGW_STATUS_DUPLICATE_TABLE when another manager serves the table.
    static int RegisterWithManager(TableManager* manager);
    // The manager registered for a table (exact name), or null.
    static TableManager* Find(const char* table);
    // Every registered manager, in the order of registration.
    static std::vector<TableManager*> Registered();

    void lock();
    void unlock();

    const char* ApplicationName() const { return application_; }
    const char* TableName() const { return table_; }
    TavroList& List() { return list_; }

    // Makes a table object through CreateTavro and adds it to the list under
    // the lock. Returns null when CreateTavro does.
    tavro* NewTableObject(RequestDetail* request, ContextInfo* context);
    // Removes the object from the list under the lock, then destroys it.
    void DeleteTableObject(tavro* object);

    TableManager(const TableManager&) = delete;
    TableManager& operator=(const TableManager&) = delete;

private:
    TAVRO_Lock lock_;  // must stay the first member
    TavroList list_;   // live table objects; guarded by lock_ (scheduler, push path, shutdown)
    char application_[AGW_NAME_SIZE];
    char table_[AGW_NAME_SIZE];
    bool namesCut_ = false;
};

class tavro {
public:
    // Sets the manager, sample type, interval, identifier and handle from the
    // request (a null request gives a report every 30 seconds) and keeps a
    // copy of the request's name and thresholds.
    tavro(RequestDetail* request, ContextInfo* context, TableManager* manager);

    virtual void PrintSelf();
    virtual void TakeSample() = 0;
    virtual int NumColumns();
    virtual int GetColumnInfo(ColumnInfo* info, int index);
    virtual int ExecuteCommand(char* command, int length, char* reply);
    // What the metrics endpoint serves of the table: its series prefix and
    // mode, and each column's role (index as for GetColumnInfo). The
    // defaults return AGW_STATUS_NOT_SUPPORTED: the table is not exported.
    virtual int GetTableMetrics(AgwTableMetrics* info);
    virtual int GetColumnMetric(AgwColumnMetric* metric, int index);
    // Whether this process exports one kept row's series (a row of an object
    // that another process of the same kind exports is left to it), and
    // labels the row's series get besides its keys. Called on the sampling
    // thread, after the sample. The default exports every row as it is.
    virtual bool MetricsRowScope(const char* row, AgwLabels* extra) const;
    // Called once after each sample whose rows become series, before the
    // first MetricsRowScope of that sample: an object may read again here
    // what its scope depends on. The default does nothing.
    virtual void BeforeMetrics();
    virtual ~tavro();
    // Appends a copy of one row of DataSize() bytes, growing the row block
    // when it is full (by AllocationDefault() rows at first, then by as many
    // rows as it holds, so that a large sample costs few reallocations), and stamps SAMPLENO (the
    // request's sample counter) and ROWNO (the row's index in the sample) as
    // 32-bit ints at offsets 64 and 68 when the row is at least 72 bytes.
    virtual int InsertRow(char* row);
    // Nonzero when every threshold of the request holds for the row; a
    // request without thresholds keeps all rows. The thresholds are resolved
    // against the columns once (ResolveThresholds) and then applied to each
    // row as IsException would, without looking a column up; a threshold
    // whose column the object does not describe is asked through
    // ColumnIsException.
    virtual int CheckForException(char* row);
    virtual int ColumnIsException(char* row, char* column, IntfOper op, char* threshold);
    virtual void CommandCompleted(TavroAutomationCapsule* capsule);

    // Names of the manager (empty without one).
    const char* TableName() const;
    const char* ApplicationName() const;

    IntfSampleType _get_sampletype() const { return sampleType_; }
    void _set_sampletype(IntfSampleType type) { sampleType_ = type; }
    int Interval() const { return interval_; }        // seconds
    void _set_interval(int seconds) { interval_ = seconds; }
    int _get_interval() const;                        // milliseconds, saturated at INT_MAX
    std::uint32_t Identifier() const { return identifier_; }  // serial number of the object in this process
    std::uint32_t Handle() const { return handle_; }
    int Drop();                                       // HDL1_Drop(Handle())
    // Takes a use of the table object behind a handle, held until HDL1_Drop.
    // Returns 0, or AGW_STATUS_BAD_HANDLE when no live object has it.
    static int UseHandle(unsigned handle);

    std::uint32_t NumRowsAllocated() const { return rowsAllocated_; }
    std::uint32_t AllocationDefault() const { return allocationDefault_; }
    void SetAllocationDefault(unsigned rows);        // 0 counts as 1
    std::uint32_t DataSize() const { return rowSize_; }
    // Sets the row size. Changing it drops the rows held so far.
    void SetRowSize(unsigned bytes);
    std::uint32_t NumDataItems() const { return rowCount_; }
    void ClearCount() { rowCount_ = 0; }              // keeps the storage
    // Row index of the row block (not checked against the row count).
    char* Data(unsigned index) { return rowBlock_ + static_cast<std::size_t>(rowSize_) * index; }
    // Delivers the rows held now (0 .. NumDataItems()-1) to the row output.
    int Dispatch();
    // The rows the latest Dispatch handed to the row output whole.
    std::uint32_t RowsDelivered() const { return rowsDelivered_; }
    // Writes the record that ends a sample to the row output, after its
    // Dispatch: {"sample":N,"request":"R","table":"T","rows":R,
    // "complete":true|false} with an incomplete sample's "reason" and the
    // time.
    int DispatchSampleRecord();
    // Writes the request's thresholds to the trace.
    void DumpThresholds();
    // Resolves the request's thresholds against the columns the object
    // describes (offset, width, type, the parsed integer). agwmain calls it
    // when the object is made; CheckForException calls it when nobody has.
    void ResolveThresholds();

    // Comparison helpers for ColumnIsException. Text form: the field is read
    // up to width bytes or its first NUL, trailing blanks are ignored, then it
    // is compared byte-wise with the threshold. Integer form: the threshold
    // must be a decimal integer (optional sign, digits only); any other
    // threshold never holds. Nonzero when "field <op> threshold" holds.
    int IsException(IntfOper op, const char* field, const char* threshold, int width);
    int IsException(IntfOper op, long value, const char* threshold);

    // The framework's view of the request.
    const std::string& RequestName() const { return requestName_; }
    IntfSampleType RequestType() const { return requestType_; }
    const std::vector<AgwThreshold>& Thresholds() const { return thresholds_; }
    // A setting of the request file for the agent's tables ("mib.occurs"),
    // as RequestDetail::settings held it when the object was made; "" when
    // not given.
    const std::string& Setting(const std::string& key) const;
    TableManager* Manager() const { return manager_; }
    // Starts the next sample: raises the sample counter (SAMPLENO) by one
    // and counts the sample complete until told otherwise.
    void BeginSample() {
        ++sampleNumber_;
        sampleIncomplete_ = false;
        incompleteReason_.clear();
    }
    std::uint32_t SampleNumber() const { return sampleNumber_; }
    // Says that the sample being taken did not see the whole table: it ended
    // on a failed call, or could not look at all. Its rows are delivered as
    // usual and may raise a situation (a kept row is real), but it never
    // clears one: rows it lacks prove nothing. Call it from TakeSample, any
    // number of times; the next BeginSample forgets it. `why`, when given,
    // says in one line what cut the sample short; the first reason given in
    // a sample is kept (at most kMaxIncompleteReason bytes) for whoever
    // reports the sample.
    void MarkSampleIncomplete(std::string_view why = {}) {
        sampleIncomplete_ = true;
        if (incompleteReason_.empty() && !why.empty()) {
            incompleteReason_.assign(why.substr(0, kMaxIncompleteReason));
        }
    }
    bool SampleIncomplete() const { return sampleIncomplete_; }
    // The first reason given to MarkSampleIncomplete in this sample, or "".
    const std::string& SampleIncompleteReason() const { return incompleteReason_; }
    static constexpr std::size_t kMaxIncompleteReason = 1024;

    tavro(const tavro&) = delete;
    tavro& operator=(const tavro&) = delete;

private:
    TableManager* manager_;
    IntfSampleType sampleType_;
    std::int32_t interval_;
    std::uint32_t identifier_;
    std::uint32_t handle_;
    std::uint32_t rowsAllocated_ = 0;
    std::uint32_t allocationDefault_ = 10;
    std::uint32_t rowSize_ = 0;
    std::uint32_t rowCount_ = 0;
    char* rowBlock_ = nullptr;

    std::string requestName_;
    IntfSampleType requestType_;
    std::vector<AgwThreshold> thresholds_;
    std::map<std::string, std::string> settings_;
    // A threshold ready to apply to a row.
    struct Resolved {
        enum class Kind { integer, text, ask } kind;
        IntfOper op;
        std::uint16_t offset;
        std::uint16_t size;
        bool holds;           // integer: the value is a decimal integer (else never met)
        long limit;           // integer: the parsed value
        std::size_t length;   // text: the value's length
        std::size_t index;    // the threshold in thresholds_
    };
    std::vector<Resolved> resolved_;
    bool thresholdsResolved_ = false;
    std::uint32_t sampleNumber_ = 0;
    bool sampleIncomplete_ = false;
    std::string incompleteReason_;
    std::unique_ptr<agw::RowFormat> format_;  // made at the first Dispatch
    std::uint32_t rowsDelivered_ = 0;
};

#endif
