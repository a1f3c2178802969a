// Sampler of the bulletin board configuration table TXBBLCFG: how full the
// domain's bulletin board is (MIB class T_DOMAIN, one object), through the
// view txview05 straight into the working row; GetOtherStats computes the
// ten percentages.
#include "zta05agt.h"

#include <cstdint>

#include "zta_util.h"

zta_node zta_txbblcfg_agent::theirNode;

namespace {

constexpr zta_cursor_variant kVariant =
    zta_variant_of<zta_txbblcfg_data_t>(false, zta_stamp::each_pass_before_call);

// A percentage column and the current use and maximum it is computed from.
using bbl_column = std::int32_t zta_txbblcfg_data_t::*;
struct bbl_share {
    bbl_column percent;
    bbl_column current;
    bbl_column maximum;
};

using R = zta_txbblcfg_data_t;
constexpr bbl_share kShares[] = {
    {&R::pctrttable, &R::routingct, &R::maxrttable},
    {&R::pctgrps, &R::currgrps, &R::maxsrvgrps},
    {&R::pctmach, &R::currmach, &R::maxmach},
    {&R::pctques, &R::currques, &R::maxques},
    {&R::pctrtrng, &R::currrtrng, &R::maxrtrng},
    {&R::pctstrpsz, &R::currstrpsz, &R::maxstrpsz},
    {&R::pctserv, &R::currserv, &R::maxserv},
    {&R::pctservic, &R::currservic, &R::maxservic},
    {&R::pctbblst, &R::currbblst, &R::maxst},
    {&R::pctbbltp, &R::currbbltp, &R::maxbbltp},
};

}  // namespace

zta_txbblcfg_agent::zta_txbblcfg_agent(RequestDetail* request, ContextInfo* context,
                                       TableManager* manager)
    : zta_txbblcfg_base(request, context, manager) {
    TakeSampleConstructor();
}

zta_txbblcfg_agent::~zta_txbblcfg_agent() { TakeSampleDestructor(); }

void zta_txbblcfg_agent::TakeSampleConstructor() {
    ZTA_TRACE_BLOCK("zta05agt", "TakeSampleConstructor");
    zta_take_sample_constructor(&zta_trc_, theirNode);
}

void zta_txbblcfg_agent::TakeSampleDestructor() {
    ZTA_TRACE_BLOCK("zta05agt", "TakeSampleDestructor");
    ZTA_ENTRY();
    ZTA_EXIT();
}

void zta_txbblcfg_agent::GetOtherStats() {
    ZTA_TRACE_BLOCK("zta05agt", "GetOtherStats");
    ZTA_ENTRY();
    for (const bbl_share& s : kShares) {
        row_.*s.percent = zta_percent_hundredths(row_.*s.current, row_.*s.maximum);
    }
    ZTA_EXIT();
}

void zta_txbblcfg_agent::TakeSample() {
    ZTA_TRACE_BLOCK("zta05agt", "TakeSample");
    zta_row_target view(*this, row_, &zta_txbblcfg_data_t::samp_tm, theirNode,
                        [this](FBFR32*, FLDOCC32) { GetOtherStats(); });
    zta_cursor_loop(&zta_trc_, *this, kVariant, view);
}
