// Sampler of the client statistics table TXCSTATS (MIB class T_CLIENT).
#ifndef ZTA02AGT_H
#define ZTA02AGT_H

#include "agwtx02b.h"
#include "zta_cycle.h"

class zta_txcstats_agent : public zta_txcstats_base {
public:
    zta_txcstats_agent(RequestDetail* request, ContextInfo* context, TableManager* manager);
    ~zta_txcstats_agent() override;

    void TakeSample() override;
    // Completes the working row from the FML32 reply of the current call:
    // the elapsed time since the client joined (TA_CURTIME - TA_TIMESTART) in
    // seconds, minutes and hours, the aborted-transaction percentage and the
    // idle minutes.
    // `occurrence` is the object's occurrence in the reply.
    void GetOtherStats(void* reply, FLDOCC32 occurrence = 0);

private:
    void TakeSampleConstructor();
    void TakeSampleDestructor();

    zta_txcstats_data_t row_{};  // the working row, filled by the view

    static zta_node theirNode;  // this node's name, fetched once for the table
};

#endif  // ZTA02AGT_H
