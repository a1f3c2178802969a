// Sampler of the client statistics table TXCSTATS: one row per client of the
// domain (MIB class T_CLIENT) with its activity figures, through the view
// txview02 straight into the working row; GetOtherStats derives the elapsed
// and idle times and the aborted-transaction percentage.
#include "zta02agt.h"

#include <cstdint>
#include <limits>

#include "zta_fields.h"
#include "zta_util.h"

zta_node zta_txcstats_agent::theirNode;

namespace {

constexpr zta_cursor_variant kVariant =
    zta_variant_of<zta_txcstats_data_t>(false, zta_stamp::each_pass_before_call);

}  // namespace

zta_txcstats_agent::zta_txcstats_agent(RequestDetail* request, ContextInfo* context,
                                       TableManager* manager)
    : zta_txcstats_base(request, context, manager) {
    TakeSampleConstructor();
}

zta_txcstats_agent::~zta_txcstats_agent() { TakeSampleDestructor(); }

void zta_txcstats_agent::TakeSampleConstructor() {
    ZTA_TRACE_BLOCK("zta02agt", "TakeSampleConstructor");
    zta_take_sample_constructor(&zta_trc_, theirNode);
}

void zta_txcstats_agent::TakeSampleDestructor() {
    ZTA_TRACE_BLOCK("zta02agt", "TakeSampleDestructor");
    ZTA_ENTRY();
    ZTA_EXIT();
}

void zta_txcstats_agent::GetOtherStats(void* reply, FLDOCC32 occurrence) {
    ZTA_TRACE_BLOCK("zta02agt", "GetOtherStats");
    ZTA_ENTRY();
    auto* fbfr = static_cast<FBFR32*>(reply);
    // A time the reply does not carry, or carries as 0 (a reply of several
    // objects gives 0 to those without it), is no moment to count from:
    // without either end the elapsed time is 0, not the distance to 1970.
    const long now = zta_reply_long(fbfr, zta::fld::TA_CURTIME, occurrence, 0);
    const long start = zta_reply_long(fbfr, zta::fld::TA_TIMESTART, occurrence, 0);
    std::int64_t elapsed = 0;
    if (now == 0 || start == 0) {
        elapsed = 0;
    } else if (__builtin_sub_overflow(std::int64_t{now}, std::int64_t{start}, &elapsed)) {
        elapsed = now < start ? std::numeric_limits<std::int64_t>::min()
                              : std::numeric_limits<std::int64_t>::max();
    }
    row_.elaptime = zta_saturate32(elapsed);
    row_.elapmin = row_.elaptime / 60;
    row_.elaphr = row_.elapmin / 60;
    // In 64 bits: aborted transactions times 100 passes 32 bits above about
    // 21 million of them.
    row_.pctransabt = zta_percent_whole(row_.transabtct, row_.transct);
    row_.idlemins = row_.idletime / 60;
    ZTA_EXIT();
}

void zta_txcstats_agent::TakeSample() {
    ZTA_TRACE_BLOCK("zta02agt", "TakeSample");
    zta_row_target view(*this, row_, &zta_txcstats_data_t::samp_tm, theirNode,
                        [this](FBFR32* reply, FLDOCC32 occurrence) {
                            GetOtherStats(reply, occurrence);
                        });
    zta_cursor_loop(&zta_trc_, *this, kVariant, view);
}
