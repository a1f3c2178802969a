// Signal actions. The framework's own codes stand for the signals:
// 16 interrupt, 33 termination, 14 illegal instruction.
//
// The operating-system handler only records the signal (an atomic flag and a
// byte written to a pipe, both async-signal-safe). The registered action then
// runs on the framework's signal-dispatch thread, never inside the signal
// handler, so it may trace, lock and call TBX_Shutdown freely. An illegal
// instruction raised by the processor itself (not sent by kill) cannot be
// resumed: the handler then restores the default action and lets the signal
// end the process.
#ifndef AGW_SIGNAL_H
#define AGW_SIGNAL_H

#include <cstddef>

constexpr int EVT1_SIGINT = 16;   // interrupt
constexpr int EVT1_SIGTERM = 33;  // termination
constexpr int EVT1_SIGILL = 14;   // illegal instruction

// An action record: the handler, a flags word and eight zero bytes. With
// 4-byte pointers this is 16 bytes; with 8-byte pointers the handler alone
// takes 8 and alignment pads the record to 24 bytes, so it cannot be 16
// there. The flags are kept with the action for the caller; no bit changes
// how the framework runs it.
struct EVT1_ActionRecord {
    void (*handler)(int code);  // receives the framework code (16, 33, 14); null: default action
    unsigned int flags;
    unsigned char reserved[8];  // must be zero
};
static_assert(offsetof(EVT1_ActionRecord, handler) == 0);
static_assert(offsetof(EVT1_ActionRecord, flags) == sizeof(void*));
static_assert(offsetof(EVT1_ActionRecord, reserved) == sizeof(void*) + sizeof(unsigned int));
static_assert(sizeof(EVT1_ActionRecord) == (sizeof(void*) == 8 ? 24 : 16));

// Installs the action for a framework signal code. Returns 0, or -1 with
// errno set: EINVAL for an unknown code, a null record or non-zero reserved
// bytes; the system's errno when the handler cannot be installed.
int EVT1_Action(int code, const EVT1_ActionRecord* record, int reserved);
// "SIGINT", "SIGTERM", "SIGILL"; "UNKNOWN" for any other code.
const char* EVT1_SignalName(int code);
// Routes the signal to handler (flags 0). Same result as EVT1_Action.
int FLT1_Signal(int code, void (*handler)(int code));

#endif
