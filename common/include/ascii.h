// ASCII text helpers that do not depend on the locale: the names, keys and
// numbers the parts read are ASCII by definition, and <cctype> would answer
// differently under another LC_CTYPE (or be undefined for bytes above 0x7f).
// Knows nothing of the parts using it.
#ifndef ZCOMMON_ASCII_H
#define ZCOMMON_ASCII_H

#include <algorithm>
#include <string>
#include <string_view>

namespace zcommon {

constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// True for a non-empty text of the digits 0-9 only.
constexpr bool AllDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), IsDigit);
}

constexpr char ToUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
constexpr char ToLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string ToUpper(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) { return ToUpper(c); });
    return out;
}

inline std::string ToLower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) { return ToLower(c); });
    return out;
}

// Equal when folded to one case (ASCII letters only).
constexpr bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return ToLower(x) == ToLower(y); });
}

}  // namespace zcommon

#endif  // ZCOMMON_ASCII_H
