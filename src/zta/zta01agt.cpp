// Sampler of the clients table TXCLIENTS: one row per client of the
// application (MIB class T_CLIENT), through the view txview01 into a separate
// view record that CopytoWBBuffer copies into the working row.
#include "zta01agt.h"

zta_node zta_txclients_agent::theirNode;

namespace {

constexpr zta_cursor_variant kVariant =
    zta_variant_of<zta_txclients_data_t>(false, zta_stamp::each_pass_before_call);

}  // namespace

zta_txclients_agent::zta_txclients_agent(RequestDetail* request, ContextInfo* context,
                                         TableManager* manager)
    : zta_txclients_base(request, context, manager) {
    TakeSampleConstructor();
}

zta_txclients_agent::~zta_txclients_agent() { TakeSampleDestructor(); }

void zta_txclients_agent::TakeSampleConstructor() {
    ZTA_TRACE_BLOCK("zta01agt", "TakeSampleConstructor");
    zta_take_sample_constructor(&zta_trc_, theirNode);
}

void zta_txclients_agent::TakeSampleDestructor() {
    ZTA_TRACE_BLOCK("zta01agt", "TakeSampleDestructor");
    ZTA_ENTRY();
    ZTA_EXIT();
}

void zta_txclients_agent::CopytoWBBuffer(zta_txclients_data_t& row,
                                         const zta_txclients_data_t& record) {
    ZTA_TRACE_BLOCK("zta01agt", "CopytoWBBuffer");
    ZTA_ENTRY();
    zta_fill_originnode(row.originnode, theirNode);
    zta_copy_record(row, record);
    ZTA_EXIT();
}

void zta_txclients_agent::TakeSample() {
    ZTA_TRACE_BLOCK("zta01agt", "TakeSample");
    zta_record_target view(*this, row_, &zta_txclients_data_t::samp_tm);
    zta_cursor_loop(&zta_trc_, *this, kVariant, view);
}
