// Binding of the server statistics table TXSRVSTAT to the framework.
#ifndef AGWTX13B_H
#define AGWTX13B_H

#include "zta_binding.h"

class zta_txsrvstat_base : public zta::table_base<zta_txsrvstat_data_t> {
public:
    using table_base::table_base;
#include "zta_accessors.inc"
#include "tables/txsrvstat.def"
};

ZTA_BINDING_MANAGER(txsrvstat)

#endif  // AGWTX13B_H
