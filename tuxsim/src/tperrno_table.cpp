#include "tperrno_table.hpp"

#include <array>
#include <charconv>

#include "atmi.h"

namespace tuxsim::detail {
namespace {

struct ErrInfo {
    const char* name;
    const char* text;
};

// Indexed by the code: every code from TPMINVAL to TPMAXVAL-1 has an entry.
constexpr std::array<ErrInfo, TPMAXVAL> kErrors{{
    {"TPMINVAL", "No error"},
    {"TPEABORT", "TPEABORT - transaction cannot commit"},
    {"TPEBADDESC", "TPEBADDESC - bad communication descriptor"},
    {"TPEBLOCK", "TPEBLOCK - blocking condition found"},
    {"TPEINVAL", "TPEINVAL - invalid arguments given"},
    {"TPELIMIT", "TPELIMIT - a system limit has been reached"},
    {"TPENOENT", "TPENOENT - no entry found"},
    {"TPEOS", "TPEOS - operating system error"},
    {"TPEPERM", "TPEPERM - bad permissions"},
    {"TPEPROTO", "TPEPROTO - protocol error"},
    {"TPESVCERR", "TPESVCERR - server error while handling request"},
    {"TPESVCFAIL", "TPESVCFAIL - application level service failure"},
    {"TPESYSTEM", "TPESYSTEM - internal system error"},
    {"TPETIME", "TPETIME - timeout occurred"},
    {"TPETRAN", "TPETRAN - error starting transaction"},
    {"TPGOTSIG", "TPGOTSIG - signal received and TPSIGRSTRT not specified"},
    {"TPERMERR", "TPERMERR - resource manager error"},
    {"TPEITYPE", "TPEITYPE - type and/or subtype do not match service's"},
    {"TPEOTYPE", "TPEOTYPE - type and/or subtype do not match buffer's"},
    {"TPERELEASE", "TPERELEASE - invalid release"},
    {"TPEHAZARD", "TPEHAZARD - heuristic transaction error"},
    {"TPEHEURISTIC", "TPEHEURISTIC - heuristic transaction error"},
    {"TPEEVENT", "TPEEVENT - event occurred"},
    {"TPEMATCH", "TPEMATCH - service name cannot be advertised due to matching conflict"},
    {"TPEDIAGNOSTIC", "TPEDIAGNOSTIC - function failed - check diagnostic value"},
    {"TPEMIB", "TPEMIB - administrative request failed"},
}};

}  // namespace

const char* tperrno_name(int err) {
    if (err < TPMINVAL || err >= TPMAXVAL) return "TPE_UNKNOWN";
    return kErrors[static_cast<std::size_t>(err)].name;
}

const char* tperrno_text(int err) {
    if (err < TPMINVAL || err >= TPMAXVAL) return "Unknown error code";
    return kErrors[static_cast<std::size_t>(err)].text;
}

int tperrno_parse(std::string_view s) {
    int code = -1;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), code);
    if (ec == std::errc() && p == s.data() + s.size()) {
        return code > TPMINVAL && code < TPMAXVAL ? code : -1;
    }
    for (int i = TPMINVAL + 1; i < TPMAXVAL; ++i) {
        if (s == kErrors[static_cast<std::size_t>(i)].name) return i;
    }
    return -1;
}

}  // namespace tuxsim::detail
