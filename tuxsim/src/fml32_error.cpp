// Ferror32, the per-thread error of the last failed FML32 call, and its texts.
#include <cstdio>

#include "fml_internal.h"

namespace {

// Per thread, as Tuxedo keeps it: one thread's failure never shows in another.
thread_local int t_ferror = FMINVAL;

// The highest Ferror32 code fml32.h defines.
constexpr int kLastError = FEBADOP;

const char* const kTexts[kLastError + 1] = {
    "FMINVAL - no error",
    "FALIGNERR - fielded buffer not aligned",
    "FNOTFLD - buffer not fielded",
    "FNOSPACE - no space in fielded buffer",
    "FNOTPRES - field not present",
    "FBADFLD - unknown field number or type",
    "FTYPERR - illegal field type",
    "FEUNIX - operating system error",
    "FBADNAME - unknown field name",
    "FMALLOC - malloc failed",
    "FSYNTAX - bad syntax in boolean expression",
    "FFTOPEN - cannot find or open field table",
    "FFTSYNTAX - syntax error in field table",
    "FEINVAL - invalid argument to function",
    "FBADTBL - destructive concurrent access to field table",
    "FBADVIEW - cannot find or get view",
    "FVFSYNTAX - syntax error in viewfile",
    "FVFOPEN - cannot find or open viewfile",
    "FBADACM - ACM contains negative value",
    "FNOCNAME - cstruct field not found",
    "FEBADOP - operation invalid for field type",
};

}  // namespace

namespace fml {

void set_error(int code) { t_ferror = code; }

}  // namespace fml

extern "C" int* tuxsim_Ferror32_addr(void) { return &t_ferror; }

extern "C" char* Fstrerror32(int err) {
    if (err >= FMINVAL && err <= kLastError) return const_cast<char*>(kTexts[err]);
    // The text of an unknown code names the code; kept per thread so that
    // concurrent callers do not overwrite each other's text.
    thread_local char unknown[48];
    std::snprintf(unknown, sizeof unknown, "unknown FML32 error %d", err);
    return unknown;
}

extern "C" void F_error32(char* msg) {
    if (msg != nullptr && *msg != '\0')
        std::fprintf(stderr, "%s: %s\n", msg, Fstrerror32(t_ferror));
    else
        std::fprintf(stderr, "%s\n", Fstrerror32(t_ferror));
}
