// The metrics endpoint (see metrics.h).
#include "metrics.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <prometheus/check_names.h>
#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <set>

#include "agw_internal.h"
#include "agw_table.h"
#include "agw_trace.h"
#include "json.h"

namespace agw {

namespace {

TRC1_Block gExportTrace = {"AGW100", "metrics", "TableExport", {}};

using Label = prometheus::ClientMetric::Label;

bool AllDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Two decimal digits at text[at].
int Two(std::string_view text, std::size_t at) { return (text[at] - '0') * 10 + (text[at + 1] - '0'); }

std::int32_t IntegerAt(const char* row, std::size_t offset) {
    std::int32_t value;
    std::memcpy(&value, row + offset, sizeof value);
    return value;
}

// A column's value as label text: integers in decimal, text as the framework
// reads fields (up to the first NUL or the width, trailing blanks dropped).
std::string ValueText(const char* row, std::size_t offset, std::size_t size, unsigned type) {
    if (type == AGW_COLTYPE_INTEGER) return std::to_string(IntegerAt(row, offset));
    return LabelValue(FieldText(row + offset, static_cast<int>(size)));
}

// The family of that name in families (made with type and help when new).
prometheus::MetricFamily& FamilyOf(Families& families, std::map<std::string, std::size_t>& index,
                                   const std::string& name, prometheus::MetricType type, const std::string& help) {
    auto found = index.find(name);
    if (found != index.end()) return families[found->second];
    index.emplace(name, families.size());
    families.push_back(prometheus::MetricFamily{name, help, type, {}});
    return families.back();
}

void AddSample(prometheus::MetricFamily& family, std::vector<Label> labels, double value) {
    prometheus::ClientMetric metric;
    metric.label = std::move(labels);
    if (family.type == prometheus::MetricType::Counter) {
        metric.counter.value = value;
    } else {
        metric.gauge.value = value;
    }
    family.metric.push_back(std::move(metric));
}

bool ValidLabels(const AgwLabels& labels) {
    return std::all_of(labels.begin(), labels.end(),
                       [](const auto& label) { return prometheus::CheckLabelName(label.first); });
}

}  // namespace



bool WbTimeToUnix(std::string_view text, double* seconds) {
    if (text.size() < 16 || !AllDigits(text.substr(0, 16))) return false;
    int century = text[0] - '0';
    if (century > 1) return false;
    std::tm tm{};
    tm.tm_year = century * 100 + Two(text, 1);
    tm.tm_mon = Two(text, 3) - 1;
    tm.tm_mday = Two(text, 5);
    tm.tm_hour = Two(text, 7);
    tm.tm_min = Two(text, 9);
    tm.tm_sec = Two(text, 11);
    int ms = (text[13] - '0') * 100 + Two(text, 14);
    if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
        tm.tm_min > 59 || tm.tm_sec > 60) {
        return false;
    }
    tm.tm_isdst = -1;
    std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return false;
    *seconds = static_cast<double>(t) + ms / 1000.0;
    return true;
}

std::string LabelValue(std::string_view bytes) { return ValidUtf8(bytes); }

TableExport::TableExport(tavro& object, std::string requestLabel, bool perObject)
    : table_(object.TableName()), requestLabel_(std::move(requestLabel)) {
    AgwTableMetrics info;
    if (object.GetTableMetrics(&info) != AGW_STATUS_OK || info.prefix == nullptr || *info.prefix == '\0') return;
    if (info.mode == AgwTableMode::none) return;
    prefix_ = info.prefix;
    mode_ = perObject ? AgwTableMode::rows : info.mode;
    if (!prometheus::CheckMetricName(prefix_)) {
        AGW_TRACE(gExportTrace, AGW_TRC_ERROR, "%s: series prefix \"%s\" is not a valid name; not exported",
                  table_.c_str(), prefix_.c_str());
        return;
    }
    auto given = [](const char* text) { return text != nullptr && *text != '\0'; };
    // Labels taken so far: the keys, and the state labels of each series.
    std::set<std::string> keyLabels;
    std::map<std::string, std::vector<std::string>> stateLabels;
    int n = object.NumColumns();
    for (int i = 0; i < n; ++i) {
        ColumnInfo ci{};
        AgwColumnMetric m;
        if (object.GetColumnInfo(&ci, i) != AGW_STATUS_OK || ci.name == nullptr) continue;
        if (object.GetColumnMetric(&m, i) != AGW_STATUS_OK || m.role == AgwMetricRole::none) continue;
        std::string quantity = given(m.name) ? m.name : ci.name;
        Column c{ci.name, ci.offset, ci.size, ci.type, m.role, quantity, given(m.help) ? m.help : "",
                 m.scale, "", quantity};
        std::string upper = table_ + "." + c.column;
        std::transform(upper.begin(), upper.end(), upper.begin(), [](char ch) {
            return ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 'a' + 'A') : ch;
        });
        bool valid = true;
        switch (c.role) {
            case AgwMetricRole::key:
                c.label = given(m.label) ? m.label : c.name;
                valid = prometheus::CheckLabelName(c.label) && keyLabels.insert(c.label).second;
                break;
            case AgwMetricRole::counter:
                c.name = prefix_ + "_" + c.name + "_total";
                if (c.help.empty()) c.help = "Column " + upper + ", a counter.";
                break;
            case AgwMetricRole::gauge:
                c.name = prefix_ + "_" + c.name;
                if (c.help.empty()) c.help = "Column " + upper + (c.scale != 1.0 ? ", scaled to base units." : ".");
                break;
            case AgwMetricRole::state: {
                c.name = prefix_ + "_" + c.name;
                c.label = given(m.label) ? m.label : c.column;
                const auto& taken = stateLabels[c.name];
                valid = prometheus::CheckLabelName(c.label) && keyLabels.count(c.label) == 0 &&
                        std::find(taken.begin(), taken.end(), c.label) == taken.end();
                break;
            }
            case AgwMetricRole::time:
                c.name = prefix_ + "_" + c.name + "_timestamp_seconds";
                if (c.help.empty()) c.help = "Column " + upper + " as Unix seconds.";
                valid = c.type == AGW_COLTYPE_TEXT;
                break;
            case AgwMetricRole::none:
                break;
        }
        if (c.role != AgwMetricRole::key) valid = valid && prometheus::CheckMetricName(c.name);
        if (!valid) {
            AGW_TRACE(gExportTrace, AGW_TRC_ERROR,
                      "%s: column %s: metric \"%s\" (label \"%s\") is not valid or its label is taken; not exported",
                      table_.c_str(), c.column.c_str(), c.name.c_str(), c.label.c_str());
            continue;
        }
        if (c.role == AgwMetricRole::state) stateLabels[c.name].push_back(c.label);
        columns_.push_back(std::move(c));
    }
    // A state family's HELP: what its rows are and every label it carries,
    // "Server: value 1, labelled with state." Made here once per series.
    std::string subject = given(info.subject) ? info.subject : prefix_;
    std::replace(subject.begin(), subject.end(), '_', ' ');
    if (subject[0] >= 'a' && subject[0] <= 'z') subject[0] = static_cast<char>(subject[0] - 'a' + 'A');
    std::map<std::string, std::string> stateHelp;
    for (const auto& [series, labels] : stateLabels) {
        std::string help = subject + ": value 1, labelled with ";
        for (std::size_t k = 0; k < labels.size(); ++k) {
            if (k > 0) help += k + 1 == labels.size() ? " and " : ", ";
            help += labels[k];
        }
        stateHelp[series] = help + ".";
    }
    for (Column& c : columns_) {
        if (c.role == AgwMetricRole::state) c.help = stateHelp[c.name];
    }
    exported_ = true;
}

namespace {

// The labels of a row by which an aggregated table counts: its machine, its
// state and, for records, their severity.
bool AggregatedBy(const std::string& label) { return label == "lmid" || label == "state" || label == "severity"; }

bool EndsWith(const std::string& text, std::string_view end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

// Whether the objects' values of a column add up to something: counters and
// the gauges that count things. A ratio, a level or a time of one object
// summed over many means nothing.
bool TableExport::Summed(const Column& c) {
    if (c.type != AGW_COLTYPE_INTEGER) return false;
    if (c.role == AgwMetricRole::counter) return true;
    return c.role == AgwMetricRole::gauge && c.scale == 1.0 && !EndsWith(c.quantity, "_seconds") &&
           !EndsWith(c.quantity, "_ratio") && !EndsWith(c.quantity, "_level");
}

namespace {

// Appends `extra` to `labels`, each name at most once (the row's own wins).
void AddLabels(std::vector<Label>& labels, const AgwLabels& extra) {
    for (const auto& label : extra) {
        const std::string& name = label.first;
        bool present = std::any_of(labels.begin(), labels.end(), [&](const Label& l) { return l.name == name; });
        if (!present && !label.second.empty() && prometheus::CheckLabelName(name)) {
            labels.push_back(Label{name, LabelValue(label.second)});
        }
    }
}

}  // namespace

Families TableExport::Build(const tavro& object, const char* rows, std::uint32_t count,
                            std::size_t rowSize) const {
    Families families;
    if (!exported_) return families;
    if (mode_ == AgwTableMode::aggregate) return BuildAggregate(object, rows, count, rowSize);
    std::map<std::string, std::size_t> index;
    // Objects already served: a row whose keys repeat an earlier row's would
    // give a second, contradicting series; the first row wins.
    std::set<std::vector<Label>> served;

    for (std::uint32_t r = 0; r < count; ++r) {
        const char* row = rows + static_cast<std::size_t>(r) * rowSize;
        AgwLabels extra;
        if (!object.MetricsRowScope(row, &extra)) continue;
        std::vector<Label> keys;
        if (!requestLabel_.empty()) keys.push_back(Label{"request", LabelValue(requestLabel_)});
        for (const Column& c : columns_) {
            if (c.role != AgwMetricRole::key || c.offset + c.size > rowSize) continue;
            keys.push_back(Label{c.label, ValueText(row, c.offset, c.size, c.type)});
        }
        AddLabels(keys, extra);
        std::vector<Label> sorted = keys;
        std::sort(sorted.begin(), sorted.end());
        if (!served.insert(std::move(sorted)).second) continue;
        // State series of this row, by series name.
        std::map<std::string, std::vector<Label>> states;
        for (const Column& c : columns_) {
            if (c.offset + c.size > rowSize) continue;
            switch (c.role) {
                case AgwMetricRole::counter:
                case AgwMetricRole::gauge: {
                    if (c.type != AGW_COLTYPE_INTEGER) break;
                    std::int32_t raw = IntegerAt(row, c.offset);
                    // A counter that passed 2^31 wrapped to negative in its
                    // 32-bit column: read it unsigned, so it keeps growing.
                    double value = c.role == AgwMetricRole::counter ? static_cast<double>(static_cast<std::uint32_t>(raw))
                                                                     : static_cast<double>(raw);
                    auto type = c.role == AgwMetricRole::counter ? prometheus::MetricType::Counter
                                                                 : prometheus::MetricType::Gauge;
                    AddSample(FamilyOf(families, index, c.name, type, c.help), keys, value * c.scale);
                    break;
                }
                case AgwMetricRole::time: {
                    double seconds = 0;
                    if (WbTimeToUnix(FieldText(row + c.offset, static_cast<int>(c.size)), &seconds)) {
                        AddSample(FamilyOf(families, index, c.name, prometheus::MetricType::Gauge, c.help), keys,
                                  seconds);
                    }
                    break;
                }
                case AgwMetricRole::state: {
                    std::string value = ValueText(row, c.offset, c.size, c.type);
                    auto& labels = states[c.name];
                    if (!value.empty()) labels.push_back(Label{c.label, value});
                    FamilyOf(families, index, c.name, prometheus::MetricType::Gauge, c.help);
                    break;
                }
                default:
                    break;
            }
        }
        for (auto& [name, labels] : states) {
            if (labels.empty()) continue;  // nothing to say: every state blank
            std::vector<Label> all = keys;
            all.insert(all.end(), labels.begin(), labels.end());
            AddSample(families[index.at(name)], std::move(all), 1.0);
        }
    }
    return families;
}

Families TableExport::BuildAggregate(const tavro& object, const char* rows, std::uint32_t count,
                                     std::size_t rowSize) const {
    // Objects that come and go with traffic (clients, messages, records)
    // would make a series each and churn with every login: they are counted
    // instead, and what they count summed, by machine and state.
    bool dimensions = std::any_of(columns_.begin(), columns_.end(), [](const Column& c) {
        return (c.role == AgwMetricRole::key || c.role == AgwMetricRole::state) && AggregatedBy(c.label);
    });
    std::map<std::vector<Label>, double> counted;
    std::map<std::pair<std::size_t, std::vector<Label>>, double> sums;  // column index, labels
    for (std::uint32_t r = 0; r < count; ++r) {
        const char* row = rows + static_cast<std::size_t>(r) * rowSize;
        AgwLabels extra;
        if (!object.MetricsRowScope(row, &extra)) continue;
        std::vector<Label> by;
        if (!requestLabel_.empty()) by.push_back(Label{"request", LabelValue(requestLabel_)});
        for (const Column& c : columns_) {
            if (c.offset + c.size > rowSize) continue;
            if ((c.role == AgwMetricRole::key || c.role == AgwMetricRole::state) && AggregatedBy(c.label)) {
                std::string value = ValueText(row, c.offset, c.size, c.type);
                if (!value.empty()) by.push_back(Label{c.label, value});
            }
        }
        AgwLabels machine;
        for (const auto& label : extra) {
            if (AggregatedBy(label.first)) machine.push_back(label);
        }
        AddLabels(by, machine);
        std::sort(by.begin(), by.end());
        counted[by] += 1;
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            const Column& c = columns_[i];
            if (!Summed(c) || c.offset + c.size > rowSize) continue;
            std::int32_t raw = IntegerAt(row, c.offset);
            double value = c.role == AgwMetricRole::counter ? static_cast<double>(static_cast<std::uint32_t>(raw))
                                                             : static_cast<double>(raw);
            sums[{i, by}] += value * c.scale;
        }
    }
    Families families;
    std::map<std::string, std::size_t> index;
    if (dimensions) {
        auto& family = FamilyOf(families, index, prefix_ + "s", prometheus::MetricType::Gauge,
                                "Objects of " + table_ + " in the latest sample, by machine and state.");
        for (const auto& [labels, n] : counted) AddSample(family, labels, n);
    }
    for (const auto& [key, value] : sums) {
        const Column& c = columns_[key.first];
        std::string help = "Sum over the objects of " + table_ + ": " + c.help;
        AddSample(FamilyOf(families, index, prefix_ + "s_" + c.quantity, prometheus::MetricType::Gauge, help),
                  key.second, value);
    }
    return families;
}

MetricsRegistry& MetricsRegistry::Instance() {
    // Made on first use and never destroyed, so that a scrape or an agent's
    // update during process exit still finds it.
    static auto* registry = new MetricsRegistry;
    return *registry;
}

void MetricsRegistry::Publish(std::uint32_t request, Families families) {
    std::lock_guard<std::mutex> guard(mutex_);
    requests_[request] = std::move(families);
}

void MetricsRegistry::Withdraw(std::uint32_t request) {
    std::lock_guard<std::mutex> guard(mutex_);
    requests_.erase(request);
}

void MetricsRegistry::SetPrefix(std::string prefix) {
    std::lock_guard<std::mutex> guard(mutex_);
    prefix_ = std::move(prefix);
}

void MetricsRegistry::SetCommonLabels(const AgwLabels& every, const AgwLabels& own) {
    std::lock_guard<std::mutex> guard(mutex_);
    common_ = every;
    commonOwn_ = own;
}

std::string MetricsRegistry::Prefix() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return prefix_;
}

void MetricsRegistry::Update(const std::string& name, const std::string& help, const AgwLabels& labels,
                             double value, bool counter) {
    if (!prometheus::CheckMetricName(name) || !ValidLabels(labels)) return;
    AgwLabels sorted = labels;
    std::sort(sorted.begin(), sorted.end());
    std::lock_guard<std::mutex> guard(mutex_);
    auto [it, made] = own_.try_emplace(name);
    Own& own = it->second;
    if (made) {
        own.help = help;
        own.counter = counter;
    } else if (own.counter != counter) {
        return;
    }
    if (counter) {
        own.values[sorted] += value;
    } else {
        own.values[sorted] = value;
    }
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

Families MetricsRegistry::Collect() const {
    Families out;
    std::map<std::string, std::size_t> index;
    std::map<std::string, std::set<std::vector<Label>>> seen;
    auto merge = [&](const prometheus::MetricFamily& family) {
        auto& into = FamilyOf(out, index, family.name, family.type, family.help);
        if (into.type != family.type) return;  // the first kind of a name wins
        auto& labelSets = seen[family.name];
        for (const prometheus::ClientMetric& metric : family.metric) {
            std::vector<Label> key = metric.label;
            std::sort(key.begin(), key.end());
            if (labelSets.insert(std::move(key)).second) into.metric.push_back(metric);
        }
    };
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& [request, families] : requests_) {
        for (const auto& family : families) merge(family);
    }
    for (const auto& [name, own] : own_) {
        prometheus::MetricFamily family{name, own.help,
                                        own.counter ? prometheus::MetricType::Counter : prometheus::MetricType::Gauge,
                                        {}};
        for (const auto& [labels, value] : own.values) {
            std::vector<Label> list;
            for (const auto& [k, v] : labels) list.push_back(Label{k, LabelValue(v)});
            AddSample(family, std::move(list), value);
        }
        merge(family);
    }
    // A family whose rows are all gone says nothing; leave it out.
    out.erase(std::remove_if(out.begin(), out.end(), [](const auto& f) { return f.metric.empty(); }), out.end());
    if (!common_.empty() || !commonOwn_.empty()) {
        const std::string own = prefix_ + "_";
        for (auto& family : out) {
            const bool ours = family.name.compare(0, own.size(), own) == 0;
            for (auto& metric : family.metric) {
                AddLabels(metric.label, common_);
                if (ours) AddLabels(metric.label, commonOwn_);
                std::sort(metric.label.begin(), metric.label.end());
            }
        }
    }
    return out;
}

std::string MetricsRegistry::Exposition() const { return prometheus::TextSerializer().Serialize(Collect()); }

std::string MetricsRegistry::NotReadyReason() const {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_) return "the agent is shutting down";
    if (!notReady_.empty()) return notReady_;
    std::size_t missing = 0;
    for (std::uint32_t request : expected_) missing += requests_.count(request) == 0;
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

void MetricsRegistry::Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    expected_.clear();
    notReady_.clear();
    stopping_ = false;
    requests_.clear();
    own_.clear();
    common_.clear();
    commonOwn_.clear();
    prefix_ = "agw";
}

}  // namespace agw


int AGW_SetMetricsPrefix(const char* prefix) {
    if (prefix == nullptr || !prometheus::CheckMetricName(prefix)) return AGW_STATUS_BAD_ARGUMENT;
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
