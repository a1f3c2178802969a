#include "buffers.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

#include "atmi.h"
#include "fml32.h"
#include "sim.hpp"
#include "tuxsim_fml.h"

namespace tuxsim::detail {
namespace {

constexpr std::uint64_t kMagic = 0x7475787362756631ULL;  // "tuxsbuf1"
constexpr long kMaxSize = 0x7FFFFF00L;                     // FML32 offsets are 32-bit

// The header sits just before the data; its size keeps the data aligned for
// any type (malloc's alignment is kept).
struct alignas(16) Header {
    std::uint64_t magic;
    long size;
    char type[16];
    char subtype[24];
};
static_assert(sizeof(Header) % 16 == 0);

enum class Kind { Fml32, Tpinit };

// Live buffers, process-wide like the buffers themselves: a pointer is looked
// up here before its header is read, so a foreign pointer is never touched.
struct Registry {
    std::mutex mu;
    std::unordered_set<const char*> live;
};
Registry& registry() {
    static Registry r;
    return r;
}

Header* header_of(const char* p) { return reinterpret_cast<Header*>(const_cast<char*>(p)) - 1; }

// The checked header of a live buffer, or null. Caller holds the registry lock.
Header* lookup(const char* p) {
    if (!p || !registry().live.count(p)) return nullptr;
    Header* h = header_of(p);
    return h->magic == kMagic ? h : nullptr;
}

long effective_size(Kind kind, long size) {
    if (kind == Kind::Tpinit) return size < long(sizeof(TPINIT)) ? long(sizeof(TPINIT)) : size;
    return size < kFml32MinSize ? kFml32MinSize : size;
}

// Copies at most cap bytes of src; NUL-terminates when shorter than cap.
void copy_name(char* dst, std::size_t cap, const char* src) {
    const std::size_t n = src ? strnlen(src, cap) : 0;
    if (n) std::memcpy(dst, src, n);
    if (n < cap) dst[n] = '\0';
}

void set_name(char* dst, std::size_t cap, const char* src) {
    std::memset(dst, 0, cap);
    copy_name(dst, cap - 1, src);
}

// Resizes a live buffer (registry lock held). FML32 content is kept and the
// buffer told its new size. Returns the new pointer or null with err set.
char* resize_locked(char* p, long size, int& err) {
    Header* h = lookup(p);
    if (!h || size < 0) {
        err = TPEINVAL;
        return nullptr;
    }
    const bool fml = std::strcmp(h->type, "FML32") == 0;
    const long n = effective_size(fml ? Kind::Fml32 : Kind::Tpinit, size);
    if (n > kMaxSize) {
        err = TPELIMIT;
        return nullptr;
    }
    if (fml && n < h->size && tuxsim_Fresize32(reinterpret_cast<FBFR32*>(p), FLDLEN32(n)) < 0) {
        err = TPEINVAL;  // the content does not fit the smaller size
        return nullptr;
    }
    const long old = h->size;
    void* block = std::realloc(h, sizeof(Header) + std::size_t(n));
    if (!block) {
        if (fml && n < old) tuxsim_Fresize32(reinterpret_cast<FBFR32*>(p), FLDLEN32(old));
        err = TPEOS;
        return nullptr;
    }
    auto* nh = static_cast<Header*>(block);
    char* np = reinterpret_cast<char*>(nh + 1);
    nh->size = n;
    if (n > old) std::memset(np + old, 0, std::size_t(n - old));
    if (fml && n > old) tuxsim_Fresize32(reinterpret_cast<FBFR32*>(np), FLDLEN32(n));
    registry().live.erase(p);
    registry().live.insert(np);
    return np;
}

// Makes a buffer of a known kind; returns null with err set.
char* allocate(Kind kind, const char* type, const char* subtype, long size, int& err) {
    long n = effective_size(kind, size);
    if (n > kMaxSize) {
        err = TPELIMIT;
        return nullptr;
    }
    void* block = std::calloc(1, sizeof(Header) + std::size_t(n));
    if (!block) {
        err = TPEOS;
        return nullptr;
    }
    auto* h = static_cast<Header*>(block);
    h->magic = kMagic;
    h->size = n;
    set_name(h->type, sizeof h->type, type);
    set_name(h->subtype, sizeof h->subtype, kind == Kind::Fml32 ? subtype : nullptr);
    char* p = reinterpret_cast<char*>(h + 1);
    if (kind == Kind::Fml32) Finit32(reinterpret_cast<FBFR32*>(p), FLDLEN32(n));
    std::lock_guard lock(registry().mu);
    registry().live.insert(p);
    return p;
}

}  // namespace

char* buffer_alloc_fml32(long size) {
    int err = 0;
    return allocate(Kind::Fml32, "FML32", nullptr, size, err);
}

bool buffer_info(const char* p, BufferInfo& info) {
    std::lock_guard lock(registry().mu);
    Header* h = lookup(p);
    if (!h) return false;
    info.type = h->type;
    info.subtype = h->subtype;
    info.size = h->size;
    return true;
}

char* buffer_resize(char* p, long size) {
    std::lock_guard lock(registry().mu);
    int err = 0;
    return resize_locked(p, size, err);
}

std::size_t live_buffer_count() {
    std::lock_guard lock(registry().mu);
    return registry().live.size();
}

}  // namespace tuxsim::detail

using namespace tuxsim::detail;

extern "C" char* tpalloc(char* type, char* subtype, long size) {
    if (int err = sim_count_call(tuxsim::Call::tpalloc)) {
        tperrno = err;
        return nullptr;
    }
    if (!type || size < 0) {
        tperrno = TPEINVAL;
        return nullptr;
    }
    Kind kind;
    if (std::strcmp(type, "FML32") == 0) {
        kind = Kind::Fml32;
    } else if (std::strcmp(type, "TPINIT") == 0) {
        kind = Kind::Tpinit;
    } else {
        tperrno = TPENOENT;
        return nullptr;
    }
    int err = 0;
    char* p = allocate(kind, type, subtype, size, err);
    if (!p) tperrno = err;
    return p;
}

extern "C" char* tprealloc(char* ptr, long size) {
    std::lock_guard lock(registry().mu);
    int err = 0;
    char* np = resize_locked(ptr, size, err);
    if (!np) tperrno = err;
    return np;
}

extern "C" void tpfree(char* ptr) {
    if (!ptr) return;
    std::lock_guard lock(registry().mu);
    Header* h = lookup(ptr);
    if (!h) {
        tperrno = TPEINVAL;
        return;
    }
    registry().live.erase(ptr);
    h->magic = 0;
    std::free(h);
}

extern "C" long tptypes(char* ptr, char* type, char* subtype) {
    std::lock_guard lock(registry().mu);
    Header* h = lookup(ptr);
    if (!h) {
        tperrno = TPEINVAL;
        return -1;
    }
    // Tuxedo's sizes: 8 bytes of type, 16 of subtype, NUL-terminated when shorter.
    if (type) copy_name(type, 8, h->type);
    if (subtype) copy_name(subtype, 16, h->subtype);
    return h->size;
}
