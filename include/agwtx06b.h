// Binding of the server groups table TXSVRGRP to the framework.
#ifndef AGWTX06B_H
#define AGWTX06B_H

#include "zta_binding.h"

class zta_txsvrgrp_base : public zta::table_base<zta_txsvrgrp_data_t> {
public:
    using table_base::table_base;
#include "zta_accessors.inc"
#include "tables/txsvrgrp.def"
};

ZTA_BINDING_MANAGER(txsvrgrp)

#endif  // AGWTX06B_H
