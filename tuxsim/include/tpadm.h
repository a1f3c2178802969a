/*
 * The administrative MIB's flags and reply codes, under Tuxedo's names and
 * values: TA_FLAGS bits of a request and the TA_ERROR codes of a reply. The
 * MIB's field identifiers come from the field table (Fldid32("TA_ERROR")).
 */
#ifndef TUXSIM_TPADM_H
#define TUXSIM_TPADM_H

/* TA_FLAGS of a request. */
#define MIB_PREIMAGE 0x00000001L /* a SET checks the object's preimage */
#define MIB_LOCAL 0x00010000L    /* also return the class's local attributes */
#define MIB_SELF 0x00100000L     /* only the caller's own object */

/* TA_ERROR of a reply: negative codes are failures. */
#define TAOK 0
#define TAUPDATED 1
#define TAPARTIAL 2
#define TAEAPP (-1)
#define TAECONFIG (-2)
#define TAEINVAL (-3)
#define TAEOS (-4)
#define TAEPERM (-5)
#define TAEPREIMAGE (-6)
#define TAEPROTO (-7)
#define TAEREQUIRED (-8)
#define TAESUPPORT (-9)
#define TAESYSTEM (-10)
#define TAEUNIQ (-11)

#endif /* TUXSIM_TPADM_H */
