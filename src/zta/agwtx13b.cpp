// Binding of the server statistics table TXSRVSTAT: statics and registration.
#include "zta13agt.h"

ZTA_BINDING_SOURCE(txsrvstat, "TXSRVSTAT", "13:48:33")
