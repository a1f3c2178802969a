// ztaquery --watch: one membership for the whole run, a sample of every
// table named each interval, and a terminal screen redrawn with it. Each
// table shows its busiest objects first (servers by requests per second,
// queues by requests waiting, machines by their share of accessers in use),
// and its counters as rates per second since the previous sample.
#include <curses.h>
#include <langinfo.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ztaquery.h"

namespace ztaquery {

namespace {

using Clock = std::chrono::steady_clock;

// Set by SIGINT, SIGTERM and SIGHUP; the view leaves at its next turn. A
// signal handler can reach nothing but a flag of static storage.
volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

constexpr int kCtrlC = 3;  // read as a key: the terminal is in raw mode

std::string local_time(std::time_t when) {
    std::tm parts{};
    localtime_r(&when, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

// One table on the screen: its sampler, what the last sample gave, and the
// counters of the previous whole sample, for the rates.
struct Panel {
    Job* job = nullptr;
    std::unique_ptr<TableSampler> sampler;
    std::string failure;  // "" when the last sample was whole
    std::vector<std::string> headings;
    std::vector<std::vector<std::string>> rows;  // busiest first
    std::uint32_t total = 0;
    Shown order;                  // what the rows are ordered by, if anything
    std::vector<Shown> tracked;   // the counters shown, then the order's if it is another
    std::map<std::string, std::vector<std::int64_t>> previous;  // object -> tracked counters
    std::optional<Clock::time_point> previousAt;
};

bool is_counter(const Shown& s) { return s.column != nullptr && s.column->role == zta::Role::counter; }

bool same(const Shown& a, const Shown& b) { return a.column == b.column && a.companion == b.companion; }

Panel make_panel(Job& job, const std::vector<AgwThreshold>& thresholds) {
    Panel panel;
    panel.job = &job;
    panel.sampler = std::make_unique<TableSampler>(job, thresholds);
    // The view's order, else the first counter shown.
    panel.order = job.busiest;
    for (const Shown& s : job.columns) {
        if (is_counter(s)) {
            panel.tracked.push_back(s);
            if (panel.order.column == nullptr) panel.order = s;
        }
    }
    if (is_counter(panel.order) &&
        std::none_of(panel.tracked.begin(), panel.tracked.end(), [&](const Shown& s) { return same(s, panel.order); })) {
        panel.tracked.push_back(panel.order);
    }
    for (const Shown& s : job.columns) panel.headings.push_back(std::string(s.column->name) + (is_counter(s) ? "/s" : ""));
    return panel;
}

std::string rate_text(double rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", rate);
    return text;
}

// Builds the panel's rows from the sample just taken at `at`: counters as
// rates per second since the previous sample ("-" for an object new since
// then, or a counter that went down), the busiest first: by the order's rate
// (or, for a gauge, its value), then by its value.
void fill(Panel& panel, Clock::time_point at, bool stored) {
    const Job& job = *panel.job;
    const TableSampler& sampler = *panel.sampler;
    tavro& object = *sampler.Rows();
    const double seconds = panel.previousAt ? std::chrono::duration<double>(at - *panel.previousAt).count() : 0;

    struct Line {
        std::vector<std::string> cells;
        double weight = 0;
        double value = 0;
    };
    std::vector<Line> lines;
    std::map<std::string, std::vector<std::int64_t>> counters;
    for (std::uint32_t r = 0; r < object.NumDataItems(); ++r) {
        const char* row = object.Data(r);
        std::string key = sampler.KeyOf(row);
        std::vector<std::int64_t> now;
        for (const Shown& s : panel.tracked) now.push_back(sampler.IntegerOf(row, s));
        auto before = panel.previous.find(key);
        auto rate = [&](const Shown& s) -> std::optional<double> {
            std::size_t k = 0;
            while (k < panel.tracked.size() && !same(panel.tracked[k], s)) ++k;
            if (seconds <= 0 || before == panel.previous.end() || k >= now.size() || now[k] < before->second[k]) {
                return std::nullopt;
            }
            return static_cast<double>(now[k] - before->second[k]) / seconds;
        };
        Line line;
        for (const Shown& s : job.columns) {
            if (!is_counter(s)) {
                line.cells.push_back(sampler.CellOf(row, s, stored));
            } else if (auto per_second = rate(s)) {
                line.cells.push_back(rate_text(*per_second));
            } else {
                line.cells.push_back("-");
            }
        }
        if (panel.order.column != nullptr) {
            line.value = static_cast<double>(sampler.IntegerOf(row, panel.order));
            // Before the first rate, the biggest totals first.
            line.weight = is_counter(panel.order) && seconds > 0 ? rate(panel.order).value_or(-1) : line.value;
        }
        counters.emplace(std::move(key), std::move(now));
        lines.push_back(std::move(line));
    }
    if (panel.order.column != nullptr) {
        std::stable_sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) {
            return a.weight != b.weight ? a.weight > b.weight : a.value > b.value;
        });
    }
    panel.rows.clear();
    for (Line& line : lines) panel.rows.push_back(std::move(line.cells));
    panel.total = object.NumDataItems();
    panel.previous = std::move(counters);
    panel.previousAt = at;
}

// A line as the terminal can show it: cut to its width, and plain ASCII when
// the terminal's character set is not UTF-8.
std::string fit_line(std::string text, std::size_t width, bool utf8) {
    if (!utf8) {
        for (char& c : text) {
            if (static_cast<unsigned char>(c) >= 0x80) c = '?';
        }
    }
    return CutToWidth(text, width);
}

void put(int y, const std::string& text, bool utf8, attr_t attributes = A_NORMAL) {
    if (y >= LINES) return;
    attron(attributes);
    mvaddstr(y, 0, fit_line(text, static_cast<std::size_t>(COLS), utf8).c_str());
    attroff(attributes);
}

// Draws a panel from line `y`, in at most `height` lines.
void draw(const Panel& panel, int y, int height, bool utf8) {
    const Job& job = *panel.job;
    if (height <= 0) return;
    if (!panel.failure.empty()) {
        put(y, job.table->upper + std::string(": ") + panel.failure, utf8, A_BOLD);
        return;
    }
    const std::size_t room = static_cast<std::size_t>(COLS);
    std::vector<std::size_t> widths;
    for (const std::string& h : panel.headings) widths.push_back(ShownWidth(h));
    for (const auto& row : panel.rows) {
        for (std::size_t k = 0; k < row.size(); ++k) widths[k] = std::max(widths[k], ShownWidth(row[k]));
    }
    // As many columns as fit; a last text column with room for ten characters is cut.
    std::size_t shown = 0, used = 0;
    for (; shown < widths.size(); ++shown) {
        std::size_t gap = shown == 0 ? 0 : 2;
        if (shown > 0 && used + gap + widths[shown] > room) {
            if (shown + 1 == widths.size() && job.columns[shown].column->type == zta::kColumnTypeText &&
                used + gap + 10 <= room) {
                widths[shown] = room - used - gap;
                ++shown;
            }
            break;
        }
        used += gap + widths[shown];
    }
    auto line_of = [&](const std::vector<std::string>& cells) {
        std::string out;
        for (std::size_t k = 0; k < shown; ++k) {
            std::string text = CutToWidth(cells[k], widths[k]);
            if (k > 0) out += "  ";
            out += text;
            if (k + 1 < shown) out.append(widths[k] - ShownWidth(text), ' ');
        }
        return out;
    };
    const std::size_t fits = static_cast<std::size_t>(std::max(0, height - 2));
    std::string title = std::string(job.table->upper) + ": " + std::to_string(panel.total) +
                        (panel.total == 1 ? " row" : " rows");
    if (panel.rows.size() > fits) title += ", the first " + std::to_string(fits) + " shown";
    if (panel.order.column != nullptr) {
        title += std::string(", busiest first (") + panel.order.column->name + (is_counter(panel.order) ? "/s" : "") +
                 ")";
    }
    put(y, title, utf8, A_BOLD);
    if (height < 2) return;
    put(y + 1, line_of(panel.headings), utf8, A_UNDERLINE);
    for (std::size_t r = 0; r < panel.rows.size() && r < fits; ++r) {
        put(y + 2 + static_cast<int>(r), line_of(panel.rows[r]), utf8);
    }
}

void draw_screen(const std::vector<Panel>& panels, const std::string& heading, bool utf8) {
    erase();
    put(0, heading, utf8, A_REVERSE);
    const int n = static_cast<int>(panels.size());
    const int share = std::max(3, (LINES - 1) / n);
    int y = 1;
    for (const Panel& panel : panels) {
        if (y >= LINES) break;
        // A blank line between panels, and each its share of the lines.
        int height = std::min(share, LINES - y) - (y > 1 ? 1 : 0);
        draw(panel, y + (y > 1 ? 1 : 0), height, utf8);
        y += share;
    }
    refresh();
}

}  // namespace

int Watch(std::vector<Job>& jobs, const std::vector<AgwThreshold>& thresholds, int seconds, bool stored) {
    std::setlocale(LC_ALL, "");
    const bool utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    // The agent's own messages (the join, failed calls, the logout) go to
    // standard error when it is not the screen, a record of the run.
    const bool record = isatty(STDERR_FILENO) == 0;

    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (screen == nullptr) {
        std::fprintf(stderr, "ztaquery: --watch: this terminal (TERM=%s) cannot be drawn on\n",
                     std::getenv("TERM") != nullptr ? std::getenv("TERM") : "");
        return 2;
    }
    set_term(screen);
    ::raw();
    noecho();
    keypad(stdscr, TRUE);
    curs_set(0);
    struct sigaction action{};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);

    std::vector<Panel> panels;
    for (Job& job : jobs) panels.push_back(make_panel(job, thresholds));
    const std::chrono::seconds interval(seconds);
    std::string heading;
    while (stop_requested == 0) {
        const Clock::time_point at = Clock::now();
        heading = "ztaquery: sampled " + local_time(std::time(nullptr)) + ", every " + std::to_string(seconds) +
                  " s; q leaves";
        for (Panel& panel : panels) {
            std::string said;
            panel.failure = panel.sampler->TakeQuietly(said);
            if (record && !said.empty()) {
                std::fputs(said.c_str(), stderr);
                std::fflush(stderr);
            }
            if (panel.failure.empty()) fill(panel, at, stored);
        }
        draw_screen(panels, heading, utf8);
        // Keys until the next sample is due; a resize redraws at once.
        const Clock::time_point next = at + interval;
        while (stop_requested == 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
            if (left <= 0) break;
            timeout(static_cast<int>(std::min<long long>(left, 200)));
            int key = getch();
            if (key == 'q' || key == 'Q' || key == kCtrlC) {
                stop_requested = 1;
            } else if (key == KEY_RESIZE) {
                draw_screen(panels, heading, utf8);
            }
        }
    }
    endwin();
    delscreen(screen);
    panels.clear();  // the table objects, before the membership ends
    if (record) {
        std::fprintf(stderr, "Logging out of Application\n");
        std::fflush(stderr);
    }
    return 0;
}

}  // namespace ztaquery
