// Sampler of the queue spaces table TXQSPCS (MIB class T_APPQSPACE): one row per queue space
// of the configured queue spaces, one MIB call per queue space.
#ifndef ZTA19AGT_H
#define ZTA19AGT_H

#include "agwtx19b.h"
#include "zta_queue.h"

class zta_txqspcs_agent : public zta_queue_agent<zta_txqspcs_base> {
public:
    using zta_queue_agent::zta_queue_agent;

    // The common columns, then the eight percentages of the limits, from the
    // values just stored.
    void FillRow(void* reply, zta_txqspcs_data_t* row, long occurrence) override;
};

extern template class zta_queue_agent<zta_txqspcs_base>;

#endif  // ZTA19AGT_H
