// Fprint32 and Ffprint32: a buffer as text, one "name<TAB>value" line per
// occurrence in buffer order, then a blank line. A field the tables do not
// name shows as "((FLDID32)NNN)"; bytes of char, string and carray values that
// are not printable show as a backslash and two hex digits, and a backslash
// as two backslashes, so every value stays on its line.
#include <cstdarg>
#include <cstdio>

#include "fml_internal.h"

namespace fml {

namespace {

std::string printf_string(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

std::string printf_string(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, again);
    va_end(again);
    return out;
}

void append_bytes(std::string& out, const unsigned char* p, std::size_t n, bool escape) {
    static const char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = p[i];
        if (!escape) {
            out += static_cast<char>(c);
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            out += '\\';
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        }
    }
}

}  // namespace

std::string format_value(int type, const unsigned char* value, FLDLEN32 len, bool escape) {
    std::string out;
    switch (type) {
        case FLD_SHORT: return printf_string("%d", load<short>(value));
        case FLD_LONG: return printf_string("%ld", load<long>(value));
        case FLD_FLOAT: return printf_string("%f", static_cast<double>(load<float>(value)));
        case FLD_DOUBLE: return printf_string("%f", load<double>(value));
        case FLD_CHAR: append_bytes(out, value, 1, escape); break;
        case FLD_STRING: append_bytes(out, value, len > 0 ? len - 1 : 0, escape); break;
        case FLD_CARRAY: append_bytes(out, value, len, escape); break;
        default: break;
    }
    return out;
}

}  // namespace fml

extern "C" int Ffprint32(FBFR32* fbfr, FILE* file) {
    FILE* out = file;
    if (out == nullptr) return fml::fail(FEINVAL);
    fml::Buffer b;
    if (!b.open(fbfr)) return -1;
    // The whole buffer is checked and formatted before anything is written, so
    // a damaged buffer prints nothing.
    std::string text;
    for (std::uint32_t off = b.first(); off < b.end();) {
        fml::Record r;
        if (!b.read(off, r)) return -1;
        const char* name = fml::lookup_id(r.id, nullptr);
        text += name != nullptr ? std::string(name) : "((FLDID32)" + std::to_string(r.id) + ")";
        text += '\t';
        text += fml::format_value(fml::field_type(r.id), b.value(r), r.len, true);
        text += '\n';
        off += r.total;
    }
    text += '\n';
    if (std::fwrite(text.data(), 1, text.size(), out) != text.size()) return fml::fail(FEUNIX);
    return 1;
}

extern "C" int Fprint32(FBFR32* fbfr) {
    const int rc = Ffprint32(fbfr, stdout);
    std::fflush(stdout);
    return rc;
}
