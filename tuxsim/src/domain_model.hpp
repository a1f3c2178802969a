// The objects of the simulated domain: typed attribute values keyed by FML32
// field identifier, grouped per MIB class.
#ifndef TUXSIM_DOMAIN_MODEL_HPP
#define TUXSIM_DOMAIN_MODEL_HPP

#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fml32.h"
#include "mib_schema.hpp"

namespace tuxsim::detail {

// One value of an attribute. Which member counts follows the FML32 type of
// the attribute's field: num for short, long and char; real for float and
// double; text for string and carray.
struct Value {
    long num = 0;
    double real = 0;
    std::string text;

    bool operator==(const Value&) const = default;
};

struct Attr {
    FLDID32 id = BADFLDID;
    int type = FLD_LONG;
    std::vector<Value> values;  // one for a scalar, one per group for a group list
};

// Attributes are kept sorted by field identifier.
struct Object {
    std::vector<Attr> attrs;

    const Attr* find(FLDID32 id) const;
    Attr& set(FLDID32 id, int type);  // finds or inserts, keeping the order
    void erase(FLDID32 id);

    // Convenience accessors for scalars; absent or empty gives the default.
    long num(FLDID32 id, long dflt = 0) const;
    std::string text(FLDID32 id) const;
    void set_num(FLDID32 id, long v);
    void set_text(FLDID32 id, std::string v);
};

using ObjectPtr = std::shared_ptr<const Object>;
using ObjectList = std::vector<ObjectPtr>;

inline constexpr std::size_t kClassCount = 15;

std::size_t class_index(const ClassSpec& class_def);

// Per class, the current list of objects. A list handed out by share() is
// never changed afterwards: edit() copies it first (copy on write), so a
// retrieval in progress keeps seeing the objects as they were at its GET.
class ClassLists {
public:
    std::shared_ptr<const ObjectList> share(std::size_t cls) const { return lists_[cls]; }
    const ObjectList& get(std::size_t cls) const { return *lists_[cls]; }
    ObjectList& edit(std::size_t cls);

    ClassLists();

private:
    std::array<std::shared_ptr<ObjectList>, kClassCount> lists_;
};

// Field identifiers the MIB itself uses, resolved from the field table once.
struct MibFields {
    FLDID32 operation, cls, occurs, more, cursor, flags;
    FLDID32 error, status, badfld;
    FLDID32 ulogtime, mmddyy, endtime, grpindex, grpcount, curtime;
    FLDID32 filter, cursorhold, mibtimeout;
    FLDID32 appqspacename, qmconfig, lmid;
    FLDID32 clientid, state, usrname, cltname, wsc, wsh, pid, timestart;
};

// The local date at t as mmddyy and the local time of day as hhmmss, the
// forms of the user log's TA_MMDDYY and TA_ULOGTIME.
long local_mmddyy(std::time_t t);
long local_hhmmss(std::time_t t);

// Fldid32 for a name held as a view (Fldid32 takes a plain char*, as Tuxedo's
// does).
FLDID32 field_id(std::string_view name);

// Resolves every field above; on a missing one throws std::runtime_error
// naming it.
MibFields resolve_mib_fields();

}  // namespace tuxsim::detail

#endif
