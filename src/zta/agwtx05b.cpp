// Binding of the bulletin board configuration table TXBBLCFG: statics and registration.
#include "zta05agt.h"

ZTA_BINDING_SOURCE(txbblcfg, "TXBBLCFG", "13:48:28")
