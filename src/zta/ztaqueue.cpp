// The /Q tables' way of sampling: configured lists, one MIB call per queue
// space, one row per occurrence of its reply (see zta_queue.h).
#include "zta_queue.h"

#include <atmi.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "printable.h"
#include "zta_agent.h"
#include "zta_metrics.h"

namespace {

// The three variables, in the order of the lists they give.
constexpr const char* kQspcVariable = "TXAPPQSPACENAME";
constexpr const char* kQMConfVariable = "TXQMCONFIG";
constexpr const char* kLmidVariable = "TXLMID";

// Writes standard output's pending text and the reply under its stdio lock.
// The framework's row output takes the same lock when it writes to standard
// output, so a printed reply and a row line never share a line.
void print_reply(FBFR32* reply) {
    flockfile(stdout);
    Fprint32(reply);
    std::fflush(stdout);
    funlockfile(stdout);
}

}  // namespace

void zta_queue_config::ReadEnvironment(TRC1_Block* trace) {
    Configure(trace, std::getenv(kQspcVariable), std::getenv(kQMConfVariable),
              std::getenv(kLmidVariable));
}

bool zta_queue_config::Configure(TRC1_Block* trace, const char* qspc, const char* qmconf,
                                 const char* lmid) {
    theirInfoDefined = 0;
    std::memset(theirQspcstr, 0, sizeof theirQspcstr);
    std::memset(theirQMConfstr, 0, sizeof theirQMConfstr);
    std::memset(theirLmid, 0, sizeof theirLmid);
    if (qspc == nullptr || qspc[0] == '@') return false;

    if (qmconf == nullptr || lmid == nullptr) {
        const std::string unset = qmconf == nullptr && lmid == nullptr
                                      ? std::string(kQMConfVariable) + " and " + kLmidVariable
                                      : (qmconf == nullptr ? kQMConfVariable : kLmidVariable);
        ZTA_ERROR_B(trace, "%s is set without %s: no queue space is watched\n", kQspcVariable,
                    unset.c_str());
        return false;
    }
    const std::pair<const char*, const char*> values[] = {
        {kQspcVariable, qspc}, {kQMConfVariable, qmconf}, {kLmidVariable, lmid}};
    for (const auto& [name, value] : values) {
        const std::size_t length = std::strlen(value);
        if (length >= ZTA_QUEUE_LIST_SIZE) {
            ZTA_ERROR_B(trace, "%s is %zu bytes long, at most %zu fit: no queue space is watched\n",
                        name, length, ZTA_QUEUE_LIST_SIZE - 1);
            return false;
        }
    }
    std::memcpy(theirQspcstr, qspc, std::strlen(qspc));
    std::memcpy(theirQMConfstr, qmconf, std::strlen(qmconf));
    std::memcpy(theirLmid, lmid, std::strlen(lmid));
    theirInfoDefined = 1;
    return true;
}

const char* zta_queue_config::GetNextQueueTokens(char* qspc, char* qmconf, char* lmid,
                                                 char separator, int& start, int& more) {
    ZTA_TRACE_BLOCK("ztaqueue", "GetNextQueueTokens");
    ZTA_ENTRY();
    if (start > 0) {
        qspcloc = qmconfloc = qlmidloc = 0;
        start = 0;
    }
    const char* found =
        GetQueueString(theirQspcstr, separator, qspc, ZTA_QUEUE_LIST_SIZE, qspcloc);
    GetQueueString(theirQMConfstr, separator, qmconf, ZTA_QUEUE_LIST_SIZE, qmconfloc);
    GetQueueString(theirLmid, separator, lmid, ZTA_QUEUE_LIST_SIZE, qlmidloc);
    more = found != nullptr ? 1 : 0;
    ZTA_EXIT();
    return found;
}

void zta_queue_loop(TRC1_Block* trace, tavro& object, const zta::TableMeta& table,
                    const FLDID32* fields, bool print, zta_queue_config& config,
                    zta_queue_target& target) {
    ZTA_ENTRY_B(trace);
    const char* mib_class = table.mib_class;
    if (!zta_join_before_sample()) {
        object.MarkSampleIncomplete(Txinit::NotJoinedReason());
        ZTA_EXIT_B(trace);
        return;
    }
    zta_mib_buffers buffers;
    if (!zta_alloc_mib_buffers(trace, buffers)) {
        object.MarkSampleIncomplete("tpalloc failed");
        ZTA_EXIT_B(trace);
        return;
    }
    FBFR32* request = buffers.request;
    Fchg32(request, zta::fld::TA_OPERATION, 0, zta_text("GET"), 0);
    Fchg32(request, zta::fld::TA_CLASS, 0, zta_text(mib_class), 0);

    if (config.theirInfoDefined != 0) {
        // Each queue space's objects, reply after reply, up to the most one
        // sample takes of all spaces together.
        struct pages final : zta_walk_target {
            const zta::TableMeta& table;
            const FLDID32* fields;
            bool print;
            zta_queue_target& target;
            TRC1_Block* trace;
            long taken = 0;
            bool full = false;
            pages(const zta::TableMeta& t, const FLDID32* f, bool p, zta_queue_target& g, TRC1_Block* tr)
                : table(t), fields(f), print(p), target(g), trace(tr) {}
            long Reply(FBFR32* reply) override {
                if (print) print_reply(reply);
                const long objects = zta_reply_objects(reply, table, fields, 0);
                for (long i = 0; i < objects; ++i) {
                    if (taken >= ZTA_QUEUE_MAX_OBJECTS) {
                        ZTA_ERROR_B(trace, "%s: %ld objects in one sample, the most it takes: the rest is not read\n",
                                    table.mib_class, taken);
                        full = true;
                        return -1;
                    }
                    target.Occurrence(reply, i);
                    ++taken;
                }
                return objects;
            }
        } walk(table, fields, print, target, trace);

        int start = 1;
        int more = 1;
        char qspc[ZTA_QUEUE_LIST_SIZE];
        char qmconf[ZTA_QUEUE_LIST_SIZE];
        char lmid[ZTA_QUEUE_LIST_SIZE];
        while (more != 0 && !walk.full) {
            std::memset(qspc, 0, sizeof qspc);
            std::memset(qmconf, 0, sizeof qmconf);
            std::memset(lmid, 0, sizeof lmid);
            config.GetNextQueueTokens(qspc, qmconf, lmid, ';', start, more);
            if (more == 0) break;
            // Occurrence 0: each queue space replaces the previous one's keys,
            // and its walk starts afresh.
            Fchg32(request, zta::fld::TA_OPERATION, 0, zta_text("GET"), 0);
            Fdel32(request, zta::fld::TA_CURSOR, 0);
            Fchg32(request, zta::fld::TA_APPQSPACENAME, 0, qspc, 0);
            Fchg32(request, zta::fld::TA_QMCONFIG, 0, qmconf, 0);
            Fchg32(request, zta::fld::TA_LMID, 0, lmid, 0);
            const zta_walk_outcome outcome = zta_mib_walk(trace, buffers, mib_class, "", walk);
            if (walk.full) object.MarkSampleIncomplete(std::string(mib_class) + ": the most objects one sample takes");
            if (outcome.why.empty()) continue;
            if (outcome.refused) {
                // The MIB refused this queue space: the others are read.
                const std::string why = std::string(mib_class) + ": queue space " + zcommon::Printable(qspc, 64) +
                                        " (" + zcommon::Printable(qmconf, 64) + ", " + zcommon::Printable(lmid, 64) +
                                        ") refused: " + outcome.why;
                ZTA_ERROR_B(trace, "%s\n", why.c_str());
                object.MarkSampleIncomplete(why);
                continue;
            }
            object.MarkSampleIncomplete(outcome.why);
            break;
        }
    }

    zta_free_mib_buffers(buffers);
    ZTA_EXIT_B(trace);
}

