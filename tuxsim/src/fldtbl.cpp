// Field tables: the text files that name FML32 fields, found through
// FLDTBLDIR32 (colon-separated directories) and FIELDTBLS32 (comma-separated
// file names); when unset, the build's list of directories
// TUXSIM_DEFAULT_FLDTBLDIR and the file "tpadm". The format:
//
//   # comment                   $ line passed to C code by Tuxedo: ignored
//   *base 6000                  added to the numbers of the entries below
//   TA_CLASS  2  string  -  comment
//
// All tables are loaded together on first use. A table that cannot be found
// or that has a syntax error makes the whole load fail (FFTOPEN, FFTSYNTAX),
// reported once on standard error with the file, the line and what was
// expected, so that a broken configuration cannot go unnoticed.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <unordered_map>
#include <vector>

#include <sys/stat.h>

#include "fml_internal.h"
#include "printable.h"
#include "regular_file.h"
#include "tuxsim_fml.h"

namespace fml {

std::vector<std::string> split_list(const std::string& list, char sep) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(sep, start);
        if (end == std::string::npos) end = list.size();
        std::string item = list.substr(start, end - start);
        const auto b = item.find_first_not_of(" \t");
        const auto e = item.find_last_not_of(" \t");
        if (b != std::string::npos) out.push_back(item.substr(b, e - b + 1));
        start = end + 1;
    }
    return out;
}

std::vector<std::string> env_dirs(const char* var, const char* fallback) {
    const char* value = std::getenv(var);
    std::vector<std::string> dirs;
    if (value != nullptr) dirs = split_list(value, ':');
    if (dirs.empty()) dirs = split_list(fallback, ':');
    return dirs;
}

std::string first_existing_file(const char* list) {
    const auto paths = split_list(list, ':');
    for (const auto& path : paths) {
        struct stat st{};
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return path;
    }
    return paths.empty() ? std::string() : paths.front();
}

std::string find_file(const std::vector<std::string>& dirs, const std::string& name) {
    auto is_file = [](const std::string& path) {
        struct stat st{};
        return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    };
    if (name.find('/') != std::string::npos) return is_file(name) ? name : std::string();
    for (const auto& dir : dirs) {
        std::string path = dir + "/" + name;
        if (is_file(path)) return path;
    }
    return {};
}

bool is_identifier(const std::string& s) {
    if (s.empty() || !(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_')) return false;
    return std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isalnum(c) || c == '_'; });
}

bool parse_long(const std::string& text, long long& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end != text.c_str() + text.size()) return false;
    out = v;
    return true;
}

namespace {

struct FieldTables {
    std::unordered_map<std::string, FLDID32> by_name;
    std::unordered_map<FLDID32, std::string> by_id;
    int error = 0;  // 0, FFTOPEN or FFTSYNTAX
};

int type_of(const std::string& word) {
    static const char* const kNames[] = {"short", "long", "char", "float", "double", "string", "carray"};
    for (int t = 0; t <= kMaxType; ++t)
        if (word == kNames[t]) return t;
    return -1;
}

// Parses one table into t. Returns false after writing one line to standard
// error naming the file, the line and what was expected.
bool parse_table(const std::string& path, FieldTables& t) {
    // Field tables are tens of kilobytes; 16 MB bounds a wrong path.
    constexpr std::size_t kMaxFieldTable = 16u << 20;
    std::string text;
    std::string reason;
    if (!zcommon::ReadRegularFile(path, kMaxFieldTable, &text, &reason)) {
        std::fprintf(stderr, "FML32 field table %s: cannot open: %s\n", zcommon::Printable(path).c_str(), reason.c_str());
        t.error = FFTOPEN;
        return false;
    }
    std::istringstream in(text);
    long long base = 0;
    std::string line;
    for (long lineno = 1; std::getline(in, line); ++lineno) {
        auto syntax = [&](const std::string& what) {
            std::fprintf(stderr, "FML32 field table %s, line %ld: expected %s\n", zcommon::Printable(path).c_str(), lineno,
                         zcommon::Printable(what, zcommon::kPrintableLine).c_str());
            t.error = FFTSYNTAX;
            return false;
        };
        std::istringstream words(line);
        std::string first;
        if (!(words >> first) || first[0] == '#' || first[0] == '$') continue;
        if (first[0] == '*') {
            std::string num, extra;
            if (first != "*base") return syntax("\"*base N\", found \"" + first + "\"");
            if (!(words >> num) || !parse_long(num, base) || base < 0 || base > kMaxFieldNumber || (words >> extra))
                return syntax("a base number from 0 to 33554431 after *base");
            continue;
        }
        std::string num, type;
        if (!is_identifier(first)) return syntax("a field name (letters, digits, _), found \"" + first + "\"");
        long long rel = 0;
        if (!(words >> num) || !parse_long(num, rel)) return syntax("a field number after " + first);
        const long long number = base + rel;
        if (number < 1 || number > kMaxFieldNumber)
            return syntax("a field number from 1 to 33554431 for " + first + " (base + number = " +
                          std::to_string(number) + ")");
        if (!(words >> type) || type_of(type) < 0)
            return syntax("a field type (short, long, char, float, double, string or carray) for " + first);
        const FLDID32 id = (static_cast<FLDID32>(type_of(type)) << 25) | static_cast<FLDID32>(number);
        // The first table and line that name a field or number win.
        t.by_name.emplace(first, id);
        t.by_id.emplace(id, first);
    }
    return true;
}

std::shared_ptr<const FieldTables> load() {
    auto t = std::make_shared<FieldTables>();
    const auto dirs = env_dirs("FLDTBLDIR32", TUXSIM_DEFAULT_FLDTBLDIR);
    const char* files = std::getenv("FIELDTBLS32");
    auto names = split_list(files != nullptr ? files : "", ',');
    if (names.empty()) names.emplace_back("tpadm");
    for (const auto& name : names) {
        const std::string path = find_file(dirs, name);
        if (path.empty()) {
            std::string where;
            for (const auto& d : dirs) where += (where.empty() ? "" : ":") + d;
            std::fprintf(stderr, "FML32 field table %s: not found in %s\n", zcommon::Printable(name).c_str(), zcommon::Printable(where).c_str());
            t->error = FFTOPEN;
            break;
        }
        if (!parse_table(path, *t)) break;
    }
    if (t->error != 0) {
        t->by_name.clear();
        t->by_id.clear();
    }
    return t;
}

// The loaded tables are process-wide by nature: every buffer and thread sees
// the same field names. Loaded lazily under the mutex; tables replaced by a
// reset are kept so that names handed out by Fname32 never dangle.
struct Cache {
    std::mutex mutex;
    std::shared_ptr<const FieldTables> current;
    std::vector<std::shared_ptr<const FieldTables>> retired;
};

Cache& cache() {
    static Cache c;
    return c;
}

std::shared_ptr<const FieldTables> tables() {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.current) c.current = load();
    return c.current;
}

}  // namespace

int lookup_name(const char* name, FLDID32& id) {
    const auto t = tables();
    if (t->error != 0) return t->error;
    const auto it = t->by_name.find(name);
    if (it == t->by_name.end()) return FBADNAME;
    id = it->second;
    return 0;
}

const char* lookup_id(FLDID32 id, int* err) {
    const auto t = tables();
    if (t->error != 0) {
        if (err != nullptr) *err = t->error;
        return nullptr;
    }
    const auto it = t->by_id.find(id);
    if (it == t->by_id.end()) {
        if (err != nullptr) *err = FBADFLD;
        return nullptr;
    }
    return it->second.c_str();
}

}  // namespace fml

extern "C" FLDID32 Fldid32(char* name) {
    if (name == nullptr) return fml::fail(FEINVAL), BADFLDID;
    FLDID32 id = BADFLDID;
    if (const int err = fml::lookup_name(name, id)) return fml::fail(err), BADFLDID;
    return id;
}

extern "C" char* Fname32(FLDID32 fieldid) {
    int err = 0;
    const char* name = fml::lookup_id(fieldid, &err);
    if (name == nullptr) return fml::fail(err), nullptr;
    return const_cast<char*>(name);
}

extern "C" void tuxsim_Freset32(void) {
    {
        fml::Cache& c = fml::cache();
        std::lock_guard<std::mutex> lock(c.mutex);
        if (c.current) c.retired.push_back(std::move(c.current));
        c.current.reset();
    }
    fml::reset_views();
}
