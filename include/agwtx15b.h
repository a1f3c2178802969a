// Binding of the transactions table TXTRANSACT to the framework.
#ifndef AGWTX15B_H
#define AGWTX15B_H

#include "zta_binding.h"

class zta_txtransact_base : public zta::table_base<zta_txtransact_data_t> {
public:
    using table_base::table_base;
#include "zta_accessors.inc"
#include "tables/txtransact.def"
};

ZTA_BINDING_MANAGER(txtransact)

#endif  // AGWTX15B_H
