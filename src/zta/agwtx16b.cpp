// Binding of the user log table TXULOGS: statics and registration.
#include "zta16agt.h"

ZTA_BINDING_SOURCE(txulogs, "TXULOGS", "13:48:26")
