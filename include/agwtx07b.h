// Binding of the machine configuration table TXMCONF to the framework.
#ifndef AGWTX07B_H
#define AGWTX07B_H

#include "zta_binding.h"

class zta_txmconf_base : public zta::table_base<zta_txmconf_data_t> {
public:
    using table_base::table_base;
#include "zta_accessors.inc"
#include "tables/txmconf.def"
};

ZTA_BINDING_MANAGER(txmconf)

#endif  // AGWTX07B_H
