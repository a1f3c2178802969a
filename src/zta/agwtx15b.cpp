// Binding of the transactions table TXTRANSACT: statics and registration.
#include "zta15agt.h"

ZTA_BINDING_SOURCE(txtransact, "TXTRANSACT", "13:48:34")
