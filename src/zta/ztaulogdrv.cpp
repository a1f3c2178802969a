// The situation drive of the user log table TXULOGS (zta16agt.h): situation
// requests scan the log every ZTA_ULOG_SCAN seconds and see only the records
// written since the previous scan. The first object of a scan (a drive)
// walks the MIB (GET, then GETNEXT) from the second of the last record taken
// on, through the process-wide theirSitReplyBuffer, keeps the rows of the
// records after that record (at most kMaxDriveRecords), and every situation
// object of the same scan presents those rows, each in its own rows.
#include <atmi.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "zta16agt.h"
#include "zta_fields.h"
#include "zta_util.h"

namespace {

constexpr int kDeferredSamples = 4;

}  // namespace

void zta_txulogs_agent::SituationTakeSample() {
    ZTA_TRACE_BLOCK("zta16agt", "SituationTakeSample");
    ZTA_ENTRY();
    drive_state& d = theirDrive;
    if (d.initialDeferCount < kDeferredSamples) {
        ZTA_DETAIL("Defer Situation evaluation");
        ++d.initialDeferCount;
        ZTA_EXIT();
        return;
    }

    if (d.firstSitDrive == 0) {
        // A later object of the drive: no MIB call, and no Tuxedo call at
        // all, so that a drive whose call made the agent leave the
        // application does not join it again behind the framework's back.
        ZTA_DETAIL("In situation drive chain\n");
        ZTA_DETAIL("Current number of situations in drive: <%d>\n", d.theirSitDriveCount);
        --d.theirSitDriveCount;
        if (d.theirSitDriveCount <= 0) d.firstSitDrive = 1;
        // The drive's call failed: this object did not see the log either.
        if (!d.theirSitReplyValid) {
            MarkSampleIncomplete();
        } else if (!d.unseen.empty()) {
            MarkSampleIncomplete(d.unseen);
        }
        PresentSitReply();
        ZTA_EXIT();
        return;
    }

    // This object opens a drive.
    d.rows.clear();
    d.unseen.clear();
    d.theirSitReplyValid = false;
    char* request = PrepareCall(&zta_trc_, &theirSitReplyBuffer,
                                "tpalloc: Allocate called for theirSitReplyBuffer\n");
    if (request == nullptr) {
        MarkSampleIncomplete();
        ZTA_EXIT();
        return;
    }
    ZTA_DETAIL("First situation in current drive\n");
    d.theirSitDriveCount = d.theirConstructorCount;
    ZTA_DETAIL("Current number of situations in drive: <%d>\n", d.theirSitDriveCount);
    --d.theirSitDriveCount;
    d.firstSitDrive = d.theirSitDriveCount <= 0 ? 1 : 0;

    CheckLogFileSwitched();
    const bool walked = WalkSitReply(request);
    tpfree(request);
    if (!walked) {
        ZTA_EXIT();
        return;
    }
    d.theirSitReplyValid = true;
    if (!d.unseen.empty()) MarkSampleIncomplete(d.unseen);
    PresentSitReply();
    ZTA_EXIT();
}

bool zta_txulogs_agent::WalkSitReply(char* request) {
    ZTA_TRACE_BLOCK("zta16agt", "WalkSitReply");
    drive_state& d = theirDrive;
    auto* fml = reinterpret_cast<FBFR32*>(request);
    Fchg32(fml, zta::fld::TA_OPERATION, 0, zta_text("GET"), 0);
    Fchg32(fml, zta::fld::TA_CLASS, 0, zta_text("T_ULOG"), 0);
    // From the last record's own second: records written in it after the
    // previous scan are still to come.
    Fchg32(fml, zta::fld::TA_ULOGTIME, 0, zta_value(d.since.time), 0);

    struct drive_walk final : zta_walk_target {
        zta_txulogs_agent& agent;
        drive_state& d;
        long more = 0;
        bool full = false;  // kMaxDriveRecords taken
        bool rest = false;  // and records after them left for the next scan

        drive_walk(zta_txulogs_agent& a, drive_state& state) : agent(a), d(state) {}

        bool BeforeCall() override { return !full; }
        long Reply(FBFR32* reply) override {
            more = zta_reply_long(reply, zta::fld::TA_MORE, 0, 0);
            const long n = zta_ulog_records(reply);
            for (long i = 0; i < n; ++i) {
                if (full) {
                    rest = true;
                    break;
                }
                const long time = zta_read_long(reply, zta::fld::TA_ULOGTIME, i);
                const long line = zta_read_long(reply, zta::fld::TA_ULOGLINE, i);
                if (d.since.Take(time, line) == zta_ulog_place::step::seen) continue;
                agent.FillRow(reply, &agent.row_, i, 1);
                d.rows.push_back(agent.row_);
                full = d.rows.size() >= kMaxDriveRecords;
            }
            if (full && more > 0) rest = true;
            return n;
        }
    } walk(*this, d);

    const zta_ulog_place start = d.since;
    zta_mib_buffers buffers;
    buffers.request = fml;
    buffers.reply = theirSitReplyBuffer;
    buffers.reply_len = d.rpLoglength;
    const zta_walk_outcome outcome = zta_mib_walk(&zta_trc_, buffers, "T_ULOG", "", walk);
    theirSitReplyBuffer = buffers.reply;
    d.rpLoglength = buffers.reply_len;
    if (outcome.failed_call) {
        // No rows from a failed drive: the next one asks again from where
        // the last good one ended.
        d.rows.clear();
        d.since = start;
        MarkSampleIncomplete(outcome.why);
        return false;
    }
    if (walk.rest) {
        ZTA_STATE("TXULOGS: the situation drive took its %zu records with TA_MORE %ld; the "
                  "rest comes with the next scan\n",
                  kMaxDriveRecords, walk.more);
        d.unseen = "the drive took its " + std::to_string(kMaxDriveRecords) + " records";
    } else if (!outcome.why.empty()) {
        d.unseen = outcome.why;
    }
    return true;
}

void zta_txulogs_agent::PresentSitReply() {
    ZTA_TRACE_BLOCK("zta16agt", "SituationTakeSample");
    const std::vector<zta_txulogs_data_t>& rows = theirDrive.rows;
    const std::size_t n = theirDrive.theirSitReplyValid ? rows.size() : 0;
    ZTA_DETAIL("Number of rows to be processed: <%d>\n",
               static_cast<int>(std::min<std::size_t>(n, INT_MAX)));
    for (std::size_t i = 0; i < n; ++i) {
        row_ = rows[i];
        ZTA_DETAIL("Adding Data for situation\n");
        AddData(&row_, 1);
    }
}

void zta_txulogs_agent::CheckLogFileSwitched() {
    ZTA_TRACE_BLOCK("zta16agt", "CheckLogFileSwitched");
    ZTA_ENTRY();
    // Only the day counts: the time of day and the milliseconds become "0"s.
    constexpr std::size_t kDay = 7;  // century digit and YYMMDD
    drive_state& d = theirDrive;
    if (d.theirFirstInterval == 0) {
        d.theirFirstInterval = 1;
        TBX_GenerateTimeStamp(d.sinceMsgDateBuffer, 0);
        std::memset(d.sinceMsgDateBuffer + kDay, '0', ZTA_WBTIME_LEN - kDay);
    }
    char now[ZTA_WBTIME_BUF] = {};
    TBX_GenerateTimeStamp(now, 0);
    std::memset(now + kDay, '0', ZTA_WBTIME_LEN - kDay);
    if (std::memcmp(d.sinceMsgDateBuffer, now, kDay) < 0) {
        ZTA_DETAIL("ULOG switched\n");
        std::memcpy(d.sinceMsgDateBuffer, now, kDay);
        d.since = {};
    }
    ZTA_EXIT();
}
