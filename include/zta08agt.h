// Sampler of the machine statistics table TXMSTATS (MIB class T_MACHINE with
// local attributes).
#ifndef ZTA08AGT_H
#define ZTA08AGT_H

#include "agwtx08b.h"
#include "zta_cycle.h"

class zta_txmstats_agent : public zta_txmstats_base {
public:
    zta_txmstats_agent(RequestDetail* request, ContextInfo* context, TableManager* manager);
    ~zta_txmstats_agent() override;

    void TakeSample() override;
    // Completes the working row in place after the view conversion: LMID
    // blank-padded, ORIGINNODE, the five percentages in hundredths of a
    // percent (0 where the divisor is 0) and TBXTUXCON 0.
    void GetOtherStats();
    // Hands over the error row that tells the agent is cut off from Tuxedo:
    // ORIGINNODE, a fresh SAMP_TM and TBXTUXCON 1, every statistic at the
    // view's null value.
    void SendErrorRow();

private:
    void TakeSampleConstructor();
    void TakeSampleDestructor();

    zta_txmstats_data_t row_{};  // the working row, filled by the view itself

    static zta_node theirNode;  // this node's name, fetched once for the table
};

#endif  // ZTA08AGT_H
