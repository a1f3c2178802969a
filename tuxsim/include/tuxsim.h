// The stand-in's own C++ API for tests: which domain to serve, the clock that
// drives its activity, fault injection and the record of ".TMIB" requests.
//
// Nothing here is Tuxedo's; code meant to build against a real installation
// uses only atmi.h, fml32.h and tpadm.h.
#ifndef TUXSIM_TUXSIM_H
#define TUXSIM_TUXSIM_H

#include <chrono>
#include <ctime>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

// The MIB's flags and TA_ERROR codes, under their Tuxedo names.
#include "tpadm.h"

namespace tuxsim {

// Forgets everything the process has done with the stand-in: leaves the
// application if joined, drops the loaded domain, faults, quirks, recorded
// requests and call counters, and returns to the system clock. The next
// tpinit loads the domain afresh.
void reset();

// The domain file the next load uses, instead of TUXSIM_DOMAIN or the
// built-in demo domain. Drops the loaded domain (leaving the application if
// joined). An empty path returns to the environment's choice.
void use_domain_file(const std::string& path);

// Loads the domain now (as tpinit would). Returns the empty string on
// success, else the one-line error that tpinit would print.
std::string load_domain();

// ---- Clock -------------------------------------------------------------
// The stand-in's notion of "now": TA_CURTIME, the user log's "today", the
// activity model and the down spans all follow it.
void set_time(std::time_t t);                // a manual clock standing at t
void advance_time(std::chrono::seconds d);   // moves the manual clock on
void use_system_time();                      // back to the wall clock
std::time_t now();

// ---- User log ----------------------------------------------------------
// Appends one record to the user log, as a process of the domain writing it
// would. Attributes by name with their values as text (a decimal number for
// a long field). Left out: TA_LMID is the local machine, TA_MMDDYY and
// TA_ULOGTIME the stand-in's clock now, TA_ULOGLINE the next line. Returns
// the empty string, else a one-line error (no domain, unknown attribute, not
// a number) and appends nothing.
std::string write_ulog(const std::map<std::string, std::string>& attributes);

// ---- Fault injection ---------------------------------------------------
enum class Call { tpinit, tpalloc, tpcall };

// The nth call of fn from now on (1 = the next one) fails with err as tperrno.
void fail_call(Call fn, long nth, int err);

// The domain is down (tpinit and tpcall fail with TPESYSTEM) from `after`
// seconds from now, for `span` seconds.
void domain_down(std::chrono::seconds span, std::chrono::seconds after = std::chrono::seconds(0));

// Every GET/GETNEXT reply holds up to `objects` objects whatever TA_OCCURS
// asks, as a MIB that ignores TA_OCCURS does (0: as asked again; reset()
// also restores it).
void force_occurs(long objects);

// Drops every pending fault and down span.
void clear_faults();

// ---- Quirks: a laxer MIB and VIEW32 --------------------------------------
// Ways in which another, laxer implementation's ".TMIB" and Fvftos32 behave,
// so that a client can be tested against them. A domain file sets them in its
// `quirks` section (README.md); set_quirks sets them in-process.

// The MIB classes a quirk applies to: every class, or the named ones
// (q.endless = {"T_CLIENT", "T_SERVER"}; q.omit_more = ClassSet::every()).
struct ClassSet {
    bool all = false;
    std::vector<std::string> names;  // MIB class names such as "T_CLIENT"

    ClassSet() = default;
    ClassSet(std::initializer_list<std::string> classes) : names(classes) {}
    static ClassSet every() {
        ClassSet s;
        s.all = true;
        return s;
    }
};

struct Quirks {
    // GET/GETNEXT replies hold a whole batch (the domain's `batch`) whatever
    // TA_OCCURS asks; TA_OCCURS, TA_MORE and TA_CURSOR say what the reply
    // holds, as usual.
    ClassSet ignore_occurs;
    // Every GET/GETNEXT reply holds no object, TA_OCCURS 0, TA_MORE 3 and a
    // cursor never given before, which GETNEXT accepts: the walk never ends.
    ClassSet endless;
    // Every GET/GETNEXT reply holds one object whatever TA_OCCURS asks, and
    // every reply of a walk carries the same cursor handle and the TA_MORE of
    // its first reply, until the reply with the last object (TA_MORE 0, no
    // cursor): a MIB that keeps one handle per walk.
    ClassSet fixed_cursor;
    // A fault: a GETNEXT reply holds the objects of the reply before it
    // again, with a cursor never given before and TA_MORE as before: the walk
    // never moves on.
    ClassSet repeat_objects;
    // A reply after which nothing is left carries no TA_MORE at all (rather
    // than TA_MORE 0).
    ClassSet omit_more;
    // GET/GETNEXT fail as the MIB fails for a class it does not know: the
    // request with TA_ERROR TAESUPPORT and TA_STATUS "Unsupported class
    // [T_GROUP]" added; tpcall fails with TPESVCFAIL.
    ClassSet unsupported;
    // Fvftos32 fails with FNOSPACE, converting nothing more, when a value is
    // longer than its string member (size - 1 characters) or carray member
    // (size bytes) holds, rather than cutting it. Process-wide.
    bool strict_views = false;
};
// When a class is named by several quirks, unsupported comes first, then
// endless, then fixed_cursor, then repeat_objects; ignore_occurs and
// omit_more combine with the last two. force_occurs takes precedence over
// ignore_occurs.

// The quirks in effect from now on, in place of those of the domain file
// (also for domains loaded later), until reset(). Returns the empty string,
// else a one-line error (a class the MIB does not have) and changes nothing.
std::string set_quirks(const Quirks& quirks);


// Parses a fault list in TUXSIM_FAULTS syntax and installs it, counting from
// now. Returns the empty string on success, else a one-line error and
// installs nothing.
std::string install_faults(const std::string& faults);

// ---- Request record ----------------------------------------------------
struct Request {
    std::string operation;  // TA_OPERATION as sent, empty when absent
    std::string cls;        // TA_CLASS
    long flags = 0;         // TA_FLAGS, 0 when absent
    long occurs = -1;       // TA_OCCURS, -1 when absent
    std::string cursor;     // TA_CURSOR, empty when absent
    // Every other field of the request, by field name, occurrence 0 as text
    // (TA_APPQSPACENAME, TA_QMCONFIG, TA_LMID, TA_ULOGTIME, filters ...).
    std::map<std::string, std::string> keys;
    // "OK", or the TA_ERROR of an error reply ("TAEINVAL" ...), or the
    // tperrno name when the call failed before the MIB answered.
    std::string outcome;
};

// Requests are kept in memory only when asked: while TUXSIM_RECORD is set,
// or from record_requests(true) or clear_requests() (which forgets those kept
// so far) until reset() or record_requests(false).
void record_requests(bool keep = true);
std::vector<Request> requests();
void clear_requests();

// ---- The joined client -------------------------------------------------
// TA_CLIENTID of this process's own T_CLIENT entry; empty when not joined.
std::string own_client_id();

// Number of objects of a MIB class in the loaded domain (0 when no domain).
std::size_t object_count(const std::string& cls);

// ---- Buffers ----------------------------------------------------------
// Number of buffers tpalloc handed out that tpfree has not released yet.
std::size_t live_buffers();

}  // namespace tuxsim

#endif
