// Token walk over separator-delimited lists (the queue tables' configured
// queue spaces, queue-manager configurations and machine ids), and the
// blank-filled copy into fixed-width row columns.
#include <algorithm>
#include <cstring>

#include "zta_util.h"

namespace {

// Copies n characters of src into out (outsize bytes), cut so that the NUL
// always fits.
void bounded_copy(char* out, std::size_t outsize, const char* src, std::size_t n) {
    if (outsize == 0) return;
    n = std::min(n, outsize - 1);
    std::memcpy(out, src, n);
    out[n] = '\0';
}

}  // namespace

const char* GetQueueString(const char* list, char separator, char* out, std::size_t outsize,
                           int& position) {
    const std::size_t len = std::strlen(list);
    if (position < 0 || static_cast<std::size_t>(position) > len) {
        // A position outside the list names no token: start over.
        bounded_copy(out, outsize, "", 0);
        position = 0;
        return nullptr;
    }
    const char* start = list + position;
    const char* found = std::strchr(start, separator);
    if (separator != '\0' && found != nullptr) {
        bounded_copy(out, outsize, start, static_cast<std::size_t>(found - start));
        position = static_cast<int>(found - list) + 1;
        return found;
    }
    bounded_copy(out, outsize, start, len - static_cast<std::size_t>(position));
    position = 0;
    return nullptr;
}

void zta_blankfill(char* field, std::size_t width, const char* value) {
    std::memset(field, ' ', width);
    if (value == nullptr) return;
    std::memcpy(field, value, strnlen(value, width));
}
