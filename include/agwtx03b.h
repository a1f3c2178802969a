// Binding of the conversations table TXCONV to the framework.
#ifndef AGWTX03B_H
#define AGWTX03B_H

#include "zta_binding.h"

class zta_txconv_base : public zta::table_base<zta_txconv_data_t> {
public:
    using table_base::table_base;
#include "zta_accessors.inc"
#include "tables/txconv.def"
};

ZTA_BINDING_MANAGER(txconv)

#endif  // AGWTX03B_H
