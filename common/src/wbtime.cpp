// Making and reading WB timestamps (wbtime.h gives the form and the century rule).
#include "wbtime.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "ascii.h"

namespace zcommon {

namespace {

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool InRange(const WbTimeFields& f) {
    return f.year >= kWbTimeFirstYear && f.year <= kWbTimeLastYear && f.month >= 1 && f.month <= 12 &&
           f.day >= 1 && f.day <= DaysInMonth(f.year, f.month) && f.hour >= 0 && f.hour <= 23 &&
           f.minute >= 0 && f.minute <= 59 && f.second >= 0 && f.second <= 60 && f.millisecond >= 0 &&
           f.millisecond <= 999;
}

// value (non-negative, below 10^width) as width digits at out[at].
void PutDigits(std::span<char, kWbTimeBufferSize> out, std::size_t at, int value, std::size_t width) {
    for (std::size_t i = width; i-- > 0; value /= 10) out[at + i] = static_cast<char>('0' + value % 10);
}

int Digits(std::string_view text, std::size_t at, std::size_t width) {
    int value = 0;
    for (std::size_t i = 0; i < width; ++i) value = value * 10 + (text[at + i] - '0');
    return value;
}

bool NoMoment(std::span<char, kWbTimeBufferSize> out) {
    std::memset(out.data(), '0', kWbTimeLength);
    out[kWbTimeLength] = '\0';
    return false;
}

}  // namespace

bool MakeWbTime(const WbTimeFields& fields, std::span<char, kWbTimeBufferSize> out) {
    if (!InRange(fields)) return NoMoment(out);
    const int sinceFirst = fields.year - kWbTimeFirstYear;
    PutDigits(out, 0, sinceFirst / 100, 1);
    PutDigits(out, 1, sinceFirst % 100, 2);
    PutDigits(out, 3, fields.month, 2);
    PutDigits(out, 5, fields.day, 2);
    PutDigits(out, 7, fields.hour, 2);
    PutDigits(out, 9, fields.minute, 2);
    PutDigits(out, 11, fields.second, 2);
    PutDigits(out, 13, fields.millisecond, 3);
    out[kWbTimeLength] = '\0';
    return true;
}

bool MakeWbTimeFromEpoch(std::int64_t seconds, int milliseconds, std::span<char, kWbTimeBufferSize> out) {
    const auto t = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (static_cast<std::int64_t>(t) != seconds || localtime_r(&t, &local) == nullptr ||
        local.tm_year > kWbTimeLastYear - 1900 || local.tm_year < kWbTimeFirstYear - 1900) {
        return NoMoment(out);  // out of the C library's range or of the century digit's
    }
    return MakeWbTime({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                       local.tm_sec, milliseconds},
                      out);
}

bool ReadWbTime(std::string_view text, WbTimeFields* fields) {
    if (text.size() != kWbTimeLength || !AllDigits(text)) return false;
    const WbTimeFields read{kWbTimeFirstYear + Digits(text, 0, 3), Digits(text, 3, 2), Digits(text, 5, 2),
                            Digits(text, 7, 2), Digits(text, 9, 2), Digits(text, 11, 2), Digits(text, 13, 3)};
    if (!InRange(read)) return false;
    *fields = read;
    return true;
}

bool WbTimeToEpochSeconds(std::string_view text, double* seconds) {
    WbTimeFields f;
    if (!ReadWbTime(text, &f)) return false;
    std::tm tm{};
    tm.tm_year = f.year - 1900;
    tm.tm_mon = f.month - 1;
    tm.tm_mday = f.day;
    tm.tm_hour = f.hour;
    tm.tm_min = f.minute;
    tm.tm_sec = f.second;
    tm.tm_isdst = -1;  // whatever the zone says for that day
    tm.tm_wday = -1;   // set by a successful mktime: -1 is also 1969-12-31 23:59:59 UTC
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1) && tm.tm_wday == -1) return false;
    *seconds = static_cast<double>(t) + f.millisecond / 1000.0;
    return true;
}

std::string WbTimeReadable(std::string_view text) {
    WbTimeFields f;
    if (!ReadWbTime(text, &f)) return "";
    char out[64];  // room for any int; the checks keep each field to its digits
    std::snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d:%02d", f.year, f.month, f.day, f.hour, f.minute,
                  f.second);
    return out;
}

}  // namespace zcommon
