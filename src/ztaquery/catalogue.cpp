// ztaquery --list: the tables, their columns and the metric families the
// agent's endpoint serves, asked of the same descriptions the endpoint
// builds its series from (a table object that only describes its table, and
// the framework's and the agent's own families), so that the list and the
// endpoint cannot differ. With --markdown, the same as a metrics reference.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "zta_agent.h"
#include "zta_metrics.h"
#include "ztaquery.h"

namespace ztaquery {

namespace {

// When a family is served, as the list says it.
const char* ServedText(AgwServed served) {
    switch (served) {
        case AgwServed::byDefault: return "by default";
        case AgwServed::withObjects: return "with objects: true";
        case AgwServed::withSituation: return "with a situation request";
        case AgwServed::onceCounted: return "once it has counted something";
    }
    return "";
}

// A table's families: those of a report request as it is by default, then
// those only a request with `objects: true` gets (the per-object series of
// a table exported in aggregate, served instead of the counts and sums).
std::vector<AgwFamilyInfo> TableFamilies(const zta::TableMeta& t) {
    std::vector<AgwFamilyInfo> families;
    TableManager* manager = TableManager::Find(t.upper);
    if (manager == nullptr) return families;
    RequestDetail request;
    request.name = t.upper;
    request.table = t.upper;
    ContextInfo context;
    tavro* object = manager->CreateDescription(&request, &context);
    if (object == nullptr) return families;
    families = AGW_TableFamilies(*object, false);
    for (AgwFamilyInfo& family : AGW_TableFamilies(*object, true)) {
        auto same = [&](const AgwFamilyInfo& f) { return f.name == family.name; };
        if (std::none_of(families.begin(), families.end(), same)) {
            family.served = AgwServed::withObjects;
            families.push_back(std::move(family));
        }
    }
    delete object;
    return families;
}

std::string Joined(const std::vector<std::string>& items, const char* separator) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
    return text;
}

// The families grouped by when they are served, one line each.
void PrintFamilies(const std::vector<AgwFamilyInfo>& families) {
    for (AgwServed served : {AgwServed::byDefault, AgwServed::withObjects, AgwServed::withSituation,
                             AgwServed::onceCounted}) {
        bool first = true;
        for (const AgwFamilyInfo& f : families) {
            if (f.served != served) continue;
            if (first) std::printf("  served %s:\n", ServedText(served));
            first = false;
            std::string labels = f.labels.empty() ? "" : "{" + Joined(f.labels, ",") + "}";
            std::printf("    %s%s %s  %s\n", f.name.c_str(), labels.c_str(), f.counter ? "counter" : "gauge",
                        f.help.c_str());
        }
    }
}

// A table's ZTA_TABLE_METRICS as the list shows it: "rows, scope
// group(srvgrp)".
std::string MetricsOf(const zta::TableMeta& t) {
    std::string mode = t.metric_mode == zta::MetricsMode::rows        ? "rows"
                       : t.metric_mode == zta::MetricsMode::aggregate ? "aggregate"
                                                                       : "none";
    std::string scope = t.scope == zta::Scope::domain ? "domain" : t.scope == zta::Scope::machine ? "machine" : "group";
    if (t.scope != zta::Scope::domain && t.scope_column >= 0) {
        scope += std::string("(") + t.columns[t.scope_column].name + ")";
    }
    return mode + ", scope " + scope;
}

// What a column is to the endpoint: a label of its object's series, or a
// value of one (the families below say which).
std::string RoleOf(const zta::ColumnMeta& c) {
    switch (c.role) {
        case zta::Role::key: return std::string("label ") + c.label;
        case zta::Role::state: return std::string("state label ") + c.label;
        case zta::Role::counter: return "counter";
        case zta::Role::gauge: return "gauge";
        case zta::Role::time: return "time";
        case zta::Role::none: break;
    }
    return "";
}

// A text for a cell of a Markdown table.
std::string Cell(const std::string& text) {
    std::string cell;
    for (char c : text) {
        if (c == '|') cell += '\\';
        cell += c == '\n' ? ' ' : c;
    }
    return cell;
}

void MarkdownFamilies(const std::vector<AgwFamilyInfo>& families) {
    std::printf("| Family | Type | Labels | Served | Columns | Help |\n|---|---|---|---|---|---|\n");
    for (const AgwFamilyInfo& f : families) {
        std::printf("| `%s` | %s | %s | %s | %s | %s |\n", f.name.c_str(), f.counter ? "counter" : "gauge",
                    Cell(Joined(f.labels, ", ")).c_str(), ServedText(f.served), Cell(Joined(f.columns, ", ")).c_str(),
                    Cell(f.help).c_str());
    }
    std::printf("\n");
}

// The families that are no table's: the framework's per request, the
// agent's own (as its start sets them), the process's.
std::vector<AgwFamilyInfo> OwnFamilies(bool process) {
    zta_metrics_start();
    std::vector<AgwFamilyInfo> families;
    for (AgwFamilyInfo& f : AGW_OwnFamilies()) {
        if ((f.name.compare(0, 8, "process_") == 0) == process) families.push_back(std::move(f));
    }
    return families;
}

}  // namespace

void PrintList(const std::vector<const zta::TableMeta*>& only) {
    for (const zta::TableMeta& t : zta::kTables) {
        if (!only.empty() && std::find(only.begin(), only.end(), &t) == only.end()) continue;
        std::printf("%s  table %d, MIB class %s, series tuxedo_%s_*: %s%s\n", t.upper, t.number, t.mib_class,
                    t.metric_subject, MetricsOf(t).c_str(),
                    TableManager::Find(t.upper) != nullptr ? "" : " (not served by this build)");
        for (unsigned short i = 0; i < t.num_columns; ++i) {
            const zta::ColumnMeta& c = t.columns[i];
            std::string type = c.type == zta::kColumnTypeInteger ? "integer" : "text " + std::to_string(c.size);
            char line[64];
            std::snprintf(line, sizeof line, "    %-11s %-9s %-18s", c.name, type.c_str(),
                          *c.attribute ? c.attribute : "(agent)");
            std::string text = line + (" " + RoleOf(c));
            text.erase(text.find_last_not_of(' ') + 1);
            std::printf("%s\n", text.c_str());
        }
        PrintFamilies(TableFamilies(t));
    }
    if (!only.empty()) return;
    std::printf("tuxedo_agent_*  the agent's own series\n");
    PrintFamilies(OwnFamilies(false));
    std::printf("process_*  the process's series\n");
    PrintFamilies(OwnFamilies(true));
}

void PrintMarkdown() {
    std::printf(
        "# Metrics reference\n"
        "\n"
        "Every family of series the agent's metrics endpoint (`/metrics`) serves, as `ztaquery --list --markdown`\n"
        "writes it from the descriptions the endpoint builds its series from. Besides the labels shown, every\n"
        "series carries `domain`, the agent's own `tuxedo_agent_*` series carry `lmid`, and the series of a table\n"
        "with more than one report request carry `request`. Served *by default*: by an agent without a request\n"
        "file (every table a report request); *with objects: true*: only for a report request that asks for\n"
        "each object's series, which it serves instead of its table's counts and sums.\n"
        "\n");
    for (const zta::TableMeta& t : zta::kTables) {
        if (TableManager::Find(t.upper) == nullptr) continue;
        std::printf("## %s\n\nMIB class %s; series `tuxedo_%s_*`: %s.\n\n", t.upper, t.mib_class, t.metric_subject,
                    MetricsOf(t).c_str());
        MarkdownFamilies(TableFamilies(t));
    }
    std::printf("## The agent's own series\n\n");
    MarkdownFamilies(OwnFamilies(false));
    std::printf("## The process\n\n");
    MarkdownFamilies(OwnFamilies(true));
}

}  // namespace ztaquery
