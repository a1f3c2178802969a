// Sampler of the clients table TXCLIENTS (MIB class T_CLIENT).
#ifndef ZTA01AGT_H
#define ZTA01AGT_H

#include "agwtx01b.h"
#include "zta_cycle.h"

class zta_txclients_agent : public zta_txclients_base {
public:
    zta_txclients_agent(RequestDetail* request, ContextInfo* context, TableManager* manager);
    ~zta_txclients_agent() override;

    void TakeSample() override;
    // Copies the view record into the working row: ORIGINNODE from the node
    // name and the ten text columns CLIENTID .. LMID, each blank-filled to its
    // width. SAMPLENO, ROWNO and SAMP_TM are left alone.
    void CopytoWBBuffer(zta_txclients_data_t& row, const zta_txclients_data_t& record);

private:
    void TakeSampleConstructor();
    void TakeSampleDestructor();

    zta_txclients_data_t row_{};  // the working row

    static zta_node theirNode;  // this node's name, fetched once for the table
};

#endif  // ZTA01AGT_H
