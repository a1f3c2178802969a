// Binding of the service groups table TXSVCGRP: statics and registration.
#include "zta14agt.h"

ZTA_BINDING_SOURCE(txsvcgrp, "TXSVCGRP", "13:48:26")
