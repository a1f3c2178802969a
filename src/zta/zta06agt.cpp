// Sampler of the server groups table TXSVRGRP: one row per server group
// (MIB class T_GROUP), through the view txview06 straight into the working
// row, whose text columns are then blank-padded in place. The cursor loop
// traces the request and reply buffers for this table.
#include "zta06agt.h"

zta_node zta_txsvrgrp_agent::theirNode;

namespace {

constexpr zta_cursor_variant kVariant = zta_variant_of<zta_txsvrgrp_data_t>(
    false, zta_stamp::each_pass_before_call, /*trace_buffers=*/true);

}  // namespace

zta_txsvrgrp_agent::zta_txsvrgrp_agent(RequestDetail* request, ContextInfo* context,
                                       TableManager* manager)
    : zta_txsvrgrp_base(request, context, manager) {
    TakeSampleConstructor();
}

zta_txsvrgrp_agent::~zta_txsvrgrp_agent() { TakeSampleDestructor(); }

void zta_txsvrgrp_agent::TakeSampleConstructor() {
    ZTA_TRACE_BLOCK("zta06agt", "TakeSampleConstructor");
    zta_take_sample_constructor(&zta_trc_, theirNode);
}

void zta_txsvrgrp_agent::TakeSampleDestructor() {
    ZTA_TRACE_BLOCK("zta06agt", "TakeSampleDestructor");
    ZTA_ENTRY();
    ZTA_EXIT();
}

void zta_txsvrgrp_agent::TakeSample() {
    ZTA_TRACE_BLOCK("zta06agt", "TakeSample");
    zta_row_target view(*this, row_, &zta_txsvrgrp_data_t::samp_tm, theirNode,
                        [](FBFR32*, FLDOCC32) {});
    zta_cursor_loop(&zta_trc_, *this, kVariant, view);
}
