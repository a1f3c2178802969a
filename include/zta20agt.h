// Sampler of the queue transactions table TXQTRAN (MIB class T_APPQTRANS): one row per transaction in progress
// of the configured queue spaces, one MIB call per queue space.
#ifndef ZTA20AGT_H
#define ZTA20AGT_H

#include "agwtx20b.h"
#include "zta_queue.h"

class zta_txqtran_agent : public zta_queue_agent<zta_txqtran_base> {
public:
    using zta_queue_agent::zta_queue_agent;
};

extern template class zta_queue_agent<zta_txqtran_base>;

#endif  // ZTA20AGT_H
