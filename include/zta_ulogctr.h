// The user-log records counter, tuxedo_userlog_records_total{lmid,severity}:
// the records of this agent's own machine's user log that the agent has seen
// since it started, by the machine that wrote them and their severity.
//
// The counter follows the log by its position, the time of day (hhmmss) and
// TA_ULOGLINE of the last record it took: a scan asks for the followed day's
// records from that second on (not from the next one, so that records written
// later in the same second are not lost) and takes only those after the
// position, in (time, line) order. So it never counts a record twice, and it
// never moves backwards: when the same day's log starts again with lower line
// numbers (the domain was booted again), the records of later seconds are
// counted, those of the position's own second with lines up to the
// position's are taken as seen.
//
// - The first reading of the log after the agent starts (or starts following
//   another machine) is the baseline: its records are not counted, though
//   each severity met makes its series, at 0.
// - When the day changes, the previous day's log is read to its end first
//   (TA_MMDDYY of that day, from the position), then the new day from
//   000000. A previous day's log that the MIB refuses to give (TPESVCFAIL)
//   is left with one error trace line.
// - A log longer than one reply is read with GETNEXT and the reply's cursor,
//   at most kMaxCalls MIB calls per scan (one state trace line when they
//   are used up); the rest is counted at the next scan. A walk that makes no
//   progress ends as every MIB walk of the agent does (zta_mib_walk), with
//   what it counted so far. The one loss: when a single second of the log
//   holds more records than kMaxCalls replies carry, a scan that only reads
//   again those already counted moves on to the next second (one error
//   trace line), rather than read the same replies at every scan.
#ifndef ZTA_ULOGCTR_H
#define ZTA_ULOGCTR_H

#include <fml32.h>

#include <map>
#include <string>
#include <utility>

#include "zta_cycle.h"

// The records a T_ULOG reply holds: its TA_OCCURS (none without it), never
// past the first occurrence after the first without any of the table's
// attributes.
long zta_ulog_records(FBFR32* reply);

// A place in one day's user log: the time of day (hhmmss) and TA_ULOGLINE of
// the last record taken. Whoever follows the log by position (the records
// counter, the situation drive) asks for the records from the place's own
// second on, not from the next one, and takes only those after it:
// several records share a second, and some of them may have been written
// after the last reading.
struct zta_ulog_place {
    long time = 0;  // hhmmss of the last record taken
    long line = 0;  // its TA_ULOGLINE; 0 before the day's first record

    // Where a record stands against the place. after: a record past the
    // place in (time, line) order; restarted: past it by time but with a
    // lower line than the place's (the log was started again the same day).
    enum class step { seen, after, restarted };

    // Moves the place to a record past it; a record at or before it was
    // taken before and leaves it. A log that starts again with lower lines
    // is followed on by time, never backwards.
    step Take(long record_time, long record_line) {
        if (record_time < time || (record_time == time && record_line <= line)) return step::seen;
        const step kind = record_line < line ? step::restarted : step::after;
        time = record_time;
        line = record_line;
        return kind;
    }
};

class zta_ulog_counter {
public:
    // The most MIB calls of one scan, over both days at midnight.
    static constexpr long kMaxCalls = 100;
    static constexpr const char* kSeries = "tuxedo_userlog_records_total";
    static constexpr const char* kHelp =
        "User-log records of the agent's machine seen since the agent started, "
        "by the machine that wrote them and severity.";

    // Where the counter stands in the log it follows.
    struct position : zta_ulog_place {
        long day = 0;  // the day followed as yyyymmdd; 0 until the first scan
    };

    // One scan of the user log of machine `lmid` (nothing when it is empty),
    // while joined, through `buffers` (the reply buffer may be moved by the
    // calls; buffers.reply_len follows). Adds what it counted to the series,
    // also when a call fails part-way. Returns false when a MIB call failed:
    // the error is reported, `why` holds the reason, and the agent has left
    // the application unless the MIB itself refused the call.
    bool Scan(TRC1_Block* trace, const std::string& lmid, zta_mib_buffers& buffers,
              std::string* why);

    const position& Position() const { return pos_; }
    // True until the log has been read to its end once.
    bool InBaseline() const { return baseline_; }

private:
    // How a walk of one day ended: at the log's end, at the scan's call
    // budget, cut short for making no progress, or with a failed call (the
    // MIB refused it: TPESVCFAIL).
    enum class walk_end { whole, budget, cut, failed, refused };
    // Reads the followed day from the position on, moving the position over
    // each record after it and counting it into `tally` by machine and
    // severity (at 0 in the baseline). `why` gets a failed call's reason.
    walk_end Walk(TRC1_Block* trace, zta_mib_buffers& buffers, long* calls_left,
                  std::map<std::pair<std::string, std::string>, long>& tally, std::string* why);

    std::string lmid_;   // the machine followed
    position pos_;
    bool baseline_ = true;
};

#endif  // ZTA_ULOGCTR_H
