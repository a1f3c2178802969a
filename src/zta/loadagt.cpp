// The agent loader: the framework calls it once to register the tables.
#include "zta_agent.h"
#include "zta_trace.h"

#include "zta01agt.h"
#include "zta16agt.h"

int LoadAgents() {
    ZTA_TRACE_BLOCK("loadagt", "LoadAgents");
    ZTA_ENTRY();
    TBX_SetAffinity("AFF_TUXEDO");
    TBX_SetAffinity("AFF_V3");
    // The tables in their fixed order. A table whose manager could not be
    // made or registered is simply absent.
    zta_txclients_init();
    zta_txulogs_init();
    ZTA_EXIT_VALUE(0);
    return 0;
}
