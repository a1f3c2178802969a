// Sampler of the queue load table TXQLOAD: one row per server request queue
// and machine with its load figures (MIB class T_QUEUE with MIB_LOCAL),
// through the view txview11 straight into the working row. One timestamp,
// taken before the first call, serves every row of a sample. ZATTRIB and
// ZVALUE stay empty.
#include "zta11agt.h"

zta_node zta_txqload_agent::theirNode;

namespace {

constexpr zta_cursor_variant kVariant =
    zta_variant_of<zta_txqload_data_t>(true, zta_stamp::once_before_loop);

}  // namespace

zta_txqload_agent::zta_txqload_agent(RequestDetail* request, ContextInfo* context,
                                     TableManager* manager)
    : zta_txqload_base(request, context, manager) {
    TakeSampleConstructor();
}

zta_txqload_agent::~zta_txqload_agent() { TakeSampleDestructor(); }

void zta_txqload_agent::TakeSampleConstructor() {
    ZTA_TRACE_BLOCK("zta11agt", "TakeSampleConstructor");
    zta_take_sample_constructor(&zta_trc_, theirNode);
}

void zta_txqload_agent::TakeSampleDestructor() {
    ZTA_TRACE_BLOCK("zta11agt", "TakeSampleDestructor");
    ZTA_ENTRY();
    ZTA_EXIT();
}

void zta_txqload_agent::TakeSample() {
    ZTA_TRACE_BLOCK("zta11agt", "TakeSample");
    zta_row_target view(*this, row_, &zta_txqload_data_t::timestamp, theirNode,
                        [](FBFR32*, FLDOCC32) {});
    zta_cursor_loop(&zta_trc_, *this, kVariant, view);
}
