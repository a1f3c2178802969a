// Sampler of the servers table TXSERVER: one row per server process entry
// of the domain (MIB class T_SERVER without local attributes), through the
// view txview12 straight into the working row, completed by GetOtherStats
// from the reply.
#include "zta12agt.h"

#include <cstring>

#include "zta_fields.h"
#include "zta_util.h"

zta_node zta_txserver_agent::theirNode;

namespace {

// Global attributes only; a timestamp before each call.
constexpr zta_cursor_variant kVariant =
    zta_variant_of<zta_txserver_data_t>(false, zta_stamp::each_pass_before_call);

// A time of the reply (epoch seconds) as a WB timestamp in `column`; a time
// of 0 or absent (the server never started or was never restarted) leaves
// the column as the view initialised it (empty).
void put_time(char (&column)[ZTA_WBTIME_LEN], FBFR32* reply, FLDOCC32 occurrence, FLDID32 field) {
    const long seconds = zta_reply_long(reply, field, occurrence, 0);
    if (seconds == 0) return;
    char text[ZTA_WBTIME_BUF] = {};
    secondstoWBtime(seconds, text);
    std::memcpy(column, text, sizeof column);
}

}  // namespace

zta_txserver_agent::zta_txserver_agent(RequestDetail* request, ContextInfo* context,
                                       TableManager* manager)
    : zta_txserver_base(request, context, manager) {
    TakeSampleConstructor();
}

zta_txserver_agent::~zta_txserver_agent() { TakeSampleDestructor(); }

void zta_txserver_agent::TakeSampleConstructor() {
    ZTA_TRACE_BLOCK("zta12agt", "TakeSampleConstructor");
    zta_take_sample_constructor(&zta_trc_, theirNode);
}

void zta_txserver_agent::TakeSampleDestructor() {
    ZTA_TRACE_BLOCK("zta12agt", "TakeSampleDestructor");
    ZTA_ENTRY();
    ZTA_EXIT();
}

void zta_txserver_agent::GetOtherStats(void* reply, FLDOCC32 occurrence) {
    ZTA_TRACE_BLOCK("zta12agt", "GetOtherStats");
    ZTA_ENTRY();
    auto* fbfr = static_cast<FBFR32*>(reply);
    put_time(row_.timestart, fbfr, occurrence, zta::fld::TA_TIMESTART);
    put_time(row_.timerestrt, fbfr, occurrence, zta::fld::TA_TIMERESTART);
    zta_pad_in_place(row_);
    zta_fill_originnode(row_.originnode, theirNode);
    row_.rpperm = zta_octal_digits(row_.rpperm);
    row_.rqperm = zta_octal_digits(row_.rqperm);
    ZTA_EXIT();
}

void zta_txserver_agent::TakeSample() {
    ZTA_TRACE_BLOCK("zta12agt", "TakeSample");

    // The view fills the working row itself.
    struct target final : zta_cursor_target {
        zta_txserver_agent& agent;
        explicit target(zta_txserver_agent& a) : agent(a) {}
        char* ViewRecord() override { return reinterpret_cast<char*>(&agent.row_); }
        void ObjectConverted(FBFR32* reply, FLDOCC32 occurrence, const char* timestamp) override {
            std::memcpy(agent.row_.timestamp, timestamp, sizeof agent.row_.timestamp);
            agent.GetOtherStats(reply, occurrence);
            agent.AddData(&agent.row_, 1);
        }
    } view(*this);

    zta_cursor_loop(&zta_trc_, *this, kVariant, view);
}
