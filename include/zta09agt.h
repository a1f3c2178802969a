// Sampler of the system message queues table TXSYSMQ (MIB class T_MSG).
#ifndef ZTA09AGT_H
#define ZTA09AGT_H

#include "agwtx09b.h"
#include "zta_cycle.h"

class zta_txsysmq_agent : public zta_txsysmq_base {
public:
    zta_txsysmq_agent(RequestDetail* request, ContextInfo* context, TableManager* manager);
    ~zta_txsysmq_agent() override;

    void TakeSample() override;
    // Completes the working row from the reply of the current MIB call: the
    // four times (epoch seconds) as WB timestamps where they are not 0; a
    // time that is 0 or absent leaves its column empty. (LMID and ORIGINNODE
    // are padded after it, as in every table the view fills directly.)
    // `occurrence` is the object's occurrence in the reply.
    void GetOtherStats(void* reply, FLDOCC32 occurrence = 0);

private:
    void TakeSampleConstructor();
    void TakeSampleDestructor();

    zta_txsysmq_data_t row_{};  // the working row, filled by the view

    static zta_node theirNode;  // this node's name, fetched once for the table
};

#endif  // ZTA09AGT_H
