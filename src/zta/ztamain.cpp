// Process entry of the agent: the banner, start-up (handlers, the join,
// product registration), the framework's main routine, and the orderly
// logout when it returns or the process exits.
#include <atmi.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "zta_agent.h"
#include "zta_metrics.h"
#include "zta_trace.h"

namespace {

#define ZTA_OWNERSHIP_NOTICE "(C) Copyright the ztaagent authors. All rights reserved."

// Installs CleanUp for one framework signal code.
void install_action(int code, unsigned flags, const char* failure) {
    ZTA_TRACE_BLOCK("ztamain", "WbMain");
    EVT1_ActionRecord record{};
    record.handler = CleanUp;
    record.flags = flags;
    if (EVT1_Action(code, &record, 0) != 0) ZTA_ERROR(failure, errno);
}

}  // namespace

// Process-wide reply buffers of the user log table (see zta_agent.h).
char* theirLogReplyBuffer = nullptr;
char* theirSitReplyBuffer = nullptr;

void zta_release_log_buffers() {
    for (char** buffer : {&theirLogReplyBuffer, &theirSitReplyBuffer}) {
        if (*buffer != nullptr) {
            tpfree(*buffer);
            *buffer = nullptr;
        }
    }
}

int WbMain(int argc, char** argv) {
    ZTA_TRACE_BLOCK("ztamain", "WbMain");
    ZTA_ENTRY();
    ZTA_ALWAYS("\nVELTRANE Monitoring Agents for Tuxedo.\n" ZTA_OWNERSHIP_NOTICE "\n");
    ZTA_ALWAYS("Product: <%s>\n", PRODUCTNAME);
    ZTA_ALWAYS("Prefix : <%s>\n", PRODUCTPREFIX);
    ZTA_ALWAYS("Version: <%s>\n", PRODUCTVERSION);
    ZTA_ALWAYS("Driver : <%s>\n", PRODUCTREVISION);
    ZTA_ALWAYS("Build Date : <%s>\n", __DATE__);
    ZTA_ALWAYS("Build Time : <%s>\n", __TIME__);

    // A password file that cannot be used is a configuration mistake: it
    // stops the start before the first join, as a bad request file does.
    std::string unusable;
    if (!Txinit::CheckPasswordFiles(&unusable)) {
        std::fprintf(stderr, "%sztaagent: %s\n", TRC1_StderrPriority(AGW_PRIO_ERR), unusable.c_str());
        ZTA_EXIT_VALUE(2);
        return 2;
    }

    if (std::atexit(stop_exit) != 0) ZTA_ERROR("atexit routine handler setup failed\n");

    FLT1_Signal(EVT1_SIGINT, CleanUp);
    install_action(EVT1_SIGINT, 0x8000, "EVT1_Action for SIGINT failed, errno = %d\n");
    install_action(EVT1_SIGTERM, 0, "EVT1_Action for SIGTERM failed, errno = %d\n");
    install_action(EVT1_SIGILL, 0, "EVT1_Action for SIGILL failed, errno = %d\n");

    // A failed join is reported by Txinit and retried by the first table
    // object made.
    Txinit::Instance();

    zta_metrics_start();
    TBX_SetNodeType("TX");
    TBX_RegisterAgentLoader(LoadAgents);
    TBX_SetProduct("TX", PRODUCTREVISION);

    const int status = agwmain(argc, argv);

    std::fprintf(stderr, "%sLogging out of Application\n", TRC1_StderrPriority(AGW_PRIO_INFO));
    std::fflush(stderr);
    ZTA_DETAIL("Logging out of Application\n");
    zta_release_log_buffers();
    Txinit::DeleteInstance();

    ZTA_EXIT_VALUE(status);
    return status;
}

void stop_exit() {
    ZTA_TRACE_BLOCK("ztamain", "stop_exit");
    ZTA_ENTRY();
    TBX_Shutdown(0);
    ZTA_STATE("*** Tuxedo Agent shutting down ***");
    zta_release_log_buffers();
    Txinit::DeleteInstance();
    ZTA_EXIT();
}

void CleanUp(int signal) {
    ZTA_TRACE_BLOCK("ztamain", "CleanUp");
    ZTA_ENTRY();
    const char* name = EVT1_SignalName(signal);
    ZTA_STATE("Signal captured: %s\n", name);
    ZTA_STATE("Shutting down agent...\n");
    TBX_Shutdown(1);
    ZTA_STATE("Issuing Exit...\n");
    ZTA_DETAIL("CleanUp() Exit\n");
    ZTA_EXIT();
}

// The library copy of this unit has no main(); the agent binary's has.
#ifdef ZTA_WITH_MAIN
namespace {

// The standard-output banner.
void write_banner() {
    std::printf("\n"
                "VELTRANE Monitoring Agent for Tuxedo.\n"
                ZTA_OWNERSHIP_NOTICE "\n");
    std::fflush(stdout);
    std::printf("\n"
                "Product: " PRODUCTNAME "\n"
                "Prefix : " PRODUCTPREFIX "\n"
                "Version: " PRODUCTVERSION "\n"
                "Driver : " PRODUCTREVISION "\n"
                "Build Date   : " __DATE__ "\n"
                "Build Time   : " __TIME__ "\n"
                "\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    // Before the banner: standard output into a pipe whose reader has gone
    // must not end the process before it has joined and can leave in order
    // (the row output then ends the run on EPIPE).
    std::signal(SIGPIPE, SIG_IGN);
    write_banner();
    // Only the program name reaches the framework.
    (void)argc;
    return WbMain(1, argv);
}
#endif
