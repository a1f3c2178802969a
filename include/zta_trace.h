// Trace helpers of the agent's units, over the framework's trace service.
// A traced routine declares its block once:
//     ZTA_TRACE_BLOCK("zta01agt", "TakeSample");
// and then writes entry and exit events and lines of a class; nothing is
// formatted for a class whose bit is off. Routines that trace on behalf of a
// caller take the caller's block as a pointer (the *_B forms).
#ifndef ZTA_TRACE_H
#define ZTA_TRACE_H

#include <agw.h>

#define ZTA_COMPONENT_TAG "ZTA300"

#define ZTA_TRACE_BLOCK(unit, routine) \
    static TRC1_Block zta_trc_ = {ZTA_COMPONENT_TAG, unit, routine, {}}

#define ZTA_ENTRY() AGW_TRACE_ENTRY(zta_trc_)
#define ZTA_EXIT() AGW_TRACE_EXIT(zta_trc_)
#define ZTA_EXIT_VALUE(v) AGW_TRACE_EXIT_VALUE(zta_trc_, v)
#define ZTA_ERROR(...) AGW_TRACE(zta_trc_, AGW_TRC_ERROR, __VA_ARGS__)
#define ZTA_DETAIL(...) AGW_TRACE(zta_trc_, AGW_TRC_DETAIL, __VA_ARGS__)
#define ZTA_STATE(...) AGW_TRACE(zta_trc_, AGW_TRC_STATE, __VA_ARGS__)
// Banner lines: written whatever the mask.
#define ZTA_ALWAYS(...) TRC1_Printf(&zta_trc_, __LINE__, __VA_ARGS__)

// The *_B lines name the caller's unit and the file and line they are
// written at: "zta01agt(ztacycle:120)".
#define ZTA_ENTRY_B(b) AGW_TRACE_ENTRY_AT(*(b))
#define ZTA_EXIT_B(b) AGW_TRACE_EXIT_AT(*(b))
#define ZTA_ERROR_B(b, ...) AGW_TRACE_AT(*(b), AGW_TRC_ERROR, __VA_ARGS__)
#define ZTA_STATE_B(b, ...) AGW_TRACE_AT(*(b), AGW_TRC_STATE, __VA_ARGS__)
#define ZTA_DETAIL_B(b, ...) AGW_TRACE_AT(*(b), AGW_TRC_DETAIL, __VA_ARGS__)

#endif  // ZTA_TRACE_H
