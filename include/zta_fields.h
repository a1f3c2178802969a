// FML32 field identifiers of the MIB attributes that the agent reads or
// writes by identifier (the views name theirs through the field tables).
// An identifier is the field type shifted left by 25, or'ed with the field
// number.
#ifndef ZTA_FIELDS_H
#define ZTA_FIELDS_H

#include <fml32.h>

#include <string_view>

namespace zta::fld {

constexpr FLDID32 make(unsigned type, unsigned number) { return (type << 25) | number; }

constexpr unsigned kLong = 1;    // FLD_LONG
constexpr unsigned kString = 5;  // FLD_STRING

// Request and reply control fields.
constexpr FLDID32 TA_CLASS = make(kString, 6002);
constexpr FLDID32 TA_CURSOR = make(kString, 6004);
constexpr FLDID32 TA_FLAGS = make(kLong, 6008);
constexpr FLDID32 TA_MORE = make(kLong, 6010);
constexpr FLDID32 TA_OCCURS = make(kLong, 6011);
constexpr FLDID32 TA_OPERATION = make(kString, 6012);
constexpr FLDID32 TA_STATE = make(kString, 6014);

// Times.
constexpr FLDID32 TA_CURTIME = make(kLong, 6251);
constexpr FLDID32 TA_TIMERESTART = make(kLong, 6398);
constexpr FLDID32 TA_TIMESTART = make(kLong, 6399);

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

// The identifier of an attribute that a table without a view reads by name
// from its description; 0 (BADFLDID) for any other name.
constexpr FLDID32 by_name(std::string_view attribute) {
    struct named {
        std::string_view name;
        FLDID32 id;
    };
    constexpr named kNamed[] = {
        {"TA_LMID", TA_LMID},         {"TA_PMID", TA_PMID},
        {"TA_ULOGLINE", TA_ULOGLINE}, {"TA_ULOGMSG", TA_ULOGMSG},
        {"TA_TPTRANID", TA_TPTRANID}, {"TA_XID", TA_XID},
        {"TA_PID", TA_PID},           {"TA_SEVERITY", TA_SEVERITY},
        {"TA_ULOGCAT", TA_ULOGCAT},   {"TA_ULOGMSGNUM", TA_ULOGMSGNUM},
        {"TA_ULOGPROCNM", TA_ULOGPROCNM},
    };
    for (const named& n : kNamed)
        if (n.name == attribute) return n.id;
    return 0;
}

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
