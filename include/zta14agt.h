// Sampler of the service groups table TXSVCGRP (MIB class T_SVCGRP).
#ifndef ZTA14AGT_H
#define ZTA14AGT_H

#include "agwtx14b.h"
#include "zta_cycle.h"

class zta_txsvcgrp_agent : public zta_txsvcgrp_base {
public:
    zta_txsvcgrp_agent(RequestDetail* request, ContextInfo* context, TableManager* manager);
    ~zta_txsvcgrp_agent() override;

    void TakeSample() override;
    // Copies the view record into the working row: ORIGINNODE from the node
    // name, the nine text columns SERVICENM .. RQADDR blank-filled to their
    // widths, the integers as they are. SAMPLENO, ROWNO and TIMESTAMP are
    // left alone.
    void CopytoWBBuffer(zta_txsvcgrp_data_t& row, const zta_txsvcgrp_data_t& record);

private:
    void TakeSampleConstructor();
    void TakeSampleDestructor();

    zta_txsvcgrp_data_t row_{};  // the working row

    static zta_node theirNode;  // this node's name, fetched once for the table
};

#endif  // ZTA14AGT_H
