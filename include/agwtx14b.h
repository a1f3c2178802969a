// Binding of the service groups table TXSVCGRP to the framework.
#ifndef AGWTX14B_H
#define AGWTX14B_H

#include "zta_binding.h"

class zta_txsvcgrp_base : public zta::table_base<zta_txsvcgrp_data_t> {
public:
    using table_base::table_base;
#include "zta_accessors.inc"
#include "tables/txsvcgrp.def"
};

ZTA_BINDING_MANAGER(txsvcgrp)

#endif  // AGWTX14B_H
