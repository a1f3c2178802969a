// The trace service (see agw_trace.h for the AGW_TRACE syntax and the line
// format).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <strings.h>
#include <vector>

#include "agw_internal.h"
#include "agw_trace.h"
#include "ascii.h"
#include "printable.h"
#include "regular_file.h"

namespace {

struct UnitMask {
    std::string unit;
    unsigned mask;
};

// The trace configuration. Process-wide: every thread traces. The masks are
// guarded by gConfigMutex; gGeneration tells blocks that their cached mask
// is stale; the destination is an atomic file descriptor.
std::once_flag gInitOnce;
std::mutex gConfigMutex;
unsigned gDefaultMask = AGW_TRC_DEFAULT;
std::vector<UnitMask> gUnitMasks;
std::atomic<std::uint32_t> gGeneration{1};
std::atomic<int> gTraceFd{STDERR_FILENO};
// The trace file's path and descriptor when AGW_TRACE_FILE opened one (for
// SIGHUP's reopen); set once at initialisation, read under gConfigMutex.
std::string gTracePath;
int gTraceFileFd = -1;
// Set by agwcheck on the main thread before the first trace line: no trace
// file is opened (or created), its path is only checked.
std::atomic<bool> gKeepStderr{false};

bool ParseMask(const std::string& text, unsigned* mask) {
    if (text.empty()) return false;
    const char* digits = text.c_str();
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        digits += 2;
        base = 16;
    }
    for (const char* p = digits; *p != '\0'; ++p) {
        bool ok = base == 16 ? std::strchr("0123456789abcdefABCDEF", *p) != nullptr : zcommon::IsDigit(*p);
        if (!ok) return false;
    }
    errno = 0;
    unsigned long long v = std::strtoull(digits, nullptr, base);
    if (errno == ERANGE || v > 0xFFFFFFFFull) return false;
    *mask = static_cast<unsigned>(v);
    return true;
}

// Parses "mask" / "unit=mask" items separated by commas.
bool ParseSetting(const char* setting, unsigned* defaultMask, std::vector<UnitMask>* units) {
    *defaultMask = AGW_TRC_DEFAULT;
    units->clear();
    std::string text = setting;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        std::string item = text.substr(start, comma - start);
        while (!item.empty() && item.front() == ' ') item.erase(item.begin());
        while (!item.empty() && item.back() == ' ') item.pop_back();
        std::size_t eq = item.find('=');
        unsigned mask = 0;
        if (eq == std::string::npos) {
            if (!ParseMask(item, &mask)) return false;
            *defaultMask = mask;
        } else {
            std::string unit = item.substr(0, eq);
            while (!unit.empty() && unit.back() == ' ') unit.pop_back();
            std::string value = item.substr(eq + 1);
            while (!value.empty() && value.front() == ' ') value.erase(value.begin());
            if (unit.empty() || !ParseMask(value, &mask)) return false;
            units->push_back(UnitMask{unit, mask});
        }
        start = comma + 1;
    }
    return true;
}

int ApplySetting(const char* setting) {
    unsigned defaultMask = AGW_TRC_DEFAULT;
    std::vector<UnitMask> units;
    int result = 0;
    if (setting != nullptr && *setting != '\0' && !ParseSetting(setting, &defaultMask, &units)) {
        std::fprintf(stderr,
                     "%sagwmain: AGW_TRACE: expected a mask (decimal or 0x-hex) or unit=mask items separated by "
                     "commas, got \"%s\"; using 0x%x\n",
                     TRC1_StderrPriority(AGW_PRIO_WARNING), zcommon::Printable(setting).c_str(), AGW_TRC_DEFAULT);
        defaultMask = AGW_TRC_DEFAULT;
        units.clear();
        result = -1;
    }
    std::lock_guard<std::mutex> guard(gConfigMutex);
    gDefaultMask = defaultMask;
    gUnitMasks = std::move(units);
    gGeneration.fetch_add(1, std::memory_order_acq_rel);
    return result;
}

void InitFromEnvironment() {
    const char* path = std::getenv("AGW_TRACE_FILE");
    if (path != nullptr && *path != '\0') {
        std::string reason;
        int fd = -1;
        bool usable = false;
        if (gKeepStderr.load(std::memory_order_acquire)) {
            usable = zcommon::CanAppend(path, &reason);
        } else {
            fd = zcommon::OpenForAppend(path, &reason, 0640);
            usable = fd >= 0;
        }
        if (fd >= 0) {
            gTraceFd.store(fd, std::memory_order_release);
            std::lock_guard<std::mutex> guard(gConfigMutex);
            gTracePath = path;
            gTraceFileFd = fd;
        }
        if (!usable) {
            std::fprintf(stderr, "%sagwmain: AGW_TRACE_FILE: cannot open \"%s\": %s; tracing to standard error\n",
                         TRC1_StderrPriority(AGW_PRIO_WARNING), zcommon::Printable(path).c_str(), reason.c_str());
        }
    }
    ApplySetting(std::getenv("AGW_TRACE"));
}

void Init() { std::call_once(gInitOnce, InitFromEnvironment); }

// True when standard error is the journal's stream: JOURNAL_STREAM holds
// "device:inode" of the stream systemd connected, and standard error is
// still that file (not redirected by a script the service runs).
bool StderrIsJournal() {
    // Decided once: neither the variable nor standard error changes under
    // a running agent. A function-level static, thread-safe by the language.
    static const bool journal = [] {
        const char* stream = std::getenv("JOURNAL_STREAM");
        if (stream == nullptr || *stream == '\0') return false;
        unsigned long long device = 0, inode = 0;
        char rest = 0;
        if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &rest) != 2) return false;
        struct stat info {};
        if (fstat(STDERR_FILENO, &info) != 0) return false;
        return static_cast<unsigned long long>(info.st_dev) == device &&
               static_cast<unsigned long long>(info.st_ino) == inode;
    }();
    return journal;
}

const char* ClassName(unsigned cls, char* buf, std::size_t size) {
    switch (cls) {
        case AGW_TRC_ROW: return "ROW";
        case AGW_TRC_DETAIL: return "DETAIL";
        case AGW_TRC_FLOW: return "FLOW";
        case AGW_TRC_ERROR: return "ERROR";
        case AGW_TRC_STATE: return "STATE";
        default: std::snprintf(buf, size, "0x%x", cls); return buf;
    }
}

const char* Or(const char* text, const char* fallback) { return text != nullptr ? text : fallback; }

// "unit:line", or "unit(file:line)" when file (its directories and
// extension dropped) names another unit.
std::string Where(const char* unit, const char* file, int line) {
    std::string where = unit;
    std::string_view stem = file != nullptr ? file : "";
    if (std::size_t slash = stem.rfind('/'); slash != std::string_view::npos) stem.remove_prefix(slash + 1);
    if (std::size_t dot = stem.find('.'); dot != std::string_view::npos) stem = stem.substr(0, dot);
    if (stem.empty() || (strncasecmp(stem.data(), unit, stem.size()) == 0 && unit[stem.size()] == '\0')) {
        return where + ":" + std::to_string(line);
    }
    return where + "(" + std::string(stem) + ":" + std::to_string(line) + ")";
}

// Writes text as trace lines, one per line of the text, in one write().
void Emit(const TRC1_Block* block, const char* file, int line, const char* cls, const char* text) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char header[256];
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    const char* component = block != nullptr ? Or(block->component, "-") : "-";
    const char* unit = block != nullptr ? Or(block->unit, "-") : "-";
    const char* routine = block != nullptr ? Or(block->routine, "-") : "-";
    std::snprintf(header, sizeof header, "%s.%03ld %s %s %s %s ", stamp, now.tv_nsec / 1000000, component,
                  Where(unit, file, line).c_str(), routine, cls);

    std::string_view body = text;
    while (!body.empty() && body.back() == '\n') body.remove_suffix(1);
    std::string out;
    out.reserve(body.size() + 2 * sizeof header);
    std::size_t start = 0;
    do {
        std::size_t nl = body.find('\n', start);
        if (nl == std::string_view::npos) nl = body.size();
        out += header;
        out.append(body.substr(start, nl - start));
        out += '\n';
        start = nl + 1;
    } while (start <= body.size());

    int fd = gTraceFd.load(std::memory_order_acquire);
    if (fd == STDERR_FILENO) {
        const char* priority = TRC1_StderrPriority(std::strcmp(cls, "ERROR") == 0 ? AGW_PRIO_ERR : AGW_PRIO_INFO);
        if (*priority != '\0') {
            std::string marked;
            marked.reserve(out.size() + 8 * sizeof header);
            for (std::size_t at = 0; at < out.size();) {
                std::size_t nl = out.find('\n', at);
                marked += priority;
                marked.append(out, at, nl + 1 - at);
                at = nl + 1;
            }
            out.swap(marked);
        }
    }
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::write(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the trace is best effort; nothing else to tell
        done += static_cast<std::size_t>(n);
    }
}

std::string Format(const char* format, va_list args) {
    if (format == nullptr) return {};
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, static_cast<std::size_t>(n));
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), format, args);
    big.resize(static_cast<std::size_t>(n));
    return big;
}

}  // namespace

namespace agw {
int SetTraceFd(int fd) {
    Init();
    return gTraceFd.exchange(fd, std::memory_order_acq_rel);
}

void KeepTraceOnStandardError(std::string* path) {
    gKeepStderr.store(true, std::memory_order_release);
    const char* file = std::getenv("AGW_TRACE_FILE");
    *path = file != nullptr ? file : "";
    Init();
}

int ReopenTraceFile(std::string* path, std::string* error) {
    Init();
    std::lock_guard<std::mutex> guard(gConfigMutex);
    if (gTraceFileFd < 0) return 0;
    if (path != nullptr) *path = gTracePath;
    std::string reason;
    if (zcommon::ReopenAs(gTraceFileFd, gTracePath, &reason, 0640) < 0) {
        if (error != nullptr) *error = reason;
        return -1;
    }
    return 1;
}
}  // namespace agw

const char* TRC1_StderrPriority(int priority) {
    static constexpr const char* kPrefixes[] = {"<0>", "<1>", "<2>", "<3>", "<4>", "<5>", "<6>", "<7>"};
    if (priority < 0 || priority > 7 || !StderrIsJournal()) return "";
    return kPrefixes[priority];
}

int TRC1_Configure(const char* setting) {
    Init();
    return ApplySetting(setting != nullptr ? setting : std::getenv("AGW_TRACE"));
}

unsigned TRC1_Sync(TRC1_Block* block) {
    Init();
    if (block == nullptr) {
        std::lock_guard<std::mutex> guard(gConfigMutex);
        return gDefaultMask;
    }
    std::uint64_t cached = block->cache.load(std::memory_order_acquire);
    std::uint32_t generation = gGeneration.load(std::memory_order_acquire);
    if ((cached >> 32) == generation) return static_cast<unsigned>(cached);

    std::lock_guard<std::mutex> guard(gConfigMutex);
    generation = gGeneration.load(std::memory_order_acquire);
    unsigned mask = gDefaultMask;
    for (const UnitMask& entry : gUnitMasks) {
        if (block->unit != nullptr && strcasecmp(entry.unit.c_str(), block->unit) == 0) mask = entry.mask;
    }
    block->cache.store((static_cast<std::uint64_t>(generation) << 32) | mask, std::memory_order_release);
    return mask;
}

void TRC1_Event(TRC1_Block* block, int line, int kind, long value) {
    TRC1_EventAt(block, nullptr, line, kind, value);
}

void TRC1_EventAt(TRC1_Block* block, const char* file, int line, int kind, long value) {
    if ((TRC1_Sync(block) & AGW_TRC_FLOW) == 0) return;
    char text[48];
    switch (kind) {
        case AGW_TRC_EVENT_ENTRY: std::snprintf(text, sizeof text, "entry"); break;
        case AGW_TRC_EVENT_EXIT_VALUE: std::snprintf(text, sizeof text, "exit <%ld>", value); break;
        case AGW_TRC_EVENT_EXIT: std::snprintf(text, sizeof text, "exit"); break;
        default: std::snprintf(text, sizeof text, "event %d <%ld>", kind, value); break;
    }
    Emit(block, file, line, "FLOW", text);
}

void TRC1_Printf(TRC1_Block* block, int line, const char* format, ...) {
    Init();
    va_list args;
    va_start(args, format);
    std::string text = Format(format, args);
    va_end(args);
    Emit(block, nullptr, line, "PRINT", text.c_str());
}

void TRC1_PrintfClass(TRC1_Block* block, int line, unsigned cls, const char* format, ...) {
    if ((TRC1_Sync(block) & cls) == 0) return;
    va_list args;
    va_start(args, format);
    std::string text = Format(format, args);
    va_end(args);
    char buf[16];
    Emit(block, nullptr, line, ClassName(cls, buf, sizeof buf), text.c_str());
}

void TRC1_PrintfClassAt(TRC1_Block* block, const char* file, int line, unsigned cls, const char* format, ...) {
    if (cls == 0) {
        Init();
    } else if ((TRC1_Sync(block) & cls) == 0) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::string text = Format(format, args);
    va_end(args);
    char buf[16];
    Emit(block, file, line, cls == 0 ? "PRINT" : ClassName(cls, buf, sizeof buf), text.c_str());
}
