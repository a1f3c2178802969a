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

template <class Row>
void zta_copy_record(Row& row, const Row& record) {
    zta_copy_record(zta::table_meta_of<Row>(), reinterpret_cast<char*>(&row),
                    reinterpret_cast<const char*>(&record));
}
template <class Row>
void zta_pad_in_place(Row& row) {
    zta_pad_in_place(zta::table_meta_of<Row>(), reinterpret_cast<char*>(&row));
}

// A long attribute of a reply (occurrence 0), or `absent` when the reply
// lacks it.
long zta_reply_long(FBFR32* reply, FLDID32 field, long absent);

// Error output of a failed tpalloc or tpcall (`call` names it): three lines
// on standard error and an error trace line.
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

// The variant of a table: its MIB class and view from its description, the
// rest as the sampler says.
template <class Row>
constexpr zta_cursor_variant zta_variant_of(bool mib_local, zta_stamp stamp) {
    return {zta::TableTraits<Row>::kMibClass, mib_local, stamp, zta::TableTraits<Row>::kView};
}

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
    // The agent could not join the application before the sample, so the
    // sample makes no MIB call. Most tables do nothing here.
    virtual void JoinFailed() {}

protected:
    ~zta_cursor_target() = default;
};

// One sample of a cursor-loop table: GET, then GETNEXT with the previous
// reply's cursor while TA_MORE is not 0, one object per call. A failed call
// reports the error, leaves the application and ends the sample; rows
// already handed over stay. A reply that says TA_MORE but carries no
// TA_CURSOR ends the walk with an error trace line: there is nothing to
// continue from.
void zta_cursor_loop(TRC1_Block* trace, const zta_cursor_variant& variant,
                     zta_cursor_target& target);

#endif  // ZTA_CYCLE_H
