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
};

// Lines to a file descriptor. The first failed write is reported with one
// line on standard error; later failures are silent, and every later Write
// tries again. Lines to standard output are written under stdio's lock of
// stdout, after what stdio holds for it, so text that others print there
// under that lock never splits a line.
class FdSink : public RowSink {
public:
    FdSink(int fd, std::string name, bool ownsFd);
    ~FdSink() override;
    bool Write(std::string_view lines) override;

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
// file (created or appended to). Null with *error set when it cannot be
// opened.
std::unique_ptr<RowSink> OpenRowOutput(const std::string& path, std::string* error);

// The sink Dispatch writes to; standard output until one is installed.
RowSink* CurrentSink();
// Installs a sink (null: back to standard output); returns the previous one.
RowSink* InstallSink(RowSink* sink);

}  // namespace agw

#endif
