// The trace service: one static TRC1_Block per traced routine, class bits,
// and lines written to AGW_TRACE_FILE (default standard error).
//
// AGW_TRACE sets the active classes, e.g.
//     AGW_TRACE=0x1d0                         every unit: 0x1d0
//     AGW_TRACE=0x80,zta01agt=0x1ff,agwtx01b=0x50
// A bare mask sets the default for every unit, "unit=mask" overrides it for
// one unit (unit names compare without regard to case). Masks are decimal or
// 0x-hexadecimal. Unset: errors only (0x80). A bad value is reported with
// one line on standard error and the default is used.
//
// A line reads
//     2024-05-01 12:00:00.123 AGW130 agwtx01b PrintSelf DETAIL text
// (local time with milliseconds, component, unit, routine, class, text).
// Each line is written with a single write(), so lines of different threads
// never mix.
#ifndef AGW_TRACE_H
#define AGW_TRACE_H

#include <atomic>
#include <cstdint>

// Class bits.
constexpr unsigned AGW_TRC_ROW = 0x01;     // per-row notes
constexpr unsigned AGW_TRC_DETAIL = 0x10;  // detail
constexpr unsigned AGW_TRC_FLOW = 0x40;    // routine entry and exit
constexpr unsigned AGW_TRC_ERROR = 0x80;   // errors
constexpr unsigned AGW_TRC_STATE = 0x100;  // state changes
constexpr unsigned AGW_TRC_DEFAULT = AGW_TRC_ERROR;

// Event kinds of TRC1_Event.
constexpr int AGW_TRC_EVENT_ENTRY = 0;
constexpr int AGW_TRC_EVENT_EXIT_VALUE = 1;
constexpr int AGW_TRC_EVENT_EXIT = 2;

// One per traced routine, usually a function-level static:
//     static TRC1_Block trc = {"ZTA300", "zta01agt", "TakeSample"};
// The cache is filled by TRC1_Sync; routines of any thread may share a block.
struct TRC1_Block {
    const char* component;  // e.g. "ZTA300"
    const char* unit;       // source unit, e.g. "zta01agt"
    const char* routine;    // e.g. "TakeSample"
    // The unit's mask (low 32 bits) and the trace configuration generation it
    // was read under (high 32 bits; 0 = not read yet).
    std::atomic<std::uint64_t> cache{0};
};

// The active class mask for the block's unit.
unsigned TRC1_Sync(TRC1_Block* block);
// Entry (kind 0), exit with value (1) or exit (2); written only when bit
// 0x40 is on for the unit.
void TRC1_Event(TRC1_Block* block, int line, int kind, long value = 0);
// One line, whatever the mask (the caller tests the class with TRC1_Sync).
// Trailing newlines of the text are dropped; each embedded newline starts a
// new trace line.
void TRC1_Printf(TRC1_Block* block, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// One line of class cls, written only when that class is on for the unit.
void TRC1_PrintfClass(TRC1_Block* block, int line, unsigned cls, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// The same for a routine that traces through its caller's block: the line
// names the block's unit and, after it, the source file and line where it
// was written, e.g. "zta01agt(ztacycle:120)" (the file's directories and
// extension are dropped; a file of the block's own unit gives "unit:line").
// Class 0 writes the line whatever the mask, as TRC1_Printf does.
void TRC1_EventAt(TRC1_Block* block, const char* file, int line, int kind, long value = 0);
void TRC1_PrintfClassAt(TRC1_Block* block, const char* file, int line, unsigned cls, const char* format,
                        ...) __attribute__((format(printf, 5, 6)));

// Syslog priorities of lines on standard error.
constexpr int AGW_PRIO_ERR = 3;
constexpr int AGW_PRIO_WARNING = 4;
constexpr int AGW_PRIO_INFO = 6;
// The prefix that gives a line on standard error its priority in the
// journal ("<3>", "<4>", "<6>"), when standard error is the journal's stream
// (JOURNAL_STREAM names its device:inode, as systemd sets it); else "".
// Trace lines written to standard error carry it on their own: ERROR lines
// <3>, the others <6>.
const char* TRC1_StderrPriority(int priority);

// Replaces the trace configuration (same syntax as AGW_TRACE; null: read
// AGW_TRACE again). Returns 0, or -1 when the text was bad and the default
// was used. Blocks pick the change up at their next TRC1_Sync.
int TRC1_Configure(const char* setting);

#define AGW_TRACE_ENTRY(blk) TRC1_Event(&(blk), __LINE__, AGW_TRC_EVENT_ENTRY)
#define AGW_TRACE_EXIT(blk) TRC1_Event(&(blk), __LINE__, AGW_TRC_EVENT_EXIT)
#define AGW_TRACE_EXIT_VALUE(blk, v) \
    TRC1_Event(&(blk), __LINE__, AGW_TRC_EVENT_EXIT_VALUE, static_cast<long>(v))
// AGW_TRACE(blk, AGW_TRC_DETAIL, "rows: <%d>\n", n): formats only when on.
#define AGW_TRACE(blk, cls, ...)                                       \
    do {                                                               \
        if (TRC1_Sync(&(blk)) & (cls))                                 \
            TRC1_PrintfClass(&(blk), __LINE__, (cls), __VA_ARGS__);    \
    } while (0)

// The *_AT forms name the file and line they are written at (see
// TRC1_EventAt).
#define AGW_TRACE_ENTRY_AT(blk) TRC1_EventAt(&(blk), __FILE__, __LINE__, AGW_TRC_EVENT_ENTRY)
#define AGW_TRACE_EXIT_AT(blk) TRC1_EventAt(&(blk), __FILE__, __LINE__, AGW_TRC_EVENT_EXIT)
#define AGW_TRACE_EXIT_VALUE_AT(blk, v) \
    TRC1_EventAt(&(blk), __FILE__, __LINE__, AGW_TRC_EVENT_EXIT_VALUE, static_cast<long>(v))
#define AGW_TRACE_AT(blk, cls, ...)                                               \
    do {                                                                          \
        if (TRC1_Sync(&(blk)) & (cls))                                            \
            TRC1_PrintfClassAt(&(blk), __FILE__, __LINE__, (cls), __VA_ARGS__);   \
    } while (0)

#endif
