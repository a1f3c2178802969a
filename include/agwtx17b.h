// Binding of the application queues table TXAPPQ to the framework.
#ifndef AGWTX17B_H
#define AGWTX17B_H

#include "zta_binding.h"

class zta_txappq_base : public zta::table_base<zta_txappq_data_t> {
public:
    using table_base::table_base;
#include "zta_accessors.inc"
#include "tables/txappq.def"
};

ZTA_BINDING_MANAGER(txappq)

#endif  // AGWTX17B_H
