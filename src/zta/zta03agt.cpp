// Sampler of the conversations table TXCONV: one row per active conversation
// (MIB class T_CONN, with its local attributes), through the view txview03
// straight into the working row.
#include "zta03agt.h"

#include "zta_fields.h"

zta_node zta_txconv_agent::theirNode;

namespace {

constexpr zta_cursor_variant kVariant =
    zta_variant_of<zta_txconv_data_t>(true, zta_stamp::each_pass_before_call);

}  // namespace

zta_txconv_agent::zta_txconv_agent(RequestDetail* request, ContextInfo* context,
                                   TableManager* manager)
    : zta_txconv_base(request, context, manager) {
    TakeSampleConstructor();
}

zta_txconv_agent::~zta_txconv_agent() { TakeSampleDestructor(); }

void zta_txconv_agent::TakeSampleConstructor() {
    ZTA_TRACE_BLOCK("zta03agt", "TakeSampleConstructor");
    zta_take_sample_constructor(&zta_trc_, theirNode);
    Fvsinit32(reinterpret_cast<char*>(&row_), zta_text(kVariant.view));
}

void zta_txconv_agent::TakeSampleDestructor() {
    ZTA_TRACE_BLOCK("zta03agt", "TakeSampleDestructor");
    ZTA_ENTRY();
    ZTA_EXIT();
}

void zta_txconv_agent::TakeSample() {
    ZTA_TRACE_BLOCK("zta03agt", "TakeSample");
    zta_row_target view(*this, row_, &zta_txconv_data_t::samp_tm, theirNode,
                        [](FBFR32*, FLDOCC32) {});
    zta_cursor_loop(&zta_trc_, *this, kVariant, view);
}
