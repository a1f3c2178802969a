// Binding of the queue load table TXQLOAD to the framework.
#ifndef AGWTX11B_H
#define AGWTX11B_H

#include "zta_binding.h"

class zta_txqload_base : public zta::table_base<zta_txqload_data_t> {
public:
    using table_base::table_base;
#include "zta_accessors.inc"
#include "tables/txqload.def"
};

ZTA_BINDING_MANAGER(txqload)

#endif  // AGWTX11B_H
