// Binding of the queue messages table TXQMSG to the framework.
#ifndef AGWTX18B_H
#define AGWTX18B_H

#include "zta_binding.h"

class zta_txqmsg_base : public zta::table_base<zta_txqmsg_data_t> {
public:
    using table_base::table_base;
#include "zta_accessors.inc"
#include "tables/txqmsg.def"
};

ZTA_BINDING_MANAGER(txqmsg)

#endif  // AGWTX18B_H
