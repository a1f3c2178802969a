// Binding of the domain configuration table TXDOMCFG to the framework.
#ifndef AGWTX04B_H
#define AGWTX04B_H

#include "zta_binding.h"

class zta_txdomcfg_base : public zta::table_base<zta_txdomcfg_data_t> {
public:
    using table_base::table_base;
#include "zta_accessors.inc"
#include "tables/txdomcfg.def"
};

ZTA_BINDING_MANAGER(txdomcfg)

#endif  // AGWTX04B_H
