// The WB timestamp: the one form of every time a row carries. Sixteen digits,
// made in a 17-byte buffer with a NUL and stored in rows as the 16 digits:
//
//   position  1     the century digit
//             2-13  YYMMDDHHMMSS, local time
//             14-16 milliseconds
//
// The century digit counts the centuries since 1900: 0 for 1900-1999, 1 for
// 2000-2099, ... 9 for 2800-2899. A year outside 1900..2899 has no digit:
// making a timestamp of it gives sixteen '0' digits (as does any other field
// out of its range, or a moment the C library cannot convert), and reading
// accepts exactly what making gives for a valid moment, so whatever is made
// reads back to the same moment. Sixteen '0' digits read as no moment.
//
// Knows nothing of the parts using it.
#ifndef ZCOMMON_WBTIME_H
#define ZCOMMON_WBTIME_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zcommon {

// Digits of a timestamp, and the size of the buffer that holds one with its NUL.
inline constexpr std::size_t kWbTimeLength = 16;
inline constexpr std::size_t kWbTimeBufferSize = kWbTimeLength + 1;
// The years the century digit can express.
inline constexpr int kWbTimeFirstYear = 1900;
inline constexpr int kWbTimeLastYear = 2899;

// A moment in local time, field by field: the year in full, month 1-12, day
// 1 to the month's last, hour 0-23, minute 0-59, second 0-60 (60: a leap
// second), millisecond 0-999. The default (year 0) is no moment.
struct WbTimeFields {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// Writes the timestamp of fields and a NUL into out. False, and sixteen '0'
// digits, when a field is out of its range.
bool MakeWbTime(const WbTimeFields& fields, std::span<char, kWbTimeBufferSize> out);

// Writes the timestamp of a moment, seconds since 1970-01-01 00:00:00 UTC
// (64-bit: no wrap in 2038) plus milliseconds (0-999), in local time. False,
// and sixteen '0' digits, when the moment has none.
bool MakeWbTimeFromEpoch(std::int64_t seconds, int milliseconds, std::span<char, kWbTimeBufferSize> out);

// Reads exactly sixteen digits back into fields. False, fields untouched, for
// any other text (a blank or NUL-cut column, sixteen '0' digits, a month 13).
bool ReadWbTime(std::string_view text, WbTimeFields* fields);

// The moment of a timestamp, read as local time, in seconds since the epoch
// with its milliseconds. False, seconds untouched, when it is not one.
bool WbTimeToEpochSeconds(std::string_view text, double* seconds);

// The timestamp as "YYYY-MM-DD HH:MM:SS" (milliseconds dropped); "" when the
// text is not one.
std::string WbTimeReadable(std::string_view text);

}  // namespace zcommon

#endif  // ZCOMMON_WBTIME_H
