// The activity model of a live domain: counters grow, levels such as queue
// lengths wander, clients come and go and user-log records are written.
//
// What the model shows is a function of the domain file's objects, the seed
// and the time alone, never of when the process started: every process that
// loads the same domain sees the same values at the same moment (an agent,
// ztaquery and tmib side by side, or agents for two machines of the domain).
// Time goes in steps of the domain's `tick` seconds, counted from the Unix
// epoch, so two samples in the same step agree.
#ifndef TUXSIM_ACTIVITY_HPP
#define TUXSIM_ACTIVITY_HPP

#include <ctime>
#include <deque>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "domain.hpp"

namespace tuxsim::detail {

class Activity {
public:
    // Takes the domain's objects as the file gives them (before any step);
    // off unless the domain file asked for activity.
    void start(const Domain& d);

    // Brings the objects to their values at now, when now is in another step
    // than the last call's (earlier or later). The client own_client (this
    // process's entry) stays, the last of its class; so do user-log records
    // written by anyone else.
    void advance(Domain& d, std::time_t now, const std::string& own_client);

    // Counters start each UTC day from the file's values, as after a nightly
    // restart of the domain.
    static constexpr long kDay = 86400;
    // The user log holds the model's records of the last hour, at most
    // kMaxUlog of them (the newest).
    static constexpr long kUlogWindow = 3600;
    static constexpr std::size_t kMaxUlog = 5000;
    // Clients the model adds at most: each of these slots holds one client
    // or none, changing at random moments.
    static constexpr std::size_t kClientSwing = 6;

private:
    void move_objects(Domain& d, long step) const;
    void churn_clients(Domain& d, long step, const std::string& own_client);
    void write_ulog(Domain& d, long step);
    ObjectPtr ulog_record(const Domain& d, long step) const;

    bool on_ = false;
    ActivitySettings set_;
    long step_ = 0;
    bool stepped_ = false;
    // Per class, the objects as the file gives them.
    std::vector<ObjectList> file_;
    // The client and user-log entries this model put in the lists.
    std::unordered_set<const Object*> clients_;
    std::unordered_set<const Object*> records_;
    std::deque<std::pair<long, ObjectPtr>> ulog_;  // by step, oldest first
    // Per machine of the file's user log, its highest TA_ULOGLINE.
    std::vector<std::pair<std::string, long>> last_line_;
};

}  // namespace tuxsim::detail

#endif
