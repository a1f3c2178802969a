// Process services: product registration, the agent loader, the shutdown
// request, WB timestamps and the node name.
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "agw_internal.h"
#include "agw_tbx.h"
#include "wbtime.h"

namespace {

// The shutdown request. Process-wide because TBX_Shutdown may come from a
// signal handler or any thread; only atomics are touched there. The pipe is
// created under gPipeMutex by ordinary code before anyone waits on it; a
// TBX_Shutdown that finds no pipe yet only sets the flag, which agwmain
// checks before every wait.
std::atomic<bool> gShutdown{false};
std::atomic<int> gWakeRead{-1};
std::atomic<int> gWakeWrite{-1};
std::mutex gPipeMutex;

// The test clock of TBX_GenerateTimeStamp (null: the real-time clock).
// Process-wide because the timestamps are; atomic because tests set it on
// one thread while agwmain's thread samples.
std::atomic<agw::TimeStampSource> gTimeStampSource{nullptr};

void EnsurePipe() {
    if (gWakeRead.load(std::memory_order_acquire) >= 0) return;
    std::lock_guard<std::mutex> guard(gPipeMutex);
    if (gWakeRead.load(std::memory_order_relaxed) >= 0) return;
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return;  // waits fall back to the flag
    gWakeWrite.store(fds[1], std::memory_order_release);
    gWakeRead.store(fds[0], std::memory_order_release);
}

// Product identity, the agent loader and the agent's check: set by the
// agent's start-up on the main thread, read by agwmain and agwcheck; guarded
// by gProductMutex.
std::mutex gProductMutex;
agw::ProductInfo gProduct;
agw::AgentLoader gLoader = nullptr;
agw::AgentLoader gCheck = nullptr;

// Names are kept within the size the framework reserves for them.
std::string Bounded(const char* text) {
    char buf[64];
    agw::CopyBounded(buf, sizeof buf, text);
    return buf;
}

}  // namespace

namespace agw {

bool ShutdownRequested() { return gShutdown.load(std::memory_order_acquire); }

int ShutdownWakeFd() {
    EnsurePipe();
    return gWakeRead.load(std::memory_order_acquire);
}

void DrainShutdownWake() {
    int fd = gWakeRead.load(std::memory_order_acquire);
    if (fd < 0) return;
    char buf[64];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

void ResetShutdown() {
    gShutdown.store(false, std::memory_order_release);
    DrainShutdownWake();
}

ProductInfo Product() {
    std::lock_guard<std::mutex> guard(gProductMutex);
    return gProduct;
}

AgentLoader RegisteredLoader() {
    std::lock_guard<std::mutex> guard(gProductMutex);
    return gLoader;
}

AgentLoader RegisteredCheck() {
    std::lock_guard<std::mutex> guard(gProductMutex);
    return gCheck;
}

}  // namespace agw

int TBX_SetNodeType(const char* nodeType) {
    if (nodeType == nullptr) return AGW_STATUS_BAD_ARGUMENT;
    EnsurePipe();
    std::lock_guard<std::mutex> guard(gProductMutex);
    gProduct.nodeType = Bounded(nodeType);
    return AGW_STATUS_OK;
}

int TBX_SetProduct(const char* code, const char* revision) {
    if (code == nullptr || revision == nullptr) return AGW_STATUS_BAD_ARGUMENT;
    EnsurePipe();
    std::lock_guard<std::mutex> guard(gProductMutex);
    gProduct.code = Bounded(code);
    gProduct.revision = Bounded(revision);
    return AGW_STATUS_OK;
}

int TBX_SetAffinity(const char* affinity) {
    if (affinity == nullptr) return AGW_STATUS_BAD_ARGUMENT;
    std::lock_guard<std::mutex> guard(gProductMutex);
    std::string a = Bounded(affinity);
    for (const auto& known : gProduct.affinities) {
        if (known == a) return AGW_STATUS_OK;
    }
    gProduct.affinities.push_back(a);
    return AGW_STATUS_OK;
}

int TBX_RegisterAgentLoader(int (*loader)()) {
    EnsurePipe();
    std::lock_guard<std::mutex> guard(gProductMutex);
    gLoader = loader;
    return AGW_STATUS_OK;
}

int TBX_RegisterAgentCheck(int (*check)()) {
    std::lock_guard<std::mutex> guard(gProductMutex);
    gCheck = check;
    return AGW_STATUS_OK;
}

void TBX_Shutdown(int /*reason*/) {
    // Async-signal-safe: an atomic store and one write().
    gShutdown.store(true, std::memory_order_release);
    agw::WakeMainLoop();
}

void agw::WakeMainLoop() {
    int fd = gWakeWrite.load(std::memory_order_acquire);
    if (fd >= 0) {
        int saved = errno;
        char byte = 1;
        ssize_t ignored = write(fd, &byte, 1);  // a full pipe already wakes the reader
        (void)ignored;
        errno = saved;
    }
}

std::time_t agw::StampClockNow() {
    if (const agw::TimeStampSource source = gTimeStampSource.load(std::memory_order_acquire)) return source();
    return std::time(nullptr);
}

int TBX_GenerateTimeStamp(char* buffer17, int /*reserved*/) {
    if (buffer17 == nullptr) return AGW_STATUS_BAD_ARGUMENT;
    timespec now{};
    if (const agw::TimeStampSource source = gTimeStampSource.load(std::memory_order_acquire)) {
        now.tv_sec = source();
    } else {
        clock_gettime(CLOCK_REALTIME, &now);
    }
    // Samplers stamp every object, many within one second: the thirteen
    // digits up to the second are made once per second (per thread) and only
    // the milliseconds for each call.
    thread_local time_t cachedSecond = -1;
    thread_local char cached[zcommon::kWbTimeBufferSize] = {};
    const int ms = static_cast<int>(now.tv_nsec / 1000000);
    if (now.tv_sec == cachedSecond) {
        std::memcpy(buffer17, cached, 13);
        buffer17[13] = static_cast<char>('0' + ms / 100);
        buffer17[14] = static_cast<char>('0' + ms / 10 % 10);
        buffer17[15] = static_cast<char>('0' + ms % 10);
        buffer17[16] = '\0';
        return AGW_STATUS_OK;
    }
    const std::span<char, zcommon::kWbTimeBufferSize> out(buffer17, zcommon::kWbTimeBufferSize);
    if (!zcommon::MakeWbTimeFromEpoch(now.tv_sec, ms, out)) return AGW_STATUS_OK;  // sixteen zeros, not kept
    std::memcpy(cached, buffer17, sizeof cached);
    cachedSecond = now.tv_sec;
    return AGW_STATUS_OK;
}

void agw::SetTimeStampSource(agw::TimeStampSource source) {
    gTimeStampSource.store(source, std::memory_order_release);
}

int DetermineLocalHost(char* buffer, int size) {
    if (buffer == nullptr || size < 1) return AGW_STATUS_BAD_ARGUMENT;
    utsname names{};
    const char* node = "localhost";
    if (uname(&names) == 0 && names.nodename[0] != '\0') node = names.nodename;
    agw::CopyBounded(buffer, static_cast<std::size_t>(size), node);
    return AGW_STATUS_OK;
}
