// The registry of everything /metrics serves (see metrics.h): the requests'
// published samples, the process's own series, the rows endpoint's table,
// the settings and readiness. Scrapes read it in scrape.cpp.
#include <malloc.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "exposition.h"
#include "metrics.h"

namespace agw {

namespace {

// A published sample this large, when replaced, has its freed memory given
// back to the system.
constexpr std::size_t kTrimAfterBytes = 1u << 20;

bool ValidLabels(const AgwLabels& labels) {
    return std::all_of(labels.begin(), labels.end(), [](const auto& label) { return ValidLabelName(label.first); });
}

}  // namespace

MetricsRegistry& MetricsRegistry::Instance() {
    // Made on first use and never destroyed, so that a scrape or an agent's
    // update during process exit still finds it.
    static auto* registry = new MetricsRegistry;
    return *registry;
}

void MetricsRegistry::Replace(std::uint32_t request, std::shared_ptr<const PublishedSample> sample) {
    std::size_t released = 0;
    {
        std::lock_guard<std::mutex> guard(publishMutex_);
        auto next = std::make_shared<Snapshot>(*published_.load());
        auto old = next->find(request);
        if (old != next->end()) released = old->second->rows.capacity() + old->second->labels.capacity() * 48;
        if (sample) {
            (*next)[request] = std::move(sample);
        } else {
            next->erase(request);
        }
        published_.store(std::move(next));
    }
    // The previous sample of a large table was just freed (unless a scrape
    // still reads it): give its pages back, so that holding one sample at a
    // time is what the process's size shows, not two.
    if (released > kTrimAfterBytes) malloc_trim(0);
}

void MetricsRegistry::Publish(std::uint32_t request, PublishedSample sample) {
    for (auto& family : sample.rendered) family.samples.shrink_to_fit();  // held until the next sample
    Replace(request, std::make_shared<const PublishedSample>(std::move(sample)));
}

void MetricsRegistry::Withdraw(std::uint32_t request) { Replace(request, nullptr); }

void MetricsRegistry::SetPrefix(std::string prefix) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        prefix_ = std::move(prefix);
    }
    std::lock_guard<std::mutex> own(ownMutex_);
    RenderOwn();
}

void MetricsRegistry::SetCommonLabels(const AgwLabels& every, const AgwLabels& own) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        common_ = every;
        commonOwn_ = own;
    }
    std::lock_guard<std::mutex> guard(ownMutex_);
    RenderOwn();
}

AgwLabels MetricsRegistry::CommonLabels() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return common_;
}

std::string MetricsRegistry::Prefix() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return prefix_;
}

void MetricsRegistry::Update(const std::string& name, const std::string& help, const AgwLabels& labels,
                             double value, bool counter) {
    if (!ValidMetricName(name) || !ValidLabels(labels)) return;
    AgwLabels sorted = labels;
    std::sort(sorted.begin(), sorted.end());
    std::lock_guard<std::mutex> guard(ownMutex_);
    auto [it, made] = own_.try_emplace(name);
    Own& own = it->second;
    if (made) {
        own.help = help;
        own.counter = counter;
    } else if (own.counter != counter) {
        return;
    }
    if (own.values.empty() && own.labels.empty()) {
        for (const auto& label : sorted) own.labels.push_back(label.first);
    }
    auto [entry, fresh] = own.values.try_emplace(sorted, 0.0);
    const double before = entry->second;
    if (counter) {
        entry->second += value;
    } else {
        entry->second = value;
    }
    if (fresh || entry->second != before) RenderOwn();
}

void MetricsRegistry::Declare(const std::string& name, const std::string& help, bool counter,
                              std::vector<std::string> labels) {
    if (!ValidMetricName(name)) return;
    std::lock_guard<std::mutex> guard(ownMutex_);
    auto [it, made] = own_.try_emplace(name);
    if (!made) return;
    it->second.help = help;
    it->second.counter = counter;
    std::sort(labels.begin(), labels.end());
    it->second.labels = std::move(labels);
}

void MetricsRegistry::Drop(const std::string& name, const AgwLabels& labels) {
    AgwLabels sorted = labels;
    std::sort(sorted.begin(), sorted.end());
    std::lock_guard<std::mutex> guard(ownMutex_);
    auto found = own_.find(name);
    if (found == own_.end() || found->second.values.erase(sorted) == 0) return;
    RenderOwn();  // a family left without series is not served
}

std::vector<AgwFamilyInfo> MetricsRegistry::OwnCatalogue() const {
    std::vector<AgwFamilyInfo> families;
    std::lock_guard<std::mutex> guard(ownMutex_);
    for (const auto& [name, own] : own_) {
        // A family declared before its first value is served once it has counted something.
        const AgwServed served = own.values.empty() ? AgwServed::onceCounted : AgwServed::byDefault;
        families.push_back({name, own.counter, own.help, own.labels, served, {}});
    }
    return families;
}

void MetricsRegistry::RenderOwn() {
    AgwLabels every;
    AgwLabels mine;
    std::string own;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        every = common_;
        mine = commonOwn_;
        own = prefix_ + "_";
    }
    Families families;
    for (const auto& [name, series] : own_) {
        RenderedFamily family{name, series.counter ? MetricType::counter : MetricType::gauge, series.help, {}};
        AgwLabels common = every;
        if (name.compare(0, own.size(), own) == 0) common.insert(common.end(), mine.begin(), mine.end());
        for (const auto& [labels, value] : series.values) {
            std::vector<Label> list;
            for (const auto& [k, v] : labels) list.push_back(Label{k, LabelValue(v)});
            AddSample(family, std::move(list), value, common);
        }
        families.push_back(std::move(family));
    }
    ownRendered_.store(std::make_shared<const Families>(std::move(families)));
}

void MetricsRegistry::SetGauge(const std::string& name, const std::string& help, const AgwLabels& labels,
                               double value) {
    Update(name, help, labels, value, false);
}

void MetricsRegistry::AddCounter(const std::string& name, const std::string& help, const AgwLabels& labels,
                                 double amount) {
    if (amount < 0) return;  // a counter never goes down
    Update(name, help, labels, amount, true);
}

std::size_t MetricsRegistry::HeldBytes() const {
    std::size_t bytes = 0;
    for (const auto& [request, sample] : *published_.load()) {
        bytes += sizeof *sample + sample->rows.capacity();
        for (const std::string& labels : sample->labels) bytes += sizeof labels + labels.capacity();
        for (const RenderedFamily& family : sample->rendered) {
            bytes += sizeof family + family.samples.capacity() + family.name.capacity() + family.help.capacity();
        }
    }
    return bytes;
}


std::string MetricsRegistry::NotReadyReason() const {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_) return "the agent is shutting down";
    if (!notReady_.empty()) return notReady_;
    std::size_t missing = 0;
    const std::shared_ptr<const Snapshot> published = published_.load();
    for (std::uint32_t request : expected_) missing += published->count(request) == 0;
    if (missing > 0) {
        return std::to_string(missing) + " of " + std::to_string(expected_.size()) +
               " report requests have no current complete sample";
    }
    return {};
}

void MetricsRegistry::ExpectRequests(std::set<std::uint32_t> expected) {
    std::lock_guard<std::mutex> guard(mutex_);
    expected_ = std::move(expected);
}

void MetricsRegistry::SetNotReady(const char* reason) {
    std::lock_guard<std::mutex> guard(mutex_);
    notReady_ = reason != nullptr ? reason : "";
}

void MetricsRegistry::SetShuttingDown(bool stopping) {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = stopping;
}

bool MetricsRegistry::ShuttingDown() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return stopping_;
}

void MetricsRegistry::SetScrapeLimit(unsigned limit) {
    std::lock_guard<std::mutex> guard(mutex_);
    scrapeLimit_ = limit > 0 ? limit : kDefaultScrapeLimit;
}

unsigned MetricsRegistry::ScrapeLimit() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return scrapeLimit_;
}

void MetricsRegistry::SetRowRequests(bool on, RowsTable requests) {
    std::lock_guard<std::mutex> guard(rowsMutex_);
    rows_.store(on ? std::make_shared<const RowsTable>(std::move(requests)) : nullptr);
}

void MetricsRegistry::PublishRows(std::size_t slot, std::uint32_t sample, std::shared_ptr<const std::string> lines) {
    std::lock_guard<std::mutex> guard(rowsMutex_);
    std::shared_ptr<const RowsTable> current = rows_.load();
    if (!current || slot >= current->size()) return;
    // The other requests' lines are shared, not copied.
    auto next = std::make_shared<RowsTable>(*current);
    (*next)[slot].sample = sample;
    (*next)[slot].lines = std::move(lines);
    rows_.store(std::move(next));
}

std::shared_ptr<const MetricsRegistry::RowsTable> MetricsRegistry::Rows() const { return rows_.load(); }

void MetricsRegistry::Clear() {
    SetRowRequests(false, {});
    {
        std::lock_guard<std::mutex> own(ownMutex_);
        own_.clear();
        ownRendered_.store(std::make_shared<const Families>());
    }
    std::lock_guard<std::mutex> guard(mutex_);
    expected_.clear();
    notReady_.clear();
    stopping_ = false;
    scrapeLimit_ = kDefaultScrapeLimit;
    common_.clear();
    commonOwn_.clear();
    prefix_ = "agw";
    std::lock_guard<std::mutex> publish(publishMutex_);
    published_.store(std::make_shared<const Snapshot>());
}

}  // namespace agw
