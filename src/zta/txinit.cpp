// The agent's membership in the Tuxedo application: joins with tpinit as the
// administrative client "TXWATCHER"/"tpsysadm" and leaves with tpterm. A
// secured application gets the passwords of the files ZTA_APP_PASSWORD_FILE
// and ZTA_USER_PASSWORD_FILE name, read again at every join (so a changed
// password is taken without a restart) and cleared from memory once tpinit
// has returned.
#include <atmi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "join_secrets.h"
#include "zta_agent.h"
#include "zta_fields.h"
#include "zta_metrics.h"
#include "zta_trace.h"

Txinit* Txinit::theirInstance = nullptr;
int Txinit::theirErrorFlag = 0;

namespace {

// Serialises joining and leaving. Start-up, logout and the framework's table
// objects reach the membership from different threads (main thread, scheduler
// thread, the exit handler).
std::mutex& membership_lock() {
    static std::mutex m;
    return m;
}

// Size the original join asked for; the buffer is never smaller than the
// structure, whatever this says.
constexpr long kTpinitRequestSize = 144;

// Offset added to each byte's index to form DeScramble's key stream.
constexpr unsigned char kScrambleOffset = 0x5a;

// Failed joins since the last successful one: an outage is told on standard
// error when it starts and when a join succeeds again, not at every attempt
// (an agent with 25 requests would write its lines 25 times a sample).
// Guarded by the membership lock, as joining is.
long gFailedJoins = 0;

// The pace of joins while they fail: after a failed attempt the next waits
// 1 s, then twice as long after each further failure, up to 30 s, however
// many samples fall due meanwhile; a success forgets it. Without it every
// due sample of every request would try its own tpinit against a domain
// already in trouble. Guarded by the membership lock.
constexpr std::int64_t kFirstWaitMs = 1000;
constexpr std::int64_t kLongestWaitMs = 30000;
struct JoinPace {
    std::int64_t nextMs = 0;  // no attempt before this moment of the pace's clock
    std::int64_t waitMs = 0;  // the wait that followed the last failure; 0: none failed
    bool waiting = false;     // the last Instance() made no attempt, being before nextMs
};
JoinPace gPace;

std::int64_t steady_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
// The clock the pace is measured by: the steady clock, or a test's.
// Guarded by the membership lock.
std::int64_t (*gPaceClock)() = steady_ms;

}  // namespace

Txinit::Txinit() {
    ZTA_TRACE_BLOCK("txinit", "Txinit::Txinit");
    ZTA_ENTRY();

    // The passwords, read before the buffer is made: a password file that
    // went wrong since the start fails this join, with the reason, and the
    // next attempt reads it again.
    zcommon::JoinSecrets secrets;
    std::string unreadable;
    if (!zcommon::ReadJoinSecrets(MAXTIDENT, &secrets, &unreadable)) {
        if (gFailedJoins == 0) {
            std::fprintf(stderr, "%s%s\n", TRC1_StderrPriority(AGW_PRIO_ERR), unreadable.c_str());
        }
        Failed(unreadable.c_str());
        ZTA_EXIT();
        return;
    }

    const long need = static_cast<long>(TPINITNEED(secrets.DataLength()));
    const long size = kTpinitRequestSize < need ? need : kTpinitRequestSize;
    tpinfo_ = tpalloc(zta_text("TPINIT"), nullptr, size);
    if (tpinfo_ == nullptr) {
        const char* text = tpstrerror(tperrno);
        std::fprintf(stderr, "%sERROR:tpalloc:%s\n", TRC1_StderrPriority(AGW_PRIO_ERR), text);
        ZTA_ERROR("tpalloc: <%s>\n", text);
        theirErrorFlag = 1;
        ZTA_EXIT();
        return;
    }

    auto* info = reinterpret_cast<TPINIT*>(tpinfo_);
    std::snprintf(info->usrname, sizeof info->usrname, "%s", "TXWATCHER");
    std::snprintf(info->cltname, sizeof info->cltname, "%s", "tpsysadm");
    info->datalen = 0;
    zcommon::PutJoinSecrets(secrets, info);
    secrets.app.Wipe();
    secrets.user.Wipe();

    const int joined = tpinit(info);
    const int error = tperrno;
    zcommon::WipeJoinSecrets(info);

    if (joined != -1) {
        theirErrorFlag = 0;
        zta_metrics_join(true);
        zta_metrics_joined(true);
        std::fprintf(stderr, "%sTXWATCHER has joined the Application successfully!\n", TRC1_StderrPriority(AGW_PRIO_INFO));
        ZTA_DETAIL("TXWATCHER has joined the Application successfully!");
        if (gFailedJoins > 0) {
            ZTA_STATE("joined again after %ld failed attempts\n", gFailedJoins);
            gFailedJoins = 0;
        }
    } else {
        Failed(tpstrerror(error));
    }
    ZTA_EXIT();
}

void Txinit::Failed(const char* text) {
    ZTA_TRACE_BLOCK("txinit", "Txinit::Failed");
    if (gFailedJoins == 0) {
        std::fprintf(stderr, "%sCannot Log into the Tuxedo Application\n", TRC1_StderrPriority(AGW_PRIO_ERR));
        ZTA_ERROR("Cannot Log into the Tuxedo Application\n");
        ZTA_ERROR("tpinit: <%s>\n", text);
    } else {
        ZTA_DETAIL("join attempt %ld of this outage failed: <%s>\n", gFailedJoins + 1, text);
    }
    ++gFailedJoins;
    theirErrorFlag = 1;
    zta_metrics_join(false);
}

bool Txinit::CheckPasswordFiles(std::string* line) {
    zcommon::JoinSecrets secrets;
    return zcommon::ReadJoinSecrets(MAXTIDENT, &secrets, line);
}

Txinit::~Txinit() {
    if (tpinfo_ != nullptr) tpfree(tpinfo_);
    tpterm();  // the result is of no use: the membership ends either way
}

Txinit* Txinit::Instance() {
    std::lock_guard<std::mutex> guard(membership_lock());
    if (theirInstance == nullptr) {
        gPace.waiting = gPaceClock() < gPace.nextMs;
        if (gPace.waiting) return nullptr;
        theirInstance = new Txinit();
        if (theirErrorFlag) {
            gPace.waitMs = gPace.waitMs == 0 ? kFirstWaitMs : std::min(2 * gPace.waitMs, kLongestWaitMs);
            gPace.nextMs = gPaceClock() + gPace.waitMs;  // from the end of the attempt, however long it took
        } else {
            gPace = JoinPace{};
        }
    }
    if (theirErrorFlag) DeleteLocked();
    return theirInstance;
}

std::string Txinit::NotJoinedReason() {
    std::lock_guard<std::mutex> guard(membership_lock());
    if (theirInstance != nullptr) return {};
    if (!gPace.waiting) return "cannot join the Tuxedo application";
    const std::int64_t left = std::max<std::int64_t>(gPace.nextMs - gPaceClock(), 0);
    return "not joined; next attempt in " + std::to_string((left + 999) / 1000) + " s";
}

void Txinit::SetClock(std::int64_t (*nowMs)()) {
    std::lock_guard<std::mutex> guard(membership_lock());
    gPaceClock = nowMs != nullptr ? nowMs : steady_ms;
    gPace = JoinPace{};
}

bool Txinit::Joined() {
    std::lock_guard<std::mutex> guard(membership_lock());
    return theirInstance != nullptr;
}

void Txinit::DeleteInstance() {
    std::lock_guard<std::mutex> guard(membership_lock());
    // Called while not joined, at logout or when a tool is done with the
    // domain: the pace of failed joins is forgotten, so that whoever joins
    // next starts afresh. (After a failed MIB call the agent is joined, and
    // its last join succeeded: there is no pace to forget.)
    if (theirInstance == nullptr) gPace = JoinPace{};
    DeleteLocked();
}

char* Txinit::DeScramble(char* text) {
    for (std::size_t i = 0; i < std::strlen(text); ++i) {
        const auto key = static_cast<unsigned char>((i & 0xffu) + kScrambleOffset);
        text[i] = static_cast<char>(static_cast<unsigned char>(text[i]) ^ key);
    }
    return text;
}

void Txinit::DeleteLocked() {
    if (theirInstance == nullptr) return;
    Txinit* doomed = theirInstance;
    theirInstance = nullptr;
    delete doomed;
    zta_metrics_joined(false);
}
