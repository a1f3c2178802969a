// The quirks of a laxer MIB (tuxsim.h) as the MIB applies them: per quirk,
// the set of class indexes it applies to.
#ifndef TUXSIM_QUIRKS_HPP
#define TUXSIM_QUIRKS_HPP

#include <bitset>
#include <string>

#include "domain_model.hpp"
#include "tuxsim.h"

namespace tuxsim::detail {

using ClassMask = std::bitset<kClassCount>;

struct QuirkMasks {
    ClassMask ignore_occurs;
    ClassMask endless;
    ClassMask fixed_cursor;
    ClassMask repeat_objects;
    ClassMask omit_more;
    ClassMask unsupported;
    bool strict_views = false;
};

// Resolves the class names of the test API's quirks. Returns the empty
// string, else a one-line error naming the quirk and the class, and leaves
// out untouched.
std::string resolve_quirks(const tuxsim::Quirks& in, QuirkMasks& out);

}  // namespace tuxsim::detail

#endif
