// Declarations shared by the agent's units: product identification, the
// process entry and loader, the build record, the process-wide reply buffers
// of the user log table, and the agent's membership in the Tuxedo
// application.
#ifndef ZTA_AGENT_H
#define ZTA_AGENT_H

#include <cstdint>
#include <string>

// Product identification.
#define PRODUCTNAME "VMA for Tuxedo"
#define PRODUCTPREFIX "ZTA"
#define PRODUCTVERSION "300"
#define PRODUCTREVISION "03.00.00"

// Application name under which every table registers.
#define AGW_APPLICATION_NAME "ZTA"

// Trace component tag of the bindings' units (the samplers' is in
// zta_trace.h).
#define AGW_BINDING_COMPONENT "AGW130"

// Statuses of the table bindings.
constexpr int ZTA_STATUS_OK = 0;
constexpr int ZTA_STATUS_NO_MANAGER = 0x21060002;  // a table's manager cannot be made
constexpr int ZTA_STATUS_BAD_COLUMN = 0x21060007;  // a column index that names no column

// Process entry, loader and handlers.
int WbMain(int argc, char** argv);
void stop_exit();
void CleanUp(int signal);
int LoadAgents();
// The agent's part of ztaagent --check-config (TBX_RegisterAgentCheck): the
// settings its samplers read, checked without joining.
int zta_check_settings();

// The build record.
constexpr std::int32_t ZTA_BUILD_TEXTS = 18;
struct wbbld_record {
    std::int32_t count;       // number of texts (18)
    std::int32_t reserved;    // always 0
    const char** texts;       // build date, time, unit, ... (see wbbld00.cpp)
    const void* const* list;  // an empty list
};
extern "C" void wbbld00(const wbbld_record** record);

// Reply buffers of the user log table. They live for the whole process and
// are released at logout; each is null until that table allocates it.
// Process-wide by design: demand samples and situation drives of every user
// log table object share them.
extern char* theirLogReplyBuffer;
extern char* theirSitReplyBuffer;

// Releases both user-log reply buffers where set and clears the pointers, so
// that no buffer is released twice.
void zta_release_log_buffers();

// The agent's single membership in the Tuxedo application. Creating the
// instance joins the application, destroying it leaves.
class Txinit {
public:
    // Makes sure the agent is joined: joins when there is no instance and
    // drops an instance whose join failed. Returns the joined instance, or
    // null after a failed join. While joins fail they are paced: the next
    // attempt waits 1 s, then twice as long after each failure up to 30 s,
    // and a call before then makes none and returns null; the first
    // success forgets the pace.
    static Txinit* Instance();
    // Why the agent is not joined after the last Instance(), for a sample
    // that cannot look: "cannot join the Tuxedo application" when that call
    // tried and failed, "not joined; next attempt in N s" when it waited for
    // the pace; "" while joined.
    static std::string NotJoinedReason();
    // Leaves the application if joined; otherwise forgets the pace of
    // failed joins (logout, a tool done with the domain).
    static void DeleteInstance();
    // The monotonic milliseconds the pace is measured by (tests; null: the
    // steady clock). Forgets the pace so far.
    static void SetClock(std::int64_t (*nowMs)());
    // Un-scrambles a text in place and returns it.
    static char* DeScramble(char* text);

    // True while the agent is joined.
    static bool Joined();

    // Reads the password files ZTA_APP_PASSWORD_FILE and
    // ZTA_USER_PASSWORD_FILE name, as each join does, and forgets the
    // passwords again: false with `line` naming the variable, the file and
    // what is wrong with it. Checked at start, before the first join.
    static bool CheckPasswordFiles(std::string* line);

    Txinit(const Txinit&) = delete;
    Txinit& operator=(const Txinit&) = delete;

private:
    Txinit();
    ~Txinit();
    static void DeleteLocked();  // DeleteInstance with the membership lock held
    // A failed join: its lines (once per outage), the flag and the count.
    static void Failed(const char* text);

    char* tpinfo_ = nullptr;  // the TPINIT buffer, kept for the life of the object

    // The one instance and the outcome of the last join. Process-wide: there
    // is one membership per process. Used by start-up and logout on the main
    // thread and by table objects on the framework's scheduler thread, which
    // run one after the other (the framework makes and samples table objects
    // on that one thread after start-up).
    static Txinit* theirInstance;
    static int theirErrorFlag;
};

#endif  // ZTA_AGENT_H
