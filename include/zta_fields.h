// FML32 field identifiers of the MIB attributes that the agent reads or
// writes by identifier (the views name theirs through the field tables).
// An identifier is the field type shifted left by 25, or'ed with the field
// number.
#ifndef ZTA_FIELDS_H
#define ZTA_FIELDS_H

#include <fml32.h>

namespace zta::fld {

constexpr FLDID32 make(unsigned type, unsigned number) { return (type << 25) | number; }

constexpr unsigned kLong = 1;    // FLD_LONG
constexpr unsigned kString = 5;  // FLD_STRING

// Request and reply control fields.
constexpr FLDID32 TA_CLASS = make(kString, 6002);
constexpr FLDID32 TA_CURSOR = make(kString, 6004);
constexpr FLDID32 TA_ERROR = make(kLong, 6006);
constexpr FLDID32 TA_FLAGS = make(kLong, 6008);
constexpr FLDID32 TA_MORE = make(kLong, 6010);
constexpr FLDID32 TA_OCCURS = make(kLong, 6011);
constexpr FLDID32 TA_OPERATION = make(kString, 6012);
constexpr FLDID32 TA_STATE = make(kString, 6014);
constexpr FLDID32 TA_STATUS = make(kString, 6015);

// Times.
constexpr FLDID32 TA_CURTIME = make(kLong, 6251);
constexpr FLDID32 TA_MSG_CTIME = make(kLong, 6325);
constexpr FLDID32 TA_MSG_RTIME = make(kLong, 6330);
constexpr FLDID32 TA_MSG_STIME = make(kLong, 6331);
static_assert(TA_MSG_CTIME == 33560757u && TA_MSG_RTIME == 33560762u &&
              TA_MSG_STIME == 33560763u);
constexpr FLDID32 TA_TIMERESTART = make(kLong, 6398);
constexpr FLDID32 TA_TIMESTART = make(kLong, 6399);

// Transaction groups: TA_GRPNO and TA_GSTATE occur once per group, the
// groups of a reply's transactions laid end to end; each transaction's
// TA_GRPINDEX and TA_GRPCOUNT say where its groups start and how many.
// These four numbers are the field table's (tuxsim/fields/tpadm), which has
// them in the application range because Tuxedo's own numbers for them are not
// known here; a build against a real installation must take them from its
// tpadm field table.
constexpr FLDID32 TA_GRPNO = make(kLong, 10022);
constexpr FLDID32 TA_GRPCOUNT = make(kLong, 10232);
constexpr FLDID32 TA_GRPINDEX = make(kLong, 10233);
constexpr FLDID32 TA_GSTATE = make(kString, 10234);

// The user log (T_ULOG).
constexpr FLDID32 TA_MMDDYY = make(kLong, 6321);
constexpr FLDID32 TA_ULOGTIME = make(kLong, 6434);
constexpr FLDID32 TA_PID = make(kLong, 6352);
constexpr FLDID32 TA_PMID = make(kString, 6353);
constexpr FLDID32 TA_SEVERITY = make(kString, 6381);
constexpr FLDID32 TA_TPTRANID = make(kString, 6420);
constexpr FLDID32 TA_ULOGCAT = make(kString, 6428);
constexpr FLDID32 TA_ULOGLINE = make(kLong, 6429);
constexpr FLDID32 TA_ULOGMSG = make(kString, 6430);
constexpr FLDID32 TA_ULOGMSGNUM = make(kLong, 6431);
constexpr FLDID32 TA_ULOGPROCNM = make(kString, 6433);
constexpr FLDID32 TA_XID = make(kString, 6444);

// /Q queue-space keys.
constexpr FLDID32 TA_APPQSPACENAME = make(kString, 6603);
constexpr FLDID32 TA_QMCONFIG = make(kString, 6636);
constexpr FLDID32 TA_LMID = make(kString, 6700);

// The attributes that the tables without a view (the /Q tables and the user
// log) read, by the name their descriptions give them: each column bound to
// one of these is read from the reply at the object's occurrence.
struct named_field {
    const char* name;
    FLDID32 id;
};
inline constexpr named_field kNamedAttributes[] = {
    {"TA_APPQMSGID", make(kString, 6600)},   {"TA_APPQNAME", make(kString, 6601)},
    {"TA_APPQORDER", make(kString, 6602)},   {"TA_APPQSPACENAME", TA_APPQSPACENAME},
    {"TA_BLOCKING", make(kLong, 6605)},      {"TA_CMD", make(kString, 6606)},
    {"TA_CMDHW", make(kString, 6607)},       {"TA_CMDLW", make(kString, 6608)},
    {"TA_CORRID", make(kString, 6609)},      {"TA_CURBLOCKS", make(kLong, 6610)},
    {"TA_CUREXTENT", make(kLong, 6611)},     {"TA_CURMSG", make(kLong, 6612)},
    {"TA_CURPROC", make(kLong, 6613)},       {"TA_CURRETRIES", make(kLong, 6614)},
    {"TA_CURTRANS", make(kLong, 6615)},      {"TA_ERRORQNAME", make(kString, 6616)},
    {"TA_FORCEINIT", make(kString, 6617)},   {"TA_HWMSG", make(kLong, 6619)},
    {"TA_HWPROC", make(kLong, 6620)},        {"TA_HWTRANS", make(kLong, 6621)},
    {"TA_MAXMSG", make(kLong, 6624)},        {"TA_MAXPAGES", make(kLong, 6625)},
    {"TA_MAXPROC", make(kLong, 6626)},       {"TA_MAXRETRIES", make(kLong, 6627)},
    {"TA_MAXTRANS", make(kLong, 6628)},      {"TA_MSGSIZE", make(kLong, 6630)},
    {"TA_OUTOFORDER", make(kString, 6633)},  {"TA_PERCENTINIT", make(kLong, 6634)},
    {"TA_PRIORITY", make(kLong, 6635)},      {"TA_QMCONFIG", TA_QMCONFIG},
    {"TA_RETRYDELAY", make(kLong, 6637)},    {"TA_TIME", make(kString, 6639)},
    {"TA_CURQUEUES", make(kLong, 6242)},     {"TA_HWQUEUES", make(kLong, 6286)},
    {"TA_IPCKEY", make(kLong, 6292)},        {"TA_MAXQUEUES", make(kLong, 6312)},
    {"TA_XID", TA_XID},                      {"TA_LMID", TA_LMID},
    {"TA_STATE", TA_STATE},
    {"TA_PMID", TA_PMID},                    {"TA_ULOGLINE", TA_ULOGLINE},
    {"TA_ULOGMSG", TA_ULOGMSG},              {"TA_TPTRANID", TA_TPTRANID},
    {"TA_PID", TA_PID},                      {"TA_SEVERITY", TA_SEVERITY},
    {"TA_ULOGCAT", TA_ULOGCAT},              {"TA_ULOGMSGNUM", TA_ULOGMSGNUM},
    {"TA_ULOGPROCNM", TA_ULOGPROCNM},
};

// The identifier of an attribute of that list by name; 0 for a name not in
// the list.
constexpr FLDID32 field_named(const char* name) {
    for (const named_field& f : kNamedAttributes) {
        const char* a = f.name;
        const char* b = name;
        while (*a != '\0' && *a == *b) ++a, ++b;
        if (*a == *b) return f.id;
    }
    return 0;
}

// The FML type of an identifier (kLong, kString, ...).
constexpr unsigned type_of(FLDID32 id) { return id >> 25; }

static_assert(TA_OPERATION == 167778172u && TA_CLASS == 167778162u && TA_OCCURS == 33560443u &&
              TA_MORE == 33560442u && TA_CURSOR == 167778164u && TA_FLAGS == 33560440u &&
              TA_CURTIME == 33560683u && TA_TIMESTART == 33560831u && TA_TIMERESTART == 33560830u);

}  // namespace zta::fld

// Tuxedo's own headers declare the text and value arguments of tpalloc,
// tpcall, Fchg32 and the view calls as plain `char*` (they never write
// through them); these pass the agent's constant texts and values on, so the
// same calls build against the stand-in and against a real installation.
inline char* zta_text(const char* text) { return const_cast<char*>(text); }
template <class T>
inline char* zta_value(const T& value) {
    return reinterpret_cast<char*>(const_cast<T*>(&value));
}

// TA_FLAGS value that asks for a class's local attributes.
constexpr long ZTA_MIB_LOCAL = 65536;

// Call flags of every MIB call: TPNOCHANGE | TPNOTRAN | TPSIGRSTRT.
constexpr long ZTA_MIB_CALL_FLAGS = 266;

#endif  // ZTA_FIELDS_H
