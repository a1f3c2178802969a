// Sampler of the domain configuration table TXDOMCFG: the domain's settings
// (MIB class T_DOMAIN, one object), through the view txview04 into a
// separate view record that CopytoWBBuffer copies into the working row.
#include "zta04agt.h"

zta_node zta_txdomcfg_agent::theirNode;

namespace {

constexpr zta_cursor_variant kVariant =
    zta_variant_of<zta_txdomcfg_data_t>(false, zta_stamp::each_pass_before_call);

}  // namespace

zta_txdomcfg_agent::zta_txdomcfg_agent(RequestDetail* request, ContextInfo* context,
                                       TableManager* manager)
    : zta_txdomcfg_base(request, context, manager) {
    TakeSampleConstructor();
}

zta_txdomcfg_agent::~zta_txdomcfg_agent() { TakeSampleDestructor(); }

void zta_txdomcfg_agent::TakeSampleConstructor() {
    ZTA_TRACE_BLOCK("zta04agt", "TakeSampleConstructor");
    zta_take_sample_constructor(&zta_trc_, theirNode);
}

void zta_txdomcfg_agent::TakeSampleDestructor() {
    ZTA_TRACE_BLOCK("zta04agt", "TakeSampleDestructor");
    ZTA_ENTRY();
    ZTA_EXIT();
}

void zta_txdomcfg_agent::CopytoWBBuffer(zta_txdomcfg_data_t& row,
                                        const zta_txdomcfg_data_t& record) {
    ZTA_TRACE_BLOCK("zta04agt", "CopytoWBBuffer");
    ZTA_ENTRY();
    zta_fill_originnode(row.originnode, theirNode);
    zta_copy_record(row, record);
    ZTA_EXIT();
}

void zta_txdomcfg_agent::TakeSample() {
    ZTA_TRACE_BLOCK("zta04agt", "TakeSample");
    zta_record_target view(*this, row_, &zta_txdomcfg_data_t::samp_tm);
    zta_cursor_loop(&zta_trc_, *this, kVariant, view);
}
