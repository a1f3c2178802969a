// The stand-in's process-wide state: the domain, the clock, the membership of
// this process in the application, faults and the request record.
#ifndef TUXSIM_SIM_HPP
#define TUXSIM_SIM_HPP

#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "activity.hpp"
#include "domain.hpp"
#include "faults.hpp"
#include "mib.hpp"
#include "recorder.hpp"

namespace tuxsim::detail {

struct Sim {
    std::mutex mu;  // guards everything below

    bool manual_clock = false;
    std::time_t manual_now = 0;
    std::time_t now() const { return manual_clock ? manual_now : std::time(nullptr); }

    std::string domain_override;  // from tuxsim::use_domain_file
    std::unique_ptr<Domain> domain;
    Activity activity;
    Mib mib;

    // The quirks set by tuxsim::set_quirks; unset: the loaded domain's.
    std::optional<QuirkMasks> quirks_set;
    // Hands the quirks in effect to the MIB and the view layer (lock held);
    // called whenever the domain or quirks_set changes.
    void apply_quirks();

    FaultPlan faults;
    bool env_faults_read = false;
    std::string env_faults_error;  // a bad TUXSIM_FAULTS: every tpinit refuses

    Recorder recorder;

    // Reasons tpinit has written for refusing a join: each is written once,
    // not on every attempt of a client that retries.
    std::set<std::string> refusals_told;
    bool loaded_once = false;       // a domain file was loaded in this process
    // Writes the reason for a refused join to standard error, bounded and
    // escaped, unless it was written before (lock held).
    void tell_refusal(const std::string& reason);

    bool joined = false;
    std::string own_client;
    long client_serial = 0;

    // Reads TUXSIM_FAULTS once (lock held).
    void read_env_faults();
    // Loads the domain if none is loaded (lock held); returns the error line.
    std::string ensure_domain();
    // Removes this process's client entry and forgets the membership.
    void leave();
};

// The one instance. ATMI state is per process (one application membership,
// one set of buffers), so this is a process-wide singleton on purpose.
Sim& sim();

// Counts a call of fn for fault injection; returns the tperrno the call must
// fail with, or 0.
int sim_count_call(Call fn);

}  // namespace tuxsim::detail

#endif
