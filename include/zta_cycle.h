// The MIB retrieval cycle shared by the samplers: the common construction
// hook, the error output of failed Tuxedo calls, and the GET/GETNEXT cursor
// loop. Each table gives its variant as data (zta_cursor_variant) and its
// conversion as a small hook (zta_cursor_target).
#ifndef ZTA_CYCLE_H
#define ZTA_CYCLE_H

#include <fml32.h>

#include <cstddef>

#include "zta_tables.h"
#include "zta_trace.h"

// This node's name, fetched once per table. One per sampler class, shared by
// the table's objects and written only by the first construction.
struct zta_node {
    char theirSystemName[64] = {};
    int theirInitConstructor = 0;
};

// The common construction hook of every sampler: joins the application when
// the agent is not joined, and fetches the node name on the first
// construction of the table's objects. Returns true on that first
// construction, for tables that add one-time steps.
bool zta_take_sample_constructor(TRC1_Block* trace, zta_node& node);

// The first step of every sample: joins the application again when a failed
// MIB call made the agent leave it. Returns false when the agent is still not
// joined (the domain refuses); the sample then makes no MIB call.
bool zta_join_before_sample();

// ORIGINNODE: the node name followed by blanks to the full 64 bytes, no NUL.
void zta_fill_originnode(char* originnode, const zta_node& node);

// The conversion steps that follow from a table's description, for the
// columns bound to a MIB attribute (the agent's own columns, ORIGINNODE and
// the timestamps, are left alone):
// - zta_copy_record: from a separate view record into the working row; a
//   blank-padded text column gets the record's string up to its NUL, then
//   blanks; a nul text column the string cut to width - 1 with its NUL;
//   integers as they are.
// - zta_pad_in_place: where the view filled the working row itself, every
//   blank-padded text column is padded in place (its string read aside first).
void zta_copy_record(const zta::TableMeta& table, char* row, const char* record);
void zta_pad_in_place(const zta::TableMeta& table, char* row);

// - zta_fill_from_reply: for a table without a view, from one occurrence of
//   a reply read with Fget32/Ffind32: text columns as zta_copy_record does,
//   integers saturated to 32 bits; an attribute the occurrence lacks gives
//   an empty text or 0, never the value of an earlier record.
void zta_fill_from_reply(const zta::TableMeta& table, char* row, FBFR32* reply,
                         FLDOCC32 occurrence);

// A long attribute of a reply at an occurrence, or `absent` when the reply
// lacks it.
long zta_reply_long(FBFR32* reply, FLDID32 field, FLDOCC32 occurrence, long absent);

template <class Row>
void zta_fill_from_reply(Row& row, FBFR32* reply, FLDOCC32 occurrence) {
    zta_fill_from_reply(zta::table_meta_of<Row>(), reinterpret_cast<char*>(&row), reply,
                        occurrence);
}
template <class Row>
void zta_copy_record(Row& row, const Row& record) {
    zta_copy_record(zta::table_meta_of<Row>(), reinterpret_cast<char*>(&row),
                    reinterpret_cast<const char*>(&record));
}
template <class Row>
void zta_pad_in_place(Row& row) {
    zta_pad_in_place(zta::table_meta_of<Row>(), reinterpret_cast<char*>(&row));
}

// Error output of a failed tpalloc or tpcall (`call` names it): three lines
// on standard error and an error trace line (none when `trace` is null).
void zta_report_atmi_error(TRC1_Block* trace, const char* call);

// When a table takes the WB timestamp of its rows.
enum class zta_stamp {
    each_pass_before_call,     // before every MIB call
    each_pass_after_success,   // after every successful MIB call
    once_before_loop,          // once, before the first call of the sample
    never,                     // the table has no timestamp column
};

// What differs between the cursor-loop tables.
struct zta_cursor_variant {
    const char* mib_class;  // "T_CLIENT", ...
    bool mib_local;         // send TA_FLAGS MIB_LOCAL
    zta_stamp stamp;        // when the timestamp is taken
    const char* view;       // "txview01", ...
};

// A table's part of the cursor loop.
class zta_cursor_target {
public:
    // The record the view conversion fills: the working row or a separate
    // view record.
    virtual char* ViewRecord() = 0;
    // One object was converted into ViewRecord(): complete the working row
    // (timestamp, ORIGINNODE, the table's own columns) and hand it over.
    // `timestamp` holds 16 digits and a NUL.
    virtual void ObjectConverted(FBFR32* reply, const char* timestamp) = 0;
    // The MIB call failed (after the error output, before the agent leaves
    // the application). Most tables do nothing here.
    virtual void CallFailed(const char* /*timestamp*/) {}

protected:
    ~zta_cursor_target() = default;
};

// One sample of a cursor-loop table: GET, then GETNEXT with the previous
// reply's cursor while TA_MORE is not 0, one object per call. A failed call
// reports the error, leaves the application and ends the sample; rows
// already handed over stay.
void zta_cursor_loop(TRC1_Block* trace, const zta_cursor_variant& variant,
                     zta_cursor_target& target);

#endif  // ZTA_CYCLE_H
