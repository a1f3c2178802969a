// Binding of the servers table TXSERVER to the framework.
#ifndef AGWTX12B_H
#define AGWTX12B_H

#include "zta_binding.h"

class zta_txserver_base : public zta::table_base<zta_txserver_data_t> {
public:
    using table_base::table_base;
#include "zta_accessors.inc"
#include "tables/txserver.def"
};

ZTA_BINDING_MANAGER(txserver)

#endif  // AGWTX12B_H
