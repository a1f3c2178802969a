// The error output of failed Tuxedo calls and of views that cannot be used,
// with the MIB's own reason from an error reply.
#include <atmi.h>
#include <fml32.h>

#include <cstdio>
#include <string>

#include "printable.h"
#include "zta_cycle.h"
#include "zta_fields.h"
#include "zta_util.h"

namespace {

// The name of a TA_ERROR code, or null for a code of no known name.
const char* zta_ta_error_name(long code) {
    static constexpr const char* kNames[] = {"TAEAPP",     "TAECONFIG",   "TAEINVAL", "TAEOS",
                                             "TAEPERM",    "TAEPREIMAGE", "TAEPROTO", "TAEREQUIRED",
                                             "TAESUPPORT", "TAESYSTEM",   "TAEUNIQ"};
    if (code >= -11 && code <= -1) return kNames[-code - 1];
    if (code == 0) return "TAOK";
    if (code == 1) return "TAUPDATED";
    if (code == 2) return "TAPARTIAL";
    return nullptr;
}

}  // namespace

std::string zta_mib_reason(const char* reply) {
    if (reply == nullptr) return {};
    auto* fbfr = reinterpret_cast<FBFR32*>(const_cast<char*>(reply));
    std::string reason;
    long code = 0;
    FLDLEN32 len = sizeof code;
    if (Fget32(fbfr, zta::fld::TA_ERROR, 0, reinterpret_cast<char*>(&code), &len) != -1) {
        reason = "TA_ERROR " + std::to_string(code);
        if (const char* name = zta_ta_error_name(code)) reason += std::string(" ") + name;
    }
    std::size_t length = 0;
    if (const char* status = zta_find_string(fbfr, zta::fld::TA_STATUS, 0, length)) {
        if (!reason.empty()) reason += ", ";
        reason += "TA_STATUS \"" + zcommon::Printable(std::string_view(status, length)) + "\"";
    }
    return reason;
}

std::string zta_report_atmi_error(TRC1_Block* trace, const char* call, const char* reply) {
    const int err = tperrno;
    const char* text = tpstrerror(err);
    const char* priority = TRC1_StderrPriority(AGW_PRIO_ERR);  // on each of the three lines
    std::fprintf(stderr, "%sError: in %s\n%sERROR NO : %d\n%sError Message : %s\n", priority, call, priority, err,
                 priority, text);
    std::fflush(stderr);
    // Only a reply that the service sent with its failure holds the MIB's
    // reason; after any other error the buffer still holds an older reply.
    const std::string reason = err == TPESVCFAIL ? zta_mib_reason(reply) : std::string();
    if (trace != nullptr) {
        if (reason.empty()) {
            ZTA_ERROR_B(trace, "%s: <%s>\n", call, text);
        } else {
            ZTA_ERROR_B(trace, "%s: <%s> %s\n", call, text, reason.c_str());
        }
    }
    std::string line = std::string(call) + ": " + text;
    if (!reason.empty()) line += " (" + reason + ")";
    return line;
}

std::string zta_report_view_error(TRC1_Block* trace, const char* call, const char* view) {
    const int err = Ferror32;
    const char* text = Fstrerror32(err);
    std::fprintf(stderr, "%sError: view %s cannot be used: %s: %s\n", TRC1_StderrPriority(AGW_PRIO_ERR), view, call,
                 text);
    std::fflush(stderr);
    ZTA_ERROR_B(trace, "view %s cannot be used: %s: <%s>\n", view, call, text);
    return std::string("view ") + view + " cannot be used: " + call + ": " + text;
}
