// Small utilities shared by the samplers: the WB timestamp of a time in
// seconds, and the token walk over separator-delimited lists.
#ifndef ZTA_UTIL_H
#define ZTA_UTIL_H

#include <cstddef>
#include <cstdint>

#include "wbtime.h"

// Length of a WB timestamp in a row, and of the buffer that holds one with its
// terminating NUL.
constexpr std::size_t ZTA_WBTIME_LEN = zcommon::kWbTimeLength;
constexpr std::size_t ZTA_WBTIME_BUF = zcommon::kWbTimeBufferSize;

// Writes the WB timestamp of `seconds` (seconds since 1970-01-01 00:00:00 UTC,
// expressed in local time) and a NUL into `buf`, which holds 17 bytes: the
// century digit (wbtime.h: "0" for 1900-1999, "1" for 2000-2099, ...),
// YYMMDDHHMMSS and "000". The count is 64-bit: MIB times are FML32 longs, and
// a 32-bit count would wrap in 2038. A time outside 1900..2899, or one the C
// library cannot convert, gives sixteen "0" digits.
void secondstoWBtime(std::int64_t seconds, char* buf);

// Takes the next token of `list` from index `position`, up to the next
// `separator`. The token goes to `out`, which holds `outsize` bytes: at most
// outsize - 1 characters are copied (a longer token is cut) and `out` is
// always terminated. Returns the address of the separator that ended the
// token and moves `position` past it; when no separator follows, copies the
// rest of the list, sets `position` to 0 and returns nullptr.
const char* GetQueueString(const char* list, char separator, char* out, std::size_t outsize,
                           int& position);

// Copies `value` (up to its NUL, at most `width` characters) into the
// fixed-width column `field`, filling the rest with blanks; no NUL is written.
void zta_blankfill(char* field, std::size_t width, const char* value);

// A percentage in hundredths of a percent (10000 is 100 %): 0 when `whole` is
// 0, otherwise part * 10000 / whole computed exactly in integers and truncated
// toward zero. A part above its whole gives more than 10000 (no clamping); a
// result outside the 32-bit range is saturated to it.
std::int32_t zta_percent_hundredths(std::int64_t part, std::int64_t whole);

// A percentage in whole percent (100 is 100 %): 0 when `whole` is 0,
// otherwise part * 100 / whole computed in 64 bits and truncated toward zero,
// saturated to the 32-bit range like zta_percent_hundredths.
std::int32_t zta_percent_whole(std::int64_t part, std::int64_t whole);

// `value` saturated to the 32-bit signed range, for derived values that a
// 32-bit column shows.
std::int32_t zta_saturate32(std::int64_t value);

// A permission shown as its octal digits read as a decimal number: 0660
// (decimal 432) gives 660, 0 gives 0. A negative permission gives the digits
// of its magnitude with the sign; results outside the 32-bit range are
// saturated to it.
std::int32_t zta_octal_digits(std::int64_t permission);

#endif  // ZTA_UTIL_H
