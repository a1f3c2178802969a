// The metrics endpoint as an agent sees it (agw_metrics.h): its calls go to
// the process's registry (registry.cpp).
#include "agw_metrics.h"

#include "agw_types.h"
#include "exposition.h"
#include "metrics.h"

int AGW_SetMetricsPrefix(const char* prefix) {
    if (prefix == nullptr || !agw::ValidMetricName(prefix)) return AGW_STATUS_BAD_ARGUMENT;
    agw::MetricsRegistry::Instance().SetPrefix(prefix);
    return AGW_STATUS_OK;
}

void AGW_GaugeSet(const char* name, const char* help, const AgwLabels& labels, double value) {
    if (name == nullptr) return;
    agw::MetricsRegistry::Instance().SetGauge(name, help != nullptr ? help : "", labels, value);
}

void AGW_CounterAdd(const char* name, const char* help, const AgwLabels& labels, double amount) {
    if (name == nullptr) return;
    agw::MetricsRegistry::Instance().AddCounter(name, help != nullptr ? help : "", labels, amount);
}

void AGW_SetCommonLabels(const AgwLabels& every, const AgwLabels& own) {
    agw::MetricsRegistry::Instance().SetCommonLabels(every, own);
}

void AGW_SetNotReady(const char* reason) { agw::MetricsRegistry::Instance().SetNotReady(reason); }
