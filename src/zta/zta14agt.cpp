// Sampler of the service groups table TXSVCGRP: one row per service as
// offered by one server group (MIB class T_SVCGRP with MIB_LOCAL, for the
// completed and queued counts), through the view txview14 into a separate
// view record that CopytoWBBuffer copies into the working row.
#include "zta14agt.h"

zta_node zta_txsvcgrp_agent::theirNode;

namespace {

constexpr zta_cursor_variant kVariant =
    zta_variant_of<zta_txsvcgrp_data_t>(true, zta_stamp::each_pass_before_call);

}  // namespace

zta_txsvcgrp_agent::zta_txsvcgrp_agent(RequestDetail* request, ContextInfo* context,
                                       TableManager* manager)
    : zta_txsvcgrp_base(request, context, manager) {
    TakeSampleConstructor();
}

zta_txsvcgrp_agent::~zta_txsvcgrp_agent() { TakeSampleDestructor(); }

void zta_txsvcgrp_agent::TakeSampleConstructor() {
    ZTA_TRACE_BLOCK("zta14agt", "TakeSampleConstructor");
    zta_take_sample_constructor(&zta_trc_, theirNode);
}

void zta_txsvcgrp_agent::TakeSampleDestructor() {
    ZTA_TRACE_BLOCK("zta14agt", "TakeSampleDestructor");
    ZTA_ENTRY();
    ZTA_EXIT();
}

void zta_txsvcgrp_agent::CopytoWBBuffer(zta_txsvcgrp_data_t& row,
                                        const zta_txsvcgrp_data_t& record) {
    ZTA_TRACE_BLOCK("zta14agt", "CopytoWBBuffer");
    ZTA_ENTRY();
    zta_fill_originnode(row.originnode, theirNode);
    zta_copy_record(row, record);
    ZTA_EXIT();
}

void zta_txsvcgrp_agent::TakeSample() {
    ZTA_TRACE_BLOCK("zta14agt", "TakeSample");
    zta_record_target view(*this, row_, &zta_txsvcgrp_data_t::timestamp);
    zta_cursor_loop(&zta_trc_, *this, kVariant, view);
}
