// Sampler of the application queues table TXAPPQ (MIB class T_APPQ): one row per application queue
// of the configured queue spaces, one MIB call per queue space. Each reply is also written to standard output
// with Fprint32.
#ifndef ZTA17AGT_H
#define ZTA17AGT_H

#include "agwtx17b.h"
#include "zta_queue.h"

class zta_txappq_agent : public zta_queue_agent<zta_txappq_base, true> {
public:
    using zta_queue_agent::zta_queue_agent;
};

extern template class zta_queue_agent<zta_txappq_base, true>;

#endif  // ZTA17AGT_H
