// Sampler of the application queues table TXAPPQ: the /Q loop with the table's
// description (zta_queue.h); no column of its own.
#include "zta17agt.h"

template class zta_queue_agent<zta_txappq_base, true>;
