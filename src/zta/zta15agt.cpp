// Sampler of the transactions table TXTRANSACT: one row per global
// transaction (MIB class T_TRANSACTION), through the view txview15 straight
// into the working row, with the transaction's first group.
#include "zta15agt.h"

#include <cstring>
#include <limits>

#include "zta_fields.h"
#include "zta_util.h"

zta_node zta_txtransact_agent::theirNode;

namespace {

constexpr zta_cursor_variant kVariant =
    zta_variant_of<zta_txtransact_data_t>(false, zta_stamp::each_pass_before_call);

}  // namespace

void zta_first_group(zta_txtransact_data_t& row, FBFR32* reply, FLDOCC32 occurrence) {
    // Without TA_GRPINDEX the transaction's groups start at the occurrence
    // of the transaction itself (the first, in a reply of one); without
    // TA_GRPCOUNT the reply is taken to hold them there.
    const long index = zta_reply_long(reply, zta::fld::TA_GRPINDEX, occurrence, occurrence);
    const long count = zta_reply_long(reply, zta::fld::TA_GRPCOUNT, occurrence, 1);
    row.grpno = 0;
    std::memset(row.gstate, 0, sizeof row.gstate);
    if (count <= 0 || index < 0 || index > std::numeric_limits<FLDOCC32>::max()) return;
    const auto first = static_cast<FLDOCC32>(index);
    row.grpno = zta_saturate32(zta_reply_long(reply, zta::fld::TA_GRPNO, first, 0));
    if (const char* gstate = Ffind32(reply, zta::fld::TA_GSTATE, first, nullptr)) {
        std::memcpy(row.gstate, gstate, strnlen(gstate, sizeof row.gstate - 1));
    }
}

zta_txtransact_agent::zta_txtransact_agent(RequestDetail* request, ContextInfo* context,
                                           TableManager* manager)
    : zta_txtransact_base(request, context, manager) {
    TakeSampleConstructor();
}

zta_txtransact_agent::~zta_txtransact_agent() { TakeSampleDestructor(); }

void zta_txtransact_agent::TakeSampleConstructor() {
    ZTA_TRACE_BLOCK("zta15agt", "TakeSampleConstructor");
    zta_take_sample_constructor(&zta_trc_, theirNode);
}

void zta_txtransact_agent::TakeSampleDestructor() {
    ZTA_TRACE_BLOCK("zta15agt", "TakeSampleDestructor");
    ZTA_ENTRY();
    ZTA_EXIT();
}

void zta_txtransact_agent::TakeSample() {
    ZTA_TRACE_BLOCK("zta15agt", "TakeSample");
    zta_row_target view(*this, row_, &zta_txtransact_data_t::timestamp, theirNode,
                        [this](FBFR32* reply, FLDOCC32 occurrence) {
                            zta_first_group(row_, reply, occurrence);
                        });
    zta_cursor_loop(&zta_trc_, *this, kVariant, view);
}
