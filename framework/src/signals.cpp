// Signal actions. The operating-system handler records the signal and wakes
// the signal-dispatch thread through a pipe; that thread runs the registered
// action, so actions never run in signal context.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "agw_internal.h"
#include "agw_signal.h"
#include "agw_tbx.h"

namespace {

struct SignalSlot {
    int code;
    int signo;
    const char* name;
};
constexpr SignalSlot kSlots[] = {
    {EVT1_SIGINT, SIGINT, "SIGINT"},
    {EVT1_SIGTERM, SIGTERM, "SIGTERM"},
    {EVT1_SIGILL, SIGILL, "SIGILL"},
};
constexpr int kSlotCount = static_cast<int>(std::size(kSlots));

// Per signal: the registered action and whether the signal arrived and has
// not been handled yet. Process-wide by nature (signals are); written by the
// OS handler and EVT1_Action, read by the dispatch thread; atomics only.
std::atomic<void (*)(int)> gActions[kSlotCount];
std::atomic<bool> gPending[kSlotCount];
// The pipe from the OS handler to the dispatch thread, made once under
// gStartMutex before the first OS handler is installed.
std::atomic<int> gWakeWrite{-1};
int gWakeRead = -1;
std::mutex gStartMutex;
bool gDispatcherStarted = false;

// The signals of a service's life that agwmain routes itself when no one
// else handles them (RouteServiceSignals). Process-wide like the slots above;
// the OS handler touches only these atomics and the main loop's wake pipe.
constexpr int kServiceSignals[] = {SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM};
constexpr const char* kServiceNames[] = {"SIGHUP", "SIGQUIT", "SIGUSR1", "SIGUSR2", "SIGALRM"};
std::atomic<bool> gServiceRouted[std::size(kServiceSignals)];
std::atomic<bool> gReopenRequested{false};
std::atomic<int> gStopSignal{-1};  // index into kServiceSignals, -1: none

void ServiceHandler(int signo) {
    int saved = errno;
    if (signo == SIGHUP) {
        gReopenRequested.store(true, std::memory_order_release);
        agw::WakeMainLoop();
    } else {
        for (std::size_t i = 0; i < std::size(kServiceSignals); ++i) {
            if (kServiceSignals[i] == signo) gStopSignal.store(static_cast<int>(i), std::memory_order_release);
        }
        TBX_Shutdown(1);  // an atomic store and one write()
    }
    errno = saved;
}

int SlotOf(int code) {
    for (int i = 0; i < kSlotCount; ++i) {
        if (kSlots[i].code == code) return i;
    }
    return -1;
}

int SlotOfSigno(int signo) {
    for (int i = 0; i < kSlotCount; ++i) {
        if (kSlots[i].signo == signo) return i;
    }
    return -1;
}

void OsHandler(int signo, siginfo_t* info, void* /*context*/) {
    int saved = errno;
    if (signo == SIGILL && info != nullptr && info->si_code > 0) {
        // Raised by the processor: the instruction would only fault again.
        // Restore the default action and let the retried instruction end the
        // process.
        static const char kMessage[] = "agwmain: illegal instruction; ending the process\n";
        ssize_t ignored = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
        (void)ignored;
        signal(SIGILL, SIG_DFL);
        errno = saved;
        return;
    }
    int slot = SlotOfSigno(signo);
    if (slot >= 0) {
        gPending[slot].store(true, std::memory_order_release);
        int fd = gWakeWrite.load(std::memory_order_acquire);
        if (fd >= 0) {
            char byte = static_cast<char>(slot);
            ssize_t ignored = write(fd, &byte, 1);  // a full pipe wakes the thread anyway
            (void)ignored;
        }
    }
    errno = saved;
}

void DispatchLoop(int readFd) {
    for (;;) {
        char buf[16];
        ssize_t n = read(readFd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (int i = 0; i < kSlotCount; ++i) {
            if (!gPending[i].exchange(false, std::memory_order_acq_rel)) continue;
            void (*action)(int) = gActions[i].load(std::memory_order_acquire);
            if (action != nullptr) action(kSlots[i].code);
        }
    }
}

// Starts the dispatch thread once. Returns 0 or an errno value.
int StartDispatcher() {
    std::lock_guard<std::mutex> guard(gStartMutex);
    if (gDispatcherStarted) return 0;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return errno;
    int flags = fcntl(fds[1], F_GETFL);
    fcntl(fds[1], F_SETFL, flags | O_NONBLOCK);  // the OS handler must never block
    try {
        // Lives as long as the process: it waits for signals until exit.
        std::thread(DispatchLoop, fds[0]).detach();
    } catch (const std::system_error&) {
        close(fds[0]);
        close(fds[1]);
        return EAGAIN;
    }
    gWakeRead = fds[0];
    gWakeWrite.store(fds[1], std::memory_order_release);
    gDispatcherStarted = true;
    return 0;
}

}  // namespace

namespace agw {
bool SignalActionInstalled(int code) {
    int slot = SlotOf(code);
    return slot >= 0 && gActions[slot].load(std::memory_order_acquire) != nullptr;
}

void RouteServiceSignals(bool on) {
    std::signal(SIGPIPE, SIG_IGN);  // a closed output is seen as EPIPE by the writer
    for (std::size_t i = 0; i < std::size(kServiceSignals); ++i) {
        const int signo = kServiceSignals[i];
        if (on) {
            struct sigaction current {};
            if (sigaction(signo, nullptr, &current) != 0) continue;
            // Leave alone what the agent or the caller set up for itself.
            const bool isDefault = (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL;
            if (!isDefault) continue;
            struct sigaction action {};
            sigemptyset(&action.sa_mask);
            action.sa_handler = ServiceHandler;
            action.sa_flags = SA_RESTART;
            if (sigaction(signo, &action, nullptr) == 0) gServiceRouted[i].store(true, std::memory_order_release);
        } else if (gServiceRouted[i].exchange(false, std::memory_order_acq_rel)) {
            std::signal(signo, SIG_DFL);
        }
    }
    if (on) {
        gReopenRequested.store(false, std::memory_order_release);
        gStopSignal.store(-1, std::memory_order_release);
    }
}

bool TakeReopenRequest() { return gReopenRequested.exchange(false, std::memory_order_acq_rel); }

const char* TakeStopSignalName() {
    const int index = gStopSignal.exchange(-1, std::memory_order_acq_rel);
    return index >= 0 ? kServiceNames[index] : nullptr;
}
}  // namespace agw

int EVT1_Action(int code, const EVT1_ActionRecord* record, int /*reserved*/) {
    int slot = SlotOf(code);
    if (slot < 0 || record == nullptr) {
        errno = EINVAL;
        return -1;
    }
    for (unsigned char byte : record->reserved) {
        if (byte != 0) {
            errno = EINVAL;
            return -1;
        }
    }
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    if (record->handler == nullptr) {
        action.sa_handler = SIG_DFL;
    } else {
        int error = StartDispatcher();
        if (error != 0) {
            errno = error;
            return -1;
        }
        action.sa_sigaction = OsHandler;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
    }
    gActions[slot].store(record->handler, std::memory_order_release);
    if (sigaction(kSlots[slot].signo, &action, nullptr) != 0) return -1;
    return 0;
}

const char* EVT1_SignalName(int code) {
    int slot = SlotOf(code);
    return slot >= 0 ? kSlots[slot].name : "UNKNOWN";
}

int FLT1_Signal(int code, void (*handler)(int code)) {
    EVT1_ActionRecord record{};
    record.handler = handler;
    return EVT1_Action(code, &record, 0);
}
