// Prometheus' text exposition format as the metrics endpoint writes it: label
// sets, escaped texts, values and sample lines (and the name rules of
// agw_metrics.h). Used by the table export, the registry and the process
// metrics alike.
#ifndef AGW_EXPOSITION_H
#define AGW_EXPOSITION_H

#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "agw_metrics.h"
#include "metrics.h"

namespace agw {

// One label of a series.
struct Label {
    std::string name;
    std::string value;
    bool operator<(const Label& other) const {
        return std::tie(name, value) < std::tie(other.name, other.value);
    }
};

// A label value or HELP text escaped as the text format wants it (quotes
// too when `quotes`); runs that need no escape are copied whole.
void AppendEscaped(std::string& out, std::string_view text, bool quotes);

// Labels as the text format writes them between the braces.
void AppendLabelText(std::string& out, const std::vector<Label>& labels);

// Appends `extra` to `labels`, each name at most once (the row's own wins);
// an empty value or an invalid name is left out.
void AddLabels(std::vector<Label>& labels, const AgwLabels& extra);

// One sample line: the series name, the labels as text (`labels`, then
// `more`, either may be empty) and the value.
void AppendSampleLine(std::string& out, const std::string& name, std::string_view labels, std::string_view more,
                      double value);

// One sample line of `family`: its labels and `common` (those it does not
// carry itself), sorted by name.
void AddSample(RenderedFamily& family, std::vector<Label> labels, double value, const AgwLabels& common);

// The HELP and TYPE lines that open a family.
void AppendFamilyHeader(std::string& out, const std::string& name, MetricType type, std::string_view help);

}  // namespace agw

#endif
