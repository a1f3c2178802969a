// Sampler of the server statistics table TXSRVSTAT (MIB class T_SERVER with
// local attributes).
#ifndef ZTA13AGT_H
#define ZTA13AGT_H

#include "agwtx13b.h"
#include "zta_cycle.h"

class zta_txsrvstat_agent : public zta_txsrvstat_base {
public:
    zta_txsrvstat_agent(RequestDetail* request, ContextInfo* context, TableManager* manager);
    ~zta_txsrvstat_agent() override;

    void TakeSample() override;
    // Pads the working row in place after the view conversion: ORIGINNODE
    // from the node name, SRVGRP, CLTLMID, CMTRET and CURRSVC blank-filled to
    // their widths.
    void CopytoWBBuffer();

private:
    void TakeSampleConstructor();
    void TakeSampleDestructor();

    zta_txsrvstat_data_t row_{};  // the working row, filled by the view itself

    static zta_node theirNode;  // this node's name, fetched once for the table
};

#endif  // ZTA13AGT_H
