// ztaquery's shared pieces: what is shown of a table, how a cell reads, and
// how a table is sampled through the agent's own table objects. Used by the
// one-shot listing (ztaquery.cpp) and the live view (watch.cpp).
#ifndef ZTAQUERY_H
#define ZTAQUERY_H

#include <agw.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "zta_tables.h"

namespace ztaquery {

// One column shown: of the table's own row, or of its companion's row for
// the same object (the servers' figures beside their configuration).
struct Shown {
    const zta::ColumnMeta* column = nullptr;
    bool companion = false;
};

// A `--where COLUMN ~= VALUE`: the column's text equals VALUE, ignoring case.
struct TextMatch {
    const zta::ColumnMeta* column = nullptr;
    std::string value;
};

// A table to sample and how to show it.
struct Job {
    const zta::TableMeta* table = nullptr;
    TableManager* manager = nullptr;
    // Sampled with the table and matched to its rows on the companion's key
    // columns; null when the view shows the table's own columns only.
    const zta::TableMeta* companion = nullptr;
    TableManager* companion_manager = nullptr;
    std::vector<Shown> columns;
    bool fit = true;   // leave out what runs past the terminal's width
    Shown busiest;     // the live view's order: a counter by its rate, else by value
    std::vector<TextMatch> matches;
    // Objects asked for per MIB call (--occurs; the request file's `mib:
    // {occurs: N}`); 0: the agent's default.
    long occurs = 0;
};

// The companion's key columns, each with the table's column that gives the
// same label (null when the table has none): how a companion's rows are
// matched to the table's.
using JoinColumns = std::vector<std::pair<const zta::ColumnMeta*, const zta::ColumnMeta*>>;
JoinColumns companion_join(const Job& job);

// A field as the framework reads it (up to the first NUL or the width,
// trailing blanks dropped), made safe for a terminal: control characters and
// bytes that are not UTF-8 become '?'. Integers in decimal.
std::string StoredCell(const char* row, const zta::ColumnMeta& c);
// The same, readable: a WB timestamp as local "YYYY-MM-DD HH:MM:SS", a share
// in hundredths of a percent as "24.0%", a whole percent as "12%"; with raw,
// the stored text.
std::string Cell(const char* row, const zta::ColumnMeta& c, bool raw);
// Characters a terminal shows for a UTF-8 text.
std::size_t ShownWidth(const std::string& text);
// At most width characters of a UTF-8 text; a text cut short ends in "~".
std::string CutToWidth(const std::string& text, std::size_t width);
// A column's integer value (0 for a text column).
std::int64_t IntegerOf(const char* row, const zta::ColumnMeta& c);

// Standard output and error while the agent's code runs for the table
// `sampling`: its join messages, the replies a table prints as it samples,
// error output and trace lines go to one held file (in memory, else in
// TMPDIR, deleted as it is made: none is left behind whatever happens), so
// that ztaquery's standard output carries its own output only and a
// failure can be told in one line.
class QuietOutput {
public:
    explicit QuietOutput(const char* sampling);
    ~QuietOutput();
    // What was written, and standard output and error back.
    std::string Restore();

    QuietOutput(const QuietOutput&) = delete;
    QuietOutput& operator=(const QuietOutput&) = delete;

private:
    int savedOut_ = -1;
    int savedErr_ = -1;
};

// The Tuxedo libraries may end the process inside a call (the stand-in does
// on a domain file it cannot use, at the first join), while its output is
// held. From here on the run goes on in a child process and returns there;
// the parent waits for it and exits with its status, and when the child
// ended inside a QuietOutput it first says in one line on standard error
// which table was being sampled and the last line held (all of it before,
// with `verbose`). Without a child to make, returns in the one process.
void GuardTheSamples(bool verbose);

// The table objects of one job, made at the first sample and kept for the
// following ones (the live view), and what the last sample gave.
class TableSampler {
public:
    TableSampler(const Job& job, const std::vector<AgwThreshold>& thresholds);
    ~TableSampler();

    // Takes one sample of the table and then of its companion, with standard
    // output and error quiet (`said` gets what the agent's code wrote
    // meanwhile). The first sample makes the table objects, which joins the
    // application; a later one joins again when a failed call made the agent
    // leave. Returns "" when both were sampled whole, else one line saying
    // what went wrong ("TXSERVER: the MIB call failed: ..."); Partial() says
    // whether the rows read before it are there to show.
    std::string TakeQuietly(std::string& said);
    // The last sample failed after it read some of the table's rows (or all,
    // and the companion failed): those are what the MIB answered.
    bool Partial() const { return partial_; }

    tavro* Rows() const { return object_; }
    // The companion's row of the same object as `row`, or null.
    const char* CompanionRow(const char* row) const;
    // The cell shown for a row of the table.
    std::string CellOf(const char* row, const Shown& shown, bool raw) const;
    // The identity of a row's object (its key columns), to match it across samples.
    std::string KeyOf(const char* row) const;
    // An integer shown for a row (0 when the companion has no row for it).
    std::int64_t IntegerOf(const char* row, const Shown& shown) const;

    TableSampler(const TableSampler&) = delete;
    TableSampler& operator=(const TableSampler&) = delete;

private:
    void KeepMatching();
    void IndexCompanion();

    const Job& job_;
    RequestDetail request_;
    RequestDetail companionRequest_;
    ContextInfo context_;
    tavro* object_ = nullptr;
    tavro* companion_ = nullptr;
    // Companion key column -> the table's column with the same label.
    JoinColumns joinOn_;
    std::map<std::string, std::uint32_t> companionIndex_;
    bool partial_ = false;
};

// Prints `count` rows aligned under the job's column names, headed by the
// table's name and row count (and `held`, said after the count); cell(r,
// shown) is the text of row r's column. Fitted to the terminal unless the
// job says otherwise.
void PrintTable(const Job& job, std::size_t count, const std::string& held,
                const std::function<std::string(std::size_t, const Shown&)>& cell);

// ztaquery --list (catalogue.cpp): the tables (or those given), their
// columns and the metric families the agent serves of each; without tables
// also the agent's own and the process's families.
void PrintList(const std::vector<const zta::TableMeta*>& only);
// ztaquery --list --markdown: every family as a Markdown metrics reference.
void PrintMarkdown();

// Where --agent reads: the agent's endpoint and how to reach it.
struct AgentAccess {
    std::string url;       // http://host:port or https://host:port
    std::string user;      // basic authentication's user, "" for none
    std::string password;  // its password, never taken from the command line
    std::string cacert;    // https: the CA certificates to trust, "" for the system's
    std::string cert;      // https: a client certificate (PEM), "" for none
    std::string key;       // its private key, "" when the certificate file holds it
    bool insecure = false;  // https: no certificate checks
};
// Environment variable holding the password of --user, when no
// --password-file names one.
inline constexpr const char* kPasswordVariable = "ZTAQUERY_PASSWORD";
// Sets access.password for access.user from `file` (its first line), else
// from kPasswordVariable. Returns "" or one line saying what is wrong: a
// user given as USER:PASS, no password, a file that cannot be read or that
// others than its owner may read.
std::string TakePassword(AgentAccess& access, const std::string& file);
// Prints the jobs' tables from the running agent's latest complete samples
// (its rows endpoint), as a table or with json the lines as the agent
// delivered them. No join, no MIB call. Returns the exit status.
int FromAgent(const std::vector<Job>& jobs, const AgentAccess& agent, bool json, bool raw);

// The live view: samples the jobs every `seconds` seconds in one membership,
// redrawing the terminal, until q, Ctrl-C or a termination signal; `stored`
// shows cells as the rows hold them (--raw). Returns the exit status.
int Watch(std::vector<Job>& jobs, const std::vector<AgwThreshold>& thresholds, int seconds, bool stored);

}  // namespace ztaquery

#endif  // ZTAQUERY_H
