// View source files: reading, layout and the process-wide cache.
//
// Files are found through VIEWDIR32 (colon-separated directories) and
// VIEWFILES32 (comma-separated file names). When VIEWFILES32 is unset every
// regular file whose name starts with "txview" in those directories is read,
// in name order; when VIEWDIR32 is unset the directories are the build's list
// TUXSIM_DEFAULT_VIEWDIR (the project's views/, then where they are
// installed; the first definition of a view wins). The format:
//
//   VIEW txview01
//   #type  cname      fbname       count flag size null
//   string originnode -            1     -    64   -
//   int    sampleno   -            1     -    -    -
//   string clientid   TA_CLIENTID  1     -    78   "none"
//   END
//
// Types: char, short, int, long, float, double, string, carray. size is
// required for string and carray and "-" for the others. null "-" is 0 or the
// empty string; otherwise a number, or a quoted string ("..." or '...', with
// \\ \" \' \n \t \0 escapes) for char, string and carray members. Flags: "-",
// or letters of which C, L, F and N change what this code does (F and N: not
// filled by Fvftos32); others, S and P among them, are accepted and ignored.
//
// A file that cannot be read or has a syntax error is reported once on
// standard error (file, line, what was expected) and none of its views are
// used; a view it may have defined then fails with that error instead of
// FBADVIEW. A view whose member names a field unknown to the field tables is
// refused with FBADFLD (with the field tables' own error when they could not
// be loaded).
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <sstream>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <mutex>
#include <optional>
#include <unordered_map>

#include <dirent.h>

#include "fml_internal.h"
#include "printable.h"
#include "regular_file.h"
#include "view_model.h"

namespace fml {

namespace {

// Bounds that keep every offset computation far from overflow.
constexpr long long kMaxCount = SHRT_MAX;  // C_ count members are shorts
constexpr long long kMaxSize = 1 << 24;
constexpr std::size_t kMaxStruct = std::size_t(1) << 30;
// The null values kept for the members of one file (an element each, built
// as the members are read): bounds the memory a short file can ask for, as
// a line of 30 bytes may ask for an element of 16 MB.
constexpr std::size_t kMaxNullBytes = std::size_t(64) << 20;

struct TypeInfo {
    const char* word;
    MemberType type;
    std::size_t size;   // 0: given by the size column
    std::size_t align;
};

const TypeInfo kTypes[] = {
    {"char", MemberType::Char, sizeof(char), alignof(char)},
    {"short", MemberType::Short, sizeof(short), alignof(short)},
    {"int", MemberType::Int, sizeof(int), alignof(int)},
    {"long", MemberType::Long, sizeof(long), alignof(long)},
    {"float", MemberType::Float, sizeof(float), alignof(float)},
    {"double", MemberType::Double, sizeof(double), alignof(double)},
    {"string", MemberType::String, 0, alignof(char)},
    {"carray", MemberType::Carray, 0, alignof(char)},
};

struct Token {
    std::string text;
    bool quoted = false;
};

// Splits a line into blank-separated tokens; a token opened by a quote runs to
// the matching quote, with backslash escapes. Returns false on an unclosed
// quote.
bool tokenize(const std::string& line, std::vector<Token>& out) {
    std::size_t i = 0;
    while (i < line.size()) {
        if (std::isspace(static_cast<unsigned char>(line[i]))) {
            ++i;
            continue;
        }
        Token t;
        if (line[i] == '"' || line[i] == '\'') {
            const char quote = line[i++];
            t.quoted = true;
            bool closed = false;
            while (i < line.size()) {
                char c = line[i++];
                if (c == quote) {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < line.size()) {
                    c = line[i++];
                    if (c == 'n') c = '\n';
                    else if (c == 't') c = '\t';
                    else if (c == '0') c = '\0';
                }
                t.text += c;
            }
            if (!closed) return false;
        } else {
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) t.text += line[i++];
        }
        out.push_back(std::move(t));
    }
    return true;
}

template <typename T>
std::string bytes_of(T v) {
    std::string out(sizeof v, '\0');
    std::memcpy(out.data(), &v, sizeof v);
    return out;
}

// The element image of a null value, or nullopt (with what was expected in
// `expected`) when the column is not a valid null for the member.
std::optional<std::string> null_image(const ViewMember& m, const Token& tok, std::string& expected) {
    const bool is_default = !tok.quoted && (tok.text == "-" || tok.text == "NONE");
    switch (m.type) {
        case MemberType::String:
        case MemberType::Carray: {
            std::string img(m.elem, '\0');
            if (is_default) return img;
            const std::size_t room = m.type == MemberType::String ? m.elem - 1 : m.elem;
            if (tok.text.size() > room) {
                expected = "a null value of at most " + std::to_string(room) + " characters for " + m.cname;
                return std::nullopt;
            }
            std::memcpy(img.data(), tok.text.data(), tok.text.size());
            return img;
        }
        case MemberType::Char: {
            if (is_default) return std::string(1, '\0');
            long long v = 0;
            if (tok.quoted && tok.text.size() <= 1) return std::string(1, tok.text.empty() ? '\0' : tok.text[0]);
            if (!tok.quoted && parse_long(tok.text, v) && v >= CHAR_MIN && v <= UCHAR_MAX)
                return std::string(1, static_cast<char>(static_cast<unsigned char>(v)));
            expected = "a quoted character or a number from -128 to 255 as the null value of " + m.cname;
            return std::nullopt;
        }
        case MemberType::Float:
        case MemberType::Double: {
            double v = 0;
            if (!is_default) {
                errno = 0;
                char* end = nullptr;
                v = std::strtod(tok.text.c_str(), &end);
                const bool ok = !tok.quoted && !tok.text.empty() && errno == 0 && end == tok.text.c_str() + tok.text.size() &&
                                (m.type == MemberType::Double || std::fabs(v) <= FLT_MAX);
                if (!ok) {
                    expected = "a number as the null value of " + m.cname;
                    return std::nullopt;
                }
            }
            return m.type == MemberType::Double ? bytes_of(v) : bytes_of(static_cast<float>(v));
        }
        default: {
            long long v = 0;
            if (!is_default) {
                long long lo = LLONG_MIN, hi = LLONG_MAX;
                if (m.type == MemberType::Short) lo = SHRT_MIN, hi = SHRT_MAX;
                if (m.type == MemberType::Int) lo = INT_MIN, hi = INT_MAX;
                if (m.type == MemberType::Long) lo = LONG_MIN, hi = LONG_MAX;
                if (tok.quoted || !parse_long(tok.text, v) || v < lo || v > hi) {
                    expected = "an integer from " + std::to_string(lo) + " to " + std::to_string(hi) +
                               " as the null value of " + m.cname;
                    return std::nullopt;
                }
            }
            if (m.type == MemberType::Short) return bytes_of(static_cast<short>(v));
            if (m.type == MemberType::Int) return bytes_of(static_cast<int>(v));
            return bytes_of(static_cast<long>(v));
        }
    }
}

std::size_t align_up(std::size_t n, std::size_t a) { return (n + a - 1) / a * a; }

struct ViewSet {
    std::unordered_map<std::string, std::shared_ptr<const View>> views;
    int error = 0;  // the first file error (FVFOPEN, FVFSYNTAX), 0 when none
};

class FileParser {
public:
    // `mapped` false: field names are not looked up (a view not mapped to
    // FML32, as the compiler's -n takes it).
    FileParser(std::string path, ViewSet& set, bool mapped = true)
        : path_(std::move(path)), set_(set), mapped_(mapped) {}

    // Parses the whole file; its views join the set only when it parses
    // cleanly. Returns false after reporting the error.
    bool run() {
        // View files are a few kilobytes; 16 MB bounds a wrong path.
        constexpr std::size_t kMaxViewFile = 16u << 20;
        std::string text;
        std::string reason;
        if (!zcommon::ReadRegularFile(path_, kMaxViewFile, &text, &reason)) {
            std::fprintf(stderr, "VIEW32 file %s: cannot open: %s\n", zcommon::Printable(path_).c_str(), reason.c_str());
            set_.error = set_.error ? set_.error : FVFOPEN;
            return false;
        }
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            ++lineno_;
            if (!line_(line)) return false;
        }
        if (current_) return syntax("END before the end of the file (view " + current_->name + " is open)");
        for (auto& v : done_) {
            if (mapped_) resolve_fields(*v);
            index_view(*v);
            set_.views.emplace(v->name, std::move(v));
        }
        return true;
    }

private:
    bool syntax(const std::string& expected) {
        std::fprintf(stderr, "VIEW32 file %s, line %ld: expected %s\n", zcommon::Printable(path_).c_str(), lineno_,
                     zcommon::Printable(expected, zcommon::kPrintableLine).c_str());
        set_.error = set_.error ? set_.error : FVFSYNTAX;
        return false;
    }

    bool line_(const std::string& line) {
        std::vector<Token> toks;
        if (!tokenize(line, toks)) return syntax("a closing quote");
        if (toks.empty() || (!toks[0].quoted && toks[0].text[0] == '#')) return true;
        const std::string& first = toks[0].text;
        if (!current_) {
            if (first != "VIEW" || toks.size() != 2 || !is_identifier(toks[1].text))
                return syntax("\"VIEW name\", found \"" + line + "\"");
            current_ = std::make_unique<View>();
            current_->name = toks[1].text;
            current_->file = path_;
            return true;
        }
        if (first == "END" && toks.size() == 1) return end_view();
        if (first == "VIEW") return syntax("END before a new VIEW (view " + current_->name + " is open)");
        return member(toks);
    }

    bool end_view() {
        View& v = *current_;
        if (v.members.empty()) return syntax("at least one member in view " + v.name);
        // Lay the members out as the compiler lays out the same struct.
        std::size_t off = 0, max_align = 1;
        for (ViewMember& m : v.members) {
            const std::size_t align = kTypes[static_cast<int>(m.type)].align;
            if (m.count_member) {
                off = align_up(off, alignof(short));
                m.count_offset = off;
                off += sizeof(short);
                max_align = std::max(max_align, alignof(short));
            }
            if (m.length_member) {
                off = align_up(off, alignof(unsigned short));
                m.length_offset = off;
                off += sizeof(unsigned short) * m.count;
                max_align = std::max(max_align, alignof(unsigned short));
            }
            off = align_up(off, align);
            m.offset = off;
            off += m.elem * m.count;
            max_align = std::max(max_align, align);
            if (off > kMaxStruct) return syntax("a view smaller than " + std::to_string(kMaxStruct) + " bytes");
        }
        v.size = align_up(off, max_align);
        done_.push_back(std::move(current_));
        return true;
    }

    bool member(const std::vector<Token>& t) {
        if (t.size() != 7)
            return syntax("7 columns (type cname fbname count flag size null), found " + std::to_string(t.size()));
        ViewMember m;
        const std::string& type = t[0].text;
        if (type == "dec_t") return syntax("a member type other than dec_t (not supported) for " + t[1].text);
        const TypeInfo* info = nullptr;
        for (const TypeInfo& ti : kTypes)
            if (type == ti.word) info = &ti;
        if (info == nullptr || t[0].quoted)
            return syntax("a member type (char, short, int, long, float, double, string or carray), found \"" + type + "\"");
        m.type = info->type;
        m.cname = t[1].text;
        if (!is_identifier(m.cname)) return syntax("a C member name, found \"" + m.cname + "\"");
        for (const ViewMember& other : current_->members)
            if (other.cname == m.cname) return syntax("a member name not used before in view " + current_->name + ", found " + m.cname);
        m.fbname = t[2].text;
        if (m.fbname != "-" && !is_identifier(m.fbname))
            return syntax("a field name or - for " + m.cname + ", found \"" + m.fbname + "\"");
        long long count = 0;
        if (!parse_long(t[3].text, count) || count < 1 || count > kMaxCount)
            return syntax("a count from 1 to " + std::to_string(kMaxCount) + " for " + m.cname);
        m.count = static_cast<std::size_t>(count);
        if (t[4].text != "-") {
            for (char f : t[4].text) {
                if (f == 'C') m.count_member = true;
                if (f == 'L') m.length_member = true;
                // F maps the structure to the buffer only, N not at all:
                // Fvftos32 leaves such a member alone. S (buffer to
                // structure only) is what Fvftos32 does anyway.
                if (f == 'F' || f == 'N') m.from_buffer = false;
            }
        }
        if (info->size == 0) {
            long long size = 0;
            if (!parse_long(t[5].text, size) || size < 1 || size > kMaxSize)
                return syntax("a size from 1 to " + std::to_string(kMaxSize) + " for " + type + " member " + m.cname);
            m.elem = static_cast<std::size_t>(size);
        } else {
            if (t[5].text != "-") return syntax("- as the size of " + type + " member " + m.cname);
            m.elem = info->size;
        }
        null_bytes_ += m.elem;
        if (null_bytes_ > kMaxNullBytes)
            return syntax("member sizes adding up to at most " + std::to_string(kMaxNullBytes >> 20) +
                          " MB in one file (one element of each member)");
        std::string expected;
        auto img = null_image(m, t[6], expected);
        if (!img) return syntax(expected);
        m.null_value = std::move(*img);
        current_->members.push_back(std::move(m));
        return true;
    }

    // Binds each member to its field. A name the tables do not know makes the
    // view unusable (FBADFLD), reported here once; when the tables themselves
    // failed to load, their loader has said why and the view fails with its
    // error.
    void resolve_fields(View& v) {
        for (ViewMember& m : v.members) {
            if (m.fbname == "-") continue;
            const int err = lookup_name(m.fbname.c_str(), m.field);
            if (err == 0) continue;
            if (err == FBADNAME) {
                std::fprintf(stderr, "VIEW32 file %s: view %s member %s: %s is not in the field tables\n",
                             zcommon::Printable(path_).c_str(), zcommon::Printable(v.name).c_str(), zcommon::Printable(m.cname).c_str(),
                             zcommon::Printable(m.fbname).c_str());
                v.error = FBADFLD;
            } else {
                v.error = err;
            }
            return;
        }
    }

    // What the conversions need ready-made: the initialised structure and
    // the members by field.
    static void index_view(View& v) {
        v.init_image.assign(v.size, '\0');
        for (std::uint32_t i = 0; i < v.members.size(); ++i) {
            const ViewMember& m = v.members[i];
            for (std::size_t e = 0; e < m.count; ++e)
                std::memcpy(v.init_image.data() + m.offset + e * m.elem, m.null_value.data(), m.elem);
            if (m.field != BADFLDID && m.from_buffer) v.by_field.push_back({m.field, i});
        }
        std::stable_sort(v.by_field.begin(), v.by_field.end(),
                         [](const FieldMember& a, const FieldMember& b) { return a.field < b.field; });
    }

    std::string path_;
    ViewSet& set_;
    bool mapped_;
    long lineno_ = 0;
    std::size_t null_bytes_ = 0;  // the null values' bytes so far (kMaxNullBytes)
    std::unique_ptr<View> current_;
    std::vector<std::unique_ptr<View>> done_;
};

// The view files to read: named by VIEWFILES32, or every "txview*" file.
std::vector<std::string> view_files(ViewSet& set) {
    const auto dirs = env_dirs("VIEWDIR32", TUXSIM_DEFAULT_VIEWDIR);
    const char* files = std::getenv("VIEWFILES32");
    const auto names = split_list(files != nullptr ? files : "", ',');
    std::vector<std::string> paths;
    if (!names.empty()) {
        for (const auto& name : names) {
            std::string path = find_file(dirs, name);
            if (path.empty()) {
                std::fprintf(stderr, "VIEW32 file %s: not found in VIEWDIR32\n", zcommon::Printable(name).c_str());
                set.error = set.error ? set.error : FVFOPEN;
            } else {
                paths.push_back(std::move(path));
            }
        }
        return paths;
    }
    for (const auto& dir : dirs) {
        std::vector<std::string> found;
        if (DIR* d = ::opendir(dir.c_str())) {
            while (const dirent* e = ::readdir(d)) {
                const std::string name = e->d_name;
                if (name.rfind("txview", 0) == 0) found.push_back(name);
            }
            ::closedir(d);
        }
        std::sort(found.begin(), found.end());
        for (const auto& name : found) {
            std::string path = find_file({dir}, name);
            if (!path.empty()) paths.push_back(std::move(path));
        }
    }
    return paths;
}

std::shared_ptr<const ViewSet> load_views() {
    auto set = std::make_shared<ViewSet>();
    for (const auto& path : view_files(*set)) {
        // The first definition of a view name wins, as with field names.
        ViewSet file_set;
        if (!FileParser(path, file_set).run()) {
            set->error = set->error ? set->error : file_set.error;
            continue;
        }
        for (auto& [name, view] : file_set.views) set->views.emplace(name, std::move(view));
    }
    return set;
}

// The parsed views are process-wide by nature, like the field tables: loaded
// once under the mutex, replaced only by tuxsim_Freset32. Users hold their own
// reference, so a reset never pulls a view from under a running call.
struct ViewCache {
    std::mutex mutex;
    std::shared_ptr<const ViewSet> set;
};

ViewCache& view_cache() {
    static ViewCache c;
    return c;
}

}  // namespace

std::shared_ptr<const View> find_view(const char* name) {
    if (name == nullptr) return fail(FEINVAL), nullptr;
    std::shared_ptr<const ViewSet> set;
    {
        ViewCache& c = view_cache();
        std::lock_guard<std::mutex> lock(c.mutex);
        if (!c.set) c.set = load_views();
        set = c.set;
    }
    const auto it = set->views.find(name);
    if (it == set->views.end()) return fail(set->error ? set->error : FBADVIEW), nullptr;
    if (it->second->error != 0) return fail(it->second->error), nullptr;
    return it->second;
}

namespace {
// Counts the reloads of the views, so that a thread's cached view (view32.cpp)
// is taken afresh after one.
std::atomic<std::uint64_t> gViewsGeneration{0};
}  // namespace

int check_view_file(const char* path, bool mapped) {
    ViewSet set;
    if (!FileParser(path, set, mapped).run()) return set.error;
    for (const auto& [name, view] : set.views) {
        if (view->error != 0) return view->error;
    }
    return 0;
}

std::uint64_t views_generation() { return gViewsGeneration.load(std::memory_order_acquire); }

void reset_views() {
    ViewCache& c = view_cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.set.reset();
    gViewsGeneration.fetch_add(1, std::memory_order_acq_rel);
}

}  // namespace fml
