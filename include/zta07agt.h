// Sampler of the machine configuration table TXMCONF (MIB class T_MACHINE,
// global attributes).
#ifndef ZTA07AGT_H
#define ZTA07AGT_H

#include "agwtx07b.h"
#include "zta_cycle.h"

class zta_txmconf_agent : public zta_txmconf_base {
public:
    zta_txmconf_agent(RequestDetail* request, ContextInfo* context, TableManager* manager);
    ~zta_txmconf_agent() override;

    void TakeSample() override;
    // Copies the view record into the working row: ORIGINNODE from the node
    // name, the integers as they are but PERM as its octal digits, and the
    // text columns TMCLASS .. LMID blank-filled to their widths. SAMPLENO,
    // ROWNO, SAMP_TM, ZATTRIB and ZVALUE are left alone.
    void CopytoWBBuffer(zta_txmconf_data_t& row, const zta_txmconf_data_t& record);

private:
    void TakeSampleConstructor();
    void TakeSampleDestructor();

    zta_txmconf_data_t row_{};  // the working row

    static zta_node theirNode;  // this node's name, fetched once for the table
};

#endif  // ZTA07AGT_H
