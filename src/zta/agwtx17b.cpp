// Binding of the application queues table TXAPPQ: statics and registration.
#include "zta17agt.h"

ZTA_BINDING_SOURCE(txappq, "TXAPPQ", "13:48:26")
