/*
 * Extensions of the stand-in's FML32 and VIEW32 that Tuxedo does not have:
 * for the stand-in's own ATMI layer and for tests. Code meant to build
 * against a real Tuxedo installation must not use them.
 */
#ifndef TUXSIM_FML_H
#define TUXSIM_FML_H

#include "fml32.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Forgets the loaded field tables and views, so that the next call that needs
 * them reads FLDTBLDIR32, FIELDTBLS32, VIEWDIR32 and VIEWFILES32 again. Names
 * returned earlier by Fname32 stay valid. */
void tuxsim_Freset32(void);

/* Tells a buffer that its block now holds buflen bytes, after the block was
 * grown or shrunk in place or moved by realloc. Fails with FNOSPACE when
 * buflen is smaller than the bytes in use, FNOTFLD on a damaged buffer.
 * Returns 1 on success, -1 on failure. */
int tuxsim_Fresize32(FBFR32* fbfr, FLDLEN32 buflen);

/* Whether Fvftos32 refuses a value longer than its member holds (a string
 * member holds size - 1 characters, a carray member size bytes): on, it fails
 * with FNOSPACE and converts nothing more; off (the default), it cuts the
 * value to fit. Process-wide; the stand-in's strict_views quirk (tuxsim.h)
 * sets it. */
void tuxsim_Fvstrict32(int on);

/* The layout of a view as its structure has it: the size of the structure,
 * and the offset of the member cname (FNOCNAME when the view has none).
 * Return -1 with Ferror32 set when the view cannot be used, as Fvsinit32
 * would fail. */
long tuxsim_Fvsize32(const char* view);
long tuxsim_Fvoffset32(const char* view, const char* cname);

/* Checks a view file as the view compiler does before it writes its output:
 * the syntax, member types, counts, sizes and null values, and, when mapped
 * is non-zero, every field name against the field tables (FLDTBLDIR32,
 * FIELDTBLS32). Each problem is written to standard error with the file, the
 * line or view and member, and what was expected. Returns 0 when every view
 * of the file can be used, else the error a run time load would fail with
 * (FVFOPEN, FVFSYNTAX, FBADFLD or the field tables' error). */
int tuxsim_Fvcheck32(const char* path, int mapped);

#ifdef __cplusplus
}
#endif

#endif /* TUXSIM_FML_H */
