// Binding of the queue spaces table TXQSPCS: statics and registration.
#include "zta19agt.h"

ZTA_BINDING_SOURCE(txqspcs, "TXQSPCS", "13:48:26")
