// Process entry of the agent: the command line, the banner, start-up
// (handlers, the join, product registration), the framework's main routine,
// and the orderly logout when it returns or the process exits.
#include <atmi.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "printable.h"
#include "zta16agt.h"
#include "zta_agent.h"
#include "zta_metrics.h"
#include "zta_queue.h"
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

// What the framework is told of the agent, for a run as for a check.
void register_agent() {
    zta_metrics_start();
    TBX_SetNodeType("TX");
    TBX_RegisterAgentLoader(LoadAgents);
    TBX_SetProduct("TX", PRODUCTREVISION);
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

    register_agent();

    const int status = agwmain(argc, argv);

    std::fprintf(stderr, "%sLogging out of Application\n", TRC1_StderrPriority(AGW_PRIO_INFO));
    std::fflush(stderr);
    ZTA_DETAIL("Logging out of Application\n");
    zta_release_log_buffers();
    Txinit::DeleteInstance();

    ZTA_EXIT_VALUE(status);
    return status;
}

int zta_check_settings() {
    // The settings the samplers read at their first sample, read now: a
    // problem is told by the line a start would write (an error trace line),
    // and a start goes on without what it concerns.
    ZTA_TRACE_BLOCK("ztamain", "zta_check_settings");
    zta_queue_config queues;
    queues.ReadEnvironment(&zta_trc_);
    const int scan = zta_txulogs_agent::ScanInterval(std::getenv("ZTA_ULOG_SCAN"));
    std::printf("agent:    /Q queue spaces: %s; the user log scanned every %d s\n",
                queues.theirInfoDefined != 0 ? queues.theirQspcstr : "none", scan);
    // The files the join reads (passwords) are checked as a start checks
    // them, and a problem with one fails the check: a start stops on it.
    std::string unusable;
    if (!Txinit::CheckPasswordFiles(&unusable)) {
        std::fprintf(stderr, "ztaagent: %s\n", unusable.c_str());
        return 2;
    }
    auto named = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    const bool app = named("ZTA_APP_PASSWORD_FILE"), user = named("ZTA_USER_PASSWORD_FILE");
    std::printf("agent:    join passwords: %s\n", app && user ? "application and user" : app ? "application" : user ? "user" : "none");
    return 0;
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

constexpr const char* kUsage = "usage: ztaagent [--help | --version | --check-config]\n";

void write_help() {
    std::printf("%s\n"
                "Monitors a Tuxedo application domain: joins it as an administrative client, samples\n"
                "its MIB into rows of twenty tables, writes them as JSON Lines and serves their\n"
                "series to Prometheus. Without an option it runs until SIGTERM or SIGINT; SIGHUP\n"
                "reopens its outputs and reads the request file and the web configuration again.\n"
                "\n"
                "  --check-config  check the request file, the row output, the metrics endpoint's\n"
                "                  settings and web configuration and the environment as a start\n"
                "                  would, without joining; say what would be sampled and served;\n"
                "                  exit 0 when a start would run, 2 when it would not\n"
                "  --version       the version, the commit and the Tuxedo libraries it was built with\n"
                "  --help          this text\n"
                "\n"
                "Settings come from the environment: AGW_CONFIG (the request file), AGW_OUTPUT,\n"
                "AGW_HTTP, AGW_WEB_CONFIG, AGW_TRACE, AGW_TRACE_FILE, ZTA_ULOG_SCAN, TXAPPQSPACENAME,\n"
                "TXQMCONFIG, TXLMID and Tuxedo's own (README.md, \"Environment\").\n",
                kUsage);
}

void write_version() {
    const wbbld_record* build = nullptr;
    wbbld00(&build);
    std::printf("ztaagent %s (commit %s)\nbuilt against %s\n", build->texts[ZTA_BUILD_TEXTS - 2],
                build->texts[ZTA_BUILD_TEXTS - 1], ZTA_TUXEDO_BUILD);
}

// An option does what it asks for without a banner and without joining.
// Its exit status; -1 for what is not an option.
int run_option(const char* option) {
    if (std::strcmp(option, "--help") == 0 || std::strcmp(option, "-h") == 0) {
        write_help();
        return 0;
    }
    if (std::strcmp(option, "--version") == 0) {
        write_version();
        return 0;
    }
    if (std::strcmp(option, "--check-config") == 0) {
        register_agent();
        TBX_RegisterAgentCheck(zta_check_settings);
        return agwcheck();
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    // Before the banner: standard output into a pipe whose reader has gone
    // must not end the process before it has joined and can leave in order
    // (the row output then ends the run on EPIPE).
    std::signal(SIGPIPE, SIG_IGN);
    if (argc > 1) {
        const int status = argc == 2 ? run_option(argv[1]) : -1;
        if (status >= 0) return status;
        std::fprintf(stderr, "ztaagent: \"%s\": expected one of --help, --version, --check-config\n%s",
                     zcommon::Printable(argv[argc == 2 ? 1 : 2]).c_str(), kUsage);
        return 2;
    }
    write_banner();
    // Only the program name reaches the framework.
    return WbMain(1, argv);
}
#endif
