// Binding of the server queues table TXSVRQ: statics and registration.
#include "zta10agt.h"

ZTA_BINDING_SOURCE(txsvrq, "TXSVRQ", "13:48:26")
