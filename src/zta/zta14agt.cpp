// Sampler of the service groups table TXSVCGRP: one row per service as
// offered by one server group (MIB class T_SVCGRP with MIB_LOCAL, for the
// completed and queued counts), through the view txview14 into a separate
// view record that CopytoWBBuffer copies into the working row.
#include "zta14agt.h"

#include <cstring>

zta_node zta_txsvcgrp_agent::theirNode;

namespace {

const zta_cursor_variant kVariant = {"T_SVCGRP", true, zta_stamp::each_pass_before_call,
                                     "txview14"};

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
    zta_fill_originnode(row.originnode, theirNode);
    zta_copy_record(row, record);
}

void zta_txsvcgrp_agent::TakeSample() {
    ZTA_TRACE_BLOCK("zta14agt", "TakeSample");

    // The view record: each service entry of the reply lands here first.
    struct target final : zta_cursor_target {
        zta_txsvcgrp_agent& agent;
        zta_txsvcgrp_data_t record{};
        explicit target(zta_txsvcgrp_agent& a) : agent(a) {}
        char* ViewRecord() override { return reinterpret_cast<char*>(&record); }
        void ObjectConverted(FBFR32*, const char* timestamp) override {
            std::memcpy(agent.row_.timestamp, timestamp, sizeof agent.row_.timestamp);
            agent.CopytoWBBuffer(agent.row_, record);
            agent.AddData(&agent.row_, 1);
        }
    } view(*this);

    zta_cursor_loop(&zta_trc_, kVariant, view);
}
