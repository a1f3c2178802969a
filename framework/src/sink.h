// Row outputs. Dispatch hands every delivered row, as one JSON line, to the
// installed sink; agwmain installs the one AGW_OUTPUT names.
#ifndef AGW_SINK_H
#define AGW_SINK_H

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

// Lines to a file descriptor. The first failed write is reported with one
// line on standard error; later failures are silent, and every later Write
// tries again. A reader gone (EPIPE: standard output into a pipe whose
// reader has exited) ends the run instead, with one line, as TBX_Shutdown
// does: nothing written there will ever be read. Lines to standard output are written under stdio's lock of
// stdout, after what stdio holds for it, so text that others print there
// under that lock never splits a line.
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
    bool WriteAll(std::string_view lines);  // with mutex_ held

    std::mutex mutex_;  // Dispatch may run on the scheduler and on push-path threads
    int fd_;
    std::string name_;
    bool ownsFd_;
    bool reported_ = false;
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
