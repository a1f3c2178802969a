// A parsed VIEW32 definition with the C layout of its structure, as the
// compiler lays out the equivalent struct on this platform: each member at
// the next offset aligned to its type, the structure's size rounded up to its
// largest alignment.
#ifndef TUXSIM_VIEW_MODEL_H
#define TUXSIM_VIEW_MODEL_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fml32.h"

namespace fml {

enum class MemberType { Char, Short, Int, Long, Float, Double, String, Carray };

struct ViewMember {
    MemberType type = MemberType::Int;
    std::string cname;
    std::string fbname;    // "-" when bound to no field
    FLDID32 field = BADFLDID;
    std::size_t count = 1;
    std::size_t elem = 0;  // bytes of one element
    std::size_t offset = 0;
    // Flag C: a short C_<cname> before the member holds the number of
    // elements Fvftos32 filled. Flag L: unsigned short L_<cname>[count]
    // before the member holds the bytes moved into each element.
    bool count_member = false;
    bool length_member = false;
    std::size_t count_offset = 0;
    std::size_t length_offset = 0;
    // Flags S (structure to buffer only) and N (no mapping): Fvftos32 leaves
    // the member alone.
    bool from_buffer = true;
    std::string null_value;  // one element's bytes when it holds its null value
};

// A member that Fvftos32 fills from the buffer, in the order of its field.
struct FieldMember {
    FLDID32 field;
    std::uint32_t member;  // index in View::members
};

struct View {
    std::string name;
    std::string file;
    std::vector<ViewMember> members;
    std::size_t size = 0;
    // The structure as Fvsinit32 leaves it: zero, every element of every
    // member at its null value. Made once when the view is loaded.
    std::string init_image;
    // The members Fvftos32 fills, sorted by field identifier (members of one
    // field in member order), so that one walk over a buffer, whose records
    // are ordered by field identifier too, meets each member's field.
    std::vector<FieldMember> by_field;
    // 0 when usable; otherwise the error every use of the view fails with
    // (reported once on standard error when the view was loaded).
    int error = 0;
};

// The view called name, or nullptr with Ferror32 set (FBADVIEW when no view
// file defines it, FVFSYNTAX or FVFOPEN when a view file could not be read,
// FBADFLD when a member names a field the tables do not know, the field
// tables' error when they did not load).
std::shared_ptr<const View> find_view(const char* name);

// Reads one view file as loading it would and says whether all its views can
// be used: 0, or the error (see tuxsim_Fvcheck32).
int check_view_file(const char* path, bool mapped);

// Rises each time the views are forgotten (reset_views), so that a cached
// view can tell it is out of date.
std::uint64_t views_generation();

// Moves one field value (of FML type `type`, len bytes at v) into one element
// of m at dst; returns the bytes moved, for an L_ length member.
unsigned short move_value(const ViewMember& m, int type, const unsigned char* v, FLDLEN32 len, char* dst);

}  // namespace fml

#endif  // TUXSIM_VIEW_MODEL_H
