// Everything an agent needs from the framework.
#ifndef AGW_H
#define AGW_H

#include "agw_types.h"
#include "agw_trace.h"
#include "agw_signal.h"
#include "agw_tbx.h"
#include "agw_table.h"
#include "agw_clock.h"
#include "agw_metrics.h"

#endif
