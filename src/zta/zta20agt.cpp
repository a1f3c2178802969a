// Sampler of the queue transactions table TXQTRAN: the /Q loop with the table's
// description (zta_queue.h); no column of its own.
#include "zta20agt.h"

template class zta_queue_agent<zta_txqtran_base>;
