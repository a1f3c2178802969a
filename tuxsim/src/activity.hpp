// The seeded activity model: as simulated time passes, counters grow, queue
// lengths wander, clients come and go and user-log records are written.
#ifndef TUXSIM_ACTIVITY_HPP
#define TUXSIM_ACTIVITY_HPP

#include <ctime>
#include <random>
#include <string>

#include "domain.hpp"

namespace tuxsim::detail {

class Activity {
public:
    // Starts (or restarts) the model for d at time now; off unless the
    // domain file asked for it.
    void start(const Domain& d, std::time_t now);

    // Runs the steps that fit between the last call and now. The client
    // own_client (this process's entry) is never removed.
    void advance(Domain& d, std::time_t now, const std::string& own_client);

    // Steps run at most per call, so that a long pause costs little.
    static constexpr long kMaxSteps = 50;
    // User-log records the model keeps at most (the oldest it wrote go first).
    static constexpr std::size_t kMaxUlog = 5000;
    // How far the model lets the client count move from the file's.
    static constexpr std::size_t kClientSwing = 6;

private:
    void step(Domain& d, std::time_t t, const std::string& own_client);
    void move_counters(Domain& d);
    void churn_clients(Domain& d, std::time_t t, const std::string& own_client);
    void write_ulog(Domain& d, std::time_t t);
    long uniform(long lo, long hi) { return std::uniform_int_distribution<long>(lo, hi)(rng_); }

    bool on_ = false;
    std::mt19937_64 rng_;
    std::time_t last_ = 0;
    std::size_t base_clients_ = 0;
    long serial_ = 0;
};

}  // namespace tuxsim::detail

#endif
