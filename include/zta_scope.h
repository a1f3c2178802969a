// Where this agent stands in its domain, for the metrics endpoint: the
// domain's identifier, this machine's LMID, the machine that is master now
// and the machine of each server group. Read from the MIB by the agent
// itself, so that one agent on every machine of a domain exports each object
// once: the objects of its own machine, and the domain-wide objects only on
// the master machine (or wherever the request file says).
#ifndef ZTA_SCOPE_H
#define ZTA_SCOPE_H

#include <map>
#include <set>
#include <string>

#include "zta_trace.h"

struct zta_domain_place {
    std::string domain;  // TA_DOMAINID, "" until known
    std::string lmid;    // this machine's LMID, "" until known
    std::string master;  // the LMID of the machine that is master now, "" until known
    std::map<std::string, std::string> group_lmid;  // server group -> the machine it runs on now
    // Machines that are not active (not booted, partitioned): no agent of
    // theirs answers, so their objects go with the domain-wide ones.
    std::set<std::string> unattended;
    bool domain_wide = false;  // this agent exports the domain-wide objects
};

// The place as last read. Used on the framework's sampling thread only (the
// samplers and the series they publish); nothing else reads or writes it.
const zta_domain_place& zta_place();

// Reads the place again from the MIB when it is older than its refresh
// interval or not known yet, at most once per sample. Call it on the
// sampling thread while joined; errors are traced and leave the last place.
void zta_refresh_place(TRC1_Block* trace);

// Sets the place and keeps it (no refresh from the MIB) until called with
// `hold` false: for tests of what depends on it.
void zta_set_place_for_tests(const zta_domain_place& place, bool hold = true);

#endif  // ZTA_SCOPE_H
