// Binding of the machine statistics table TXMSTATS to the framework.
#ifndef AGWTX08B_H
#define AGWTX08B_H

#include "zta_binding.h"

class zta_txmstats_base : public zta::table_base<zta_txmstats_data_t> {
public:
    using table_base::table_base;
#include "zta_accessors.inc"
#include "tables/txmstats.def"
};

ZTA_BINDING_MANAGER(txmstats)

#endif  // AGWTX08B_H
