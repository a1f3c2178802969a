/*
 * FML32 and VIEW32: typed, self-describing field buffers.
 *
 * The names, types and signatures are Tuxedo's, down to the plain `char*` of
 * names and values the calls only read, so that code that builds against
 * this header also builds against a real Tuxedo installation. A buffer is one
 * contiguous, relocatable block of memory: it may be copied with memcpy or
 * moved by tprealloc and stays valid, because it holds no pointers.
 *
 * A field identifier is (type << 25) | field number.
 */
#ifndef TUXSIM_FML32_H
#define TUXSIM_FML32_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned int FLDID32;
typedef unsigned int FLDLEN32;
typedef int FLDOCC32;
typedef struct Fbfr32 FBFR32;

#define BADFLDID ((FLDID32)0)
#define FIRSTFLDID ((FLDID32)0)

/* Field types. */
#define FLD_SHORT 0
#define FLD_LONG 1
#define FLD_CHAR 2
#define FLD_FLOAT 3
#define FLD_DOUBLE 4
#define FLD_STRING 5
#define FLD_CARRAY 6

/* Ferror32 codes. */
#define FMINVAL 0
#define FALIGNERR 1
#define FNOTFLD 2
#define FNOSPACE 3
#define FNOTPRES 4
#define FBADFLD 5
#define FTYPERR 6
#define FEUNIX 7
#define FBADNAME 8
#define FMALLOC 9
#define FSYNTAX 10
#define FFTOPEN 11
#define FFTSYNTAX 12
#define FEINVAL 13
#define FBADTBL 14
#define FBADVIEW 15
#define FVFSYNTAX 16
#define FVFOPEN 17
#define FBADACM 18
#define FNOCNAME 19
#define FEBADOP 20

/* The error of the calling thread's last failed FML32 call. */
extern int* tuxsim_Ferror32_addr(void);
#define Ferror32 (*tuxsim_Ferror32_addr())

/* Buffers. */
FBFR32* Falloc32(FLDOCC32 F, FLDLEN32 V);
int Ffree32(FBFR32* fbfr);
int Finit32(FBFR32* fbfr, FLDLEN32 buflen);
long Fsizeof32(FBFR32* fbfr);
long Fused32(FBFR32* fbfr);
long Fneeded32(FLDOCC32 F, FLDLEN32 V);

/* Fields. */
int Fchg32(FBFR32* fbfr, FLDID32 fieldid, FLDOCC32 oc, char* value, FLDLEN32 len);
int Fadd32(FBFR32* fbfr, FLDID32 fieldid, char* value, FLDLEN32 len);
int Fget32(FBFR32* fbfr, FLDID32 fieldid, FLDOCC32 oc, char* loc, FLDLEN32* maxlen);
char* Ffind32(FBFR32* fbfr, FLDID32 fieldid, FLDOCC32 oc, FLDLEN32* len);
FLDOCC32 Foccur32(FBFR32* fbfr, FLDID32 fieldid);
int Fdel32(FBFR32* fbfr, FLDID32 fieldid, FLDOCC32 oc);
int Fnext32(FBFR32* fbfr, FLDID32* fieldid, FLDOCC32* oc, char* value, FLDLEN32* len);

/* Field identifiers and the field tables (FLDTBLDIR32, FIELDTBLS32). */
FLDID32 Fldid32(char* name);
char* Fname32(FLDID32 fieldid);
int Fldtype32(FLDID32 fieldid);
long Fldno32(FLDID32 fieldid);
FLDID32 Fmkfldid32(int type, FLDID32 num);

/* Printing and errors. Fprint32 writes one "name<TAB>value" line per
 * occurrence to standard output, then a blank line. */
int Fprint32(FBFR32* fbfr);
int Ffprint32(FBFR32* fbfr, FILE* file);
void F_error32(char* msg);
char* Fstrerror32(int err);

/* VIEW32: C structures described by view source files (VIEWDIR32,
 * VIEWFILES32). */
int Fvsinit32(char* cstruct, char* view);
int Fvftos32(FBFR32* fbfr, char* cstruct, char* view);

#ifdef __cplusplus
}
#endif

#endif /* TUXSIM_FML32_H */
