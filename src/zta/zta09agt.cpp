// Sampler of the system message queues table TXSYSMQ: one row per operating
// system message queue of the domain (MIB class T_MSG, local attributes),
// through the view txview09 straight into the working row. The row has no
// sample time; GetOtherStats converts the queue's four times.
#include "zta09agt.h"

#include <cstring>

#include "zta_fields.h"
#include "zta_util.h"

zta_node zta_txsysmq_agent::theirNode;

namespace {

constexpr zta_cursor_variant kVariant = zta_variant_of<zta_txsysmq_data_t>(true, zta_stamp::never);

// A time of the reply as a WB timestamp in `column` when it is not 0; a zero
// or absent time leaves the column as the view initialised it (empty).
void convert_time(FBFR32* reply, FLDOCC32 occurrence, FLDID32 field,
                  char (&column)[ZTA_WBTIME_LEN]) {
    const long seconds = zta_reply_long(reply, field, occurrence, 0);
    if (seconds == 0) return;
    char stamp[ZTA_WBTIME_BUF];
    secondstoWBtime(seconds, stamp);
    std::memcpy(column, stamp, ZTA_WBTIME_LEN);
}

}  // namespace

zta_txsysmq_agent::zta_txsysmq_agent(RequestDetail* request, ContextInfo* context,
                                     TableManager* manager)
    : zta_txsysmq_base(request, context, manager) {
    TakeSampleConstructor();
}

zta_txsysmq_agent::~zta_txsysmq_agent() { TakeSampleDestructor(); }

void zta_txsysmq_agent::TakeSampleConstructor() {
    ZTA_TRACE_BLOCK("zta09agt", "TakeSampleConstructor");
    zta_take_sample_constructor(&zta_trc_, theirNode);
}

void zta_txsysmq_agent::TakeSampleDestructor() {
    ZTA_TRACE_BLOCK("zta09agt", "TakeSampleDestructor");
    ZTA_ENTRY();
    ZTA_EXIT();
}

void zta_txsysmq_agent::GetOtherStats(void* reply, FLDOCC32 occurrence) {
    ZTA_TRACE_BLOCK("zta09agt", "GetOtherStats");
    ZTA_ENTRY();
    auto* fbfr = static_cast<FBFR32*>(reply);
    convert_time(fbfr, occurrence, zta::fld::TA_CURTIME, row_.curtime);
    convert_time(fbfr, occurrence, zta::fld::TA_MSG_RTIME, row_.msgrtime);
    convert_time(fbfr, occurrence, zta::fld::TA_MSG_STIME, row_.msgstime);
    convert_time(fbfr, occurrence, zta::fld::TA_MSG_CTIME, row_.ctime);
    ZTA_EXIT();
}

void zta_txsysmq_agent::TakeSample() {
    ZTA_TRACE_BLOCK("zta09agt", "TakeSample");
    // No timestamp column: the target is given none.
    zta_row_target view(*this, row_, nullptr, theirNode,
                        [this](FBFR32* reply, FLDOCC32 occurrence) {
                            GetOtherStats(reply, occurrence);
                        });
    zta_cursor_loop(&zta_trc_, *this, kVariant, view);
}
