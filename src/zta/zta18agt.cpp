// Sampler of the queue messages table TXQMSG: the /Q loop with the table's
// description (zta_queue.h); no column of its own.
#include "zta18agt.h"

template class zta_queue_agent<zta_txqmsg_base>;
