// Row outputs (see sink.h).
#include "sink.h"

#include "regular_file.h"

#include "agw_internal.h"
#include "agw_tbx.h"
#include "agw_trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace agw {

namespace {
TRC1_Block gSinkTrace = {"AGW100", "sink", "ReopenOutputs"};

// The installed sink. Process-wide: agwmain installs it on its thread and
// Dispatch reads it on the scheduler or a push-path thread.
std::atomic<RowSink*> gSink{nullptr};
}  // namespace

FdSink::FdSink(int fd, std::string name, bool ownsFd) : fd_(fd), name_(std::move(name)), ownsFd_(ownsFd) {}

FdSink::~FdSink() {
    if (ownsFd_ && fd_ >= 0) close(fd_);
}

bool FdSink::Write(std::string_view lines) {
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
    const bool written = WriteAll(lines);
    if (shares_stdio) funlockfile(stdout);
    return written;
}

bool FdSink::WriteAll(std::string_view lines) {
    std::size_t done = 0;
    while (done < lines.size()) {
        ssize_t n = ::write(fd_, lines.data() + done, lines.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EPIPE) {
            if (!reported_) {
                reported_ = true;
                std::fprintf(stderr, "%sagwmain: the reader of %s has gone; ending the run\n",
                             TRC1_StderrPriority(AGW_PRIO_WARNING), name_.c_str());
            }
            TBX_Shutdown(1);
            return false;
        }
        if (n <= 0) {
            if (!reported_) {
                reported_ = true;
                std::fprintf(stderr,
                             "%sagwmain: cannot write rows to %s: %s; rows are dropped while it cannot be written\n",
                             TRC1_StderrPriority(AGW_PRIO_ERR), name_.c_str(), n < 0 ? std::strerror(errno) : "nothing written");
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

int FdSink::Reopen(std::string* error) {
    if (!ownsFd_) return 0;
    std::string reason;
    const int fresh = zcommon::OpenForAppend(name_, &reason, kOutputFileMode);
    if (fresh < 0) {
        if (error != nullptr) *error = reason;
        return -1;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    int result;
    do {
        result = ::dup3(fresh, fd_, O_CLOEXEC);
    } while (result < 0 && errno == EINTR);
    const int saved = errno;
    ::close(fresh);
    if (result < 0) {
        if (error != nullptr) *error = std::strerror(saved);
        return -1;
    }
    reported_ = false;  // a new file: its first failure is worth a line again
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
