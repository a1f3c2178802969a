// Overloads for the stand-in's tests only: Tuxedo's prototypes take plain
// `char*` for names and values they only read, and these let a test pass a
// string constant. Product code (the agent, tmib, the C client) calls the
// exact prototypes; test_prototypes.cpp pins those.
#ifndef TUXSIM_TEST_CONST_CALLS_H
#define TUXSIM_TEST_CONST_CALLS_H

#include "atmi.h"
#include "fml32.h"

inline char* tpalloc(const char* type, const char* subtype, long size) {
    return tpalloc(const_cast<char*>(type), const_cast<char*>(subtype), size);
}
inline int tpcall(const char* svc, char* idata, long ilen, char** odata, long* olen, long flags) {
    return tpcall(const_cast<char*>(svc), idata, ilen, odata, olen, flags);
}
inline FLDID32 Fldid32(const char* name) { return Fldid32(const_cast<char*>(name)); }
inline int Fchg32(FBFR32* fbfr, FLDID32 id, FLDOCC32 oc, const char* value, FLDLEN32 len) {
    return Fchg32(fbfr, id, oc, const_cast<char*>(value), len);
}
inline int Fadd32(FBFR32* fbfr, FLDID32 id, const char* value, FLDLEN32 len) {
    return Fadd32(fbfr, id, const_cast<char*>(value), len);
}
inline void F_error32(const char* msg) { F_error32(const_cast<char*>(msg)); }
inline int Fvsinit32(char* cstruct, const char* view) { return Fvsinit32(cstruct, const_cast<char*>(view)); }
inline int Fvftos32(FBFR32* fbfr, char* cstruct, const char* view) {
    return Fvftos32(fbfr, cstruct, const_cast<char*>(view));
}

#endif
