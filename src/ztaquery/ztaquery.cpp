// ztaquery: joins the Tuxedo application as the agent does, samples the named
// tables once through the agent's own table objects, prints their rows as an
// aligned table (or JSON Lines, the agent's row format) and leaves.
//
//   ztaquery TXSERVER
//   ztaquery --where STATE NE ACTive --columns srvgrp,srvid,state TXSERVER
//   ztaquery --json TXCLIENTS TXMSTATS
//   ztaquery --list
//
// Exit status: 0 when every table was sampled, 1 when the join or a MIB call
// failed (one line on standard error says which), 2 for a bad command line.
#include <CLI/CLI.hpp>
#include <agw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "zta16agt.h"
#include "zta_agent.h"
#include "zta_tables.h"

namespace {

constexpr int kTuxedoFailed = 1;
constexpr int kUsage = 2;

std::string upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

// A field as the framework reads it (up to the first NUL or the width,
// trailing blanks dropped), made safe for a terminal: control characters and
// bytes that are not UTF-8 become '?'.
std::string cell(const char* row, const zta::ColumnMeta& c) {
    if (c.type == zta::kColumnTypeInteger) {
        std::int32_t value;
        std::memcpy(&value, row + c.offset, sizeof value);
        return std::to_string(value);
    }
    std::size_t n = strnlen(row + c.offset, c.size);
    while (n > 0 && row[c.offset + n - 1] == ' ') --n;
    std::string out;
    const auto* s = reinterpret_cast<const unsigned char*>(row + c.offset);
    for (std::size_t i = 0; i < n;) {
        unsigned char b = s[i];
        std::size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        bool ok = len > 0 && i + len <= n;
        for (std::size_t k = 1; ok && k < len; ++k) ok = (s[i + k] & 0xC0) == 0x80;
        if (!ok || (len == 1 && (b < 0x20 || b == 0x7F))) {
            out.push_back('?');
            ++i;
        } else {
            out.append(reinterpret_cast<const char*>(s + i), len);
            i += len;
        }
    }
    return out;
}

// Characters a terminal shows for a UTF-8 text.
std::size_t shown_width(const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::size_t terminal_width() {
    if (const char* columns = std::getenv("COLUMNS")) {
        long n = std::strtol(columns, nullptr, 10);
        if (n >= 20) return static_cast<std::size_t>(n);
    }
    winsize size{};
    if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col;
    return 160;
}

// The columns shown by default: those the table's description gives a
// metrics role (what identifies and measures its objects), keys first, then
// states, then the figures; as many as fit the terminal.
std::vector<const zta::ColumnMeta*> default_columns(const zta::TableMeta& table) {
    std::vector<const zta::ColumnMeta*> chosen;
    auto rank = [](zta::Role role) { return role == zta::Role::key ? 0 : role == zta::Role::state ? 1 : 2; };
    for (int pass = 0; pass < 3; ++pass) {
        for (unsigned short i = 0; i < table.num_columns; ++i) {
            const zta::ColumnMeta& c = table.columns[i];
            if (c.role != zta::Role::none && rank(c.role) == pass) chosen.push_back(&c);
        }
    }
    if (chosen.empty()) {
        for (unsigned short i = 3; i < table.num_columns; ++i) chosen.push_back(&table.columns[i]);
    }
    return chosen;
}

// Prints the rows aligned under their column names; columns that would run
// past the terminal's width are left out (--columns or --all show them).
void print_table(const zta::TableMeta& table, tavro& object, std::vector<const zta::ColumnMeta*> columns, bool fit) {
    std::vector<std::vector<std::string>> cells;
    std::vector<std::size_t> widths;
    for (const zta::ColumnMeta* c : columns) widths.push_back(std::strlen(c->name));
    for (std::uint32_t r = 0; r < object.NumDataItems(); ++r) {
        std::vector<std::string> line;
        for (std::size_t k = 0; k < columns.size(); ++k) {
            line.push_back(cell(object.Data(r), *columns[k]));
            widths[k] = std::max(widths[k], shown_width(line.back()));
        }
        cells.push_back(std::move(line));
    }
    std::size_t shown = columns.size();
    if (fit) {
        std::size_t room = terminal_width(), used = 0;
        for (shown = 0; shown < columns.size(); ++shown) {
            std::size_t need = (shown == 0 ? 0 : 2) + widths[shown];
            if (shown > 0 && used + need > room) break;
            used += need;
        }
    }
    // The user log shows one reply: the heading says when the log held more.
    std::string held;
    if (const auto* ulog = dynamic_cast<const zta_txulogs_agent*>(&object);
        ulog != nullptr && ulog->LastDemandReply().more > 0) {
        held = " (of " + std::to_string(ulog->LastDemandReply().Total()) + " records in today's log; one reply)";
    }
    std::printf("%s: %u row%s%s%s\n", table.upper, object.NumDataItems(), object.NumDataItems() == 1 ? "" : "s",
                held.c_str(), shown < columns.size() ? " (more columns with --all or --columns)" : "");
    auto print_line = [&](auto&& text_of) {
        std::string out;
        for (std::size_t k = 0; k < shown; ++k) {
            std::string text = text_of(k);
            if (k > 0) out += "  ";
            out += text;
            if (k + 1 < shown) out.append(widths[k] - shown_width(text), ' ');
        }
        std::printf("%s\n", out.c_str());
    };
    print_line([&](std::size_t k) { return std::string(columns[k]->name); });
    print_line([&](std::size_t k) { return std::string(widths[k], '-'); });
    for (const auto& line : cells) print_line([&](std::size_t k) { return line[k]; });
}

// A table's ZTA_TABLE_METRICS as ztaquery --list shows it: "rows, scope
// group(srvgrp)".
std::string metrics_of(const zta::TableMeta& t) {
    std::string mode = t.metric_mode == zta::MetricsMode::rows        ? "rows"
                       : t.metric_mode == zta::MetricsMode::aggregate ? "aggregate"
                                                                       : "none";
    std::string scope = t.scope == zta::Scope::domain ? "domain" : t.scope == zta::Scope::machine ? "machine" : "group";
    if (t.scope != zta::Scope::domain && t.scope_column >= 0) {
        scope += std::string("(") + t.columns[t.scope_column].name + ")";
    }
    return mode + ", scope " + scope;
}

void print_list() {
    for (const zta::TableMeta& t : zta::kTables) {
        std::printf("%s  table %d, MIB class %s, series tuxedo_%s_*: %s%s\n", t.upper, t.number, t.mib_class,
                    t.metric_subject, metrics_of(t).c_str(),
                    TableManager::Find(t.upper) != nullptr ? "" : " (not served by this build)");
        for (unsigned short i = 0; i < t.num_columns; ++i) {
            const zta::ColumnMeta& c = t.columns[i];
            std::string type = c.type == zta::kColumnTypeInteger ? "integer" : "text " + std::to_string(c.size);
            // What the metrics endpoint makes of it, and its help.
            std::string series = std::string("tuxedo_") + t.metric_subject + "_" + c.metric;
            std::string metric;
            switch (c.role) {
                case zta::Role::key: metric = std::string("label ") + c.label; break;
                case zta::Role::counter: metric = "counter " + series + "_total"; break;
                case zta::Role::gauge: metric = "gauge " + series; break;
                case zta::Role::state: metric = std::string("label ") + c.label + " of " + series; break;
                case zta::Role::time: metric = "gauge " + series + "_timestamp_seconds"; break;
                case zta::Role::none: break;
            }
            if (*c.help != '\0') metric += std::string("  ") + c.help;
            char line[64];
            std::snprintf(line, sizeof line, "    %-11s %-9s %-18s", c.name, type.c_str(),
                          *c.attribute ? c.attribute : "(agent)");
            std::string text = metric.empty() ? std::string(line) : line + (" " + metric);
            text.erase(text.find_last_not_of(' ') + 1);
            std::printf("%s\n", text.c_str());
        }
    }
}

// Standard error while the agent's code runs: its join messages, error
// output and trace lines go to a temporary file, so that a failure can be
// told in one line of our own.
class QuietStderr {
public:
    QuietStderr() {
        const char* dir = std::getenv("TMPDIR");
        path_ = std::string(dir != nullptr && *dir ? dir : "/tmp") + "/ztaquery.XXXXXX";
        int fd = mkstemp(path_.data());
        if (fd < 0) return;
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~QuietStderr() { Restore(); }
    // What was written, and standard error back.
    std::string Restore() {
        if (saved_ < 0) return {};
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        saved_ = -1;
        std::string text;
        if (FILE* f = std::fopen(path_.c_str(), "r")) {
            char buffer[4096];
            std::size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
            std::fclose(f);
        }
        std::remove(path_.c_str());
        return text;
    }

private:
    std::string path_;
    int saved_ = -1;
};

// The text after `label` on its line in `text`, or "".
std::string line_after(const std::string& text, const std::string& label) {
    std::size_t at = text.rfind(label);
    if (at == std::string::npos) return "";
    at += label.size();
    return text.substr(at, text.find('\n', at) - at);
}

std::string tables_served() {
    std::string list;
    for (TableManager* m : TableManager::Registered()) list += (list.empty() ? "" : ", ") + std::string(m->TableName());
    return list;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Samples tables of a Tuxedo domain once, as the monitoring agent does, and prints them."};
    std::vector<std::string> names;
    std::vector<std::string> where;
    std::string columnList;
    bool json = false, all = false, list = false;
    app.add_option("tables", names, "Tables to sample (TXCLIENTS, TXSERVER, ...; any case)");
    app.add_flag("--json", json, "JSON Lines, one object per row, as the agent writes them");
    app.add_flag("--all", all, "Every column of the table");
    app.add_option("--columns", columnList, "Comma-separated columns to show, in that order");
    app.add_option("--where", where, "COLUMN OP VALUE: keep rows where it holds (OP: EQ NE LT LE GT GE); repeatable")
        ->expected(3)
        ->allow_extra_args(false)
        ->take_all();
    app.add_flag("--list", list, "List the tables and their columns");
    CLI11_PARSE(app, argc, argv);

    LoadAgents();
    if (list) {
        print_list();
        return 0;
    }
    if (names.empty()) {
        std::fprintf(stderr, "ztaquery: name at least one table (ztaquery --list shows them)\n");
        return kUsage;
    }

    // Everything the command line says is checked before the domain is joined.
    std::vector<AgwThreshold> thresholds;
    for (std::size_t i = 0; i + 2 < where.size(); i += 3) {
        AgwThreshold t;
        t.column = upper(where[i]);
        t.value = where[i + 2];
        const char* ops[] = {"EQ", "NE", "LT", "LE", "GT", "GE"};
        auto op = std::find(std::begin(ops), std::end(ops), upper(where[i + 1]));
        if (op == std::end(ops)) {
            std::fprintf(stderr, "ztaquery: --where %s %s %s: expected an operator EQ NE LT LE GT GE, got \"%s\"\n",
                         where[i].c_str(), where[i + 1].c_str(), where[i + 2].c_str(), where[i + 1].c_str());
            return kUsage;
        }
        t.op = static_cast<IntfOper>(op - std::begin(ops));
        thresholds.push_back(t);
    }
    struct Job {
        const zta::TableMeta* table;
        TableManager* manager;
        std::vector<const zta::ColumnMeta*> columns;
    };
    std::vector<Job> jobs;
    for (const std::string& name : names) {
        const zta::TableMeta* table = zta::FindTable(upper(name));
        if (table == nullptr) {
            std::fprintf(stderr, "ztaquery: \"%s\": expected a table name (ztaquery --list shows them)\n", name.c_str());
            return kUsage;
        }
        TableManager* manager = TableManager::Find(table->upper);
        if (manager == nullptr) {
            std::fprintf(stderr, "ztaquery: %s is not served by this build (served: %s)\n", table->upper,
                         tables_served().c_str());
            return kUsage;
        }
        auto find_column = [&](const std::string& column) -> const zta::ColumnMeta* {
            for (unsigned short i = 0; i < table->num_columns; ++i) {
                if (upper(column) == table->columns[i].upper) return &table->columns[i];
            }
            std::fprintf(stderr, "ztaquery: %s has no column \"%s\" (ztaquery --list shows them)\n", table->upper,
                         column.c_str());
            return nullptr;
        };
        for (const AgwThreshold& t : thresholds) {
            const zta::ColumnMeta* c = find_column(t.column);
            if (c == nullptr) return kUsage;
            char* end = nullptr;
            errno = 0;
            std::strtol(t.value.c_str(), &end, 10);
            if (c->type == zta::kColumnTypeInteger && (t.value.empty() || *end != '\0' || errno != 0)) {
                std::fprintf(stderr, "ztaquery: --where %s: expected a decimal integer, got \"%s\"\n",
                             t.column.c_str(), t.value.c_str());
                return kUsage;
            }
        }
        Job job{table, manager, {}};
        if (all) {
            for (unsigned short i = 0; i < table->num_columns; ++i) job.columns.push_back(&table->columns[i]);
        } else if (!columnList.empty()) {
            std::size_t start = 0;
            while (start <= columnList.size()) {
                std::size_t comma = std::min(columnList.find(',', start), columnList.size());
                const zta::ColumnMeta* c = find_column(columnList.substr(start, comma - start));
                if (c == nullptr) return kUsage;
                job.columns.push_back(c);
                start = comma + 1;
            }
        } else {
            job.columns = default_columns(*table);
        }
        jobs.push_back(std::move(job));
    }

    int status = 0;
    bool first = true;
    for (Job& job : jobs) {
        RequestDetail request;
        request.name = job.table->upper;
        request.table = job.table->upper;
        request.thresholds = thresholds;
        ContextInfo context;
        QuietStderr quiet;
        tavro* object = job.manager->NewTableObject(&request, &context);
        bool joined = Txinit::Joined();
        if (object != nullptr && joined) {
            object->BeginSample();
            object->TakeSample();
        }
        // A sample cut short (a failed call, a walk that made no progress)
        // is a failure too: its rows are not the whole table.
        bool sampled = object != nullptr && joined && Txinit::Joined() && !object->SampleIncomplete();
        std::string said = quiet.Restore();
        if (!sampled) {
            if (object == nullptr) {
                std::fprintf(stderr, "ztaquery: %s: no table object could be made\n", job.table->upper);
            } else if (!joined) {
                std::string why = line_after(said, "tpinit: <");
                std::fprintf(stderr, "ztaquery: cannot join the Tuxedo application%s%s\n",
                             why.empty() ? "" : ": ", why.substr(0, why.rfind('>')).c_str());
            } else {
                const std::string& why = object->SampleIncompleteReason();
                const std::string call = "tpcall: ";
                if (why.rfind(call, 0) == 0) {
                    std::fprintf(stderr, "ztaquery: %s: the MIB call failed: %s\n", job.table->upper,
                                 why.substr(call.size()).c_str());
                } else if (!why.empty()) {
                    std::fprintf(stderr, "ztaquery: %s: %s\n", job.table->upper, why.c_str());
                } else if (!Txinit::Joined()) {
                    std::fprintf(stderr, "ztaquery: %s: the MIB call failed: %s\n", job.table->upper,
                                 line_after(said, "Error Message : ").c_str());
                } else {
                    std::fprintf(stderr, "ztaquery: %s: the sample is incomplete\n", job.table->upper);
                }
            }
            if (object != nullptr) job.manager->DeleteTableObject(object);
            status = kTuxedoFailed;
            break;
        }
        if (json) {
            object->Dispatch();
        } else {
            if (!first) std::printf("\n");
            print_table(*job.table, *object, job.columns, !all && columnList.empty());
        }
        std::fflush(stdout);
        first = false;
        job.manager->DeleteTableObject(object);
    }
    zta_release_log_buffers();
    Txinit::DeleteInstance();
    return status;
}
