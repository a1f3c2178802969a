// Binding of the clients table TXCLIENTS: statics and registration.
#include "zta01agt.h"

ZTA_BINDING_SOURCE(txclients, "TXCLIENTS", "13:48:26")
