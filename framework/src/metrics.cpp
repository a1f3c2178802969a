// The metrics endpoint as an agent sees it (agw_metrics.h): its calls go to
// the process's registry (registry.cpp).
#include "agw_metrics.h"

#include <set>

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

void AGW_DeclareSeries(const char* name, const char* help, bool counter, const std::vector<std::string>& labels) {
    if (name == nullptr) return;
    agw::MetricsRegistry::Instance().Declare(name, help != nullptr ? help : "", counter, labels);
}

std::vector<AgwFamilyInfo> AGW_TableFamilies(tavro& object, bool perObject) {
    return agw::TableExport(object, "", perObject).Catalogue();
}

std::vector<AgwFamilyInfo> AGW_OwnFamilies() {
    agw::MetricsRegistry& registry = agw::MetricsRegistry::Instance();
    std::vector<AgwFamilyInfo> families;
    std::set<std::string> framework;
    for (const agw::FrameworkSeries* series : agw::kFrameworkSeries) {
        AgwFamilyInfo family{registry.Prefix() + series->suffix, series->counter, series->help, {}, series->served, {}};
        for (const char* label : series->labels) {
            if (label != nullptr) family.labels.push_back(label);
        }
        framework.insert(family.name);
        families.push_back(std::move(family));
    }
    for (AgwFamilyInfo& own : registry.OwnCatalogue()) {
        if (framework.count(own.name) == 0) families.push_back(std::move(own));
    }
    for (const agw::RenderedFamily& process : agw::ProcessFamilies()) {
        families.push_back({process.name, process.type == agw::MetricType::counter, process.help, {},
                            AgwServed::byDefault, {}});
    }
    return families;
}

void AGW_SetCommonLabels(const AgwLabels& every, const AgwLabels& own) {
    agw::MetricsRegistry::Instance().SetCommonLabels(every, own);
}

void AGW_SetNotReady(const char* reason) { agw::MetricsRegistry::Instance().SetNotReady(reason); }
