// Binding of the system message queues table TXSYSMQ to the framework.
#ifndef AGWTX09B_H
#define AGWTX09B_H

#include "zta_binding.h"

class zta_txsysmq_base : public zta::table_base<zta_txsysmq_data_t> {
public:
    using table_base::table_base;
#include "zta_accessors.inc"
#include "tables/txsysmq.def"
};

ZTA_BINDING_MANAGER(txsysmq)

#endif  // AGWTX09B_H
