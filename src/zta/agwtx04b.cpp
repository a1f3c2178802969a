// Binding of the domain configuration table TXDOMCFG: statics and registration.
#include "zta04agt.h"

ZTA_BINDING_SOURCE(txdomcfg, "TXDOMCFG", "13:48:28")
