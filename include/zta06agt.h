// Sampler of the server groups table TXSVRGRP (MIB class T_GROUP).
#ifndef ZTA06AGT_H
#define ZTA06AGT_H

#include "agwtx06b.h"
#include "zta_cycle.h"

class zta_txsvrgrp_agent : public zta_txsvrgrp_base {
public:
    zta_txsvrgrp_agent(RequestDetail* request, ContextInfo* context, TableManager* manager);
    ~zta_txsvrgrp_agent() override;

    void TakeSample() override;

private:
    void TakeSampleConstructor();
    void TakeSampleDestructor();

    zta_txsvrgrp_data_t row_{};  // the working row, filled by the view

    static zta_node theirNode;  // this node's name, fetched once for the table
};

#endif  // ZTA06AGT_H
