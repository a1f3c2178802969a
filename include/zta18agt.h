// Sampler of the queue messages table TXQMSG (MIB class T_APPQMSG): one row per message held in the queues
// of the configured queue spaces, one MIB call per queue space.
#ifndef ZTA18AGT_H
#define ZTA18AGT_H

#include "agwtx18b.h"
#include "zta_queue.h"

class zta_txqmsg_agent : public zta_queue_agent<zta_txqmsg_base> {
public:
    using zta_queue_agent::zta_queue_agent;
};

extern template class zta_queue_agent<zta_txqmsg_base>;

#endif  // ZTA18AGT_H
