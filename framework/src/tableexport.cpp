// A table's rows as series (see metrics.h): the families a table object's
// descriptions make, what each sample publishes, and the sample lines made
// from the held rows when a scrape reads them.
#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <unordered_set>

#include "agw_internal.h"
#include "agw_table.h"
#include "agw_trace.h"
#include "ascii.h"
#include "exposition.h"
#include "metrics.h"
#include "wbtime.h"

namespace agw {

namespace {

TRC1_Block gExportTrace = {"AGW100", "metrics", "TableExport", {}};


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
RenderedFamily& FamilyOf(Families& families, std::map<std::string, std::size_t>& index, const std::string& name,
                         MetricType type, const std::string& help) {
    auto found = index.find(name);
    if (found != index.end()) return families[found->second];
    index.emplace(name, families.size());
    families.push_back(RenderedFamily{name, type, help, {}});
    return families.back();
}

// An integer column's value at `field`. A counter that passed 2^31 wrapped
// to negative in its 32-bit column: it is read unsigned, so it keeps
// growing.
double IntegerValue(const ExportColumn& c, const char* field) {
    std::int32_t raw;
    std::memcpy(&raw, field, sizeof raw);
    return c.role == AgwMetricRole::counter ? static_cast<double>(static_cast<std::uint32_t>(raw))
                                            : static_cast<double>(raw);
}

// The labels of a row by which an aggregated table counts: its machine, its
// state and, for records, their severity.
bool AggregatedBy(const std::string& label) { return label == "lmid" || label == "state" || label == "severity"; }

bool EndsWith(const std::string& text, std::string_view end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// One state label of a row, after those already in `out`.
void AppendStateLabel(std::string& out, const std::string& label, std::string_view value) {
    if (!out.empty()) out += ',';
    out += label;
    out += "=\"";
    AppendEscaped(out, value, true);
    out += '"';
}

}  // namespace

bool WbTimeToUnix(std::string_view text, double* seconds) {
    return zcommon::WbTimeToEpochSeconds(text.substr(0, std::min<std::size_t>(text.size(), zcommon::kWbTimeLength)),
                                         seconds);
}

TableExport::TableExport(tavro& object, std::string requestLabel, bool perObject)
    : table_(object.TableName()), requestLabel_(std::move(requestLabel)) {
    std::vector<Column> columns;
    AgwTableMetrics info;
    if (object.GetTableMetrics(&info) != AGW_STATUS_OK || info.prefix == nullptr || *info.prefix == '\0') return;
    if (info.mode == AgwTableMode::none) return;
    prefix_ = info.prefix;
    mode_ = perObject ? AgwTableMode::rows : info.mode;
    if (info.rowLabel != nullptr) rowLabel_ = info.rowLabel;
    if (!ValidMetricName(prefix_)) {
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
        const std::string upper = zcommon::ToUpper(table_ + "." + c.column);
        bool valid = true;
        switch (c.role) {
            case AgwMetricRole::key:
                c.label = given(m.label) ? m.label : c.name;
                valid = ValidLabelName(c.label) && keyLabels.insert(c.label).second;
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
                valid = ValidLabelName(c.label) && keyLabels.count(c.label) == 0 &&
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
        if (c.role != AgwMetricRole::key) valid = valid && ValidMetricName(c.name);
        if (!valid) {
            AGW_TRACE(gExportTrace, AGW_TRC_ERROR,
                      "%s: column %s: metric \"%s\" (label \"%s\") is not valid or its label is taken; not exported",
                      table_.c_str(), c.column.c_str(), c.name.c_str(), c.label.c_str());
            continue;
        }
        if (c.role == AgwMetricRole::state) stateLabels[c.name].push_back(c.label);
        columns.push_back(std::move(c));
    }
    // A state family's HELP: what its rows are and every label it carries,
    // "Server: value 1, labelled with state." Made here once per series.
    std::string subject = given(info.subject) ? info.subject : prefix_;
    std::replace(subject.begin(), subject.end(), '_', ' ');
    subject[0] = zcommon::ToUpper(subject[0]);
    std::map<std::string, std::string> stateHelp;
    for (const auto& [series, labels] : stateLabels) {
        std::string help = subject + ": value 1, labelled with ";
        for (std::size_t k = 0; k < labels.size(); ++k) {
            if (k > 0) help += k + 1 == labels.size() ? " and " : ", ";
            help += labels[k];
        }
        stateHelp[series] = help + ".";
    }
    for (Column& c : columns) {
        if (c.role == AgwMetricRole::state) c.help = stateHelp[c.name];
    }
    // The per-object families, in the order of their first column.
    auto shape = std::make_shared<ExportShape>();
    std::map<std::string, std::size_t> family;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const Column& c = columns[i];
        if (c.role == AgwMetricRole::key || c.role == AgwMetricRole::none) continue;
        if ((c.role == AgwMetricRole::counter || c.role == AgwMetricRole::gauge) && c.type != AGW_COLTYPE_INTEGER) continue;
        auto [at, made] = family.try_emplace(c.name, shape->families.size());
        if (made) {
            auto type = c.role == AgwMetricRole::counter ? MetricType::counter : MetricType::gauge;
            shape->families.push_back(ExportFamily{c.name, type, c.help, {}});
        }
        shape->families[at->second].columns.push_back(i);
    }
    shape->packed.assign(columns.size(), 0);
    for (const ExportFamily& f : shape->families) {
        for (std::size_t i : f.columns) {
            shape->packed[i] = shape->packedSize;
            shape->packedSize += columns[i].size;
        }
    }
    shape->columns = std::move(columns);
    shape_ = std::move(shape);
    exported_ = true;
}

// Whether the objects' values of a column add up to something: counters and
// the gauges that count things. A ratio, a level or a time of one object
// summed over many means nothing.
bool TableExport::Summed(const Column& c) {
    if (c.type != AGW_COLTYPE_INTEGER) return false;
    if (c.role == AgwMetricRole::counter) return true;
    return c.role == AgwMetricRole::gauge && c.scale == 1.0 && !EndsWith(c.quantity, "_seconds") &&
           !EndsWith(c.quantity, "_ratio") && !EndsWith(c.quantity, "_level");
}

bool TableExport::Dimensioned() const {
    return std::any_of(shape_->columns.begin(), shape_->columns.end(), [](const Column& c) {
        return (c.role == AgwMetricRole::key || c.role == AgwMetricRole::state) && AggregatedBy(c.label);
    });
}

std::string TableExport::CountHelp() const {
    return "Objects of " + table_ + " in the latest sample, by machine and state.";
}

// A sum of the objects' counters goes down when an object leaves, so it is a
// gauge; "_summed" keeps it apart from a gauge of the same quantity (the
// conversations open now, and those begun).
std::string TableExport::SumName(const Column& c) const {
    return prefix_ + "s_" + c.quantity + (c.role == AgwMetricRole::counter ? "_summed" : "");
}

std::string TableExport::SumHelp(const Column& c) const {
    const bool counter = c.role == AgwMetricRole::counter;
    return "Sum over the objects of " + table_ + (counter ? " of their counters: " : ": ") + c.help;
}

std::vector<AgwFamilyInfo> TableExport::Catalogue() const {
    std::vector<AgwFamilyInfo> families;
    if (!exported_) return families;
    std::vector<std::string> keys;
    std::vector<std::string> dimensions;
    for (const Column& c : shape_->columns) {
        if (c.role == AgwMetricRole::key) keys.push_back(c.label);
        if ((c.role == AgwMetricRole::key || c.role == AgwMetricRole::state) && AggregatedBy(c.label)) {
            dimensions.push_back(c.label);
        }
    }
    for (auto* list : {&keys, &dimensions}) {
        if (!rowLabel_.empty() && (list == &keys || AggregatedBy(rowLabel_))) list->push_back(rowLabel_);
        std::sort(list->begin(), list->end());
        list->erase(std::unique(list->begin(), list->end()), list->end());
    }
    if (mode_ == AgwTableMode::aggregate) {
        if (Dimensioned()) families.push_back({CountName(), false, CountHelp(), dimensions, AgwServed::byDefault, {}});
        for (const Column& c : shape_->columns) {
            if (!Summed(c)) continue;
            families.push_back({SumName(c), false, SumHelp(c), dimensions, AgwServed::byDefault,
                                {zcommon::ToUpper(c.column)}});
        }
        return families;
    }
    for (const ExportFamily& f : shape_->families) {
        AgwFamilyInfo family{f.name, f.type == MetricType::counter, f.help, keys, AgwServed::byDefault, {}};
        for (std::size_t i : f.columns) {
            const Column& c = shape_->columns[i];
            if (c.role == AgwMetricRole::state) family.labels.push_back(c.label);
            family.columns.push_back(zcommon::ToUpper(c.column));
        }
        families.push_back(std::move(family));
    }
    return families;
}

PublishedSample TableExport::Build(const tavro& object, const char* rows, std::uint32_t count, std::size_t rowSize,
                                   const AgwLabels& common) const {
    PublishedSample out;
    if (!exported_) return out;
    if (mode_ == AgwTableMode::aggregate) return BuildAggregate(object, rows, count, rowSize, common);
    out.shape = shape_;
    out.rowSize = shape_->packedSize;
    // Room for every row at once: the label texts are never moved, so the
    // set of those served so far can point into them.
    out.labels.reserve(count);
    out.rows.reserve(static_cast<std::size_t>(count) * out.rowSize);
    // Objects already served: a row whose labels repeat an earlier row's
    // would give a second, contradicting series; the first row wins.
    std::unordered_set<std::string_view> served;
    served.reserve(count);
    std::string text;
    std::vector<Label> keys;
    for (std::uint32_t r = 0; r < count; ++r) {
        const char* row = rows + static_cast<std::size_t>(r) * rowSize;
        AgwLabels extra;
        if (!object.MetricsRowScope(row, &extra)) continue;
        keys.clear();
        if (!requestLabel_.empty()) keys.push_back(Label{"request", LabelValue(requestLabel_)});
        for (const Column& c : shape_->columns) {
            if (c.role != AgwMetricRole::key || c.offset + c.size > rowSize) continue;
            keys.push_back(Label{c.label, ValueText(row, c.offset, c.size, c.type)});
        }
        AddLabels(keys, extra);
        AddLabels(keys, common);
        std::sort(keys.begin(), keys.end());
        text.clear();
        AppendLabelText(text, keys);
        if (served.count(text) != 0) continue;
        out.labels.push_back(text);
        served.insert(out.labels.back());
        const std::size_t at = out.rows.size();
        out.rows.resize(at + out.rowSize);
        for (const ExportFamily& f : shape_->families) {
            for (std::size_t i : f.columns) {
                const Column& c = shape_->columns[i];
                // A column past the row's end (a shorter row than described)
                // reads as zeros.
                if (c.offset + c.size <= rowSize) std::memcpy(&out.rows[at + shape_->packed[i]], row + c.offset, c.size);
            }
        }
    }
    return out;
}

PublishedSample TableExport::BuildAggregate(const tavro& object, const char* rows, std::uint32_t count,
                                            std::size_t rowSize, const AgwLabels& common) const {
    // Objects that come and go with traffic (clients, messages, records)
    // would make a series each and churn with every login: they are counted
    // instead, and what they count summed, by machine and state.
    const bool dimensions = Dimensioned();
    std::map<std::vector<Label>, double> counted;
    std::map<std::pair<std::size_t, std::vector<Label>>, double> sums;  // column index, labels
    for (std::uint32_t r = 0; r < count; ++r) {
        const char* row = rows + static_cast<std::size_t>(r) * rowSize;
        AgwLabels extra;
        if (!object.MetricsRowScope(row, &extra)) continue;
        std::vector<Label> by;
        if (!requestLabel_.empty()) by.push_back(Label{"request", LabelValue(requestLabel_)});
        for (const Column& c : shape_->columns) {
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
        for (std::size_t i = 0; i < shape_->columns.size(); ++i) {
            const Column& c = shape_->columns[i];
            if (!Summed(c) || c.offset + c.size > rowSize) continue;
            sums[{i, by}] += IntegerValue(c, row + c.offset) * c.scale;
        }
    }
    Families families;
    std::map<std::string, std::size_t> index;
    if (dimensions) {
        auto& family = FamilyOf(families, index, CountName(), MetricType::gauge, CountHelp());
        for (const auto& [labels, n] : counted) AddSample(family, labels, n, common);
    }
    for (const auto& [key, value] : sums) {
        const Column& c = shape_->columns[key.first];
        AddSample(FamilyOf(families, index, SumName(c), MetricType::gauge, SumHelp(c)), key.second, value, common);
    }
    PublishedSample out;
    out.rendered = std::move(families);
    return out;
}

void RenderRows(const PublishedSample& sample, const ExportFamily& family, std::string& out) {
    const std::vector<ExportColumn>& columns = sample.shape->columns;
    const std::vector<std::size_t>& packed = sample.shape->packed;
    const std::size_t firstIndex = family.columns.front();
    const ExportColumn& first = columns[firstIndex];
    std::string states;
    for (std::size_t r = 0; r < sample.labels.size(); ++r) {
        const char* row = sample.rows.data() + r * sample.rowSize;
        const std::string& base = sample.labels[r];
        double value = 1.0;
        states.clear();
        if (first.role == AgwMetricRole::state) {
            for (std::size_t index : family.columns) {
                const ExportColumn& c = columns[index];
                if (c.type == AGW_COLTYPE_INTEGER) {
                    AppendStateLabel(states, c.label, std::to_string(IntegerAt(row, packed[index])));
                    continue;
                }
                const std::string_view text = FieldText(row + packed[index], static_cast<int>(c.size));
                if (text.empty()) continue;
                // Printable ASCII as it is; anything else made valid UTF-8.
                const bool plain = std::all_of(text.begin(), text.end(),
                                               [](char ch) { return ch >= ' ' && ch < 0x7f; });
                AppendStateLabel(states, c.label, plain ? text : std::string_view(LabelValue(text)));
            }
            if (states.empty()) continue;  // nothing to say: every state blank
        } else if (first.role == AgwMetricRole::time) {
            if (!WbTimeToUnix(FieldText(row + packed[firstIndex], static_cast<int>(first.size)), &value)) continue;
        } else {
            value = IntegerValue(first, row + packed[firstIndex]) * first.scale;
        }
        AppendSampleLine(out, family.name, base, states, value);
    }
}

}  // namespace agw
