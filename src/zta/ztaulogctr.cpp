// The user-log records counter (zta_ulogctr.h): follows this machine's user
// log by time of day and line, and adds the records it has not seen before
// to tuxedo_userlog_records_total{lmid,severity}.
#include "zta_ulogctr.h"

#include <agw.h>
#include <atmi.h>

#include <climits>
#include <cstring>

#include "zta_fields.h"
#include "zta_tables.h"
#include "zta_util.h"

namespace {

using tally_t = std::map<std::pair<std::string, std::string>, long>;

// The agent's today as yyyymmdd, from the WB timestamp of now (0 when the
// clock gives no moment).
long today_key() {
    char now[ZTA_WBTIME_BUF] = {};
    TBX_GenerateTimeStamp(now, 0);
    zcommon::WbTimeFields today;
    zcommon::ReadWbTime(now, &today);
    return today.year * 10000L + today.month * 100L + today.day;
}

// yyyymmdd as the MIB's TA_MMDDYY.
long mmddyy_of(long key) {
    return (key / 100 % 100) * 10000 + (key % 100) * 100 + key / 10000 % 100;
}

constexpr long kLastSecond = 235959;

// The time of day one second after hhmmss (240000 after the day's last).
long next_second(long hhmmss) {
    long h = hhmmss / 10000, m = hhmmss / 100 % 100, sec = hhmmss % 100 + 1;
    if (sec >= 60) {
        sec = 0;
        ++m;
    }
    if (m >= 60) {
        m = 0;
        ++h;
    }
    return h * 10000 + m * 100 + sec;
}

// Label values are cut as the table's columns are: an LMID has at most 30
// characters, and so has a severity (the SEVERITY column's width).
constexpr std::size_t kLabelBuf = 31;

}  // namespace

zta_ulog_counter::walk_end zta_ulog_counter::Walk(TRC1_Block* trace, zta_mib_buffers& buffers,
                                                  long* calls_left, tally_t& tally,
                                                  std::string* why) {
    FBFR32* request = buffers.request;
    Finit32(request, static_cast<FLDLEN32>(Fsizeof32(request)));
    const long mmddyy = mmddyy_of(pos_.day);
    const long asked = pos_.time;
    Fchg32(request, zta::fld::TA_OPERATION, 0, zta_text("GET"), 0);
    Fchg32(request, zta::fld::TA_CLASS, 0, zta_text("T_ULOG"), 0);
    Fchg32(request, zta::fld::TA_LMID, 0, zta_text(lmid_.c_str()), 0);
    Fchg32(request, zta::fld::TA_MMDDYY, 0, zta_value(mmddyy), 0);
    // From the position's own second: records written in it after the last
    // scan are still to come.
    Fchg32(request, zta::fld::TA_ULOGTIME, 0, zta_value(pos_.time), 0);

    struct follower final : zta_walk_target {
        zta_ulog_counter& counter;
        TRC1_Block* trace;
        long* calls_left;
        tally_t& tally;
        long mmddyy;
        long more = 0;
        long taken = 0;  // records after the position
        bool budget = false;
        bool refused = false;

        follower(zta_ulog_counter& c, TRC1_Block* t, long* left, tally_t& n, long day)
            : counter(c), trace(t), calls_left(left), tally(n), mmddyy(day) {}

        bool BeforeCall() override {
            if (*calls_left <= 0) {
                budget = true;
                return false;
            }
            --*calls_left;
            return true;
        }
        long Reply(FBFR32* reply) override {
            more = zta_reply_long(reply, zta::fld::TA_MORE, 0, 0);
            const long n = zta_ulog_records(reply);
            for (long i = 0; i < n; ++i) Take(reply, i);
            return n;
        }
        void CallFailed() override { refused = tperrno == TPESVCFAIL; }

        void Take(FBFR32* reply, long i) {
            position& pos = counter.pos_;
            // A record of another day (a MIB that does not select by
            // TA_MMDDYY) is not this walk's.
            if (zta_reply_long(reply, zta::fld::TA_MMDDYY, static_cast<FLDOCC32>(i), mmddyy) !=
                mmddyy)
                return;
            const long time = zta_read_long(reply, zta::fld::TA_ULOGTIME, i);
            const long line = zta_read_long(reply, zta::fld::TA_ULOGLINE, i);
            const zta_ulog_place before = pos;
            const zta_ulog_place::step step = pos.Take(time, line);
            if (step == zta_ulog_place::step::seen) return;  // taken before
            if (step == zta_ulog_place::step::restarted) {
                ZTA_STATE_B(trace,
                            "T_ULOG: the user log of %s starts again at line %ld (%06ld) after "
                            "line %ld (%06ld); followed on by time\n",
                            counter.lmid_.c_str(), line, time, before.line, before.time);
            }
            ++taken;
            char lmid[kLabelBuf] = {};
            char severity[kLabelBuf] = {};
            zta_read_string(reply, zta::fld::TA_LMID, i, lmid, sizeof lmid);
            zta_read_string(reply, zta::fld::TA_SEVERITY, i, severity, sizeof severity);
            long& count = tally[{*lmid != '\0' ? lmid : counter.lmid_, severity}];
            if (!counter.baseline_) ++count;
        }
    } walk(*this, trace, calls_left, tally, mmddyy);

    const zta_walk_outcome outcome = zta_mib_walk(trace, buffers, "T_ULOG", "", walk);
    if (outcome.failed_call) {
        *why = outcome.why;
        return walk.refused ? walk_end::refused : walk_end::failed;
    }
    if (walk.budget) {
        ZTA_STATE_B(trace,
                    "T_ULOG: the user-log counter made its %ld MIB calls of this scan with "
                    "TA_MORE %ld; the rest is counted at the next scan\n",
                    kMaxCalls, walk.more);
        if (walk.taken == 0 && pos_.time == asked) {
            // Every call went to records of the position's own second that
            // were taken before: each later scan would read the same again.
            ZTA_ERROR_B(trace,
                        "T_ULOG: the user log of %s holds more records of %06ld than %ld "
                        "replies carry; its records of that second after line %ld are not "
                        "counted\n",
                        lmid_.c_str(), asked, kMaxCalls, pos_.line);
            const long next = next_second(asked);
            if (next > kLastSecond) {
                pos_.line = LONG_MAX;
                return walk_end::cut;  // nothing of the day is left to ask for
            }
            pos_.time = next;
            pos_.line = 0;
        }
        return walk_end::budget;
    }
    return outcome.why.empty() ? walk_end::whole : walk_end::cut;
}

bool zta_ulog_counter::Scan(TRC1_Block* trace, const std::string& lmid, zta_mib_buffers& buffers,
                            std::string* why) {
    if (lmid.empty()) return true;  // this machine is not known yet
    if (lmid != lmid_) {
        *this = zta_ulog_counter{};  // another log: a baseline of its own
        lmid_ = lmid;
    }
    const long today = today_key();
    if (pos_.day == 0) pos_.day = today;

    long calls_left = kMaxCalls;
    tally_t tally;
    walk_end end = walk_end::whole;
    if (today > pos_.day) {
        // The previous day's log to its end first, then the new day's.
        const long old_day = pos_.day;
        end = Walk(trace, buffers, &calls_left, tally, why);
        if (end == walk_end::refused) {
            ZTA_ERROR_B(trace,
                        "T_ULOG: the user log of %s of %06ld cannot be read; its records after "
                        "%06ld are not counted\n",
                        lmid_.c_str(), mmddyy_of(old_day), pos_.time);
        }
        if (end == walk_end::whole || end == walk_end::cut || end == walk_end::refused) {
            ZTA_STATE_B(trace, "T_ULOG: the user-log counter leaves %06ld and follows %06ld\n",
                        mmddyy_of(old_day), mmddyy_of(today));
            pos_ = position{};
            pos_.day = today;
            // Every record of a later day was written after the agent started.
            baseline_ = false;
            if (end != walk_end::refused) end = Walk(trace, buffers, &calls_left, tally, why);
        }
    } else {
        end = Walk(trace, buffers, &calls_left, tally, why);
    }
    if (end == walk_end::whole) baseline_ = false;

    for (const auto& [labels, count] : tally) {
        AGW_CounterAdd(kSeries, kHelp, {{"lmid", labels.first}, {"severity", labels.second}},
                       static_cast<double>(count));
    }
    return end != walk_end::failed && end != walk_end::refused;
}

long zta_ulog_records(FBFR32* reply) {
    return zta_reply_objects(reply, zta::kTableMetaOf<zta_txulogs_data_t>,
                             zta::kFieldsOf<zta_txulogs_data_t>.data(), 0);
}
