// Sampler of the queue spaces table TXQSPCS: the /Q loop with the table's
// description (zta_queue.h), and the use of each limit in hundredths of a
// percent.
#include "zta19agt.h"

template class zta_queue_agent<zta_txqspcs_base>;

void zta_txqspcs_agent::FillRow(void* reply, zta_txqspcs_data_t* row, long occurrence) {
    zta_queue_agent::FillRow(reply, row, occurrence);
    // From the values just stored: an absent limit was stored as 0 and gives
    // 0, never another queue space's limit. PCTINIT is the MIB's own value.
    row->pctcurmsg = zta_percent_hundredths(row->curmsg, row->maxmsg);
    row->pctcurproc = zta_percent_hundredths(row->curproc, row->maxproc);
    row->pctcurq = zta_percent_hundredths(row->curqueues, row->maxqueues);
    row->pctcurtran = zta_percent_hundredths(row->curtrans, row->maxtrans);
    row->pcthwmsg = zta_percent_hundredths(row->hwmsg, row->maxmsg);
    row->pcthwproc = zta_percent_hundredths(row->hwproc, row->maxproc);
    row->pcthwq = zta_percent_hundredths(row->hwqueues, row->maxqueues);
    row->pcthwtrans = zta_percent_hundredths(row->hwtrans, row->maxtrans);
}
