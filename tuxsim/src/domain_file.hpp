// Reading a domain file: a YAML map whose "classes" section lists the objects
// of each MIB class as maps from attribute names to values (README.md).
#ifndef TUXSIM_DOMAIN_FILE_HPP
#define TUXSIM_DOMAIN_FILE_HPP

#include <array>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

#include "domain_model.hpp"
#include "faults.hpp"
#include "quirks.hpp"

namespace tuxsim::detail {

struct ActivitySettings {
    bool on = false;
    std::uint64_t seed = 1;
    long tick = 5;         // seconds of simulated time per step
    double clients = 0.2;  // chance per step that a client joins or leaves
    double ulog = 0.3;     // chance per step that a user-log record is written
};

// Who may join (the domain file's "security" section), as the levels of
// Tuxedo's SECURITY parameter: NONE admits every client, APP_PW wants the
// application password in TPINIT.passwd, USER_AUTH also the user's own
// password, for TPINIT.usrname, in TPINIT's variable data.
enum class SecurityLevel { None, AppPw, UserAuth };

struct SecuritySettings {
    SecurityLevel level = SecurityLevel::None;
    std::string app_password;
    std::map<std::string, std::string> users;  // user name -> password
};

// Objects in one MIB reply when a GET names no TA_OCCURS (and the most a
// TA_OCCURS gets), unless the domain file says otherwise.
inline constexpr long kDefaultBatch = 20;
inline constexpr long kMaxBatch = 100000;
// The most a call to ".TMIB" may be made to take (`call_cost_us`): a second.
inline constexpr long kMaxCallCostUs = 1000000;

struct DomainFile {
    std::string path;
    std::string local_lmid;  // empty: the first machine
    long batch = kDefaultBatch;
    long call_cost_us = 0;  // wall time each call to ".TMIB" takes, as an IPC round trip would
    ActivitySettings activity;
    FaultList faults;
    QuirkMasks quirks;
    SecuritySettings security;
    std::array<ObjectList, kClassCount> classes;
};

// What was wrong with a domain file, as one line: "FILE:LINE:COL: what".
class DomainError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws DomainError. Attribute types come from the field table.
DomainFile load_domain_file(const std::string& path);

}  // namespace tuxsim::detail

#endif
