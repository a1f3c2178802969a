// Process services: product registration, the agent loader, shutdown, WB
// timestamps, the node name and the framework's main routine.
#ifndef AGW_TBX_H
#define AGW_TBX_H

#include <cstdint>
#include <ctime>

// Product identity, kept (bounded copies) for the start-up trace. Return 0,
// or AGW_STATUS_BAD_ARGUMENT for a null text.
int TBX_SetNodeType(const char* nodeType);
int TBX_SetProduct(const char* code, const char* revision);
int TBX_SetAffinity(const char* affinity);  // may be called several times

// The routine that registers the agent's table managers. agwmain calls it
// once, before it makes any table object. Returns 0.
int TBX_RegisterAgentLoader(int (*loader)());

// The agent's check of its own settings, for agwcheck: called after the
// framework's checks; it reaches no outside system (never joins), writes
// each problem in one line on standard error and what it would use in a few
// lines on standard output, and returns 0 when a start would go on, non-zero
// when it would stop. Returns 0.
int TBX_RegisterAgentCheck(int (*check)());

// Asks agwmain to stop: it finishes the sample in progress, destroys every
// table object and returns. Async-signal-safe (an atomic store and a write to
// a pipe); may be called from any thread, any number of times, also before
// agwmain runs (agwmain then returns before its first sample).
void TBX_Shutdown(int reason);

// The current local time as a WB timestamp: a century digit ("0" for
// 1900-1999, "1" for 2000-2099, ...: zcommon's wbtime.h), YYMMDDHHMMSS and
// three digits of milliseconds, then a NUL: 17 bytes in all. The second argument is reserved (pass 0).
// Returns 0, or AGW_STATUS_BAD_ARGUMENT for a null buffer.
int TBX_GenerateTimeStamp(char* buffer17, int reserved);

namespace agw {
// Test hook: the clock TBX_GenerateTimeStamp reads, in seconds since the
// epoch (its timestamps then end in "000"); null returns to the real-time
// clock. Lets a test move the agent's notion of "today" across midnight
// together with a simulated domain.
using TimeStampSource = std::time_t (*)();
void SetTimeStampSource(TimeStampSource source);
}  // namespace agw

// This node's name, cut to fit and NUL-terminated within size bytes.
// Returns 0, or AGW_STATUS_BAD_ARGUMENT for a null buffer or size below 1.
int DetermineLocalHost(char* buffer, int size);

// Releases the use of a table object taken with tavro::UseHandle. Returns 0,
// AGW_STATUS_BAD_HANDLE or AGW_STATUS_NOT_IN_USE.
int HDL1_Drop(unsigned handle);

// The framework's main routine (see framework/README.md): reads AGW_CONFIG,
// calls the agent loader, makes one table object per request, samples until
// TBX_Shutdown, destroys the table objects and returns 0; non-zero when the
// configuration or the row output cannot be used (nothing was sampled).
int agwmain(int argc, char** argv);

// Checks what agwmain would run with, without running it: reads and checks
// AGW_CONFIG's request file, the row output, AGW_HTTP and the web
// configuration as a start does (the same steps), runs the agent loader,
// checks each request against a table object that only describes its table
// (TableManager::CreateDescription: nothing is joined or sampled) and then
// the agent's own check (TBX_RegisterAgentCheck). Nothing is opened,
// created or listened on. Each problem is one line on standard error;
// standard output says in a few lines what would be sampled and served.
// Returns 0 when a start would run, 2 when it would stop.
int agwcheck();

#endif
