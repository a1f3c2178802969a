// Derived numbers that several tables show: percentages in hundredths of a
// percent or in whole percent, values saturated to 32 bits, and permissions
// as octal digits.
#include <cstdint>
#include <limits>

#include "zta_util.h"

namespace {

std::int32_t saturate32(__int128 value) {
    constexpr auto lo = std::numeric_limits<std::int32_t>::min();
    constexpr auto hi = std::numeric_limits<std::int32_t>::max();
    if (value < lo) return lo;
    if (value > hi) return hi;
    return static_cast<std::int32_t>(value);
}

}  // namespace

std::int32_t zta_percent_hundredths(std::int64_t part, std::int64_t whole) {
    if (whole == 0) return 0;
    // 128-bit: part * 10000 cannot overflow, and division truncates toward
    // zero as the single-precision formula would, without its rounding
    // errors (3 of 50 is exactly 600, 7 of 10 exactly 7000).
    const __int128 scaled = static_cast<__int128>(part) * 10000;
    return saturate32(scaled / whole);
}

std::int32_t zta_percent_whole(std::int64_t part, std::int64_t whole) {
    if (whole == 0) return 0;
    return saturate32(static_cast<__int128>(part) * 100 / whole);
}

std::int32_t zta_saturate32(std::int64_t value) { return saturate32(value); }

std::int32_t zta_octal_digits(std::int64_t permission) {
    const bool negative = permission < 0;
    // The magnitude as unsigned, so that INT64_MIN has one too.
    std::uint64_t rest = negative ? 0 - static_cast<std::uint64_t>(permission)
                                  : static_cast<std::uint64_t>(permission);
    // Decimal digits of the octal representation: at most 22 of them, so
    // the value stays below 10^22 and fits 128 bits before saturation.
    __int128 value = 0;
    __int128 place = 1;
    while (rest != 0) {
        value += static_cast<__int128>(rest % 8) * place;
        rest /= 8;
        place *= 10;
    }
    return saturate32(negative ? -value : value);
}
