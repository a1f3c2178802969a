// Row outputs. Dispatch hands every delivered row, as one JSON line, to the
// installed sink; agwmain installs the one AGW_OUTPUT names.
#ifndef AGW_SINK_H
#define AGW_SINK_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace agw {

class RowSink {
public:
    virtual ~RowSink() = default;
    // Takes whole lines and writes them out before it returns (Dispatch
    // hands a sample's rows over in blocks of whole lines and has handed
    // them all when it returns, so nothing waits in a buffer).
    // False when they could not be written: they are dropped, sampling goes on.
    virtual bool Write(std::string_view lines) = 0;
    // Opens the output again at its name (after log rotation renamed it).
    // 1: reopened; 0: nothing to reopen (not a file of its own); -1 with
    // *error set when it cannot be, the open one is then kept.
    virtual int Reopen(std::string* /*error*/) { return 0; }
    // The output's name, for messages ("standard output", a path).
    virtual std::string Name() const { return {}; }
};

// Lines to a file descriptor, whole lines only. A block that cannot be
// written whole (full disk, a write error) is dropped whole: on a regular
// file the file is cut back to its size before the block, so it ends with
// the last complete line; on a pipe or a device, where what went out cannot
// be taken back, the next write that succeeds begins with a newline, which
// ends the cut line (that one fragment is the only line a reader cannot
// parse). An outage is reported with one line on standard error when it
// starts (the output and the error) and one when it ends (with the rows
// dropped meanwhile), and both in the trace; the dropped rows are counted in
// <prefix>_rows_dropped_total. Every Write tries again, and lines that go
// out during the outage are delivered, but the outage ends only once a whole
// block of the output (its st_blksize) has been written since the last
// failure: on a full disk a short line may still fit in the last page the
// file holds, which says nothing about room for the next block. A
// reader gone (EPIPE: standard output into a pipe whose reader has exited)
// ends the run instead, with one line, as TBX_Shutdown does: nothing
// written there will ever be read. Lines to standard output are written
// under stdio's lock of stdout, after what stdio holds for it, so text that
// others print there under that lock never splits a line.
class FdSink : public RowSink {
public:
    FdSink(int fd, std::string name, bool ownsFd);
    ~FdSink() override;
    bool Write(std::string_view lines) override;
    // A file the sink opened itself is opened again at its path; the new
    // file takes the old one's descriptor number (dup2), so a write under
    // way finishes on the old file and the next goes to the new one.
    int Reopen(std::string* error) override;
    std::string Name() const override { return name_; }

private:
    // What one Write has to say once the locks are released.
    struct Outcome {
        bool written = false;
        bool started = false;        // an outage began with this write
        bool ended = false;          // an outage ended with this write
        int error = 0;               // errno of the failure (0: nothing written)
        std::uint64_t dropped = 0;   // rows this write dropped
        std::uint64_t outageDropped = 0;  // rows the ended outage dropped
    };
    Outcome WriteLines(std::string_view lines);      // with mutex_ held
    bool WriteAll(std::string_view bytes, std::size_t* done, int* error);  // with mutex_ held
    void Report(const Outcome& outcome);             // without the locks

    std::mutex mutex_;  // Dispatch may run on the scheduler and on push-path threads
    int fd_;
    std::string name_;
    bool ownsFd_;
    bool readerGone_ = false;     // EPIPE said once
    bool failing_ = false;        // in an outage
    std::size_t block_ = 0;       // the output's block size, read when an outage starts
    std::size_t since_ = 0;       // bytes written since the outage's last failure
    bool cutLine_ = false;        // a line went out in part (not a regular file)
    std::uint64_t outageDropped_ = 0;  // rows dropped in the current outage
};

// Lines kept in memory (tests, benchmarks).
class MemorySink : public RowSink {
public:
    bool Write(std::string_view lines) override;
    std::string Text();
    void Clear();

private:
    std::mutex mutex_;
    std::string text_;
};

// Opens the row output: "-" or empty is standard output, anything else a
// file (appended to, or created 0640: rows may say more than everyone should
// read). Null with *error set when it cannot be
// opened.
std::unique_ptr<RowSink> OpenRowOutput(const std::string& path, std::string* error);

// Permissions of the files the framework creates for rows and traces.
constexpr unsigned kOutputFileMode = 0640;

// SIGHUP's work, on agwmain's thread between samples: the row output and
// the trace file are opened again at their names; one state trace line says
// what was reopened (and what could not be).
void ReopenOutputs(RowSink* sink);

// The sink Dispatch writes to; standard output until one is installed.
RowSink* CurrentSink();
// Installs a sink (null: back to standard output); returns the previous one.
RowSink* InstallSink(RowSink* sink);

}  // namespace agw

#endif
