#include "printable.h"

#include <cstdio>

namespace zcommon {

std::string Printable(std::string_view text, std::size_t limit) {
    const std::size_t kept = text.size() < limit ? text.size() : limit;
    std::string out;
    out.reserve(kept + 24);
    for (std::size_t i = 0; i < kept; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (kept < text.size()) out += "...(" + std::to_string(text.size() - kept) + " more bytes)";
    return out;
}

}  // namespace zcommon
