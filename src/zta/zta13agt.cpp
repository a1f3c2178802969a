// Sampler of the server statistics table TXSRVSTAT: one row per server
// process entry with its local run-time statistics (MIB class T_SERVER,
// MIB_LOCAL), through the view txview13 straight into the working row.
#include "zta13agt.h"

#include <cstring>

zta_node zta_txsrvstat_agent::theirNode;

namespace {

// Local attributes; a timestamp before each call.
constexpr zta_cursor_variant kVariant =
    zta_variant_of<zta_txsrvstat_data_t>(true, zta_stamp::each_pass_before_call);

}  // namespace

zta_txsrvstat_agent::zta_txsrvstat_agent(RequestDetail* request, ContextInfo* context,
                                         TableManager* manager)
    : zta_txsrvstat_base(request, context, manager) {
    TakeSampleConstructor();
}

zta_txsrvstat_agent::~zta_txsrvstat_agent() { TakeSampleDestructor(); }

void zta_txsrvstat_agent::TakeSampleConstructor() {
    ZTA_TRACE_BLOCK("zta13agt", "TakeSampleConstructor");
    zta_take_sample_constructor(&zta_trc_, theirNode);
}

void zta_txsrvstat_agent::TakeSampleDestructor() {
    ZTA_TRACE_BLOCK("zta13agt", "TakeSampleDestructor");
    ZTA_ENTRY();
    ZTA_EXIT();
}

void zta_txsrvstat_agent::CopytoWBBuffer() {
    ZTA_TRACE_BLOCK("zta13agt", "CopytoWBBuffer");
    ZTA_ENTRY();
    zta_fill_originnode(row_.originnode, theirNode);
    zta_pad_in_place(row_);
    ZTA_EXIT();
}

void zta_txsrvstat_agent::TakeSample() {
    ZTA_TRACE_BLOCK("zta13agt", "TakeSample");

    // The view fills the working row itself.
    struct target final : zta_cursor_target {
        zta_txsrvstat_agent& agent;
        explicit target(zta_txsrvstat_agent& a) : agent(a) {}
        char* ViewRecord() override { return reinterpret_cast<char*>(&agent.row_); }
        void ObjectConverted(FBFR32*, FLDOCC32, const char* timestamp) override {
            std::memcpy(agent.row_.timestamp, timestamp, sizeof agent.row_.timestamp);
            agent.CopytoWBBuffer();
            agent.AddData(&agent.row_, 1);
        }
    } view(*this);

    zta_cursor_loop(&zta_trc_, *this, kVariant, view);
}
