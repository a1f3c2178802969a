// The agent loader: the framework calls it once to register the tables.
#include "zta_agent.h"
#include "zta_trace.h"

#include "zta01agt.h"
#include "zta02agt.h"
#include "zta03agt.h"
#include "zta04agt.h"
#include "zta05agt.h"
#include "zta06agt.h"
#include "zta07agt.h"
#include "zta08agt.h"
#include "zta09agt.h"
#include "zta10agt.h"
#include "zta11agt.h"
#include "zta12agt.h"
#include "zta13agt.h"
#include "zta14agt.h"
#include "zta15agt.h"
#include "zta16agt.h"
#include "zta17agt.h"
#include "zta18agt.h"
#include "zta19agt.h"
#include "zta20agt.h"

int LoadAgents() {
    ZTA_TRACE_BLOCK("loadagt", "LoadAgents");
    ZTA_ENTRY();
    TBX_SetAffinity("AFF_TUXEDO");
    TBX_SetAffinity("AFF_V3");
    // The tables in their fixed order. A table whose manager could not be
    // made or registered is simply absent.
    zta_txclients_init();
    zta_txcstats_init();
    zta_txconv_init();
    zta_txdomcfg_init();
    zta_txbblcfg_init();
    zta_txsvrgrp_init();
    zta_txmconf_init();
    zta_txmstats_init();
    zta_txsysmq_init();
    zta_txsvrq_init();
    zta_txqload_init();
    zta_txserver_init();
    zta_txsrvstat_init();
    zta_txsvcgrp_init();
    zta_txtransact_init();
    zta_txulogs_init();
    zta_txappq_init();
    zta_txqmsg_init();
    zta_txqspcs_init();
    zta_txqtran_init();
    ZTA_EXIT_VALUE(0);
    return 0;
}
