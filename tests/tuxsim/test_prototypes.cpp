// The headers declare Tuxedo's exact prototypes: a name or value the call
// only reads is still a plain char*, so code that passes a constant fails to
// build here just as it would against a real installation. A header that
// drifts to const char* breaks this file's build.
#include <cstdio>
#include <type_traits>

#include "atmi.h"
#include "fml32.h"
#include "tpadm.h"

namespace {

template <class F, class Want>
constexpr bool same = std::is_same_v<F, Want>;

static_assert(same<decltype(&tpalloc), char* (*)(char*, char*, long)>);
static_assert(same<decltype(&tpcall), int (*)(char*, char*, long, char**, long*, long)>);
static_assert(same<decltype(&tprealloc), char* (*)(char*, long)>);
static_assert(same<decltype(&tptypes), long (*)(char*, char*, char*)>);
static_assert(same<decltype(&tpinit), int (*)(TPINIT*)>);
static_assert(same<decltype(&Fldid32), FLDID32 (*)(char*)>);
static_assert(same<decltype(&Fchg32), int (*)(FBFR32*, FLDID32, FLDOCC32, char*, FLDLEN32)>);
static_assert(same<decltype(&Fadd32), int (*)(FBFR32*, FLDID32, char*, FLDLEN32)>);
static_assert(same<decltype(&Fget32), int (*)(FBFR32*, FLDID32, FLDOCC32, char*, FLDLEN32*)>);
static_assert(same<decltype(&Ffprint32), int (*)(FBFR32*, FILE*)>);
static_assert(same<decltype(&F_error32), void (*)(char*)>);
static_assert(same<decltype(&Fvsinit32), int (*)(char*, char*)>);
static_assert(same<decltype(&Fvftos32), int (*)(FBFR32*, char*, char*)>);

// The flag values a request or a join carries.
static_assert(MIB_PREIMAGE == 0x1 && MIB_LOCAL == 0x10000 && MIB_SELF == 0x100000);
static_assert(TPU_SIG == 1 && TPU_DIP == 2 && TPU_IGN == 4 && TPU_THREAD == 0x40);
static_assert(TPSA_FASTPATH == 8 && TPSA_PROTECTED == 0x10);
// Application data up to a long fits in the structure; more grows it.
static_assert(TPINITNEED(0) == sizeof(TPINIT) && TPINITNEED(sizeof(long)) == sizeof(TPINIT));
static_assert(TPINITNEED(100) == sizeof(TPINIT) + 100 - sizeof(long));

}  // namespace
