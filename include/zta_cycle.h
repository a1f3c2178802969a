// The MIB retrieval cycle shared by the samplers: the common construction
// hook, the readers of a reply (ztareply.cpp), the error output of failed
// Tuxedo calls (ztaerrors.cpp), and the GET/GETNEXT walk with the cursor
// loop (ztacycle.cpp). Each table gives its variant as data
// (zta_cursor_variant) and its conversion as a small hook (zta_cursor_target).
#ifndef ZTA_CYCLE_H
#define ZTA_CYCLE_H

#include <fml32.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>

#include "zta_fields.h"
#include "zta_tables.h"
#include "zta_trace.h"
#include "zta_util.h"

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

// A long attribute of a reply at `occurrence`, or `absent` when the reply
// lacks it.
long zta_reply_long(FBFR32* reply, FLDID32 field, FLDOCC32 occurrence, long absent);

// The value of occurrence `occurrence` of a string field and its length
// within the buffer (up to its NUL); null when absent.
const char* zta_find_string(FBFR32* reply, FLDID32 field, long occurrence, std::size_t& length);

// Bounded readers of one occurrence of a reply, for fixed-width columns:
// - zta_read_padded: the string value then blanks to `width`, no NUL; an
//   absent value gives blanks;
// - zta_read_string: the string value cut to width - 1 and NUL-filled to
//   `width`; an absent value gives an empty string;
// - zta_read_long: the long value, 0 when absent.
void zta_read_padded(FBFR32* reply, FLDID32 field, long occurrence, char* column,
                     std::size_t width);
void zta_read_string(FBFR32* reply, FLDID32 field, long occurrence, char* column,
                     std::size_t width);
long zta_read_long(FBFR32* reply, FLDID32 field, long occurrence);

// Fills every column of `row` that the description binds to an attribute
// from occurrence `occurrence`, each with the reader its pad calls for
// (blank, nul, or an integer saturated to 32 bits), one lookup per column.
// `fields` holds the attribute identifier of each column (0 for the agent's
// own columns). An attribute the occurrence lacks gives an empty or zero
// column, or, with `absent_untouched`, leaves the column as it was (a view
// record's null value, as the view conversion leaves it). True when some
// text value was longer than its column holds (and was cut to it).
bool zta_fill_columns(const zta::TableMeta& table, const FLDID32* fields, char* row,
                      FBFR32* reply, long occurrence, bool absent_untouched = false);

namespace zta {

// The attribute identifier of each column of a table read without a view
// (the /Q tables, the user log), from its description; 0 for the columns the
// agent fills itself.
template <class Row>
constexpr auto fields_of() {
    using T = TableTraits<Row>;
    std::array<FLDID32, T::kNumColumns> ids{};
    for (std::size_t i = 0; i < T::kNumColumns; ++i) {
        const ColumnMeta& c = T::kColumns[i];
        ids[i] = c.attribute[0] == '\0' ? 0 : fld::field_named(c.attribute);
    }
    return ids;
}

// True when every bound column names a known attribute of its own type.
template <class Row>
constexpr bool fields_match() {
    using T = TableTraits<Row>;
    constexpr auto ids = fields_of<Row>();
    for (std::size_t i = 0; i < T::kNumColumns; ++i) {
        const ColumnMeta& c = T::kColumns[i];
        if (c.attribute[0] == '\0') continue;
        const unsigned want = c.type == kColumnTypeInteger ? fld::kLong : fld::kString;
        if (ids[i] == 0 || fld::type_of(ids[i]) != want) return false;
    }
    return true;
}

}  // namespace zta

// Error output of a failed tpalloc or tpcall (`call` names it): three lines
// on standard error and an error trace line (none when `trace` is null).
// `reply`, when given, is the failed call's reply buffer: the MIB's own
// reason in it (TA_ERROR, TA_STATUS) is added to the trace line, escaped and
// bounded. Returns the one-line reason: the error text and that reason.
std::string zta_report_atmi_error(TRC1_Block* trace, const char* call, const char* reply = nullptr);

// The MIB's reason for a failed call from its reply buffer: "TA_ERROR -9
// TAESUPPORT, TA_STATUS \"...\"", escaped and bounded; "" when the buffer is
// no FML32 reply or carries neither field.
std::string zta_mib_reason(const char* reply);

// The request and reply buffers of one sample. The reply buffer is handed to
// every tpcall, which may enlarge it (reply_len follows).
struct zta_mib_buffers {
    FBFR32* request = nullptr;
    char* reply = nullptr;
    long reply_len = 0;
    // When set, each allocation and release is traced there (class 0x80):
    // "tpalloc: rqbuf", "tpalloc: rpbuf", "tpfree: rqbuf", "tpfree: rpbuf".
    TRC1_Block* note = nullptr;
};
// Allocates both FML32 buffers. On failure reports it (tpalloc), frees the
// one already allocated and returns false.
bool zta_alloc_mib_buffers(TRC1_Block* trace, zta_mib_buffers& buffers);
void zta_free_mib_buffers(zta_mib_buffers& buffers);

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
    // Trace the allocation and release of the sample's two buffers
    // (zta_mib_buffers::note).
    bool trace_buffers = false;
    // The table's description: its columns read the objects of a reply that
    // the view conversion does not reach, and the values it cuts short.
    const zta::TableMeta* table = nullptr;
};

namespace zta {
// One copy of each table's description and attribute identifiers for the
// variants to point at.
template <class Row>
inline constexpr TableMeta kTableMetaOf = table_meta_of<Row>();
template <class Row>
inline constexpr auto kFieldsOf = fields_of<Row>();
}  // namespace zta

// The variant of a table: its MIB class, view and columns from its
// description, the rest as the sampler says.
template <class Row>
constexpr zta_cursor_variant zta_variant_of(bool mib_local, zta_stamp stamp,
                                            bool trace_buffers = false) {
    return {zta::TableTraits<Row>::kMibClass, mib_local, stamp, zta::TableTraits<Row>::kView,
            trace_buffers, &zta::kTableMetaOf<Row>};
}

// The attribute identifier of each column of a table with a view, looked up
// by name in the field tables (Fldid32) as the view's own bindings are, so
// that they follow the installation's field numbers; 0 for the agent's own
// columns and for a name the field tables do not know. Looked up once per
// table and process.
const FLDID32* zta_attribute_ids(const zta::TableMeta& table);

// A table's part of the cursor loop.
class zta_cursor_target {
public:
    // The record the view conversion fills: the working row or a separate
    // view record.
    virtual char* ViewRecord() = 0;
    // One object, occurrence `occurrence` of the reply, was converted into
    // ViewRecord(): complete the working row (timestamp, ORIGINNODE, the
    // table's own columns, read from that occurrence) and hand it over.
    // `timestamp` holds 16 digits and a NUL.
    virtual void ObjectConverted(FBFR32* reply, FLDOCC32 occurrence, const char* timestamp) = 0;
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
// reply's cursor while TA_MORE is not 0, asking for zta_occurs_of(object)
// objects per call (TA_OCCURS; 1 unless the request file says otherwise).
// - Every object of a reply, however many it holds, gives a row, in order:
//   occurrence 0 through the view, the others through the columns the
//   description binds; the walk goes on from that reply's cursor.
// - A failed call reports the error (with the reply's TA_ERROR and
//   TA_STATUS where it carries them) and ends the sample; rows already
//   handed over stay. The agent leaves the application unless the MIB
//   itself refused the request (zta_mib_walk).
// - The walk ends early, incomplete, with one error trace line, only as
//   zcommon::WalkRule says (walk_rule.h).
// - A view that Fvsinit32 or Fvftos32 cannot load ends the sample with one
//   error line naming the view and the FML32 error, before any row of nulls
//   is made. Any other Fvftos32 failure (a value longer than its member) is
//   traced with the class, object and error, and that object is converted
//   through the description instead: it keeps its row, a value too long for
//   its column cut to it.
// - A blank-padded column keeps a value as wide as the column, which the
//   view's string member (one byte for its NUL) cannot hold.
// A sample that ends early in any of these ways, or cannot join or allocate
// its buffers, is marked incomplete on `object` with its reason
// (MarkSampleIncomplete), so it never clears a situation.
void zta_cursor_loop(TRC1_Block* trace, tavro& object, const zta_cursor_variant& variant,
                     zta_cursor_target& target);

// One side of a MIB walk (zta_mib_walk): what is done around each call.
class zta_walk_target {
public:
    // Before each call; false ends the walk there (the target says why).
    virtual bool BeforeCall() { return true; }
    // After each successful call: takes the reply's objects and returns how
    // many it held, or -1 to end the walk there.
    virtual long Reply(FBFR32* reply) = 0;
    // The call failed (after the error output, before the agent leaves the
    // application).
    virtual void CallFailed() {}

protected:
    ~zta_walk_target() = default;
};

// How a walk went: its successful calls, and why it ended early ("" when it
// reached the end or its target ended it); failed_call when a call failed.
struct zta_walk_outcome {
    long calls = 0;
    bool failed_call = false;
    bool refused = false;  // the failed call had the MIB's error reply: still joined
    std::string why;
};

// The one GET/GETNEXT walk of the agent, for the cursor loop and every other
// reader of a class with more objects than one reply: `buffers.request`
// holds the GET (TA_OPERATION "GET", TA_CLASS, flags, keys, TA_OCCURS as the
// caller wants); each reply goes to the target, and while TA_MORE is not 0
// the next call is a GETNEXT with the reply's cursor, whatever it is (a
// cursor names a position; some MIBs keep one for the whole walk). A failed
// call reports the error (with the MIB's reason) and ends the walk; it
// leaves the application unless the MIB itself refused the request with an
// error reply (TPESVCFAIL with TA_ERROR), after which the session is sound.
// A walk ends early only as zcommon::WalkRule says (a reply of no object
// while TA_MORE says more, TA_MORE without a cursor, more calls than the
// first reply allows), with one error trace line and the reason in the
// outcome. Its calls are counted in the agent's metrics under `mib_class`
// and `view`.
zta_walk_outcome zta_mib_walk(TRC1_Block* trace, zta_mib_buffers& buffers, const char* mib_class,
                              const char* view, zta_walk_target& target);

// The objects a cursor-loop call asks for: the request file's `mib:
// {occurs: N}` as the object's setting "mib.occurs" holds it, 1 when not
// given, kept within 1 to 10,000.
long zta_occurs_of(const tavro& object);

// The objects a reply holds: its TA_OCCURS (`absent` when it has none),
// but never past the first occurrence after the first that carries none of
// the table's attributes, so that a reply claiming more objects than it
// holds gives no rows of nothing.
long zta_reply_objects(FBFR32* reply, const zta::TableMeta& table, const FLDID32* fields,
                       long absent);

// One line on standard error and an error trace line: the view cannot be
// used, with the FML32 call that said so and its error text. Returns that
// line without its "Error: ".
std::string zta_report_view_error(TRC1_Block* trace, const char* call, const char* view);

// The two shapes of a table's part of the cursor loop. `Agent` is the
// sampler class (its row_type, AddData); `stamp` names the row's timestamp
// column (null in zta_row_target for a table without one).
//
// zta_row_target: the view fills the working row itself. After each
// conversion: the timestamp; the table's own step `complete(reply)` (derived
// columns, values the view cannot reach, read from the object's
// occurrence); the blank-padded text columns
// padded in place; ORIGINNODE; the row handed over.
template <class Agent, class Complete>
class zta_row_target final : public zta_cursor_target {
public:
    using Row = typename Agent::row_type;
    zta_row_target(Agent& agent, Row& row, char (Row::*stamp)[ZTA_WBTIME_LEN],
                   const zta_node& node, Complete complete)
        : agent_(agent), row_(row), stamp_(stamp), node_(node), complete_(std::move(complete)) {}

    char* ViewRecord() override { return reinterpret_cast<char*>(&row_); }
    void ObjectConverted(FBFR32* reply, FLDOCC32 occurrence, const char* timestamp) override {
        if (stamp_ != nullptr) std::memcpy(row_.*stamp_, timestamp, ZTA_WBTIME_LEN);
        complete_(reply, occurrence);
        zta_pad_in_place(row_);
        zta_fill_originnode(row_.originnode, node_);
        agent_.AddData(&row_, 1);
    }

private:
    Agent& agent_;
    Row& row_;
    char (Row::*stamp_)[ZTA_WBTIME_LEN];
    const zta_node& node_;
    Complete complete_;
};

// zta_record_target: the view fills a separate record, which the agent's
// CopytoWBBuffer(row, record) copies into the working row after the
// timestamp; then the row is handed over.
template <class Agent>
class zta_record_target final : public zta_cursor_target {
public:
    using Row = typename Agent::row_type;
    zta_record_target(Agent& agent, Row& row, char (Row::*stamp)[ZTA_WBTIME_LEN])
        : agent_(agent), row_(row), stamp_(stamp) {}

    char* ViewRecord() override { return reinterpret_cast<char*>(&record_); }
    void ObjectConverted(FBFR32*, FLDOCC32, const char* timestamp) override {
        std::memcpy(row_.*stamp_, timestamp, ZTA_WBTIME_LEN);
        agent_.CopytoWBBuffer(row_, record_);
        agent_.AddData(&row_, 1);
    }

private:
    Agent& agent_;
    Row& row_;
    char (Row::*stamp_)[ZTA_WBTIME_LEN];
    Row record_{};  // the view record
};

#endif  // ZTA_CYCLE_H
