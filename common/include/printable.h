// Outside input made fit for a one-line message: bytes that are not
// printable ASCII (control characters, DEL, bytes of 0x80 and above) are
// written as \xNN, a backslash as \\, and a text longer than `limit` bytes is
// cut there with a marker saying how much was left out, so a 64 KB value or
// the bytes of a binary file never make a message that floods a log or
// corrupts a terminal. Knows nothing of the parts using it.
#ifndef ZCOMMON_PRINTABLE_H
#define ZCOMMON_PRINTABLE_H

#include <cstddef>
#include <string>
#include <string_view>

namespace zcommon {

// Room for a path or a value inside a longer message.
constexpr std::size_t kPrintableValue = 256;
// Room for a whole message line.
constexpr std::size_t kPrintableLine = 1024;

// `text` escaped, at most `limit` bytes of it, then "...(N more bytes)" when
// it was cut.
std::string Printable(std::string_view text, std::size_t limit = kPrintableValue);

}  // namespace zcommon

#endif  // ZCOMMON_PRINTABLE_H
