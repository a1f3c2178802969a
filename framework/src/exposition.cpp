// The text exposition format's writers (see exposition.h).
#include "exposition.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "ascii.h"
#include "json.h"

namespace agw {

namespace {

constexpr bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The rules both kinds of name share: not empty, no leading digit, not
// reserved, and every byte a letter, digit, '_' or (series names only) ':'.
bool ValidName(std::string_view name, bool colons) {
    if (name.empty() || zcommon::IsDigit(name.front()) || name.substr(0, 2) == "__") return false;
    return std::all_of(name.begin(), name.end(), [colons](char c) {
        return IsLetter(c) || zcommon::IsDigit(c) || c == '_' || (colons && c == ':');
    });
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

}  // namespace

bool ValidMetricName(std::string_view name) { return ValidName(name, true); }

bool ValidLabelName(std::string_view name) { return ValidName(name, false); }

std::string LabelValue(std::string_view bytes) { return ValidUtf8(bytes); }

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

void AppendLabelText(std::string& out, const std::vector<Label>& labels) {
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if (i > 0) out += ',';
        out += labels[i].name;
        out += "=\"";
        AppendEscaped(out, labels[i].value, true);
        out += '"';
    }
}

void AddLabels(std::vector<Label>& labels, const AgwLabels& extra) {
    for (const auto& label : extra) {
        const std::string& name = label.first;
        bool present = std::any_of(labels.begin(), labels.end(), [&](const Label& l) { return l.name == name; });
        if (!present && !label.second.empty() && ValidLabelName(name)) {
            labels.push_back(Label{name, LabelValue(label.second)});
        }
    }
}

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

void AddSample(RenderedFamily& family, std::vector<Label> labels, double value, const AgwLabels& common) {
    AddLabels(labels, common);
    std::sort(labels.begin(), labels.end());
    std::string text;
    AppendLabelText(text, labels);
    AppendSampleLine(family.samples, family.name, text, {}, value);
}

void AppendFamilyHeader(std::string& out, const std::string& name, MetricType type, std::string_view help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    AppendEscaped(out, help, false);
    out += "\n# TYPE ";
    out += name;
    out += type == MetricType::counter ? " counter\n" : " gauge\n";
}

}  // namespace agw
