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
#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

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

// Moves one field value into one element of m at dst; returns the bytes of
// value moved (for an L_ length member).
unsigned short move_value(const ViewMember& m, int type, const unsigned char* v, FLDLEN32 len, char* dst) {
    switch (m.type) {
        case MemberType::String:
        case MemberType::Carray: {
            std::string text = format_value(type, v, len, false);
            const bool is_string = m.type == MemberType::String;
            if (is_string) text = text.c_str();  // a string ends at its first NUL
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

}  // namespace

}  // namespace fml

extern "C" int Fvsinit32(char* cstruct, char* view) {
    if (cstruct == nullptr) return fml::fail(FEINVAL);
    const auto v = fml::find_view(view);
    if (!v) return -1;
    std::memset(cstruct, 0, v->size);
    for (const fml::ViewMember& m : v->members)
        for (std::size_t i = 0; i < m.count; ++i)
            std::memcpy(cstruct + m.offset + i * m.elem, m.null_value.data(), m.elem);
    return 1;
}

extern "C" int Fvftos32(FBFR32* fbfr, char* cstruct, char* view) {
    if (cstruct == nullptr) return fml::fail(FEINVAL);
    fml::Buffer b;
    if (!b.open(fbfr)) return -1;
    const auto v = fml::find_view(view);
    if (!v) return -1;
    // Check the whole buffer first, so that a damaged one leaves the
    // structure as it was.
    for (std::uint32_t off = b.first(); off < b.end();) {
        fml::Record r;
        if (!b.read(off, r)) return -1;
        off += r.total;
    }
    for (const fml::ViewMember& m : v->members) {
        if (m.field == BADFLDID || !m.from_buffer) continue;
        short filled = 0;
        for (std::size_t i = 0; i < m.count; ++i) {
            char* dst = cstruct + m.offset + i * m.elem;
            fml::Record r;
            unsigned short moved = 0;
            if (b.find(m.field, static_cast<FLDOCC32>(i), r) == 1) {
                moved = fml::move_value(m, fml::field_type(m.field), b.value(r), r.len, dst);
                ++filled;
            } else {
                std::memcpy(dst, m.null_value.data(), m.elem);
            }
            if (m.length_member) fml::store(cstruct + m.length_offset + i * sizeof(unsigned short), moved);
        }
        if (m.count_member) fml::store(cstruct + m.count_offset, filled);
    }
    return 1;
}

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
