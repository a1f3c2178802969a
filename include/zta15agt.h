// Sampler of the transactions table TXTRANSACT (MIB class T_TRANSACTION).
#ifndef ZTA15AGT_H
#define ZTA15AGT_H

#include "agwtx15b.h"
#include "zta_cycle.h"

class zta_txtransact_agent : public zta_txtransact_base {
public:
    zta_txtransact_agent(RequestDetail* request, ContextInfo* context, TableManager* manager);
    ~zta_txtransact_agent() override;

    void TakeSample() override;

private:
    void TakeSampleConstructor();
    void TakeSampleDestructor();

    zta_txtransact_data_t row_{};  // the working row, filled by the view

    static zta_node theirNode;  // this node's name, fetched once for the table
};


// transaction (object 0): the group lists of a reply's transactions lie end
// to end, and the transaction's TA_GRPINDEX says where its own start. A
// transaction without groups (TA_GRPCOUNT 0) gives 0 and an empty GSTATE.
// GSTATE holds at most width - 1 characters and its NUL, as the view would.
void zta_first_group(zta_txtransact_data_t& row, FBFR32* reply, FLDOCC32 occurrence = 0);

#endif  // ZTA15AGT_H
