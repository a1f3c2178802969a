// Binding of the server queues table TXSVRQ to the framework.
#ifndef AGWTX10B_H
#define AGWTX10B_H

#include "zta_binding.h"

class zta_txsvrq_base : public zta::table_base<zta_txsvrq_data_t> {
public:
    using table_base::table_base;
#include "zta_accessors.inc"
#include "tables/txsvrq.def"
};

ZTA_BINDING_MANAGER(txsvrq)

#endif  // AGWTX10B_H
