// Sampler of the server queues table TXSVRQ: one row per server request
// queue (MIB class T_QUEUE without MIB_LOCAL, so the configuration comes
// back), through the view txview10 straight into the working row. One
// timestamp, taken before the first call, serves every row of a sample.
#include "zta10agt.h"

#include <cstring>

zta_node zta_txsvrq_agent::theirNode;

namespace {

constexpr zta_cursor_variant kVariant =
    zta_variant_of<zta_txsvrq_data_t>(false, zta_stamp::once_before_loop);

}  // namespace

zta_txsvrq_agent::zta_txsvrq_agent(RequestDetail* request, ContextInfo* context,
                                   TableManager* manager)
    : zta_txsvrq_base(request, context, manager) {
    TakeSampleConstructor();
}

zta_txsvrq_agent::~zta_txsvrq_agent() { TakeSampleDestructor(); }

void zta_txsvrq_agent::TakeSampleConstructor() {
    ZTA_TRACE_BLOCK("zta10agt", "TakeSampleConstructor");
    zta_take_sample_constructor(&zta_trc_, theirNode);
}

void zta_txsvrq_agent::TakeSampleDestructor() {
    ZTA_TRACE_BLOCK("zta10agt", "TakeSampleDestructor");
    ZTA_ENTRY();
    ZTA_EXIT();
}

void zta_txsvrq_agent::CopytoWBBuffer() {
    ZTA_TRACE_BLOCK("zta10agt", "CopytoWBBuffer");
    ZTA_ENTRY();
    zta_fill_originnode(row_.originnode, theirNode);
    // CONV and RESTART keep exactly their first byte, then a blank: "Y ",
    // "N ", or a NUL and a blank when the reply left them empty.
    const char conv = row_.conv[0];
    const char restart = row_.restart[0];
    zta_pad_in_place(row_);
    row_.conv[0] = conv;
    row_.conv[1] = ' ';
    row_.restart[0] = restart;
    row_.restart[1] = ' ';
    ZTA_EXIT();
}

void zta_txsvrq_agent::ObjectConverted(FBFR32*, FLDOCC32, const char* timestamp) {
    std::memcpy(row_.samp_tm, timestamp, sizeof row_.samp_tm);
    CopytoWBBuffer();
    AddData(&row_, 1);
}

void zta_txsvrq_agent::TakeSample() {
    ZTA_TRACE_BLOCK("zta10agt", "TakeSample");
    zta_cursor_loop(&zta_trc_, *this, kVariant, *this);
}
