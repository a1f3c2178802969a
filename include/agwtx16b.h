// Binding of the user log table TXULOGS to the framework.
#ifndef AGWTX16B_H
#define AGWTX16B_H

#include "zta_binding.h"

class zta_txulogs_base : public zta::table_base<zta_txulogs_data_t> {
public:
    using table_base::table_base;
#include "zta_accessors.inc"
#include "tables/txulogs.def"
};

ZTA_BINDING_MANAGER(txulogs)

#endif  // AGWTX16B_H
