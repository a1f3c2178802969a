// Binding of the queue messages table TXQMSG: statics and registration.
#include "zta18agt.h"

ZTA_BINDING_SOURCE(txqmsg, "TXQMSG", "13:48:26")
