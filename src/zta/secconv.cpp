// Conversion of a time in seconds into the 16-character WB timestamp.
#include <cstring>
#include <ctime>

#include "zta_util.h"

void secondstoWBtime(std::int64_t seconds, char* buf) {
    std::memset(buf, '0', ZTA_WBTIME_LEN);
    buf[ZTA_WBTIME_LEN] = '\0';

    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tmv{};
    if (static_cast<std::int64_t>(t) != seconds || localtime_r(&t, &tmv) == nullptr) {
        return;  // out of the C library's range: sixteen zero digits
    }
    // Years 2000 and later carry the century digit 1; everything before,
    // including times before 1970, carries 0.
    const char* format = (tmv.tm_year >= 100) ? "1%y%m%d%H%M%S000" : "0%y%m%d%H%M%S000";
    if (std::strftime(buf, ZTA_WBTIME_BUF, format, &tmv) != ZTA_WBTIME_LEN) {
        std::memset(buf, '0', ZTA_WBTIME_LEN);
        buf[ZTA_WBTIME_LEN] = '\0';
    }
}
