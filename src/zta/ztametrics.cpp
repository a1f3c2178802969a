// The agent's own health series (see zta_metrics.h).
#include "zta_metrics.h"

#include <agw.h>

#include <cstring>

#include "zta_agent.h"
#include "zta_tables.h"
#include "zta_ulogctr.h"

namespace {

constexpr const char* kMibCalls = "tuxedo_agent_mib_calls_total";
constexpr const char* kMibCallsHelp = "Calls of .TMIB by table and outcome.";
constexpr const char* kJoins = "tuxedo_agent_joins_total";
constexpr const char* kJoinsHelp = "Attempts to join the Tuxedo application, by outcome.";

// The table a MIB call was made for: the view names it; the tables without a
// view each read a class of their own.
const char* table_of(const char* mib_class, const char* view) {
    for (const zta::TableMeta& t : zta::kTables) {
        if (view != nullptr && *view != '\0' ? std::strcmp(t.view, view) == 0
                                             : (*t.view == '\0' && mib_class != nullptr &&
                                                std::strcmp(t.mib_class, mib_class) == 0))
            return t.upper;
    }
    return mib_class != nullptr ? mib_class : "";
}

}  // namespace

void zta_metrics_start() {
    AGW_SetMetricsPrefix("tuxedo_agent");
    const wbbld_record* build = nullptr;
    wbbld00(&build);
    // The package's version and the commit it was built from, as
    // exporters spell them.
    AGW_GaugeSet("tuxedo_agent_build_info", "The agent's version and the commit it was built from, value 1.",
                 {{"version", ZTA_PACKAGE_VERSION}, {"revision", build->texts[ZTA_BUILD_TEXTS - 1]}}, 1);
    // Every outcome of every table from the start, so that rate() and
    // increase() see the first failure.
    for (const zta::TableMeta& t : zta::kTables) {
        for (const char* outcome : {"ok", "failed"}) {
            AGW_CounterAdd(kMibCalls, kMibCallsHelp, {{"table", t.upper}, {"outcome", outcome}}, 0);
        }
    }
    AGW_CounterAdd(kJoins, kJoinsHelp, {{"outcome", "ok"}}, 0);
    AGW_CounterAdd(kJoins, kJoinsHelp, {{"outcome", "failed"}}, 0);
    // Counted only once the user log has records: known from the start.
    AGW_DeclareSeries(zta_ulog_counter::kSeries, zta_ulog_counter::kHelp, true, {"lmid", "severity"});
    zta_metrics_joined(Txinit::Joined());
}

void zta_metrics_join(bool ok) { AGW_CounterAdd(kJoins, kJoinsHelp, {{"outcome", ok ? "ok" : "failed"}}, 1); }

void zta_metrics_joined(bool joined) {
    AGW_GaugeSet("tuxedo_agent_joined", "1 while the agent is joined to the Tuxedo application, else 0.", {},
                 joined ? 1 : 0);
    AGW_SetNotReady(joined ? nullptr : "the agent is not joined to the Tuxedo application");
}

void zta_metrics_mib_call(const char* mib_class, const char* view, bool ok, long calls) {
    if (calls <= 0) return;
    AGW_CounterAdd(kMibCalls, kMibCallsHelp,
                   {{"table", table_of(mib_class, view)}, {"outcome", ok ? "ok" : "failed"}},
                   static_cast<double>(calls));
}
