// Sampler of the queue load table TXQLOAD (MIB class T_QUEUE, local
// attributes: the queues' load).
#ifndef ZTA11AGT_H
#define ZTA11AGT_H

#include "agwtx11b.h"
#include "zta_cycle.h"

class zta_txqload_agent : public zta_txqload_base {
public:
    zta_txqload_agent(RequestDetail* request, ContextInfo* context, TableManager* manager);
    ~zta_txqload_agent() override;

    void TakeSample() override;

private:
    void TakeSampleConstructor();
    void TakeSampleDestructor();

    zta_txqload_data_t row_{};  // the working row, filled by the view

    static zta_node theirNode;  // this node's name, fetched once for the table
};

#endif  // ZTA11AGT_H
