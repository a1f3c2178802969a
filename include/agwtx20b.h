// Binding of the queue transactions table TXQTRAN to the framework.
#ifndef AGWTX20B_H
#define AGWTX20B_H

#include "zta_binding.h"

class zta_txqtran_base : public zta::table_base<zta_txqtran_data_t> {
public:
    using table_base::table_base;
#include "zta_accessors.inc"
#include "tables/txqtran.def"
};

ZTA_BINDING_MANAGER(txqtran)

#endif  // AGWTX20B_H
