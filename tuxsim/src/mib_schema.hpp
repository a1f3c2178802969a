// The MIB classes the simulated domain serves and the attributes of each.
#ifndef TUXSIM_MIB_SCHEMA_HPP
#define TUXSIM_MIB_SCHEMA_HPP

#include <span>
#include <string_view>

namespace tuxsim::detail {

// Global attributes come back on every GET; local ones only when the request
// sets MIB_LOCAL in TA_FLAGS.
enum class Scope { Global, Local };

// Scalar: one value per object. GroupList: one value per participating group
// (T_TRANSACTION's TA_GRPNO, TA_GSTATE); the reply lays the lists of all its
// objects end to end and says where each object's list starts (TA_GRPINDEX)
// and how long it is (TA_GRPCOUNT). Computed: filled in by the MIB itself and
// refused in a domain file.
enum class Shape { Scalar, GroupList, Computed };

struct AttrSpec {
    std::string_view name;
    Scope scope;
    Shape shape;
};

// How a class is retrieved. Cursor: GET/GETNEXT with TA_OCCURS and TA_CURSOR.
// UserLog: the current day's records from a time of day on, in one reply.
// QueueSpace: the objects of one /Q queue space, in one reply.
enum class ClassKind { Cursor, UserLog, QueueSpace };

struct ClassSpec {
    std::string_view name;
    ClassKind kind;
    std::span<const AttrSpec> attrs;

    const AttrSpec* find(std::string_view attr) const;
};

std::span<const ClassSpec> all_classes();
const ClassSpec* find_class(std::string_view name);

}  // namespace tuxsim::detail

#endif
