// Sampler of the user log table TXULOGS: one row per user-log record
// (MIB class T_ULOG), every column read from the reply with Fget32, no view.
//
// A report request (demand sample) asks once and shows the records of that
// one reply, tracing what the reply left out; then the records counter
// follows this machine's log (zta_ulogctr.h), whose failure never touches
// the report. Situation requests follow the log scan after scan in a drive
// (ztaulogdrv.cpp).
#include "zta16agt.h"

#include <atmi.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "zta_fields.h"
#include "zta_metrics.h"
#include "zta_scope.h"
#include "zta_util.h"

zta_node zta_txulogs_agent::theirNode;
zta_txulogs_agent::drive_state zta_txulogs_agent::theirDrive;
zta_ulog_counter zta_txulogs_agent::theirCounter;

namespace {

static_assert(zta::fields_match<zta_txulogs_data_t>(),
              "a TXULOGS column is bound to an unknown attribute or one of another type");
constexpr auto kFields = zta::fields_of<zta_txulogs_data_t>();

constexpr int kMinScan = 30;
// The framework's largest interval: its milliseconds must fit an int.
constexpr int kMaxScan = std::numeric_limits<int>::max() / 1000;

int clamp_int(long value) {
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace

int zta_txulogs_agent::ScanInterval(const char* text) {
    ZTA_TRACE_BLOCK("zta16agt", "ScanInterval");
    if (text == nullptr) return kMinScan;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0') {
        ZTA_ERROR("ZTA_ULOG_SCAN: expected a whole number of seconds, got \"%.64s\"; using %d\n",
                  text, kMinScan);
        return kMinScan;
    }
    if (value < kMinScan) return kMinScan;  // also a negative number too large for a long
    if (value > kMaxScan || errno == ERANGE) {
        ZTA_ERROR("ZTA_ULOG_SCAN: %.64s seconds is above the largest interval; using %d\n", text,
                  kMaxScan);
        return kMaxScan;
    }
    return static_cast<int>(value);
}

zta_txulogs_agent::zta_txulogs_agent(RequestDetail* request, ContextInfo* context,
                                     TableManager* manager)
    : zta_txulogs_base(request, context, manager) {
    TakeSampleConstructor();
}

zta_txulogs_agent::~zta_txulogs_agent() { TakeSampleDestructor(); }

void zta_txulogs_agent::TakeSampleConstructor() {
    ZTA_TRACE_BLOCK("zta16agt", "TakeSampleConstructor");
    ZTA_ENTRY();
    // The demand reply buffer is made on the first construction. Only while
    // joined: Tuxedo joins a client that allocates before tpinit on its own,
    // anonymously; a demand sample allocates it later otherwise.
    if (zta_take_sample_constructor(&zta_trc_, theirNode) && theirLogReplyBuffer == nullptr &&
        Txinit::Joined()) {
        theirLogReplyBuffer = tpalloc(zta_text("FML32"), nullptr, theirDrive.rpLoglength);
        if (theirLogReplyBuffer == nullptr) zta_report_atmi_error(nullptr, "tpalloc");
    }
    if (_get_sampletype() == AGW_SAMPLE_SITUATION_REQUEST) {
        const int scan = ScanInterval(std::getenv("ZTA_ULOG_SCAN"));
        ZTA_DETAIL("Tuxedo User Log scan time is set to : <%d> secs \n", scan);
        _set_sampletype(AGW_SAMPLE_SITUATION);
        _set_interval(scan);
        if (theirDrive.theirConstructorCount == 0) theirDrive.theirFirstInterval = 0;
        ++theirDrive.theirConstructorCount;
        ZTA_DETAIL("Tuxedo User Log situations started: <%d> \n",
                   theirDrive.theirConstructorCount);
    }
    ZTA_EXIT();
}

void zta_txulogs_agent::TakeSampleDestructor() {
    ZTA_TRACE_BLOCK("zta16agt", "TakeSampleDestructor");
    ZTA_ENTRY();
    if (_get_sampletype() == AGW_SAMPLE_SITUATION) {
        --theirDrive.theirConstructorCount;
        ZTA_DETAIL("Tuxedo User Log situations started: <%d> \n",
                   theirDrive.theirConstructorCount);
    }
    ZTA_EXIT();
}

void zta_txulogs_agent::TakeSample() {
    ZTA_TRACE_BLOCK("zta16agt", "TakeSample");
    ZTA_ENTRY();
    if (_get_sampletype() == AGW_SAMPLE_SITUATION) {
        SituationTakeSample();
    } else {
        DemandTakeSample();
    }
    ZTA_EXIT();
}

void zta_txulogs_agent::DemandTakeSample() {
    ZTA_TRACE_BLOCK("zta16agt", "DemandTakeSample");
    ZTA_ENTRY();
    lastDemand_ = {};
    char* request = PrepareCall(&zta_trc_, &theirLogReplyBuffer, "tpalloc: theirLogReplyBuffer\n");
    if (request == nullptr) {
        MarkSampleIncomplete();  // the log was not read: this sample clears no situation
        ZTA_EXIT();
        return;
    }
    zta_mib_buffers buffers;
    buffers.request = reinterpret_cast<FBFR32*>(request);
    buffers.reply = theirLogReplyBuffer;
    buffers.reply_len = theirDrive.rpLoglength;
    Fchg32(buffers.request, zta::fld::TA_OPERATION, 0, zta_text("GET"), 0);
    Fchg32(buffers.request, zta::fld::TA_CLASS, 0, zta_text("T_ULOG"), 0);
    // One call: the records of its reply are the report, whatever TA_MORE
    // says.
    struct one_reply final : zta_walk_target {
        zta_txulogs_agent& agent;
        explicit one_reply(zta_txulogs_agent& a) : agent(a) {}
        long Reply(FBFR32* reply) override {
            agent.ShowDemandReply(reply);
            return -1;
        }
    } walk(*this);
    const zta_walk_outcome outcome = zta_mib_walk(&zta_trc_, buffers, "T_ULOG", "", walk);
    theirLogReplyBuffer = buffers.reply;
    theirDrive.rpLoglength = buffers.reply_len;
    if (outcome.failed_call) {
        MarkSampleIncomplete(outcome.why);
    } else {
        FollowLog(buffers.request);
    }
    tpfree(request);
    ZTA_EXIT();
}

void zta_txulogs_agent::ShowDemandReply(FBFR32* reply) {
    ZTA_TRACE_BLOCK("zta16agt", "DemandTakeSample");
    const long n = zta_ulog_records(reply);
    lastDemand_ = {n, zta_reply_long(reply, zta::fld::TA_MORE, 0, 0)};
    ZTA_DETAIL("Retrieving <%d> rows for demand report\n", clamp_int(n));
    if (lastDemand_.more > 0) {
        ZTA_STATE("TXULOGS: the demand reply holds %ld of the %ld records of today's log "
                  "(TA_MORE %ld); a report shows one reply\n",
                  n, lastDemand_.Total(), lastDemand_.more);
    }
    for (long i = 0; i < n; ++i) {
        FillRow(reply, &row_, i, 0);
        char severity[sizeof row_.severity + 1] = {};
        std::memcpy(severity, row_.severity, sizeof row_.severity);
        ZTA_DETAIL("Adding Data Severity: <%6s> \n", severity);
        AddData(&row_, 1);
    }
}

void zta_txulogs_agent::FollowLog(FBFR32* request) {
    ZTA_TRACE_BLOCK("zta16agt", "FollowLog");
    const std::string lmid = zta_place().lmid;
    if (lmid.empty()) return;  // not known yet: nothing to follow
    // The report's request and reply buffers serve the counter's calls, its
    // rows already taken. What the counter could not read it reads at the
    // next report sample; its failed call was reported and, unless the MIB
    // refused it, made the agent leave the application, but the report it
    // follows was whole.
    zta_mib_buffers buffers;
    buffers.request = request;
    buffers.reply = theirLogReplyBuffer;
    buffers.reply_len = theirDrive.rpLoglength;
    std::string why;
    if (!theirCounter.Scan(&zta_trc_, lmid, buffers, &why)) {
        ZTA_STATE("TXULOGS: the user-log counter stopped for this sample: %s\n", why.c_str());
    }
    theirLogReplyBuffer = buffers.reply;
    theirDrive.rpLoglength = buffers.reply_len;
}

char* zta_txulogs_agent::PrepareCall(TRC1_Block* trace, char** reply, const char* note) {
    if (!zta_join_before_sample()) {
        MarkSampleIncomplete(Txinit::NotJoinedReason());
        return nullptr;
    }
    char* request = tpalloc(zta_text("FML32"), nullptr, 0);
    if (request == nullptr) {
        MarkSampleIncomplete(zta_report_atmi_error(trace, "tpalloc"));
        return nullptr;
    }
    if (*reply == nullptr) {
        AGW_TRACE(*trace, AGW_TRC_DETAIL, "%s", note);  // nothing failed: a detail
        *reply = tpalloc(zta_text("FML32"), nullptr, theirDrive.rpLoglength);
        if (*reply == nullptr) {
            MarkSampleIncomplete(zta_report_atmi_error(trace, "tpalloc"));
            tpfree(request);
            return nullptr;
        }
    }
    return request;
}

void zta_txulogs_agent::FillRow(void* reply, zta_txulogs_data_t* row, long index, long mode) {
    ZTA_TRACE_BLOCK("zta16agt", "FillRow");
    ZTA_ENTRY();
    auto* fml = static_cast<FBFR32*>(reply);
    zta_fill_originnode(row->originnode, theirNode);
    row->sampleno = 0;
    row->rowno = 0;
    // Every attribute column, each cut to its width; an attribute this
    // record lacks is empty (or 0), not the previous record's value.
    zta_fill_columns(zta::table_meta_of<zta_txulogs_data_t>(), kFields.data(),
                     reinterpret_cast<char*>(row), fml, index);
    char severity[sizeof row->severity + 1] = {};
    std::memcpy(severity, row->severity, sizeof row->severity);
    ZTA_DETAIL("Data Severity: <%s>\n", severity);

    // The record's date (mmddyy) and time of day (hhmmss); a date or time
    // outside its six digits is no moment.
    const long date = zta_read_long(fml, zta::fld::TA_MMDDYY, index);
    const long time = zta_read_long(fml, zta::fld::TA_ULOGTIME, index);
    zcommon::WbTimeFields when;
    if (date >= 0 && date <= 999999 && time >= 0 && time <= 999999) {
        const int mmddyy = static_cast<int>(date), hhmmss = static_cast<int>(time), yy = mmddyy % 100;
        when = {yy < 90 ? 2000 + yy : 1900 + yy,  // 90 .. 99 are 1990 .. 1999
                mmddyy / 10000, mmddyy / 100 % 100, hhmmss / 10000, hhmmss / 100 % 100, hhmmss % 100, 0};
    }
    if (mode == 1) ZTA_DETAIL("Time of last record accessed: <%d>\n", clamp_int(time));

    char stamp[ZTA_WBTIME_BUF] = {};
    TBX_GenerateTimeStamp(stamp, 0);
    std::memcpy(row->timestamp, stamp, sizeof row->timestamp);
    // Sixteen digits and no NUL in the row: sixteen "0"s when the record's
    // date or time is not a valid moment.
    char ulog_tm[ZTA_WBTIME_BUF];
    zcommon::MakeWbTime(when, ulog_tm);
    std::memcpy(row->ulog_tm, ulog_tm, sizeof row->ulog_tm);
    ZTA_EXIT();
}
