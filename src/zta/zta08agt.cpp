// Sampler of the machine statistics table TXMSTATS: one row per machine of
// the domain with its local run-time figures (MIB class T_MACHINE, MIB_LOCAL),
// through the view txview08 straight into the working row. It is the one
// table that reports a sample without an answer from the MIB as a row: a
// failed MIB call, or a sample while the agent cannot join, adds the error
// row (TBXTUXCON 1).
#include "zta08agt.h"

#include <cstring>

#include "zta_fields.h"
#include "zta_util.h"

zta_node zta_txmstats_agent::theirNode;

namespace {

// Local attributes; the timestamp of a row is taken once its call succeeded.
constexpr zta_cursor_variant kVariant =
    zta_variant_of<zta_txmstats_data_t>(true, zta_stamp::each_pass_after_success);

}  // namespace

zta_txmstats_agent::zta_txmstats_agent(RequestDetail* request, ContextInfo* context,
                                       TableManager* manager)
    : zta_txmstats_base(request, context, manager) {
    TakeSampleConstructor();
}

zta_txmstats_agent::~zta_txmstats_agent() { TakeSampleDestructor(); }

void zta_txmstats_agent::TakeSampleConstructor() {
    ZTA_TRACE_BLOCK("zta08agt", "TakeSampleConstructor");
    zta_take_sample_constructor(&zta_trc_, theirNode);
}

void zta_txmstats_agent::TakeSampleDestructor() {
    ZTA_TRACE_BLOCK("zta08agt", "TakeSampleDestructor");
    ZTA_ENTRY();
    ZTA_EXIT();
}

void zta_txmstats_agent::GetOtherStats() {
    ZTA_TRACE_BLOCK("zta08agt", "GetOtherStats");
    ZTA_ENTRY();
    zta_pad_in_place(row_);
    zta_fill_originnode(row_.originnode, theirNode);
    row_.pctaccess = zta_percent_hundredths(row_.curaccess, row_.maxaccess);
    row_.pctwsclnt = zta_percent_hundredths(row_.curwsclnts, row_.maxwsclnt);
    row_.pctconv = zta_percent_hundredths(row_.curconv, row_.maxconv);
    row_.pctgtt = zta_percent_hundredths(row_.curgtt, row_.maxgtt);
    row_.pcttranabt = zta_percent_hundredths(row_.numtranabt, row_.numtran);
    row_.tbxtuxcon = 0;
    ZTA_EXIT();
}

void zta_txmstats_agent::SendErrorRow() {
    ZTA_TRACE_BLOCK("zta08agt", "SendErrorRow");
    ZTA_ENTRY();
    // LMID and every statistic keep the view's null values: an empty LMID,
    // counters 0.
    Fvsinit32(reinterpret_cast<char*>(&row_), zta_text(kVariant.view));
    zta_fill_originnode(row_.originnode, theirNode);
    char timestamp[ZTA_WBTIME_BUF] = {};
    TBX_GenerateTimeStamp(timestamp, 0);
    std::memcpy(row_.samp_tm, timestamp, sizeof row_.samp_tm);
    row_.tbxtuxcon = 1;
    AddData(&row_, 1);
    ZTA_EXIT();
}

void zta_txmstats_agent::TakeSample() {
    ZTA_TRACE_BLOCK("zta08agt", "TakeSample");

    // The view fills the working row itself.
    struct target final : zta_cursor_target {
        zta_txmstats_agent& agent;
        explicit target(zta_txmstats_agent& a) : agent(a) {}
        char* ViewRecord() override { return reinterpret_cast<char*>(&agent.row_); }
        void ObjectConverted(FBFR32*, FLDOCC32, const char* timestamp) override {
            std::memcpy(agent.row_.samp_tm, timestamp, sizeof agent.row_.samp_tm);
            agent.GetOtherStats();
            agent.AddData(&agent.row_, 1);
        }
        // No answer from the MIB in this sample: the row that says so, after
        // any machine rows already handed over.
        void CallFailed(const char*) override { agent.SendErrorRow(); }
        void JoinFailed() override { agent.SendErrorRow(); }
    } view(*this);

    zta_cursor_loop(&zta_trc_, *this, kVariant, view);
}
