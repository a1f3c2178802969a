// The metrics endpoint (see metrics.h).
#include "metrics.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <malloc.h>
#include <sys/resource.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <prometheus/check_names.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <set>
#include <tuple>
#include <unordered_set>

#include "agw_internal.h"
#include "agw_table.h"
#include "agw_trace.h"
#include "json.h"
#include "wbtime.h"

namespace agw {

namespace {

TRC1_Block gExportTrace = {"AGW100", "metrics", "TableExport", {}};

// One label of a series.
struct Label {
    std::string name;
    std::string value;
    bool operator<(const Label& other) const {
        return std::tie(name, value) < std::tie(other.name, other.value);
    }
};

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
                         prometheus::MetricType type, const std::string& help) {
    auto found = index.find(name);
    if (found != index.end()) return families[found->second];
    index.emplace(name, families.size());
    families.push_back(RenderedFamily{name, type, help, {}});
    return families.back();
}

// A label value or HELP text escaped as the text format wants it; runs
// that need no escape are copied whole.
void AppendEscaped(std::string& out, std::string_view text, bool quotes) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\' && c != '\n' && (c != '"' || !quotes)) continue;
        out.append(text.data() + start, i - start);
        out += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : "\\\"";
        start = i + 1;
    }
    out.append(text.data() + start, text.size() - start);
}

// A sample value as Prometheus' own clients write it.
void AppendValue(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
    } else if (std::isinf(value)) {
        out += value > 0 ? "+Inf" : "-Inf";
    } else if (value == std::floor(value) && std::fabs(value) < 1e15) {
        // Whole numbers, most values, without the cost of a format.
        char text[24];
        const auto [end, error] = std::to_chars(text, text + sizeof text, static_cast<long long>(value));
        out.append(text, error == std::errc() ? static_cast<std::size_t>(end - text) : 0);
    } else {
        char text[32];
        std::snprintf(text, sizeof text, "%.16g", value);
        out += text;
    }
}

// Labels as the text format writes them between the braces.
void AppendLabelText(std::string& out, const std::vector<Label>& labels) {
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if (i > 0) out += ',';
        out += labels[i].name;
        out += "=\"";
        AppendEscaped(out, labels[i].value, true);
        out += '"';
    }
}

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

// One sample line: the series name, the labels as text (`labels`, then
// `more`, either may be empty) and the value.
void AppendSampleLine(std::string& out, const std::string& name, std::string_view labels, std::string_view more,
                      double value) {
    out += name;
    if (!labels.empty() || !more.empty()) {
        out += '{';
        out += labels;
        if (!labels.empty() && !more.empty()) out += ',';
        out += more;
        out += '}';
    }
    out += ' ';
    AppendValue(out, value);
    out += '\n';
}

// One sample line of `family`: its labels and `common` (those it does not
// carry itself), sorted by name.
void AddSample(RenderedFamily& family, std::vector<Label> labels, double value, const AgwLabels& common) {
    AddLabels(labels, common);
    std::sort(labels.begin(), labels.end());
    std::string text;
    AppendLabelText(text, labels);
    AppendSampleLine(family.samples, family.name, text, {}, value);
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

// A published sample this large, when replaced, has its freed memory given
// back to the system.
constexpr std::size_t kTrimAfterBytes = 1u << 20;

// The process metrics as Prometheus' client libraries name them, read from
// /proc at each scrape.
Families ProcessFamilies() {
    Families families;
    auto add = [&](const char* name, prometheus::MetricType type, const char* help, double value) {
        RenderedFamily family{name, type, help, {}};
        AddSample(family, {}, value, {});
        families.push_back(std::move(family));
    };
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
    std::string stat;
    if (FILE* f = std::fopen("/proc/self/stat", "r")) {
        char buffer[1024];
        std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
        std::fclose(f);
        stat.assign(buffer, n);
    }
    // The fields after the command name, which may hold blanks and parentheses.
    const std::size_t close = stat.rfind(')');
    if (close != std::string::npos && tick > 0) {
        std::vector<std::string> fields;
        std::size_t at = close + 2;
        while (at < stat.size()) {
            std::size_t end = stat.find(' ', at);
            if (end == std::string::npos) end = stat.size();
            fields.push_back(stat.substr(at, end - at));
            at = end + 1;
        }
        // fields[0] is field 3 of the file (the state).
        auto field = [&](std::size_t number) { return number - 3 < fields.size() ? std::atof(fields[number - 3].c_str()) : 0.0; };
        add("process_cpu_seconds_total", prometheus::MetricType::Counter,
            "Total user and system CPU time spent in seconds.", (field(14) + field(15)) / tick);
        add("process_virtual_memory_bytes", prometheus::MetricType::Gauge, "Virtual memory size in bytes.", field(23));
        add("process_resident_memory_bytes", prometheus::MetricType::Gauge, "Resident memory size in bytes.",
            field(24) * page);
        double boot = 0;
        if (FILE* f = std::fopen("/proc/stat", "r")) {
            char line[256];
            while (std::fgets(line, sizeof line, f) != nullptr) {
                if (std::strncmp(line, "btime ", 6) == 0) boot = std::atof(line + 6);
            }
            std::fclose(f);
        }
        if (boot > 0) {
            add("process_start_time_seconds", prometheus::MetricType::Gauge,
                "Start time of the process since unix epoch in seconds.", boot + field(22) / tick);
        }
    }
    double open = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(dir)) open += entry->d_name[0] != '.';
        closedir(dir);
        open -= 1;  // the directory being read
        add("process_open_fds", prometheus::MetricType::Gauge, "Number of open file descriptors.", open);
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        add("process_max_fds", prometheus::MetricType::Gauge, "Maximum number of open file descriptors.",
            limit.rlim_cur == RLIM_INFINITY ? 0 : static_cast<double>(limit.rlim_cur));
    }
    return families;
}

bool ValidLabels(const AgwLabels& labels) {
    return std::all_of(labels.begin(), labels.end(),
                       [](const auto& label) { return prometheus::CheckLabelName(label.first); });
}

}  // namespace



bool WbTimeToUnix(std::string_view text, double* seconds) { return zcommon::WbTimeToEpochSeconds(text, seconds); }

std::string LabelValue(std::string_view bytes) { return ValidUtf8(bytes); }

TableExport::TableExport(tavro& object, std::string requestLabel, bool perObject)
    : table_(object.TableName()), requestLabel_(std::move(requestLabel)) {
    std::vector<Column> columns;
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
        columns.push_back(std::move(c));
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
            auto type = c.role == AgwMetricRole::counter ? prometheus::MetricType::Counter : prometheus::MetricType::Gauge;
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


}  // namespace

PublishedSample TableExport::Build(const tavro& object, const char* rows, std::uint32_t count,
                                  std::size_t rowSize) const {
    PublishedSample out;
    if (!exported_) return out;
    if (mode_ == AgwTableMode::aggregate) return BuildAggregate(object, rows, count, rowSize);
    const AgwLabels common = MetricsRegistry::Instance().CommonLabels();
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
                                            std::size_t rowSize) const {
    // Objects that come and go with traffic (clients, messages, records)
    // would make a series each and churn with every login: they are counted
    // instead, and what they count summed, by machine and state.
    bool dimensions = std::any_of(shape_->columns.begin(), shape_->columns.end(), [](const Column& c) {
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
    const AgwLabels common = MetricsRegistry::Instance().CommonLabels();
    if (dimensions) {
        auto& family = FamilyOf(families, index, prefix_ + "s", prometheus::MetricType::Gauge,
                                "Objects of " + table_ + " in the latest sample, by machine and state.");
        for (const auto& [labels, n] : counted) AddSample(family, labels, n, common);
    }
    for (const auto& [key, value] : sums) {
        const Column& c = shape_->columns[key.first];
        // A sum of the objects' counters goes down when an object leaves, so
        // it is a gauge; "_summed" keeps it apart from a gauge of the same
        // quantity (the conversations open now, and those begun).
        const bool counter = c.role == AgwMetricRole::counter;
        std::string help = "Sum over the objects of " + table_ + (counter ? " of their counters: " : ": ") + c.help;
        const std::string name = prefix_ + "s_" + c.quantity + (counter ? "_summed" : "");
        AddSample(FamilyOf(families, index, name, prometheus::MetricType::Gauge, help), key.second, value, common);
    }
    PublishedSample out;
    out.rendered = std::move(families);
    return out;
}

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
    if (!prometheus::CheckMetricName(name) || !ValidLabels(labels)) return;
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
    auto [entry, fresh] = own.values.try_emplace(sorted, 0.0);
    const double before = entry->second;
    if (counter) {
        entry->second += value;
    } else {
        entry->second = value;
    }
    if (fresh || entry->second != before) RenderOwn();
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
        RenderedFamily family{name, series.counter ? prometheus::MetricType::Counter : prometheus::MetricType::Gauge,
                              series.help, {}};
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

namespace {

// One state label of a row, after those already in `out`.
void AppendStateLabel(std::string& out, const std::string& label, std::string_view value) {
    if (!out.empty()) out += ',';
    out += label;
    out += "=\"";
    AppendEscaped(out, value, true);
    out += '"';
}

// The sample lines of one per-object family, made from the held rows.
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

// A scrape's text, one family (all its samples from every source) at a time.
class SnapshotReader final : public MetricsRegistry::Reader {
public:
    struct Part {
        const RenderedFamily* text = nullptr;   // a family kept as text
        const PublishedSample* rows = nullptr;  // or one made from rows
        const ExportFamily* family = nullptr;
    };
    struct Name {
        std::string name;
        prometheus::MetricType type;
        std::string help;
        std::vector<Part> parts;
    };

    SnapshotReader(std::shared_ptr<const std::map<std::uint32_t, std::shared_ptr<const PublishedSample>>> published,
                   std::shared_ptr<const Families> own, Families process)
        : published_(std::move(published)), own_(std::move(own)), process_(std::move(process)) {
        std::map<std::string, std::size_t> index;
        auto part = [&](const std::string& name, prometheus::MetricType type, const std::string& help, Part p) {
            auto [at, made] = index.try_emplace(name, names_.size());
            if (made) names_.push_back(Name{name, type, help, {}});
            Name& n = names_[at->second];
            if (n.type == type) n.parts.push_back(p);  // the first kind of a name wins
        };
        auto texts = [&](const Families& families) {
            for (const RenderedFamily& f : families) {
                if (!f.samples.empty()) part(f.name, f.type, f.help, Part{&f, nullptr, nullptr});
            }
        };
        for (const auto& [request, sample] : *published_) {
            texts(sample->rendered);
            if (!sample->shape || sample->labels.empty()) continue;
            for (const ExportFamily& f : sample->shape->families) {
                part(f.name, f.type, f.help, Part{nullptr, sample.get(), &f});
            }
        }
        texts(*own_);
        texts(process_);
    }

    const std::string& Next() override {
        chunk_.clear();
        while (chunk_.empty() && next_ < names_.size()) {
            const Name& n = names_[next_++];
            std::string body;
            for (const Part& p : n.parts) {
                if (p.text != nullptr) {
                    body += p.text->samples;
                } else {
                    RenderRows(*p.rows, *p.family, body);
                }
            }
            if (body.empty()) continue;
            chunk_ += "# HELP ";
            chunk_ += n.name;
            chunk_ += ' ';
            AppendEscaped(chunk_, n.help, false);
            chunk_ += "\n# TYPE ";
            chunk_ += n.name;
            chunk_ += n.type == prometheus::MetricType::Counter ? " counter\n" : " gauge\n";
            chunk_ += body;
        }
        return chunk_;
    }

private:
    std::shared_ptr<const std::map<std::uint32_t, std::shared_ptr<const PublishedSample>>> published_;
    std::shared_ptr<const Families> own_;
    Families process_;
    std::vector<Name> names_;
    std::size_t next_ = 0;
    std::string chunk_;
};

}  // namespace

std::unique_ptr<MetricsRegistry::Reader> MetricsRegistry::OpenExposition() const {
    return std::make_unique<SnapshotReader>(published_.load(), ownRendered_.load(), ProcessFamilies());
}

std::string MetricsRegistry::Exposition() const {
    std::unique_ptr<Reader> reader = OpenExposition();
    std::string out;
    for (const std::string* piece = &reader->Next(); !piece->empty(); piece = &reader->Next()) out += *piece;
    return out;
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
    common_.clear();
    commonOwn_.clear();
    prefix_ = "agw";
    std::lock_guard<std::mutex> publish(publishMutex_);
    published_.store(std::make_shared<const Snapshot>());
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
