// Framework internals shared by its units (and by its tests): shutdown
// state, product registration, text helpers.
#ifndef AGW_INTERNAL_H
#define AGW_INTERNAL_H

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "agw_types.h"

class tavro;

namespace agw {

class Clock;

// --- the main routine (agwmain.cpp) ---
// agwmain with a clock of the caller's (null: the steady clock).
int RunMain(int argc, char** argv, Clock* clock);
// agwcheck.
int CheckMain();

// --- shutdown (tbx.cpp) ---
bool ShutdownRequested();
// Read end of the pipe that TBX_Shutdown writes to; created on first use.
int ShutdownWakeFd();
// Empties the pipe after a wake-up.
void DrainShutdownWake();
// Forgets a shutdown request, so that agwmain can run again (tests).
void ResetShutdown();
// Wakes agwmain's wait without asking it to stop (async-signal-safe).
void WakeMainLoop();
// Now, in seconds since the epoch, by the clock of TBX_GenerateTimeStamp
// (its test source when one is set): the "time" of rows and events.
std::time_t StampClockNow();

// --- product registration (tbx.cpp) ---
struct ProductInfo {
    std::string nodeType;
    std::string code;
    std::string revision;
    std::vector<std::string> affinities;
};
ProductInfo Product();
using AgentLoader = int (*)();
AgentLoader RegisteredLoader();
// The agent's check of its own settings (TBX_RegisterAgentCheck), or null.
AgentLoader RegisteredCheck();

// --- managers (table.cpp) ---
// Forgets every registered manager without destroying anything (tests).
void UnregisterAllManagers();

// --- table objects (tavro.cpp) ---
// The column the object describes under an upper-case name (its lower-case
// name upper-cased), the first in column order; false when none.
bool FindColumn(tavro& object, std::string_view upperName, ColumnInfo* found);

// --- trace (trace.cpp) ---
// Sends trace lines to fd from now on (tests); returns the previous one.
int SetTraceFd(int fd);
// Opens AGW_TRACE_FILE again, at its path, in place of the open one (after a
// rename by log rotation). 0: no trace file is in use; 1: reopened; -1:
// it could not be opened (*error says why) and the old one is kept. *path is
// the file's name when there is one.
int ReopenTraceFile(std::string* path, std::string* error);
// Keeps the trace on standard error whatever AGW_TRACE_FILE says: a check of
// the configuration creates no file. Takes effect before the first trace
// line only. *path gets AGW_TRACE_FILE's value ("" when unset).
void KeepTraceOnStandardError(std::string* path);

// --- signals (signals.cpp) ---
// True when an action is installed for the framework signal code.
bool SignalActionInstalled(int code);
// While on, the framework routes the signals of a service's life that no one
// else handles: SIGHUP asks for the outputs to be reopened (TakeReopenRequest,
// agwmain's loop wakes), and SIGQUIT, SIGUSR1, SIGUSR2 and SIGALRM stop the
// run as SIGTERM does; SIGPIPE is ignored. Off restores the default actions
// of the signals it took.
void RouteServiceSignals(bool on);
// True once for every run of SIGHUPs since the last call.
bool TakeReopenRequest();
// The name of the routed signal that stopped the run ("SIGQUIT"...), or null.
const char* TakeStopSignalName();

// --- text helpers (text.cpp) ---
// Copies src into dst (size bytes), always NUL-terminated when size > 0.
// Returns true when src had to be cut.
bool CopyBounded(char* dst, std::size_t size, const char* src);
// A decimal integer: optional sign, then digits only, fitting a long.
bool ParseDecimal(const char* text, long* value);
// A fixed-width text field as the framework reads it: up to width bytes or
// the first NUL, trailing blanks dropped.
std::string_view FieldText(const char* field, int width);

}  // namespace agw

#endif
