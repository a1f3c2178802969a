// Names and texts of the ATMI error codes.
#ifndef TUXSIM_TPERRNO_TABLE_HPP
#define TUXSIM_TPERRNO_TABLE_HPP

#include <string_view>

namespace tuxsim::detail {

// "TPESYSTEM" for 12; "TPE_UNKNOWN" outside 0..TPMAXVAL-1.
const char* tperrno_name(int err);
// The text tpstrerror gives; a text for unknown codes too.
const char* tperrno_text(int err);
// 1..TPMAXVAL-1 for a name ("TPESYSTEM") or a decimal code; -1 otherwise.
int tperrno_parse(std::string_view s);

}  // namespace tuxsim::detail

#endif
