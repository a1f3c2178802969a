// Sampler of the queue load table TXQLOAD: one row per server request queue
// and machine with its load figures (MIB class T_QUEUE with MIB_LOCAL),
// through the view txview11 straight into the working row. One timestamp,
// taken before the first call, serves every row of a sample. ZATTRIB and
// ZVALUE stay empty.
#include "zta11agt.h"

#include <cstring>

zta_node zta_txqload_agent::theirNode;

namespace {

const zta_cursor_variant kVariant = {"T_QUEUE", true, zta_stamp::once_before_loop, "txview11"};

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

void zta_txqload_agent::ObjectConverted(FBFR32*, const char* timestamp) {
    std::memcpy(row_.timestamp, timestamp, sizeof row_.timestamp);
    zta_pad_in_place(row_);
    zta_fill_originnode(row_.originnode, theirNode);
    AddData(&row_, 1);
}

void zta_txqload_agent::TakeSample() {
    ZTA_TRACE_BLOCK("zta11agt", "TakeSample");
    zta_cursor_loop(&zta_trc_, kVariant, *this);
}
