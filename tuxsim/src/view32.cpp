// Fvsinit32 and Fvftos32: C structures described by views, filled from FML32
// buffers with FML's conversions between field and member types.
//
// Conversions: numbers convert as C converts them, except that a floating
// value too large for an integer member is clamped to the member's range (and
// NaN gives 0) instead of being undefined; a char field or member converts
// through its character code; a string or carray field converts into a
// number by strtoll or strtod; a numeric field into a string or carray member
// is formatted as Fprint32 shows it. Strings are cut to the member's size and
// always NUL-terminated; carray members are zero-filled past the bytes moved.
// In strict mode (tuxsim_Fvstrict32) a value that would be cut fails the
// conversion with FNOSPACE instead.
#include <algorithm>
#include <atomic>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fml_internal.h"
#include "tuxsim_fml.h"
#include "view_model.h"

namespace fml {

namespace {

template <typename T>
void store(char* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

// Clamps a floating value into the range of the integer type T (NaN: 0).
template <typename T>
T clamp_to(double d) {
    if (std::isnan(d)) return 0;
    if (d <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
    if (d >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    return static_cast<T>(d);
}

// A field value seen as a number: integral or floating.
struct Number {
    bool floating = false;
    long long i = 0;
    double d = 0;
};

Number to_number(int type, const unsigned char* v, FLDLEN32 len, bool want_floating) {
    Number n;
    switch (type) {
        case FLD_SHORT: n.i = load<short>(v); break;
        case FLD_LONG: n.i = load<long>(v); break;
        case FLD_CHAR: n.i = static_cast<char>(v[0]); break;
        case FLD_FLOAT: n.floating = true, n.d = load<float>(v); break;
        case FLD_DOUBLE: n.floating = true, n.d = load<double>(v); break;
        default: {
            // String or carray: its text up to the first NUL.
            const std::string text(reinterpret_cast<const char*>(v), type == FLD_STRING && len > 0 ? len - 1 : len);
            if (want_floating) {
                n.floating = true;
                n.d = std::strtod(text.c_str(), nullptr);
            } else {
                n.i = std::strtoll(text.c_str(), nullptr, 10);
            }
        }
    }
    return n;
}

template <typename T>
T integral(const Number& n) {
    // Integer to integer narrows as C does (modulo), which is defined.
    return n.floating ? clamp_to<T>(n.d) : static_cast<T>(n.i);
}

double floating(const Number& n) { return n.floating ? n.d : static_cast<double>(n.i); }

// The text a string or carray member receives from a field value: text
// fields as they are (a string member's up to its first NUL), numbers as
// Fprint32 shows them, formatted into `formatted`.
std::string_view member_text(const ViewMember& m, int type, const unsigned char* v, FLDLEN32 len,
                             std::string& formatted) {
    const char* text = reinterpret_cast<const char*>(v);
    std::size_t size = 0;
    switch (type) {
        case FLD_STRING: size = len > 0 ? std::size_t(len) - 1 : 0; break;
        case FLD_CARRAY: size = std::size_t(len); break;
        case FLD_CHAR: size = 1; break;
        default:
            formatted = format_value(type, v, len, false);
            text = formatted.data();
            size = formatted.size();
    }
    if (m.type == MemberType::String) size = strnlen(text, size);
    return {text, size};
}

// Whether the member holds the value whole: a string member size - 1
// characters and its NUL, a carray member size bytes; others always.
bool holds_whole(const ViewMember& m, int type, const unsigned char* v, FLDLEN32 len) {
    if (m.type != MemberType::String && m.type != MemberType::Carray) return true;
    std::string formatted;
    const std::size_t room = m.type == MemberType::String ? m.elem - 1 : m.elem;
    return member_text(m, type, v, len, formatted).size() <= room;
}

// Strict mode is process-wide, as a library's conversion rules are: set
// through tuxsim_Fvstrict32, read by every thread that converts, hence atomic.
std::atomic<bool> g_strict_views{false};

}  // namespace

unsigned short move_value(const ViewMember& m, int type, const unsigned char* v, FLDLEN32 len, char* dst) {
    switch (m.type) {
        case MemberType::String:
        case MemberType::Carray: {
            std::string formatted;
            const std::string_view text = member_text(m, type, v, len, formatted);
            const bool is_string = m.type == MemberType::String;
            const std::size_t n = std::min(text.size(), is_string ? m.elem - 1 : m.elem);
            std::memcpy(dst, text.data(), n);
            std::memset(dst + n, 0, m.elem - n);
            const std::size_t moved = is_string ? n + 1 : n;
            return static_cast<unsigned short>(std::min<std::size_t>(moved, USHRT_MAX));
        }
        case MemberType::Char: {
            char c = 0;
            if (type == FLD_STRING || type == FLD_CARRAY)
                c = len > 0 ? static_cast<char>(v[0]) : '\0';
            else
                c = integral<char>(to_number(type, v, len, false));
            *dst = c;
            return 1;
        }
        case MemberType::Float:
        case MemberType::Double: {
            const double d = floating(to_number(type, v, len, true));
            if (m.type == MemberType::Double) {
                store(dst, d);
            } else {
                // Out of float's range becomes infinity, as IEEE rounding does.
                const float f = std::fabs(d) > FLT_MAX && std::isfinite(d) ? std::copysign(HUGE_VALF, static_cast<float>(d))
                                                                          : static_cast<float>(d);
                store(dst, f);
            }
            return static_cast<unsigned short>(m.elem);
        }
        case MemberType::Short: store(dst, integral<short>(to_number(type, v, len, false))); break;
        case MemberType::Int: store(dst, integral<int>(to_number(type, v, len, false))); break;
        case MemberType::Long: store(dst, integral<long>(to_number(type, v, len, false))); break;
    }
    return static_cast<unsigned short>(m.elem);
}

namespace {

// Where the occurrences of one entry of View::by_field lie in a buffer: the
// record of occurrence 0 and how many there are (they follow each other).
struct Hits {
    std::uint32_t first;
    std::uint32_t count;
};

// Fills the structure from the buffer in one walk over its records. The walk
// checks every record and notes where each member's field is; only a buffer
// found sound is then copied from, so a damaged one leaves the structure as
// it was. Records out of field order break the buffer's layout and count as
// damage too.
int convert(const Buffer& b, const View& v, char* cstruct) {
    const bool strict = g_strict_views.load(std::memory_order_relaxed);
    // Per thread, reused: a conversion allocates nothing once warm.
    thread_local std::vector<Hits> hits;
    const std::size_t nf = v.by_field.size();
    hits.assign(nf, Hits{0, 0});
    std::size_t j = 0;
    // Every record, checked and in field order, from the buffer's index,
    // which later lookups in the same buffer then use.
    const std::vector<Record>* records = b.records();
    if (records == nullptr) return -1;
    for (const Record& r : *records) {
        while (j < nf && v.by_field[j].field < r.id) ++j;
        for (std::size_t k = j; k < nf && v.by_field[k].field == r.id; ++k) {
            if (hits[k].count == 0) hits[k].first = r.off;
            ++hits[k].count;
        }
    }
    for (std::size_t k = 0; k < nf; ++k) {
        const ViewMember& m = v.members[v.by_field[k].member];
        const int type = field_type(m.field);
        std::uint32_t at = hits[k].first;
        short filled = 0;
        for (std::size_t i = 0; i < m.count; ++i) {
            char* dst = cstruct + m.offset + i * m.elem;
            unsigned short moved = 0;
            if (i < hits[k].count) {
                // The walk has checked this record: its header is read as it is.
                FLDLEN32 len;
                std::memcpy(&len, b.base() + at + sizeof(FLDID32), sizeof len);
                const unsigned char* value = b.base() + at + kRecordHeader;
                // Strict: what was converted so far stays, nothing more is.
                if (strict && !holds_whole(m, type, value, len)) return fail(FNOSPACE);
                moved = move_value(m, type, value, len, dst);
                ++filled;
                at += static_cast<std::uint32_t>(kRecordHeader + round_up(len));
            } else {
                std::memcpy(dst, m.null_value.data(), m.elem);
            }
            if (m.length_member) store(cstruct + m.length_offset + i * sizeof(unsigned short), moved);
        }
        if (m.count_member) store(cstruct + m.count_offset, filled);
    }
    return 1;
}

// The view of a conversion. Programs convert through the same view over and
// over, so each thread keeps the last one it found, and with it a reference
// that keeps the view alive, until the views are reloaded.
const View* view_for(const char* name) {
    struct Last {
        std::uint64_t generation = 0;
        std::string name;
        std::shared_ptr<const View> view;
    };
    thread_local Last last;
    const std::uint64_t generation = views_generation();  // read before the lookup
    if (name != nullptr && last.view && last.generation == generation && last.name == name) return last.view.get();
    auto found = find_view(name);
    if (!found) return nullptr;
    last.generation = generation;
    last.name = name;
    last.view = std::move(found);
    return last.view.get();
}

}  // namespace

}  // namespace fml

extern "C" int Fvsinit32(char* cstruct, char* view) {
    if (cstruct == nullptr) return fml::fail(FEINVAL);
    const fml::View* v = fml::view_for(view);
    if (!v) return -1;
    std::memcpy(cstruct, v->init_image.data(), v->size);
    return 1;
}

extern "C" int Fvftos32(FBFR32* fbfr, char* cstruct, char* view) {
    if (cstruct == nullptr) return fml::fail(FEINVAL);
    fml::Buffer b;
    if (!b.open(fbfr)) return -1;
    const fml::View* v = fml::view_for(view);
    if (!v) return -1;
    return fml::convert(b, *v, cstruct);
}

extern "C" void tuxsim_Fvstrict32(int on) { fml::g_strict_views.store(on != 0, std::memory_order_relaxed); }

extern "C" long tuxsim_Fvsize32(const char* view) {
    const auto v = fml::find_view(view);
    return v ? static_cast<long>(v->size) : -1;
}

extern "C" long tuxsim_Fvoffset32(const char* view, const char* cname) {
    const auto v = fml::find_view(view);
    if (!v) return -1;
    if (cname != nullptr)
        for (const fml::ViewMember& m : v->members)
            if (m.cname == cname) return static_cast<long>(m.offset);
    return fml::fail(FNOCNAME);
}

extern "C" int tuxsim_Fvcheck32(const char* path, int mapped) {
    return path == nullptr ? FEINVAL : fml::check_view_file(path, mapped != 0);
}
