// Where this agent stands in its domain (zta_scope.h), read from the MIB:
// the domain's identifier and master (T_DOMAIN), each machine's role and
// physical name (T_MACHINE), each server group's machine (T_GROUP) and this
// process's own client entry (T_CLIENT), whose machine is this one.
#include "zta_scope.h"

#include <agw.h>
#include <fml32.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "zta_agent.h"
#include "zta_binding.h"
#include "zta_cycle.h"
#include "zta_fields.h"

namespace {

using steady = std::chrono::steady_clock;

// A place once known is read again this often: a master migrates, a group
// moves to its backup machine. One not fully known is tried again sooner.
constexpr auto kRefresh = std::chrono::seconds(60);
constexpr auto kRetry = std::chrono::seconds(10);

// The process's one place and when it was read: written and read on the
// sampling thread only (samplers and the series they publish).
struct state {
    zta_domain_place place;
    steady::time_point read{};
    bool ever = false;
    bool held = false;  // set for tests: never read from the MIB
};
state& current() {
    static state s;
    return s;
}

// The attributes read, by name through the field tables as the views do.
struct fields {
    FLDID32 domainid, master, lmid, role, pmid, srvgrp, curlmid, pid, usrname, cltname;
};
const fields& ids() {
    static const fields f = [] {
        auto id = [](const char* name) {
            const FLDID32 found = Fldid32(zta_text(name));
            return found == BADFLDID ? FLDID32{0} : found;
        };
        return fields{id("TA_DOMAINID"), id("TA_MASTER"), id("TA_LMID"),    id("TA_ROLE"),
                      id("TA_PMID"),     id("TA_SRVGRP"), id("TA_CURLMID"), id("TA_PID"),
                      id("TA_USRNAME"),  id("TA_CLTNAME")};
    }();
    return f;
}

// Occurrence `occ` of a string attribute, bounded; "" when absent.
std::string text_at(FBFR32* reply, FLDID32 field, FLDOCC32 occ) {
    if (field == 0) return {};
    FLDLEN32 len = 0;
    const char* value = Ffind32(reply, field, occ, &len);
    if (value == nullptr) return {};
    return std::string(value, strnlen(value, std::min<FLDLEN32>(len, 256)));
}

// Every object of a class, through the agent's one walk: `each(reply, i)`
// for each occurrence that carries `key`. False when the walk failed.
template <class Each>
bool read_class(TRC1_Block* trace, const char* mib_class, FLDID32 key,
                const std::vector<std::pair<FLDID32, std::string>>& selectors, Each each) {
    if (key == 0) return false;
    zta_mib_buffers buffers;
    if (!zta_alloc_mib_buffers(trace, buffers)) return false;
    Fchg32(buffers.request, zta::fld::TA_OPERATION, 0, zta_text("GET"), 0);
    Fchg32(buffers.request, zta::fld::TA_CLASS, 0, zta_text(mib_class), 0);
    for (const auto& [field, value] : selectors) {
        if (field == 0) continue;
        if (zta::fld::type_of(field) == zta::fld::kLong) {
            const long number = std::strtol(value.c_str(), nullptr, 10);
            Fchg32(buffers.request, field, 0, zta_value(number), 0);
        } else {
            Fchg32(buffers.request, field, 0, zta_text(value.c_str()), 0);
        }
    }
    struct reader final : zta_walk_target {
        FLDID32 key;
        Each& each;
        reader(FLDID32 k, Each& e) : key(k), each(e) {}
        long Reply(FBFR32* reply) override {
            long n = 0;
            while (n < INT_MAX && Ffind32(reply, key, static_cast<FLDOCC32>(n), nullptr) != nullptr) {
                each(reply, static_cast<FLDOCC32>(n));
                ++n;
            }
            return n;
        }
    } target(key, each);
    const zta_walk_outcome outcome = zta_mib_walk(trace, buffers, mib_class, "", target);
    zta_free_mib_buffers(buffers);
    return !outcome.failed_call && outcome.why.empty();
}

// The first LMID of a list such as TA_MASTER's "SITE1,SITE2".
std::string first_of(const std::string& list) { return list.substr(0, list.find(',')); }

void read_place(TRC1_Block* trace, zta_domain_place& place) {
    const fields& f = ids();
    read_class(trace, "T_DOMAIN", f.domainid, {}, [&](FBFR32* reply, FLDOCC32 i) {
        place.domain = text_at(reply, f.domainid, i);
        place.master = first_of(text_at(reply, f.master, i));
    });

    // The machine that is master now (a migrated master says so in its
    // role), and this node's machine by its physical name as a fallback.
    char node[64] = {};
    DetermineLocalHost(node, sizeof node);
    std::string by_node;
    if (Txinit::Joined()) {
        std::set<std::string> unattended;
        if (read_class(trace, "T_MACHINE", f.lmid, {}, [&](FBFR32* reply, FLDOCC32 i) {
                const std::string lmid = text_at(reply, f.lmid, i);
                if (text_at(reply, f.role, i).rfind("MASTER", 0) == 0) place.master = lmid;
                if (text_at(reply, f.pmid, i) == node) by_node = lmid;
                if (text_at(reply, zta::fld::TA_STATE, i).rfind("ACT", 0) != 0) unattended.insert(lmid);
            })) {
            place.unattended = std::move(unattended);
        }
    }

    // This machine: as the request file says, else the machine of the
    // agent's own client entry (its process id and names), else the
    // machine whose physical name is this node's.
    const std::string configured = AGW_MetricsSetting("machine");
    if (!configured.empty()) {
        place.lmid = configured;
    } else if (Txinit::Joined()) {
        std::vector<std::string> found;
        read_class(trace, "T_CLIENT", f.lmid,
                   {{f.pid, std::to_string(static_cast<long>(getpid()))},
                    {f.usrname, "TXWATCHER"},
                    {f.cltname, "tpsysadm"}},
                   [&](FBFR32* reply, FLDOCC32 i) {
                       const std::string lmid = text_at(reply, f.lmid, i);
                       if (!lmid.empty() && (found.empty() || found.front() != lmid)) found.push_back(lmid);
                   });
        if (found.size() == 1) {
            place.lmid = found.front();
        } else if (!by_node.empty()) {
            place.lmid = by_node;
        }
    }

    if (Txinit::Joined()) {
        std::map<std::string, std::string> groups;
        if (read_class(trace, "T_GROUP", f.srvgrp, {}, [&](FBFR32* reply, FLDOCC32 i) {
                std::string lmid = text_at(reply, f.curlmid, i);
                if (lmid.empty()) lmid = first_of(text_at(reply, f.lmid, i));
                groups[text_at(reply, f.srvgrp, i)] = lmid;
            })) {
            place.group_lmid = std::move(groups);
        }
    }

    const std::string wide = AGW_MetricsSetting("domain_wide");
    place.domain_wide = wide == "true" ||
                        (wide != "false" && !place.lmid.empty() && place.lmid == place.master);
}

}  // namespace

const zta_domain_place& zta_place() { return current().place; }

void zta_refresh_place(TRC1_Block* trace) {
    state& s = current();
    if (s.held || !Txinit::Joined()) return;
    const auto now = steady::now();
    const bool known = !s.place.lmid.empty() && !s.place.domain.empty();
    if (s.ever && now - s.read < (known ? kRefresh : kRetry)) return;
    static TRC1_Block own = {ZTA_COMPONENT_TAG, "ztascope", "RefreshPlace", {}};
    TRC1_Block* t = trace != nullptr ? trace : &own;
    ZTA_ENTRY_B(t);
    s.read = now;
    s.ever = true;
    zta_domain_place fresh = s.place;
    read_place(t, fresh);
    if (fresh.lmid != s.place.lmid || fresh.master != s.place.master || fresh.domain_wide != s.place.domain_wide) {
        ZTA_STATE_B(t, "domain %s: this machine %s, master %s: %s the domain-wide objects\n",
                    fresh.domain.c_str(), fresh.lmid.empty() ? "(unknown)" : fresh.lmid.c_str(),
                    fresh.master.empty() ? "(unknown)" : fresh.master.c_str(),
                    fresh.domain_wide ? "exporting" : "leaving to the master's agent");
    }
    s.place = std::move(fresh);
    AGW_SetCommonLabels({{"domain", s.place.domain}}, {{"lmid", s.place.lmid}});
    ZTA_EXIT_B(t);
}

void zta_set_place_for_tests(const zta_domain_place& p, bool hold) {
    state& s = current();
    s.place = p;
    s.held = hold;
    s.ever = false;
    AGW_SetCommonLabels({{"domain", p.domain}}, {{"lmid", p.lmid}});
}

bool zta::metrics_row_scope(const TableMeta& table, const char* row, AgwLabels* extra) {
    const zta_domain_place& place = zta_place();
    if (table.scope == Scope::domain) return place.domain_wide;
    if (table.scope_column < 0 || table.scope_column >= table.num_columns) return true;
    const ColumnMeta& c = table.columns[table.scope_column];
    // The column's text as the framework reads it: up to a NUL or the
    // width, trailing blanks dropped.
    std::size_t n = strnlen(row + c.offset, c.size);
    while (n > 0 && row[c.offset + n - 1] == ' ') --n;
    const std::string value(row + c.offset, n);
    // A machine's objects are its own agent's; those of a machine that is
    // not active go with the domain-wide objects.
    auto ours = [&](const std::string& lmid) {
        return (!place.lmid.empty() && lmid == place.lmid) ||
               (place.domain_wide && place.unattended.count(lmid) != 0);
    };
    const char* label = scope_label(table);
    if (table.scope == Scope::machine) {
        if (!ours(value)) return false;
        // A machine named otherwise (a conversation's origin) is the
        // object's machine all the same.
        if (*label != '\0') extra->push_back({label, value});
        return true;
    }
    auto found = place.group_lmid.find(value);
    if (found == place.group_lmid.end() || !ours(found->second)) return false;
    extra->push_back({label, found->second});
    return true;
}
