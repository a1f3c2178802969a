// Sampler of the domain configuration table TXDOMCFG (MIB class T_DOMAIN).
#ifndef ZTA04AGT_H
#define ZTA04AGT_H

#include "agwtx04b.h"
#include "zta_cycle.h"

class zta_txdomcfg_agent : public zta_txdomcfg_base {
public:
    zta_txdomcfg_agent(RequestDetail* request, ContextInfo* context, TableManager* manager);
    ~zta_txdomcfg_agent() override;

    void TakeSample() override;
    // Copies the view record into the working row: ORIGINNODE from the node
    // name, the ten text columns DMCLASS .. SYSACCESS blank-filled to their
    // widths, the six integers as they are. SAMPLENO, ROWNO, SAMP_TM, ZATTRIB
    // and ZVALUE are left alone.
    void CopytoWBBuffer(zta_txdomcfg_data_t& row, const zta_txdomcfg_data_t& record);

private:
    void TakeSampleConstructor();
    void TakeSampleDestructor();

    zta_txdomcfg_data_t row_{};  // the working row

    static zta_node theirNode;  // this node's name, fetched once for the table
};

#endif  // ZTA04AGT_H
