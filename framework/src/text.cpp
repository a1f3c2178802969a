// Small text helpers shared by the framework's units.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "agw_internal.h"
#include "ascii.h"

namespace agw {

bool CopyBounded(char* dst, std::size_t size, const char* src) {
    if (dst == nullptr || size == 0) return src != nullptr && *src != '\0';
    if (src == nullptr) {
        dst[0] = '\0';
        return false;
    }
    std::size_t n = strnlen(src, size);
    bool cut = n == size;
    if (cut) n = size - 1;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
    return cut;
}

bool ParseDecimal(const char* text, long* value) {
    if (text == nullptr) return false;
    const char* p = text;
    if (*p == '+' || *p == '-') ++p;
    if (!zcommon::AllDigits(p)) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (errno == ERANGE || end == nullptr || *end != '\0') return false;
    if (value != nullptr) *value = v;
    return true;
}

std::string_view FieldText(const char* field, int width) {
    if (field == nullptr || width <= 0) return {};
    std::size_t n = strnlen(field, static_cast<std::size_t>(width));
    // Blank padding is dropped eight bytes at a time, then byte by byte.
    constexpr std::uint64_t kBlanks = 0x2020202020202020u;
    while (n >= 8) {
        std::uint64_t word;
        std::memcpy(&word, field + n - 8, sizeof word);
        if (word != kBlanks) break;
        n -= 8;
    }
    while (n > 0 && field[n - 1] == ' ') --n;
    return {field, n};
}

namespace {
// Indexed by IntfOper.
constexpr const char* kOperatorNames[] = {"EQ", "NE", "LT", "LE", "GT", "GE"};
}  // namespace

const char* OperatorName(IntfOper op) {
    auto i = static_cast<unsigned>(op);
    return i < std::size(kOperatorNames) ? kOperatorNames[i] : "??";
}

bool ParseOperator(std::string_view text, IntfOper* op) {
    for (unsigned i = 0; i < std::size(kOperatorNames); ++i) {
        if (zcommon::EqualsIgnoreCase(text, kOperatorNames[i])) {
            *op = static_cast<IntfOper>(i);
            return true;
        }
    }
    return false;
}

}  // namespace agw
