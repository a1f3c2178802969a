// Binding of the machine configuration table TXMCONF: statics and registration.
#include "zta07agt.h"

ZTA_BINDING_SOURCE(txmconf, "TXMCONF", "13:48:29")
