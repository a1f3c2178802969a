// A loaded domain: the objects of every class, plus what the domain file
// says about the local machine, activity and faults.
#ifndef TUXSIM_DOMAIN_HPP
#define TUXSIM_DOMAIN_HPP

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "domain_file.hpp"

namespace tuxsim::detail {

struct Domain {
    std::string path;
    std::string local_lmid;  // the machine this process runs on
    long batch = kDefaultBatch;  // objects in one reply at most
    long call_cost_us = 0;       // microseconds each call to ".TMIB" waits
    ActivitySettings activity;
    FaultList faults;
    QuirkMasks quirks;  // the domain file's; tuxsim::set_quirks overrides them
    SecuritySettings security;  // checked by tpinit
    MibFields f{};
    ClassLists lists;
    // Per class, the schema entry of each attribute by field identifier.
    std::array<std::vector<std::pair<FLDID32, const AttrSpec*>>, kClassCount> by_id;

    const AttrSpec* attr_def(std::size_t cls, FLDID32 id) const;
    std::size_t index(std::string_view cls) const { return class_index(*find_class(cls)); }
};

// Reads the file and resolves field identifiers; throws DomainError.
std::unique_ptr<Domain> open_domain(const std::string& path);

}  // namespace tuxsim::detail

#endif
