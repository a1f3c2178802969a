// Binding of the conversations table TXCONV: statics and registration.
#include "zta03agt.h"

ZTA_BINDING_SOURCE(txconv, "TXCONV", "13:48:27")
