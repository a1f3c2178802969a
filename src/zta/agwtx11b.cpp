// Binding of the queue load table TXQLOAD: statics and registration.
#include "zta11agt.h"

ZTA_BINDING_SOURCE(txqload, "TXQLOAD", "13:48:26")
