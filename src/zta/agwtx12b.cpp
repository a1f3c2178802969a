// Binding of the servers table TXSERVER: statics and registration.
#include "zta12agt.h"

ZTA_BINDING_SOURCE(txserver, "TXSERVER", "13:48:32")
