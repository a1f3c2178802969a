// Sampler of the server queues table TXSVRQ (MIB class T_QUEUE, global
// attributes: the queues' configuration).
#ifndef ZTA10AGT_H
#define ZTA10AGT_H

#include "agwtx10b.h"
#include "zta_cycle.h"

class zta_txsvrq_agent : public zta_txsvrq_base, private zta_cursor_target {
public:
    zta_txsvrq_agent(RequestDetail* request, ContextInfo* context, TableManager* manager);
    ~zta_txsvrq_agent() override;

    void TakeSample() override;
    // Blank-pads the text columns of the working row in place: ORIGINNODE
    // from the node name, CONV and RESTART as their first character and one
    // blank, the others as their value followed by blanks.
    void CopytoWBBuffer();

private:
    void TakeSampleConstructor();
    void TakeSampleDestructor();

    // The view fills the working row itself.
    char* ViewRecord() override { return reinterpret_cast<char*>(&row_); }
    void ObjectConverted(FBFR32* reply, FLDOCC32 occurrence, const char* timestamp) override;

    zta_txsvrq_data_t row_{};  // the working row

    static zta_node theirNode;  // this node's name, fetched once for the table
};

#endif  // ZTA10AGT_H
