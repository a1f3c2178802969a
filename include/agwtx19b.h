// Binding of the queue spaces table TXQSPCS to the framework.
#ifndef AGWTX19B_H
#define AGWTX19B_H

#include "zta_binding.h"

class zta_txqspcs_base : public zta::table_base<zta_txqspcs_data_t> {
public:
    using table_base::table_base;
#include "zta_accessors.inc"
#include "tables/txqspcs.def"
};

ZTA_BINDING_MANAGER(txqspcs)

#endif  // AGWTX19B_H
