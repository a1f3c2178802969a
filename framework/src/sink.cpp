// Row outputs (see sink.h).
#include "sink.h"

#include "regular_file.h"

#include "agw_internal.h"
#include "agw_tbx.h"
#include "agw_trace.h"
#include "metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace agw {

namespace {
TRC1_Block gSinkTrace = {"AGW100", "sink", "ReopenOutputs"};
TRC1_Block gOutputTrace = {"AGW100", "sink", "Write"};

// The installed sink. Process-wide: agwmain installs it on its thread and
// Dispatch reads it on the scheduler or a push-path thread.
std::atomic<RowSink*> gSink{nullptr};

// The output's block: what must be written again before an outage counts as
// over (a page where fstat cannot say, bounded either way).
std::size_t BlockSize(int fd) {
    struct stat st {};
    const long size = ::fstat(fd, &st) == 0 ? static_cast<long>(st.st_blksize) : 4096;
    return static_cast<std::size_t>(std::clamp(size, 512L, 1L << 20));
}
}  // namespace

FdSink::FdSink(int fd, std::string name, bool ownsFd) : fd_(fd), name_(std::move(name)), ownsFd_(ownsFd) {}

FdSink::~FdSink() {
    if (ownsFd_ && fd_ >= 0) close(fd_);
}

bool FdSink::Write(std::string_view lines) {
    Outcome outcome;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        // Standard output may also carry the agent's own text, written through
        // stdio (printed replies). Holding stdio's lock of stdout, after writing
        // out what it has pending, keeps that text and these lines apart: a line
        // is never split by the other writer.
        const bool shares_stdio = fd_ == STDOUT_FILENO;
        if (shares_stdio) {
            flockfile(stdout);
            std::fflush(stdout);
        }
        outcome = WriteLines(lines);
        if (shares_stdio) funlockfile(stdout);
    }
    Report(outcome);
    return outcome.written;
}

FdSink::Outcome FdSink::WriteLines(std::string_view lines) {
    Outcome outcome;
    if (lines.empty()) {
        outcome.written = true;
        return outcome;
    }
    std::size_t done = 0;
    int error = 0;
    bool written = true;
    if (cutLine_) {
        // The line cut by the last failure ends here, so this block's first
        // line stands on its own.
        std::size_t newline = 0;
        written = WriteAll("\n", &newline, &error);
        if (written) cutLine_ = false;
    }
    if (written) written = WriteAll(lines, &done, &error);
    if (written) {
        outcome.written = true;
        if (failing_) since_ += lines.size();
        if (failing_ && since_ >= block_) {
            failing_ = false;
            outcome.ended = true;
            outcome.outageDropped = outageDropped_;
            outageDropped_ = 0;
        }
        return outcome;
    }
    outcome.error = error;
    if (error == EPIPE) return outcome;  // the run ends; Report says so
    // Whole lines only: what went out of this block is taken back where it
    // can be, else the next write ends the cut line.
    std::uint64_t dropped = static_cast<std::uint64_t>(std::count(lines.begin(), lines.end(), '\n'));
    if (done > 0) {
        struct stat st {};
        const off_t at = ::lseek(fd_, 0, SEEK_CUR);  // the end of what this block wrote
        if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && at >= static_cast<off_t>(done) &&
            ::ftruncate(fd_, at - static_cast<off_t>(done)) == 0) {
            ::lseek(fd_, at - static_cast<off_t>(done), SEEK_SET);  // no hole before the next line
        } else {
            // The complete lines before the cut were delivered.
            const std::string_view out = lines.substr(0, done);
            dropped -= static_cast<std::uint64_t>(std::count(out.begin(), out.end(), '\n'));
            cutLine_ = lines[done - 1] != '\n';
        }
    }
    outcome.dropped = dropped;
    since_ = 0;
    if (!failing_) {
        failing_ = true;
        outcome.started = true;
        block_ = BlockSize(fd_);
    }
    outageDropped_ += dropped;
    return outcome;
}

bool FdSink::WriteAll(std::string_view bytes, std::size_t* done, int* error) {
    while (*done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + *done, bytes.size() - *done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = n < 0 ? errno : 0;
            return false;
        }
        *done += static_cast<std::size_t>(n);
    }
    return true;
}

void FdSink::Report(const Outcome& outcome) {
    if (outcome.written && !outcome.ended) return;
    if (!outcome.written && outcome.error == EPIPE) {
        bool first;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            first = !readerGone_;
            readerGone_ = true;
        }
        if (first) {
            std::fprintf(stderr, "%sagwmain: the reader of %s has gone; ending the run\n",
                         TRC1_StderrPriority(AGW_PRIO_WARNING), name_.c_str());
        }
        TBX_Shutdown(1);
        return;
    }
    if (outcome.dropped > 0) {
        MetricsRegistry& registry = MetricsRegistry::Instance();
        registry.AddCounter(registry.Prefix() + kRowsDroppedSeries.suffix, kRowsDroppedSeries.help, {},
                            static_cast<double>(outcome.dropped));
    }
    if (outcome.started) {
        const char* why = outcome.error != 0 ? std::strerror(outcome.error) : "nothing written";
        std::fprintf(stderr, "%sagwmain: cannot write rows to %s: %s; rows are dropped while it cannot be written\n",
                     TRC1_StderrPriority(AGW_PRIO_ERR), name_.c_str(), why);
        AGW_TRACE(gOutputTrace, AGW_TRC_STATE, "rows to %s cannot be written: %s", name_.c_str(), why);
    }
    if (outcome.ended) {
        const auto n = static_cast<unsigned long long>(outcome.outageDropped);
        std::fprintf(stderr, "%sagwmain: rows to %s are written again; %llu row%s dropped meanwhile\n",
                     TRC1_StderrPriority(AGW_PRIO_INFO), name_.c_str(), n, n == 1 ? " was" : "s were");
        AGW_TRACE(gOutputTrace, AGW_TRC_STATE, "rows to %s are written again; %llu dropped", name_.c_str(), n);
    }
}

int FdSink::Reopen(std::string* error) {
    if (!ownsFd_) return 0;
    std::lock_guard<std::mutex> guard(mutex_);
    std::string reason;
    if (zcommon::ReopenAs(fd_, name_, &reason, kOutputFileMode) < 0) {
        if (error != nullptr) *error = reason;
        return -1;
    }
    return 1;
}

void ReopenOutputs(RowSink* sink) {
    std::string said;
    auto add = [&said](const std::string& text) { said += (said.empty() ? "" : "; ") + text; };
    if (sink != nullptr) {
        std::string error;
        const std::string name = sink->Name();
        switch (sink->Reopen(&error)) {
            case 1: add("rows \"" + name + "\" reopened"); break;
            case -1: add("cannot reopen rows \"" + name + "\": " + error + "; writing on to the open file"); break;
            default: add("rows to " + name + ", nothing to reopen"); break;
        }
    }
    std::string path;
    std::string error;
    switch (ReopenTraceFile(&path, &error)) {
        case 1: add("trace \"" + path + "\" reopened"); break;
        case -1: add("cannot reopen trace \"" + path + "\": " + error + "; tracing on to the open file"); break;
        default: break;
    }
    AGW_TRACE(gSinkTrace, AGW_TRC_STATE, "SIGHUP: %s", said.c_str());
}

bool MemorySink::Write(std::string_view lines) {
    std::lock_guard<std::mutex> guard(mutex_);
    text_.append(lines);
    return true;
}

std::string MemorySink::Text() {
    std::lock_guard<std::mutex> guard(mutex_);
    return text_;
}

void MemorySink::Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    text_.clear();
}

std::unique_ptr<RowSink> OpenRowOutput(const std::string& path, std::string* error) {
    if (path.empty() || path == "-") return std::make_unique<FdSink>(STDOUT_FILENO, "standard output", false);
    std::string reason;
    const int fd = zcommon::OpenForAppend(path, &reason, kOutputFileMode);
    if (fd < 0) {
        if (error != nullptr) *error = reason;
        return nullptr;
    }
    return std::make_unique<FdSink>(fd, path, true);
}

RowSink* CurrentSink() {
    RowSink* sink = gSink.load(std::memory_order_acquire);
    if (sink != nullptr) return sink;
    // Rows delivered outside agwmain still go somewhere: standard output.
    // A function-level static, made once, thread-safe by the language.
    static FdSink stdoutSink(STDOUT_FILENO, "standard output", false);
    return &stdoutSink;
}

RowSink* InstallSink(RowSink* sink) { return gSink.exchange(sink, std::memory_order_acq_rel); }

}  // namespace agw
