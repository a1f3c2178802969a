// Binding of the client statistics table TXCSTATS to the framework.
#ifndef AGWTX02B_H
#define AGWTX02B_H

#include "zta_binding.h"

class zta_txcstats_base : public zta::table_base<zta_txcstats_data_t> {
public:
    using table_base::table_base;
#include "zta_accessors.inc"
#include "tables/txcstats.def"
};

ZTA_BINDING_MANAGER(txcstats)

#endif  // AGWTX02B_H
