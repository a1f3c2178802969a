// Conversion of a time in seconds into the 16-character WB timestamp.
#include "wbtime.h"
#include "zta_util.h"

void secondstoWBtime(std::int64_t seconds, char* buf) {
    zcommon::MakeWbTimeFromEpoch(seconds, 0, std::span<char, ZTA_WBTIME_BUF>(buf, ZTA_WBTIME_BUF));
}
