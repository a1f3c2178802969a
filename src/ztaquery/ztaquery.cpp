// ztaquery: joins the Tuxedo application as the agent does, samples the named
// tables once through the agent's own table objects, prints their rows as an
// aligned table (or JSON Lines, the agent's row format) and leaves; with
// --watch it stays joined and redraws a live view (watch.cpp). With --agent
// it joins nothing: it reads the running agent's latest complete samples
// from its endpoint (agent.cpp).
//
//   ztaquery TXSERVER
//   ztaquery --where STATE '~=' active --columns srvgrp,srvid,state TXSERVER
//   ztaquery --json TXCLIENTS TXMSTATS
//   ztaquery --occurs 200 TXCLIENTS
//   ztaquery --watch 2 TXSERVER TXQLOAD
//   ztaquery --list TXSERVER
//   ztaquery --agent http://127.0.0.1:9464 TXSERVER
//
// Standard output carries ztaquery's own output only: what the agent's code
// writes while it samples (the join, trace lines, the MIB replies TXAPPQ
// prints) is held, and goes to standard error with --verbose.
//
// Exit status: 0 when every table was sampled whole, 1 when the join or a
// MIB call failed or a sample was cut short (the rows read are still
// printed; one line on standard error says what went wrong), 2 for a bad
// command line. When the Tuxedo libraries end the process inside a sample
// (GuardTheSamples), their status, with one line naming the table and the
// last line they wrote.
#include "ztaquery.h"

#include <CLI/CLI.hpp>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "ascii.h"
#include "printable.h"
#include "wbtime.h"
#include "zta16agt.h"
#include "zta_agent.h"

namespace ztaquery {

namespace {

constexpr int kTuxedoFailed = 1;
constexpr int kUsage = 2;

using zcommon::EqualsIgnoreCase;
using zcommon::ToUpper;

// A text column holding a WB timestamp: a moment (role time) or one of the
// sample and record times the agent writes itself (16 characters, no MIB
// attribute).
bool is_wb_timestamp(const zta::ColumnMeta& c) {
    return c.type == zta::kColumnTypeText &&
           (c.role == zta::Role::time || (c.size == 16 && *c.attribute == '\0'));
}

// A share in hundredths of a percent (scale 0.0001) with one decimal, cut
// toward zero as the agent cuts it: 2550 is "25.5%". A whole percent (scale
// 0.01) as it is: "12%".
std::string percent(std::int32_t value, double scale) {
    char out[32];
    if (std::fabs(scale - 0.01) < 1e-12) {
        std::snprintf(out, sizeof out, "%d%%", value);
    } else {
        long long tenths = value / 10;
        std::snprintf(out, sizeof out, "%s%lld.%lld%%", tenths < 0 ? "-" : "", std::llabs(tenths) / 10,
                      std::llabs(tenths) % 10);
    }
    return out;
}

bool is_percent(const zta::ColumnMeta& c) {
    return c.type == zta::kColumnTypeInteger && (c.role == zta::Role::gauge || c.role == zta::Role::counter) &&
           (std::fabs(c.scale - 0.0001) < 1e-12 || std::fabs(c.scale - 0.01) < 1e-12);
}

// The columns ztaquery shows of a table by default, the way an operator's
// administration tool lists its objects; a name "table.column" is the
// companion's column of the same object. Tables not named here show the
// columns their description gives a metrics role.
struct DefaultView {
    const char* table;
    const char* companion;  // "" for none
    const char* columns;    // comma-separated
    const char* busiest;    // the live view's order ("" for the first counter shown)
};
constexpr DefaultView kDefaultViews[] = {
    {"TXSERVER", "TXSRVSTAT",
     "servernm,srvgrp,srvid,rqaddr,txsrvstat.totreqc,txsrvstat.totworkl,txsrvstat.currsvc,state",
     "txsrvstat.totreqc"},
    {"TXSRVSTAT", "", "srvgrp,srvid,totreqc,totworkl,curreq,currsvc", "totreqc"},
    {"TXSVCGRP", "", "servicenm,svcgrp,lmid,state,ncompleted,nqueued", "ncompleted"},
    {"TXSVRQ", "TXQLOAD", "rqaddr,servername,servercnt,txqload.nqueued,txqload.wkqueued,lmid", "txqload.nqueued"},
    {"TXQLOAD", "", "servernm,source,nqueued,wkqueued,totnqueued", "nqueued"},
    {"TXCLIENTS", "", "lmid,username,clientname,state,netaddr", ""},
    {"TXULOGS", "", "ulog_tm,lmid,ulogprocnm,severity,ulogmsg", ""},
    {"TXMSTATS", "", "", "pctaccess"},
};

const zta::ColumnMeta* column_named(const zta::TableMeta& table, const std::string& name) {
    for (unsigned short i = 0; i < table.num_columns; ++i) {
        if (ToUpper(name) == table.columns[i].upper) return &table.columns[i];
    }
    return nullptr;
}

// The columns that identify and measure a table's objects (those its
// description gives a metrics role): keys first, then states, then figures.
std::vector<Shown> role_columns(const zta::TableMeta& table) {
    std::vector<Shown> chosen;
    auto rank = [](zta::Role role) { return role == zta::Role::key ? 0 : role == zta::Role::state ? 1 : 2; };
    for (int pass = 0; pass < 3; ++pass) {
        for (unsigned short i = 0; i < table.num_columns; ++i) {
            const zta::ColumnMeta& c = table.columns[i];
            if (c.role != zta::Role::none && rank(c.role) == pass) chosen.push_back({&c, false});
        }
    }
    if (chosen.empty()) {
        for (unsigned short i = 3; i < table.num_columns; ++i) chosen.push_back({&table.columns[i], false});
    }
    return chosen;
}

// A column of the default view: "name" of the table or "table.name" of its
// companion.
Shown view_column(const Job& job, const std::string& name) {
    std::size_t dot = name.find('.');
    if (dot == std::string::npos) return {column_named(*job.table, name), false};
    if (job.companion == nullptr || ToUpper(name.substr(0, dot)) != job.companion->upper) return {};
    return {column_named(*job.companion, name.substr(dot + 1)), true};
}

// Sets the job's default columns, companion and order.
void choose_default_view(Job& job) {
    const DefaultView* view = nullptr;
    for (const DefaultView& v : kDefaultViews) {
        if (job.table->upper == std::string_view(v.table)) view = &v;
    }
    job.columns = role_columns(*job.table);
    if (view == nullptr) return;
    if (*view->companion != '\0') {
        job.companion = zta::FindTable(view->companion);
        job.companion_manager = job.companion != nullptr ? TableManager::Find(job.companion->upper) : nullptr;
        if (job.companion_manager == nullptr) job.companion = nullptr;  // not served by this build
    }
    if (*view->columns != '\0') {
        job.columns.clear();
        std::string list = view->columns;
        for (std::size_t start = 0; start <= list.size();) {
            std::size_t comma = std::min(list.find(',', start), list.size());
            Shown shown = view_column(job, list.substr(start, comma - start));
            if (shown.column != nullptr) job.columns.push_back(shown);
            start = comma + 1;
        }
    }
    if (*view->busiest != '\0') job.busiest = view_column(job, view->busiest);
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

void print_table(const Job& job, const TableSampler& sampler, bool raw) {
    tavro& object = *sampler.Rows();
    // The user log shows one reply: the heading says when the log held more.
    std::string held;
    if (const auto* ulog = dynamic_cast<const zta_txulogs_agent*>(&object);
        ulog != nullptr && ulog->LastDemandReply().more > 0) {
        held = " (of " + std::to_string(ulog->LastDemandReply().Total()) + " records in today's log; one reply)";
    }
    PrintTable(job, object.NumDataItems(), held,
               [&](std::size_t r, const Shown& shown) { return sampler.CellOf(object.Data(static_cast<std::uint32_t>(r)), shown, raw); });
}


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

// Prints the rows aligned under their column names. Fitted to the terminal,
// columns that would run past its width are left out (--columns or --all
// show them), but for a last text column with room for ten characters,
// which is cut instead.
void PrintTable(const Job& job, std::size_t count, const std::string& held,
                const std::function<std::string(std::size_t, const Shown&)>& cell) {
    const auto& columns = job.columns;
    std::vector<std::vector<std::string>> cells;
    std::vector<std::size_t> widths;
    for (const Shown& c : columns) widths.push_back(std::strlen(c.column->name));
    for (std::size_t r = 0; r < count; ++r) {
        std::vector<std::string> line;
        for (std::size_t k = 0; k < columns.size(); ++k) {
            line.push_back(cell(r, columns[k]));
            widths[k] = std::max(widths[k], ShownWidth(line.back()));
        }
        cells.push_back(std::move(line));
    }
    std::size_t shown = columns.size();
    if (job.fit) {
        std::size_t room = terminal_width(), used = 0;
        for (shown = 0; shown < columns.size(); ++shown) {
            std::size_t gap = shown == 0 ? 0 : 2;
            if (shown > 0 && used + gap + widths[shown] > room) {
                if (shown + 1 == columns.size() && columns[shown].column->type == zta::kColumnTypeText &&
                    used + gap + 10 <= room) {
                    widths[shown] = room - used - gap;
                    ++shown;
                }
                break;
            }
            used += gap + widths[shown];
        }
    }
    std::printf("%s: %zu row%s%s%s\n", job.table->upper, count, count == 1 ? "" : "s",
                held.c_str(), shown < columns.size() ? " (more columns with --all or --columns)" : "");
    auto print_line = [&](auto&& text_of) {
        std::string out;
        for (std::size_t k = 0; k < shown; ++k) {
            std::string text = CutToWidth(text_of(k), widths[k]);
            if (k > 0) out += "  ";
            out += text;
            if (k + 1 < shown) out.append(widths[k] - ShownWidth(text), ' ');
        }
        std::printf("%s\n", out.c_str());
    };
    print_line([&](std::size_t k) { return std::string(columns[k].column->name); });
    print_line([&](std::size_t k) { return std::string(widths[k], '-'); });
    for (const auto& line : cells) print_line([&](std::size_t k) { return line[k]; });
}


// ---- Cells -------------------------------------------------------------------

std::int64_t IntegerOf(const char* row, const zta::ColumnMeta& c) {
    if (c.type != zta::kColumnTypeInteger) return 0;
    std::int32_t value;
    std::memcpy(&value, row + c.offset, sizeof value);
    return value;
}

std::string StoredCell(const char* row, const zta::ColumnMeta& c) {
    if (c.type == zta::kColumnTypeInteger) return std::to_string(IntegerOf(row, c));
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

std::string Cell(const char* row, const zta::ColumnMeta& c, bool raw) {
    if (!raw && is_percent(c)) return percent(static_cast<std::int32_t>(IntegerOf(row, c)), c.scale);
    std::string stored = StoredCell(row, c);
    if (!raw && is_wb_timestamp(c)) {
        // "1241209040000000" as "2024-12-09 04:00:00"
        std::string date = zcommon::WbTimeReadable(stored);
        if (!date.empty()) return date;
    }
    return stored;
}

std::size_t ShownWidth(const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string CutToWidth(const std::string& text, std::size_t width) {
    if (ShownWidth(text) <= width) return text;
    if (width == 0) return "";
    std::size_t chars = 0, at = 0;
    for (; at < text.size(); ++at) {
        if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80 && chars++ == width - 1) break;
    }
    return text.substr(0, at) + "~";
}

// ---- Output held while the agent's code runs ------------------------------------

namespace {

// The held file, made once and shared with the guarding parent, and the
// table being sampled ("" between samples) in memory shared with it too.
// Set up and used on the main thread only, the one that samples.
struct Held {
    int file = -1;
    char* sampling = nullptr;  // kSamplingSize bytes when guarded
};
constexpr std::size_t kSamplingSize = 64;
Held& held() {
    static Held h;
    if (h.file < 0) {
        // A memory file, else a file in TMPDIR unlinked as soon as it is made.
        h.file = memfd_create("ztaquery-held", MFD_CLOEXEC);
        if (h.file < 0) {
            const char* dir = std::getenv("TMPDIR");
            std::string path = std::string(dir != nullptr && *dir ? dir : "/tmp") + "/ztaquery.XXXXXX";
            h.file = mkstemp(path.data());
            if (h.file >= 0) unlink(path.c_str());
        }
    }
    return h;
}

// What the held file holds, emptied.
std::string take_held(int file) {
    std::string text;
    if (lseek(file, 0, SEEK_SET) == 0) {
        char buffer[4096];
        ssize_t n;
        while ((n = read(file, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    }
    // Emptied for the next text (should that fail, it is read with this one).
    if (ftruncate(file, 0) == 0) lseek(file, 0, SEEK_SET);
    return text;
}

// The guarded child's process id for the parent's signal handler, which can
// reach nothing but a flag of static storage; written once before the
// handler is set.
volatile std::sig_atomic_t guarded_child = 0;

void forward_signal(int signal) {
    if (guarded_child > 0) kill(static_cast<pid_t>(guarded_child), signal);
}

// The last line of a text that has something on it, printable.
std::string last_line(const std::string& text) {
    std::size_t end = text.find_last_not_of(" \t\r\n");
    if (end == std::string::npos) return "";
    std::size_t start = text.rfind('\n', end);
    start = start == std::string::npos ? 0 : start + 1;
    return zcommon::Printable(text.substr(start, end + 1 - start), zcommon::kPrintableLine);
}

}  // namespace

QuietOutput::QuietOutput(const char* sampling) {
    Held& h = held();
    if (h.file < 0) return;
    std::fflush(stdout);
    std::fflush(stderr);
    take_held(h.file);
    savedOut_ = dup(STDOUT_FILENO);
    savedErr_ = dup(STDERR_FILENO);
    if (savedOut_ < 0 || savedErr_ < 0 || dup2(h.file, STDOUT_FILENO) < 0 || dup2(h.file, STDERR_FILENO) < 0) {
        Restore();
        return;
    }
    if (h.sampling != nullptr) std::snprintf(h.sampling, kSamplingSize, "%s", sampling);
}

QuietOutput::~QuietOutput() { Restore(); }

std::string QuietOutput::Restore() {
    if (savedOut_ < 0 && savedErr_ < 0) return {};
    std::fflush(stdout);
    std::fflush(stderr);
    for (auto [saved, fd] : {std::pair{savedOut_, STDOUT_FILENO}, std::pair{savedErr_, STDERR_FILENO}}) {
        if (saved < 0) continue;
        dup2(saved, fd);
        close(saved);
    }
    savedOut_ = savedErr_ = -1;
    Held& h = held();
    if (h.sampling != nullptr) *h.sampling = '\0';
    return take_held(h.file);
}

void GuardTheSamples(bool verbose) {
    Held& h = held();
    void* shared = mmap(nullptr, kSamplingSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (h.file < 0 || shared == MAP_FAILED) return;
    // Shared before the child starts, which may write it at once; a new
    // mapping holds zeros, so "" until a sample begins.
    h.sampling = static_cast<char*>(shared);
    std::fflush(nullptr);
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        h.sampling = nullptr;
        munmap(shared, kSamplingSize);
        return;
    }
    if (child == 0) {
        // Ends with the parent, should that be killed.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) std::_Exit(kTuxedoFailed);
        return;
    }
    // Keys that signal the terminal's process group reach the child too;
    // a signal sent to this process alone is passed on.
    guarded_child = child;
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGQUIT, SIG_IGN);
    struct sigaction pass{};
    pass.sa_handler = forward_signal;
    sigemptyset(&pass.sa_mask);
    for (int signal : {SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaction(signal, &pass, nullptr);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    const std::string sampling(h.sampling, strnlen(h.sampling, kSamplingSize));
    int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : kTuxedoFailed;
    const int ended_by = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    const bool asked = ended_by == SIGINT || ended_by == SIGTERM || ended_by == SIGHUP || ended_by == SIGQUIT ||
                       ended_by == SIGPIPE;
    if (!sampling.empty() && !asked) {
        const std::string said = take_held(h.file);
        if (verbose) std::fputs(said.c_str(), stderr);
        const std::string how =
            ended_by != 0 ? std::string("signal ") + strsignal(ended_by) : "status " + std::to_string(exit_status);
        const std::string last = last_line(said);
        std::fprintf(stderr, "ztaquery: %s: the process ended (%s) inside the sample%s%s\n", sampling.c_str(),
                     how.c_str(), last.empty() ? "" : ": ", last.c_str());
        if (exit_status == 0) exit_status = kTuxedoFailed;
    }
    std::fflush(stderr);
    if (asked) {
        // Ends the same way, as a shell expects of a program it stopped.
        std::signal(ended_by, SIG_DFL);
        raise(ended_by);
    }
    std::_Exit(exit_status);
}

// ---- Sampling ------------------------------------------------------------------

TableSampler::TableSampler(const Job& job, const std::vector<AgwThreshold>& thresholds) : job_(job) {
    request_.name = request_.table = job.table->upper;
    request_.thresholds = thresholds;
    if (job.occurs > 0) request_.settings["mib.occurs"] = std::to_string(job.occurs);
    if (job.companion == nullptr) return;
    companionRequest_.name = companionRequest_.table = job.companion->upper;
    companionRequest_.settings = request_.settings;
    joinOn_ = companion_join(job);
}

JoinColumns companion_join(const Job& job) {
    JoinColumns join;
    for (unsigned short i = 0; i < job.companion->num_columns; ++i) {
        const zta::ColumnMeta& key = job.companion->columns[i];
        if (key.role != zta::Role::key) continue;
        const zta::ColumnMeta* mine = nullptr;
        for (unsigned short k = 0; k < job.table->num_columns && mine == nullptr; ++k) {
            const zta::ColumnMeta& c = job.table->columns[k];
            if ((c.role == zta::Role::key || c.role == zta::Role::state) && std::strcmp(c.label, key.label) == 0) {
                mine = &c;
            }
        }
        join.emplace_back(&key, mine);
    }
    return join;
}

TableSampler::~TableSampler() {
    if (object_ != nullptr) job_.manager->DeleteTableObject(object_);
    if (companion_ != nullptr) job_.companion_manager->DeleteTableObject(companion_);
}

namespace {

enum class Outcome { whole, no_object, not_joined, incomplete };

Outcome sample_one(TableManager* manager, tavro*& object, RequestDetail& request, ContextInfo& context) {
    if (object == nullptr) {
        // Making the first object joins the application.
        object = manager->NewTableObject(&request, &context);
        if (object == nullptr) return Outcome::no_object;
    } else if (!Txinit::Joined()) {
        Txinit::Instance();  // left after a failed call: join again
    }
    if (!Txinit::Joined()) return Outcome::not_joined;
    // As the framework samples: under the manager's lock, the rows of the
    // previous sample dropped, an exception an incomplete sample.
    manager->lock();
    object->ClearCount();
    object->BeginSample();
    try {
        object->TakeSample();
    } catch (const std::exception& e) {
        object->MarkSampleIncomplete(std::string("the sample failed: ") + e.what());
    } catch (...) {
        object->MarkSampleIncomplete("the sample failed");
    }
    manager->unlock();
    // A sample cut short (a failed call, a walk that made no progress) is a
    // failure too: its rows are not the whole table.
    return Txinit::Joined() && !object->SampleIncomplete() ? Outcome::whole : Outcome::incomplete;
}

std::string failure(Outcome outcome, const zta::TableMeta& table, const tavro* object, const std::string& said) {
    const std::string name = table.upper;
    switch (outcome) {
        case Outcome::whole: return "";
        case Outcome::no_object: return name + ": no table object could be made";
        case Outcome::not_joined: {
            // A failed join, or (watching) the wait before the next attempt.
            std::string reason = Txinit::NotJoinedReason();
            if (reason.empty()) reason = "cannot join the Tuxedo application";
            std::string why = line_after(said, "tpinit: <");
            return reason + (why.empty() ? "" : ": " + why.substr(0, why.rfind('>')));
        }
        case Outcome::incomplete: break;
    }
    const std::string& why = object->SampleIncompleteReason();
    const std::string call = "tpcall: ";
    if (why.rfind(call, 0) == 0) return name + ": the MIB call failed: " + why.substr(call.size());
    if (!why.empty()) return name + ": " + why;
    if (!Txinit::Joined()) return name + ": the MIB call failed: " + line_after(said, "Error Message : ");
    return name + ": the sample is incomplete";
}

}  // namespace

std::string TableSampler::TakeQuietly(std::string& said) {
    Outcome outcome;
    const zta::TableMeta* table = job_.table;
    const tavro* object = nullptr;
    {
        QuietOutput quiet(job_.table->upper);
        outcome = sample_one(job_.manager, object_, request_, context_);
        object = object_;
        if (outcome == Outcome::whole && job_.companion != nullptr) {
            outcome = sample_one(job_.companion_manager, companion_, companionRequest_, context_);
            table = job_.companion;
            object = companion_;
        }
        said = quiet.Restore();
    }
    // A sample cut short after it read rows still gave those.
    partial_ = outcome == Outcome::incomplete && object_->NumDataItems() > 0;
    if (outcome == Outcome::whole || partial_) {
        KeepMatching();
        IndexCompanion();
    }
    return failure(outcome, *table, object, said);
}

// Keeps the rows every `~=` condition holds for, numbered again as the
// framework numbers the rows a situation keeps.
void TableSampler::KeepMatching() {
    if (job_.matches.empty()) return;
    const std::size_t size = object_->DataSize();
    std::vector<char> kept;
    std::uint32_t count = 0;
    for (std::uint32_t r = 0; r < object_->NumDataItems(); ++r) {
        const char* row = object_->Data(r);
        bool holds = std::all_of(job_.matches.begin(), job_.matches.end(), [&](const TextMatch& m) {
            return EqualsIgnoreCase(StoredCell(row, *m.column), m.value);
        });
        if (!holds) continue;
        kept.insert(kept.end(), row, row + size);
        ++count;
    }
    object_->ClearCount();
    for (std::uint32_t r = 0; r < count; ++r) object_->InsertRow(kept.data() + static_cast<std::size_t>(r) * size);
}

void TableSampler::IndexCompanion() {
    companionIndex_.clear();
    if (companion_ == nullptr) return;
    for (std::uint32_t r = 0; r < companion_->NumDataItems(); ++r) {
        std::string key;
        for (const auto& [theirs, mine] : joinOn_) key += StoredCell(companion_->Data(r), *theirs) + '\x1f';
        companionIndex_.emplace(std::move(key), r);
    }
}

const char* TableSampler::CompanionRow(const char* row) const {
    if (companion_ == nullptr) return nullptr;
    std::string key;
    for (const auto& [theirs, mine] : joinOn_) {
        if (mine == nullptr) return nullptr;
        key += StoredCell(row, *mine) + '\x1f';
    }
    auto at = companionIndex_.find(key);
    return at == companionIndex_.end() ? nullptr : companion_->Data(at->second);
}

std::string TableSampler::CellOf(const char* row, const Shown& shown, bool raw) const {
    if (!shown.companion) return Cell(row, *shown.column, raw);
    const char* theirs = CompanionRow(row);
    return theirs == nullptr ? "" : Cell(theirs, *shown.column, raw);
}

std::int64_t TableSampler::IntegerOf(const char* row, const Shown& shown) const {
    if (!shown.companion) return ztaquery::IntegerOf(row, *shown.column);
    const char* theirs = CompanionRow(row);
    return theirs == nullptr ? 0 : ztaquery::IntegerOf(theirs, *shown.column);
}

std::string TableSampler::KeyOf(const char* row) const {
    std::string key;
    for (unsigned short i = 0; i < job_.table->num_columns; ++i) {
        const zta::ColumnMeta& c = job_.table->columns[i];
        if (c.role == zta::Role::key) key += StoredCell(row, c) + '\x1f';
    }
    return key;
}

// ---- The command line ------------------------------------------------------------

namespace {

int run(int argc, char** argv) {
    CLI::App app{"Samples tables of a Tuxedo domain once, as the monitoring agent does, and prints them."};
    std::vector<std::string> names;
    std::vector<std::string> where;
    std::string columnList;
    bool json = false, all = false, list = false, raw = false, verbose = false;
    int watch = 0;
    app.add_option("tables", names, "Tables to sample (TXCLIENTS, TXSERVER, ...; any case)");
    auto* watchOption =
        app.add_option("--watch", watch, "SECONDS: stay joined and redraw a live view every SECONDS (q leaves)")
            ->check(CLI::Range(1, 3600));
    app.add_flag("--json", json,
                 "JSON Lines, one object per row, as the agent writes them; a sample cut short ends with the "
                 "agent's sample record, \"complete\":false and its reason")
        ->excludes(watchOption);
    app.add_flag("--verbose", verbose,
                 "Standard error also gets what the agent's code writes while it samples: the join, trace "
                 "lines, the replies a table prints (TXAPPQ)");
    app.add_flag("--all", all, "Every column of the table");
    app.add_option("--columns", columnList, "Comma-separated columns to show, in that order");
    app.add_flag("--raw", raw, "Timestamps and percentages as the rows hold them");
    app.add_option("--where", where,
                   "COLUMN OP VALUE: keep rows where it holds (OP: EQ NE LT LE GT GE, or ~= for text equal "
                   "ignoring case); repeatable")
        ->expected(3)
        ->allow_extra_args(false)
        ->take_all();
    bool markdown = false;
    app.add_flag("--list", list,
                 "List the tables (or the tables named), their columns and the metric families the agent serves");
    app.add_flag("--markdown", markdown, "With --list: every metric family as a Markdown reference")
        ->needs(app.get_option("--list"));
    long occurs = 0;
    auto* occursOption =
        app.add_option("--occurs", occurs,
                       "N: ask the MIB for N objects per call (1 to 10000; default 1, as the agent's mib: {occurs: N})")
            ->check(CLI::Range(1L, 10000L));
    AgentAccess agent;
    auto* agentOption = app.add_option("--agent", agent.url,
                                       "URL: read the running agent's latest complete samples from its rows endpoint "
                                       "(http://127.0.0.1:9464) instead of joining the domain")
                            ->excludes(watchOption);
    auto* userOption = app.add_option("--user", agent.user,
                                      "USER: basic authentication at the agent, the password from --password-file "
                                      "or " + std::string(kPasswordVariable))
                           ->needs(agentOption);
    std::string passwordFile;
    app.add_option("--password-file", passwordFile, "FILE: the first line is the password of --user (mode 600)")
        ->needs(userOption);
    app.add_option("--cacert", agent.cacert, "FILE: https: trust the CA certificates in FILE (PEM)")
        ->check(CLI::ExistingFile)
        ->needs(agentOption);
    auto* certOption = app.add_option("--cert", agent.cert, "FILE: https: present the client certificate in FILE (PEM)")
                           ->check(CLI::ExistingFile)
                           ->needs(agentOption);
    app.add_option("--key", agent.key, "FILE: the private key of --cert, when its file does not hold it")
        ->check(CLI::ExistingFile)
        ->needs(certOption);
    app.add_flag("--insecure", agent.insecure, "https: do not check the agent's certificate")->needs(agentOption);
    app.get_option("--where")->excludes(agentOption);
    app.footer(
        "Standard output carries the tables (or JSON lines) only; what the agent's code writes while it samples "
        "goes to standard error with --verbose, else nowhere.\nExit status: 0 when every table was sampled whole; 1 "
        "when the join or a MIB call failed or a sample was cut short (the rows read are still printed, the reason "
        "in one line on standard error); 2 for a bad command line.");
    occursOption->excludes(agentOption);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "ztaquery: %s (ztaquery --help shows the options)\n", e.what());
        return kUsage;
    }

    if (!agent.user.empty()) {
        if (std::string why = TakePassword(agent, passwordFile); !why.empty()) {
            std::fprintf(stderr, "ztaquery: %s\n", why.c_str());
            return kUsage;
        }
    }

    LoadAgents();
    std::vector<const zta::TableMeta*> tables;
    for (const std::string& name : names) {
        const zta::TableMeta* table = zta::FindTable(ToUpper(name));
        if (table == nullptr) {
            std::fprintf(stderr, "ztaquery: \"%s\": expected a table name (ztaquery --list shows them)\n", name.c_str());
            return kUsage;
        }
        tables.push_back(table);
    }
    if (list) {
        if (markdown) {
            PrintMarkdown();
        } else {
            PrintList(tables);
        }
        return 0;
    }
    if (tables.empty()) {
        std::fprintf(stderr, "ztaquery: name at least one table (ztaquery --list shows them)\n");
        return kUsage;
    }

    // Everything the command line says is checked before the domain is joined.
    struct Condition {
        std::string column;
        std::string op;
        std::string value;
    };
    std::vector<Condition> conditions;
    std::vector<AgwThreshold> thresholds;
    for (std::size_t i = 0; i + 2 < where.size(); i += 3) {
        Condition c{ToUpper(where[i]), ToUpper(where[i + 1]), where[i + 2]};
        IntfOper op = EQ;
        const bool compares = agw::ParseOperator(c.op, &op);
        if (!compares && c.op != "~=") {
            std::fprintf(stderr,
                         "ztaquery: --where %s %s %s: expected an operator EQ NE LT LE GT GE, got \"%s\" (~= compares "
                         "text ignoring case)\n",
                         where[i].c_str(), where[i + 1].c_str(), where[i + 2].c_str(), where[i + 1].c_str());
            return kUsage;
        }
        if (compares) thresholds.push_back({c.column, op, c.value});
        conditions.push_back(std::move(c));
    }
    std::vector<Job> jobs;
    for (const zta::TableMeta* table : tables) {
        Job job;
        job.table = table;
        job.occurs = occurs;
        job.manager = TableManager::Find(table->upper);
        if (job.manager == nullptr) {
            std::fprintf(stderr, "ztaquery: %s is not served by this build (served: %s)\n", table->upper,
                         tables_served().c_str());
            return kUsage;
        }
        auto find_column = [&](const std::string& column) -> const zta::ColumnMeta* {
            const zta::ColumnMeta* c = column_named(*table, column);
            if (c == nullptr) {
                std::fprintf(stderr, "ztaquery: %s has no column \"%s\" (ztaquery --list shows them)\n",
                             table->upper, column.c_str());
            }
            return c;
        };
        for (const Condition& condition : conditions) {
            const zta::ColumnMeta* c = find_column(condition.column);
            if (c == nullptr) return kUsage;
            if (condition.op == "~=") {
                job.matches.push_back({c, condition.value});
                continue;
            }
            char* end = nullptr;
            errno = 0;
            std::strtol(condition.value.c_str(), &end, 10);
            if (c->type == zta::kColumnTypeInteger && (condition.value.empty() || *end != '\0' || errno != 0)) {
                std::fprintf(stderr, "ztaquery: --where %s: expected a decimal integer, got \"%s\"\n",
                             condition.column.c_str(), condition.value.c_str());
                return kUsage;
            }
        }
        if (all) {
            for (unsigned short i = 0; i < table->num_columns; ++i) job.columns.push_back({&table->columns[i], false});
            job.fit = false;
        } else if (!columnList.empty()) {
            for (std::size_t start = 0; start <= columnList.size();) {
                std::size_t comma = std::min(columnList.find(',', start), columnList.size());
                const zta::ColumnMeta* c = find_column(columnList.substr(start, comma - start));
                if (c == nullptr) return kUsage;
                job.columns.push_back({c, false});
                start = comma + 1;
            }
            job.fit = false;
        } else {
            choose_default_view(job);
        }
        if (json) {
            // The lines are the table's own rows: no companion to sample.
            job.companion = nullptr;
            job.companion_manager = nullptr;
        }
        jobs.push_back(std::move(job));
    }

    if (!agent.url.empty()) return FromAgent(jobs, agent, json, raw);
    if (std::string unusable; !Txinit::CheckPasswordFiles(&unusable)) {
        std::fprintf(stderr, "ztaquery: %s\n", unusable.c_str());
        return kUsage;
    }
    if (watch > 0 && (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO))) {
        std::fprintf(stderr, "ztaquery: --watch draws on a terminal: standard input and output must be one\n");
        return kUsage;
    }
    GuardTheSamples(verbose);
    if (watch > 0) return Watch(jobs, thresholds, watch, raw);

    // Every table in turn; one whose sample was cut short shows the rows it
    // read, and the run goes on. A failure before any row ends it.
    int status = 0;
    bool first = true;
    for (const Job& job : jobs) {
        TableSampler sampler(job, thresholds);
        std::string said;
        std::string why = sampler.TakeQuietly(said);
        if (verbose) std::fputs(said.c_str(), stderr);
        if (!why.empty() && !sampler.Partial()) {
            std::fprintf(stderr, "ztaquery: %s\n", why.c_str());
            return kTuxedoFailed;
        }
        if (json) {
            tavro* rows = sampler.Rows();
            rows->Dispatch();
            if (rows->SampleIncomplete()) rows->DispatchSampleRecord();
        } else {
            if (!first) std::printf("\n");
            print_table(job, sampler, raw);
        }
        std::fflush(stdout);
        first = false;
        if (!why.empty()) {
            std::fprintf(stderr, "ztaquery: %s\n", why.c_str());
            status = kTuxedoFailed;
        }
    }
    return status;
}

}  // namespace

}  // namespace ztaquery

int main(int argc, char** argv) {
    int status = ztaquery::run(argc, argv);
    // Leaves the application once, whatever was sampled.
    zta_release_log_buffers();
    Txinit::DeleteInstance();
    return status;
}
