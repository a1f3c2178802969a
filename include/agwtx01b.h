// Binding of the clients table TXCLIENTS to the framework.
#ifndef AGWTX01B_H
#define AGWTX01B_H

#include "zta_binding.h"

class zta_txclients_base : public zta::table_base<zta_txclients_data_t> {
public:
    using table_base::table_base;
#include "zta_accessors.inc"
#include "tables/txclients.def"
};

ZTA_BINDING_MANAGER(txclients)

#endif  // AGWTX01B_H
