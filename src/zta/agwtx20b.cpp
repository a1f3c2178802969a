// Binding of the queue transactions table TXQTRAN: statics and registration.
#include "zta20agt.h"

ZTA_BINDING_SOURCE(txqtran, "TXQTRAN", "13:48:26")
