// Framework internals shared by its units (and by its tests): shutdown
// state, product registration, text helpers.
#ifndef AGW_INTERNAL_H
#define AGW_INTERNAL_H

#include <cstddef>
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

// --- shutdown (tbx.cpp) ---
bool ShutdownRequested();
// Read end of the pipe that TBX_Shutdown writes to; created on first use.
int ShutdownWakeFd();
// Empties the pipe after a wake-up.
void DrainShutdownWake();
// Forgets a shutdown request, so that agwmain can run again (tests).
void ResetShutdown();

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

// --- signals (signals.cpp) ---
// True when an action is installed for the framework signal code.
bool SignalActionInstalled(int code);

// --- text helpers (text.cpp) ---
// Copies src into dst (size bytes), always NUL-terminated when size > 0.
// Returns true when src had to be cut.
bool CopyBounded(char* dst, std::size_t size, const char* src);
// A decimal integer: optional sign, then digits only, fitting a long.
bool ParseDecimal(const char* text, long* value);
// A fixed-width text field as the framework reads it: up to width bytes or
// the first NUL, trailing blanks dropped.
std::string_view FieldText(const char* field, int width);
const char* OperatorName(IntfOper op);
// "EQ" ... "GE", in any case; false for anything else.
bool ParseOperator(std::string_view text, IntfOper* op);

}  // namespace agw

#endif
