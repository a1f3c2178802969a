// Sampler of the bulletin board configuration table TXBBLCFG (MIB class
// T_DOMAIN).
#ifndef ZTA05AGT_H
#define ZTA05AGT_H

#include "agwtx05b.h"
#include "zta_cycle.h"

class zta_txbblcfg_agent : public zta_txbblcfg_base {
public:
    zta_txbblcfg_agent(RequestDetail* request, ContextInfo* context, TableManager* manager);
    ~zta_txbblcfg_agent() override;

    void TakeSample() override;
    // Computes the ten percentages of the working row in place, in
    // hundredths of a percent of each bulletin-board table's maximum (0 where
    // the maximum is 0).
    void GetOtherStats();

private:
    void TakeSampleConstructor();
    void TakeSampleDestructor();

    zta_txbblcfg_data_t row_{};  // the working row, filled by the view

    static zta_node theirNode;  // this node's name, fetched once for the table
};

#endif  // ZTA05AGT_H
