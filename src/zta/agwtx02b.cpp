// Binding of the client statistics table TXCSTATS: statics and registration.
#include "zta02agt.h"

ZTA_BINDING_SOURCE(txcstats, "TXCSTATS", "13:48:27")
