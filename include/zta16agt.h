// Sampler of the user log table TXULOGS (MIB class T_ULOG).
//
// Two ways of sampling: a report request reads the records that one MIB call
// returns; situation requests follow the log by position (zta_ulog_place),
// scan after scan, and share one MIB walk per scan (a drive) among all of
// them. After each report sample's one call and rows, the records counter
// (zta_ulogctr.h) follows this machine's log.
#ifndef ZTA16AGT_H
#define ZTA16AGT_H

#include <fml32.h>

#include <climits>
#include <cstddef>
#include <string>
#include <vector>

#include "agwtx16b.h"
#include "zta_cycle.h"
#include "zta_ulogctr.h"

class zta_txulogs_agent : public zta_txulogs_base {
public:
    zta_txulogs_agent(RequestDetail* request, ContextInfo* context, TableManager* manager);
    ~zta_txulogs_agent() override;

    // A situation object (sample type 1) follows the log; any other object
    // reports the records of one reply.
    void TakeSample() override;
    void DemandTakeSample();
    void SituationTakeSample();
    // Run by the object that opens a drive, before its MIB walk: on a new
    // day the log is followed again from time 0.
    void CheckLogFileSwitched();
    // Converts occurrence `index` of `reply` into `row`. Mode 1 (a record
    // a drive takes) also traces the record's time.
    void FillRow(void* reply, zta_txulogs_data_t* row, long index, long mode);

    // The most records one drive takes: the records after them stay for
    // the next scan, which asks from the last record taken.
    static constexpr std::size_t kMaxDriveRecords = 1000;

    // The situation scan interval in seconds from the text of ZTA_ULOG_SCAN
    // (null when unset): unset, below 30 or not a whole decimal number gives
    // 30 (a bad text also writes an error trace line naming it); above the
    // framework's largest interval gives that interval.
    static int ScanInterval(const char* text);

    // The drive state shared by every TXULOGS table object of the process.
    // Class-wide by design: the objects of one scan share one MIB walk and
    // its records. Used only on the framework's sampling thread, which makes,
    // samples and destroys table objects one at a time.
    struct drive_state {
        long rpLoglength = 393216;      // size of the reply buffers; each call stores its reply length
        int theirConstructorCount = 0;  // live situation objects
        int theirSitDriveCount = 0;     // objects of the current drive still to sample
        int firstSitDrive = 1;          // non-zero: the next situation sample opens a drive
        int initialDeferCount = 0;      // situation samples skipped at start-up (at most 4)
        // The last record a drive took: the next drive asks from its second
        // and takes the records after it.
        zta_ulog_place since;
        int theirFirstInterval = 0;     // 0 until the followed day has been set
        char sinceMsgDateBuffer[17] = {};  // century digit and YYMMDD of the followed day, then "0"s
        // The current drive's records are this drive's: false from the
        // opening of a drive until its MIB walk succeeded, so the later
        // objects of a failed drive present no rows.
        bool theirSitReplyValid = false;
        // The rows of the current drive's records, in the log's order, for
        // every object of the drive (at most kMaxDriveRecords).
        std::vector<zta_txulogs_data_t> rows;
        // Why the current drive did not see the log to its end ("" when it
        // did): every object of the drive marks its sample incomplete.
        std::string unseen;
    };
    static drive_state theirDrive;

    // The records counter of this machine's user log. Process-wide by
    // design: one log is followed and counted once, whichever TXULOGS report
    // object samples; used only on the framework's sampling thread.
    static zta_ulog_counter theirCounter;

    // What the last demand reply held: its records (the rows before any
    // threshold) and its TA_MORE, the records of the day it left out. Both 0
    // after a sample whose call failed.
    struct demand_reply {
        long records = 0;
        long more = 0;
        // The records of the day the MIB knew of, at most LONG_MAX.
        long Total() const {
            return more <= 0 ? records : more > LONG_MAX - records ? LONG_MAX : records + more;
        }
    };
    const demand_reply& LastDemandReply() const { return lastDemand_; }

private:
    void TakeSampleConstructor();
    void TakeSampleDestructor();
    // The steps before a MIB call: join when not joined, the request buffer,
    // and the process-wide reply buffer `reply` where not yet allocated
    // (after the error trace line `note`). Returns the request, or null when
    // the sample ends here (after the error output, the sample marked
    // incomplete with the reason).
    char* PrepareCall(TRC1_Block* trace, char** reply, const char* note);
    // The rows of the demand reply: every record it holds, one row each.
    void ShowDemandReply(FBFR32* reply);
    // The drive's MIB walk from the position on, into theirSitReplyBuffer;
    // the records after the position become the drive's rows. False when a
    // call failed: then the drive has no rows and the position is where it
    // was.
    bool WalkSitReply(char* request);
    // The records of the current drive, each as a row of this object.
    void PresentSitReply();
    // One scan of the records counter after the report's rows, through the
    // report's request buffer and the demand reply buffer. Its failure never
    // touches the report: the counter reads on at the next report sample.
    void FollowLog(FBFR32* request);

    zta_txulogs_data_t row_{};  // the working row
    demand_reply lastDemand_;

    static zta_node theirNode;  // this node's name, fetched once for the table
};

#endif  // ZTA16AGT_H
