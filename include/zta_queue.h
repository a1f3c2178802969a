// The /Q tables' way of sampling (TXAPPQ, TXQMSG, TXQSPCS, TXQTRAN): the
// queue spaces to watch come from three lists in the environment, one MIB
// call is made per listed queue space, and every occurrence of the reply
// becomes one row, read field by field (no view). Written once here; a
// table gives only its description and, where it has derived columns, its
// own FillRow.
#ifndef ZTA_QUEUE_H
#define ZTA_QUEUE_H

#include <fml32.h>

#include <array>
#include <cstddef>
#include <cstring>

#include "zta_cycle.h"
#include "zta_fields.h"
#include "zta_tables.h"
#include "zta_trace.h"
#include "zta_util.h"

// Size of each configured list and of each entry taken from it, with the
// terminating NUL: a list may hold at most 255 characters.
constexpr std::size_t ZTA_QUEUE_LIST_SIZE = 256;

// The queue spaces one /Q table watches. Each table class holds one, read
// from the environment once, at the first construction of one of its table
// objects; the read positions belong to the sample that walks the lists
// (samples of one table object never run at once).
class zta_queue_config {
public:
    char theirQspcstr[ZTA_QUEUE_LIST_SIZE] = {};    // TXAPPQSPACENAME: queue spaces
    char theirQMConfstr[ZTA_QUEUE_LIST_SIZE] = {};  // TXQMCONFIG: their devices
    char theirLmid[ZTA_QUEUE_LIST_SIZE] = {};       // TXLMID: their machines
    int theirInfoDefined = 0;  // 1 when the three lists are taken

    // Configure() with "TXAPPQSPACENAME", "TXQMCONFIG" and "TXLMID".
    void ReadEnvironment(TRC1_Block* trace);

    // Takes the three lists (null: the variable is unset). An unset list of
    // queue spaces, or one that begins with "@", watches nothing. A list of
    // queue spaces without one of the other two, or a list of 256 bytes or
    // more, watches nothing either, and one error trace line says why: a
    // list is never cut into a different one. Returns theirInfoDefined != 0.
    bool Configure(TRC1_Block* trace, const char* qspc, const char* qmconf, const char* lmid);

    // Takes the next entry of each list into the three buffers of
    // ZTA_QUEUE_LIST_SIZE bytes (zero-filled by the caller). A start flag
    // above 0 first moves the three read positions back to the lists' start
    // and clears the flag. `more` becomes 1 when the queue-space entry was
    // followed by `separator`, else 0: an entry counts only when the
    // separator follows it. Returns the queue-space lookup's result (the
    // separator's address, or null).
    const char* GetNextQueueTokens(char* qspc, char* qmconf, char* lmid, char separator,
                                   int& start, int& more);

private:
    int qspcloc = 0;
    int qmconfloc = 0;
    int qlmidloc = 0;
};

// A /Q table's part of the loop.
// The most /Q objects one sample of a table takes, over all its queue spaces.
constexpr long ZTA_QUEUE_MAX_OBJECTS = 100000;

class zta_queue_target {
public:
    // Converts occurrence `index` of the reply into the working row and
    // hands the row over.
    virtual void Occurrence(FBFR32* reply, long index) = 0;

protected:
    ~zta_queue_target() = default;
};

// One sample of a /Q table: for each configured queue space a GET of
// `mib_class` naming the space by its three keys, and every occurrence of
// its replies (TA_OCCURS of each; none when a reply lacks it) to the
// target. With `print_reply` each reply is also written to standard output
// with Fprint32, under standard output's stdio lock and flushed before it is
// released, so that it never lands inside a row line written there. A failed
// call other than a refusal reports the error, leaves the application and
// ends the sample: the queue spaces after it wait for the next sample, rows
// already handed over stay. A sample that ends on a failed call, or cannot join or allocate its
// buffers, is marked incomplete on `object`, so it never clears a situation.
// Each queue space's objects are read reply after reply (GETNEXT while
// TA_MORE says more, through the agent's one walk), at most
// ZTA_QUEUE_MAX_OBJECTS of all spaces in one sample (one error trace line
// when that is reached). A queue space the MIB refuses (an error reply) is
// named in one error line with the MIB's reason and skipped; the agent stays
// joined and reads the others; the sample is incomplete. `table` and
// `fields` (the attribute of each column) bound the occurrences to those a
// reply holds (zta_reply_objects).
void zta_queue_loop(TRC1_Block* trace, tavro& object, const zta::TableMeta& table,
                    const FLDID32* fields, bool print_reply, zta_queue_config& config,
                    zta_queue_target& target);

namespace zta {

// Trace unit of a /Q table's sampler: "ztaNNagt".
template <int Number>
struct sampler_unit {
    static_assert(Number >= 1 && Number <= 99);
    static constexpr char value[] = {'z', 't', 'a', static_cast<char>('0' + Number / 10),
                                     static_cast<char>('0' + Number % 10), 'a', 'g', 't', '\0'};
};

}  // namespace zta

// Converts one occurrence into a /Q row: a fresh TIMESTAMP, ORIGINNODE from
// the node name, SAMPLENO and ROWNO 0, then every bound column.
template <class Row>
void zta_fill_queue_row(Row& row, const zta_node& node, void* reply, long occurrence) {
    static_assert(zta::fields_match<Row>(),
                  "a /Q table's column is bound to an unknown attribute or one of another type");
    static constexpr auto kFields = zta::fields_of<Row>();
    char timestamp[ZTA_WBTIME_BUF] = {};
    TBX_GenerateTimeStamp(timestamp, 0);
    std::memcpy(row.timestamp, timestamp, sizeof row.timestamp);
    zta_fill_originnode(row.originnode, node);
    row.sampleno = 0;
    row.rowno = 0;
    zta_fill_columns(zta::table_meta_of<Row>(), kFields.data(), reinterpret_cast<char*>(&row),
                           static_cast<FBFR32*>(reply), occurrence);
}

// The sampler of a /Q table, shared by the four: zta_<t>_agent derives from
// zta_queue_agent<zta_<t>_base> (TXAPPQ with PrintReply, the only one that
// writes its replies to standard output) and overrides FillRow where it has
// derived columns. Being a template, every table has its own node name and
// its own configured lists.
template <class Base, bool PrintReply = false>
class zta_queue_agent : public Base {
public:
    using Row = typename Base::row_type;

    zta_queue_agent(RequestDetail* request, ContextInfo* context, TableManager* manager)
        : Base(request, context, manager) {
        TakeSampleConstructor();
    }
    ~zta_queue_agent() override { TakeSampleDestructor(); }

    void TakeSample() override {
        static TRC1_Block trc = {ZTA_COMPONENT_TAG, kUnit, "TakeSample", {}};
        struct target final : zta_queue_target {
            zta_queue_agent& agent;
            explicit target(zta_queue_agent& a) : agent(a) {}
            void Occurrence(FBFR32* reply, long index) override {
                agent.FillRow(reply, &agent.row_, index);
                agent.AddData(&agent.row_, 1);
            }
        } rows(*this);
        zta_queue_loop(&trc, *this, zta::kTableMetaOf<Row>, zta::kFieldsOf<Row>.data(), PrintReply,
                       theirQueues, rows);
    }

    // Converts occurrence `occurrence` of the reply into `row`.
    virtual void FillRow(void* reply, Row* row, long occurrence) {
        static TRC1_Block trc = {ZTA_COMPONENT_TAG, kUnit, "FillRow", {}};
        ZTA_ENTRY_B(&trc);
        zta_fill_queue_row(*row, theirNode, reply, occurrence);
        ZTA_EXIT_B(&trc);
    }

    // The table's configured lists. Public so that tests can configure a
    // table without a process of its own per environment.
    static inline zta_queue_config theirQueues;

protected:
    static constexpr const char* kUnit = zta::sampler_unit<zta::TableTraits<Row>::kNumber>::value;

    void TakeSampleConstructor() {
        static TRC1_Block trc = {ZTA_COMPONENT_TAG, kUnit, "TakeSampleConstructor", {}};
        // The lists are read once, with the node name.
        if (zta_take_sample_constructor(&trc, theirNode)) theirQueues.ReadEnvironment(&trc);
    }
    void TakeSampleDestructor() {
        static TRC1_Block trc = {ZTA_COMPONENT_TAG, kUnit, "TakeSampleDestructor", {}};
        ZTA_ENTRY_B(&trc);
        ZTA_EXIT_B(&trc);
    }

    Row row_{};  // the working row
    // This node's name, fetched once for the table.
    static inline zta_node theirNode;
};

#endif  // ZTA_QUEUE_H
