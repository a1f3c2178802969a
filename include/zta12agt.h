// Sampler of the servers table TXSERVER (MIB class T_SERVER, global
// attributes).
#ifndef ZTA12AGT_H
#define ZTA12AGT_H

#include "agwtx12b.h"
#include "zta_cycle.h"

class zta_txserver_agent : public zta_txserver_base {
public:
    zta_txserver_agent(RequestDetail* request, ContextInfo* context, TableManager* manager);
    ~zta_txserver_agent() override;

    void TakeSample() override;
    // Completes the working row from the FML32 reply of the current call:
    // TIMESTART and TIMERESTRT as WB timestamps (blanks when the MIB gives 0
    // or nothing), STATE blank-padded, ORIGINNODE, and RPPERM and RQPERM as
    // their octal digits.
    // `occurrence` is the object's occurrence in the reply.
    void GetOtherStats(void* reply, FLDOCC32 occurrence = 0);

private:
    void TakeSampleConstructor();
    void TakeSampleDestructor();

    zta_txserver_data_t row_{};  // the working row, filled by the view itself

    static zta_node theirNode;  // this node's name, fetched once for the table
};

#endif  // ZTA12AGT_H
