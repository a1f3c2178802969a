// The agent's own health series (see zta_metrics.h).
#include "zta_metrics.h"

#include <agw.h>

#include <cstring>

#include "zta_agent.h"
#include "zta_tables.h"

namespace {

constexpr const char* kMibCalls = "tuxedo_agent_mib_calls_total";

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
    AGW_GaugeSet("tuxedo_agent_build_info", "The agent's build, value 1.",
                 {{"version", PRODUCTVERSION}, {"revision", PRODUCTREVISION}, {"build", build->texts[ZTA_BUILD_TEXTS - 1]}},
                 1);
    zta_metrics_joined(Txinit::Joined());
}

void zta_metrics_joined(bool joined) {
    AGW_GaugeSet("tuxedo_agent_joined", "1 while the agent is joined to the Tuxedo application, else 0.", {},
                 joined ? 1 : 0);
    AGW_SetNotReady(joined ? nullptr : "the agent is not joined to the Tuxedo application");
}

void zta_metrics_mib_call(const char* mib_class, const char* view, bool ok, long calls) {
    if (calls <= 0) return;
    AGW_CounterAdd(kMibCalls, "Calls of .TMIB by table and outcome.",
                   {{"table", table_of(mib_class, view)}, {"outcome", ok ? "ok" : "failed"}},
                   static_cast<double>(calls));
}
