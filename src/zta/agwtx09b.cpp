// Binding of the system message queues table TXSYSMQ: statics and registration.
#include "zta09agt.h"

ZTA_BINDING_SOURCE(txsysmq, "TXSYSMQ", "13:48:26")
