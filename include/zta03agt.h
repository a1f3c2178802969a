// Sampler of the conversations table TXCONV (MIB class T_CONN).
#ifndef ZTA03AGT_H
#define ZTA03AGT_H

#include "agwtx03b.h"
#include "zta_cycle.h"

class zta_txconv_agent : public zta_txconv_base {
public:
    zta_txconv_agent(RequestDetail* request, ContextInfo* context, TableManager* manager);
    ~zta_txconv_agent() override;

    void TakeSample() override;

private:
    void TakeSampleConstructor();
    void TakeSampleDestructor();

    zta_txconv_data_t row_{};  // the working row, filled by the view

    static zta_node theirNode;  // this node's name, fetched once for the table
};

#endif  // ZTA03AGT_H
