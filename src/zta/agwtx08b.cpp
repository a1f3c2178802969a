// Binding of the machine statistics table TXMSTATS: statics and registration.
#include "zta08agt.h"

ZTA_BINDING_SOURCE(txmstats, "TXMSTATS", "13:48:30")
