// Typed buffers handed out by tpalloc: a hidden header in front of the data
// and a registry of live buffers, so that any pointer can be checked before it
// is trusted.
#ifndef TUXSIM_BUFFERS_HPP
#define TUXSIM_BUFFERS_HPP

#include <cstddef>
#include <string>

namespace tuxsim::detail {

struct BufferInfo {
    std::string type;
    std::string subtype;
    long size = 0;
};

// False (and info untouched) when p is not a live tpalloc buffer.
bool buffer_info(const char* p, BufferInfo& info);

// Like tprealloc, but not counted as a call for fault injection and without
// touching tperrno. Returns null on failure, the buffer then unchanged.
char* buffer_resize(char* p, long size);

// An FML32 buffer as tpalloc makes it, but not counted as a call for fault
// injection. Null when memory is short.
char* buffer_alloc_fml32(long size);

// Number of buffers handed out and not yet freed.
std::size_t live_buffer_count();

// The default and smallest size of an FML32 buffer.
inline constexpr long kFml32MinSize = 1024;

}  // namespace tuxsim::detail

#endif
