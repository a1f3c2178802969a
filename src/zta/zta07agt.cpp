// Sampler of the machine configuration table TXMCONF: one row per machine
// of the domain (MIB class T_MACHINE without local attributes), through the
// view txview07 into a separate view record that CopytoWBBuffer copies into
// the working row.
#include "zta07agt.h"

#include <cstring>

#include "zta_util.h"

zta_node zta_txmconf_agent::theirNode;

namespace {

// Global attributes only; a timestamp before each call.
constexpr zta_cursor_variant kVariant =
    zta_variant_of<zta_txmconf_data_t>(false, zta_stamp::each_pass_before_call);

}  // namespace

zta_txmconf_agent::zta_txmconf_agent(RequestDetail* request, ContextInfo* context,
                                     TableManager* manager)
    : zta_txmconf_base(request, context, manager) {
    TakeSampleConstructor();
}

zta_txmconf_agent::~zta_txmconf_agent() { TakeSampleDestructor(); }

void zta_txmconf_agent::TakeSampleConstructor() {
    ZTA_TRACE_BLOCK("zta07agt", "TakeSampleConstructor");
    zta_take_sample_constructor(&zta_trc_, theirNode);
}

void zta_txmconf_agent::TakeSampleDestructor() {
    ZTA_TRACE_BLOCK("zta07agt", "TakeSampleDestructor");
    ZTA_ENTRY();
    ZTA_EXIT();
}

void zta_txmconf_agent::CopytoWBBuffer(zta_txmconf_data_t& row,
                                       const zta_txmconf_data_t& record) {
    ZTA_TRACE_BLOCK("zta07agt", "CopytoWBBuffer");
    ZTA_ENTRY();
    zta_fill_originnode(row.originnode, theirNode);
    zta_copy_record(row, record);
    // The familiar permission digits: 0660 shows as 660.
    row.perm = zta_octal_digits(record.perm);
    ZTA_EXIT();
}

void zta_txmconf_agent::TakeSample() {
    ZTA_TRACE_BLOCK("zta07agt", "TakeSample");

    // The view record: each machine of the reply lands there first.
    zta_record_target view(*this, row_, &zta_txmconf_data_t::samp_tm);
    zta_cursor_loop(&zta_trc_, *this, kVariant, view);
}
