// Binding of the server groups table TXSVRGRP: statics and registration.
#include "zta06agt.h"

ZTA_BINDING_SOURCE(txsvrgrp, "TXSVRGRP", "13:48:26")
