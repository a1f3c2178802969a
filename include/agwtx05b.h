// Binding of the bulletin board configuration table TXBBLCFG to the framework.
#ifndef AGWTX05B_H
#define AGWTX05B_H

#include "zta_binding.h"

class zta_txbblcfg_base : public zta::table_base<zta_txbblcfg_data_t> {
public:
    using table_base::table_base;
#include "zta_accessors.inc"
#include "tables/txbblcfg.def"
};

ZTA_BINDING_MANAGER(txbblcfg)

#endif  // AGWTX05B_H
