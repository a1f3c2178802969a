#include "domain_file.hpp"

#include "atmi.h"
#include "regular_file.h"

#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace tuxsim::detail {
namespace {

class Reader {
public:
    explicit Reader(std::string path) : path_(std::move(path)) {}

    [[noreturn]] void fail(const YAML::Mark& m, const std::string& what) const {
        std::ostringstream s;
        s << path_;
        if (!m.is_null()) s << ':' << m.line + 1 << ':' << m.column + 1;
        s << ": " << what;
        throw DomainError(s.str());
    }

    DomainFile read();

private:
    void read_classes(const YAML::Node& node, DomainFile& out);
    void read_object(const ClassSpec& cls, const YAML::Node& node, ObjectList& out);
    Value read_value(const std::string& where, int type, const YAML::Node& v);
    void read_activity(const YAML::Node& node, ActivitySettings& out);
    void read_faults(const YAML::Node& node, FaultList& out);
    void read_quirks(const YAML::Node& node, QuirkMasks& out);
    void read_security(const YAML::Node& node, SecuritySettings& out);
    void read_class_set(const std::string& quirk, const YAML::Node& v, ClassMask& out);
    std::vector<std::pair<YAML::Node, YAML::Node>> with_merges(const YAML::Node& map) const;
    std::vector<std::pair<YAML::Node, YAML::Node>> with_merges(const YAML::Node& map, int& left) const;

    std::string path_;
};

// How a node looks in an error message: the scalar in quotes, or its kind.
std::string shown(const YAML::Node& n) {
    if (n.IsNull()) return "nothing";
    if (n.IsSequence()) return "a list";
    if (n.IsMap()) return "a map";
    std::string s = n.Scalar();
    if (s.size() > 40) s = s.substr(0, 40) + "...";
    return "\"" + s + "\"";
}

// A plain (unquoted) YAML scalar; quoted scalars are strings.
bool plain_scalar(const YAML::Node& n) { return n.IsScalar() && n.Tag() != "!"; }

// Integers as YAML writes them: decimal, 0x hex, 0o octal, or a leading 0
// for octal (so permissions read as 0660).
bool parse_integer(const std::string& s, long& out) {
    std::string_view v = s;
    bool neg = false;
    if (!v.empty() && (v.front() == '-' || v.front() == '+')) {
        neg = v.front() == '-';
        v.remove_prefix(1);
    }
    int base = 10;
    if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
        base = 16;
        v.remove_prefix(2);
    } else if (v.size() > 2 && v[0] == '0' && v[1] == 'o') {
        base = 8;
        v.remove_prefix(2);
    } else if (v.size() > 1 && v[0] == '0') {
        base = 8;
        v.remove_prefix(1);
    }
    if (v.empty()) return false;
    unsigned long long mag = 0;
    auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), mag, base);
    if (ec != std::errc() || p != v.data() + v.size()) return false;
    if (neg) {
        if (mag > static_cast<unsigned long long>(LONG_MAX) + 1ULL) return false;
        out = mag == static_cast<unsigned long long>(LONG_MAX) + 1ULL ? LONG_MIN
                                                                      : -static_cast<long>(mag);
    } else {
        if (mag > static_cast<unsigned long long>(LONG_MAX)) return false;
        out = static_cast<long>(mag);
    }
    return true;
}

bool parse_real(const std::string& s, double& out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    out = std::strtod(s.c_str(), &end);
    return end == s.c_str() + s.size() && errno == 0;
}

DomainFile Reader::read() {
    YAML::Node root;
    {
        // Generous: a domain of 100,000 servers is a few tens of megabytes.
        constexpr std::size_t kMaxDomainFile = 512u << 20;
        std::string text;
        std::string reason;
        if (!zcommon::ReadRegularFile(path_, kMaxDomainFile, &text, &reason)) {
            throw DomainError(path_ + ": cannot read domain file: " + reason);
        }
        try {
            root = YAML::Load(text);
        } catch (const YAML::DeepRecursion& e) {
            // The parser's own text for this case is "bad file".
            fail(e.mark, "syntax error: lists and maps nested too deeply");
        } catch (const YAML::ParserException& e) {
            fail(e.mark, "syntax error: " + e.msg);
        }
    }
    DomainFile out;
    out.path = path_;
    if (!root.IsMap()) {
        fail(root.Mark(), "expected a map with the sections classes, activity, faults, quirks, security, local_lmid, "
                          "batch, call_cost_us");
    }
    std::set<std::string> seen;
    YAML::Mark lmid_mark;
    for (auto it = root.begin(); it != root.end(); ++it) {
        const std::string key = it->first.Scalar();
        if (!seen.insert(key).second) fail(it->first.Mark(), "section " + key + " given twice");
        if (key == "classes") {
            read_classes(it->second, out);
        } else if (key == "activity") {
            read_activity(it->second, out.activity);
        } else if (key == "faults") {
            read_faults(it->second, out.faults);
        } else if (key == "quirks") {
            read_quirks(it->second, out.quirks);
        } else if (key == "security") {
            read_security(it->second, out.security);
        } else if (key == "local_lmid") {
            if (!it->second.IsScalar()) {
                fail(it->second.Mark(), "local_lmid: expected a machine name, got " + shown(it->second));
            }
            out.local_lmid = it->second.Scalar();
            lmid_mark = it->second.Mark();
        } else if (key == "batch") {
            long n = 0;
            if (!plain_scalar(it->second) || !parse_integer(it->second.Scalar(), n) || n < 1 || n > kMaxBatch) {
                fail(it->second.Mark(), "batch: expected objects per reply from 1 to " + std::to_string(kMaxBatch) +
                                            ", got " + shown(it->second));
            }
            out.batch = n;
        } else if (key == "call_cost_us") {
            long n = 0;
            if (!plain_scalar(it->second) || !parse_integer(it->second.Scalar(), n) || n < 0 || n > kMaxCallCostUs) {
                fail(it->second.Mark(), "call_cost_us: expected microseconds per call from 0 to " +
                                            std::to_string(kMaxCallCostUs) + ", got " + shown(it->second));
            }
            out.call_cost_us = n;
        } else {
            fail(it->first.Mark(), "unknown section \"" + key +
                                       "\": expected classes, activity, faults, quirks, security, local_lmid, "
                                       "batch or call_cost_us");
        }
    }
    if (!out.local_lmid.empty()) {
        const FLDID32 lmid = field_id("TA_LMID");
        bool found = false;
        for (const ObjectPtr& m : out.classes[class_index(*find_class("T_MACHINE"))]) {
            found = found || m->text(lmid) == out.local_lmid;
        }
        if (!found) fail(lmid_mark, "local_lmid: no T_MACHINE has TA_LMID \"" + out.local_lmid + "\"");
    }
    return out;
}

void Reader::read_classes(const YAML::Node& node, DomainFile& out) {
    if (node.IsNull()) return;
    if (!node.IsMap()) fail(node.Mark(), "classes: expected a map of MIB classes, got " + shown(node));
    std::set<std::string> seen;
    for (auto it = node.begin(); it != node.end(); ++it) {
        const std::string name = it->first.Scalar();
        const ClassSpec* cls = find_class(name);
        if (!cls) fail(it->first.Mark(), "unknown MIB class \"" + name + "\"");
        if (!seen.insert(name).second) fail(it->first.Mark(), name + ": class given twice");
        const YAML::Node objs = it->second;
        if (objs.IsNull()) continue;
        if (!objs.IsSequence()) fail(objs.Mark(), name + ": expected a list of objects, got " + shown(objs));
        ObjectList& list = out.classes[class_index(*cls)];
        list.reserve(objs.size());
        for (const YAML::Node& obj : objs) read_object(*cls, obj, list);
    }
}

// Most maps one object may merge, directly or through the maps it merges.
// Anchors make a small file able to ask for any number of merges (each map
// merging the one before it twice doubles the count), so the count is
// bounded to keep reading the file short.
constexpr int kMaxMerges = 64;

// The entries of a map with YAML merge keys ("<<: *anchor", or a list of
// anchors) resolved: the map's own entries, then those of the merged maps
// that the map does not give itself.
std::vector<std::pair<YAML::Node, YAML::Node>> Reader::with_merges(const YAML::Node& map) const {
    int left = kMaxMerges;
    return with_merges(map, left);
}

// The same, with `left` merges still allowed for the object.
std::vector<std::pair<YAML::Node, YAML::Node>> Reader::with_merges(const YAML::Node& map, int& left) const {
    std::vector<std::pair<YAML::Node, YAML::Node>> out;
    std::set<std::string> own;
    std::vector<YAML::Node> merged;
    for (auto it = map.begin(); it != map.end(); ++it) {
        if (it->first.IsScalar() && it->first.Scalar() == "<<" && it->first.Tag() == "?") {
            const YAML::Node m = it->second;
            if (m.IsMap()) {
                merged.push_back(m);
            } else if (m.IsSequence()) {
                for (const YAML::Node& x : m) {
                    if (!x.IsMap()) fail(x.Mark(), "merge key <<: expected a map, got " + shown(x));
                    merged.push_back(x);
                }
            } else {
                fail(m.Mark(), "merge key <<: expected a map, got " + shown(m));
            }
            continue;
        }
        own.insert(it->first.Scalar());
        out.emplace_back(it->first, it->second);
    }
    for (const YAML::Node& m : merged) {
        if (--left < 0) {
            fail(m.Mark(), "merge key <<: more than " + std::to_string(kMaxMerges) +
                               " maps merged into one object (directly or through other merges)");
        }
        for (auto& [k, v] : with_merges(m, left)) {
            if (own.insert(k.Scalar()).second) out.emplace_back(k, v);
        }
    }
    return out;
}

void Reader::read_object(const ClassSpec& cls, const YAML::Node& node, ObjectList& out) {
    const std::string cname(cls.name);
    if (!node.IsMap()) {
        fail(node.Mark(), cname + ": expected an object (a map of attributes), got " + shown(node));
    }
    auto obj = std::make_shared<Object>();
    obj->attrs.reserve(node.size());
    std::size_t groups = 0;
    const AttrSpec* first_list = nullptr;
    for (const auto& [key, v] : with_merges(node)) {
        const std::string aname = key.Scalar();
        const std::string where = cname + " attribute " + aname;
        const AttrSpec* attr_def = cls.find(aname);
        if (!attr_def) fail(key.Mark(), where + ": not an attribute of " + cname);
        if (attr_def->shape == Shape::Computed) fail(key.Mark(), where + ": computed by the MIB, leave it out");
        const FLDID32 id = field_id(aname);
        if (id == BADFLDID) fail(key.Mark(), where + ": not in the field table");
        if (obj->find(id)) fail(key.Mark(), where + ": given twice");
        const int type = Fldtype32(id);
        Attr& attr = obj->set(id, type);
        attr.values.clear();
        if (attr_def->shape == Shape::GroupList && v.IsSequence()) {
            for (const YAML::Node& item : v) attr.values.push_back(read_value(where, type, item));
        } else {
            attr.values.push_back(read_value(where, type, v));
        }
        if (attr_def->shape == Shape::GroupList) {
            if (first_list && attr.values.size() != groups) {
                fail(v.Mark(), where + ": expected " + std::to_string(groups) + " values, one per group as in " +
                                   std::string(first_list->name) + ", got " +
                                   std::to_string(attr.values.size()));
            }
            first_list = attr_def;
            groups = attr.values.size();
        }
    }
    out.push_back(std::move(obj));
}

Value Reader::read_value(const std::string& where, int type, const YAML::Node& v) {
    Value val;
    const YAML::Mark m = v.Mark();
    switch (type) {
        case FLD_SHORT:
        case FLD_LONG:
            if (!plain_scalar(v) || !parse_integer(v.Scalar(), val.num) ||
                (type == FLD_SHORT && (val.num < SHRT_MIN || val.num > SHRT_MAX))) {
                fail(m, where + ": expected " + (type == FLD_SHORT ? "a short integer" : "an integer") +
                            ", got " + shown(v));
            }
            break;
        case FLD_CHAR:
            if (!v.IsScalar() || v.Scalar().size() != 1) {
                fail(m, where + ": expected a single character, got " + shown(v));
            }
            val.num = static_cast<unsigned char>(v.Scalar()[0]);
            break;
        case FLD_FLOAT:
        case FLD_DOUBLE:
            if (!plain_scalar(v) || !parse_real(v.Scalar(), val.real)) {
                fail(m, where + ": expected a number, got " + shown(v));
            }
            break;
        case FLD_STRING:
        case FLD_CARRAY:
            if (!v.IsScalar()) {
                fail(m, where + ": expected a string, got " + shown(v) +
                            (v.IsNull() ? " (write \"\" for an empty string)" : ""));
            }
            val.text = v.Scalar();
            if (type == FLD_STRING && val.text.find('\0') != std::string::npos) {
                fail(m, where + ": a string cannot hold a NUL character");
            }
            break;
        default:
            fail(m, where + ": field type " + std::to_string(type) + " is not supported");
    }
    return val;
}

void Reader::read_activity(const YAML::Node& node, ActivitySettings& out) {
    if (!node.IsMap()) fail(node.Mark(), "activity: expected a map (seed, tick, clients, ulog, enabled)");
    out.on = true;
    for (auto it = node.begin(); it != node.end(); ++it) {
        const std::string key = it->first.Scalar();
        const YAML::Node v = it->second;
        long n = 0;
        double d = 0;
        if (key == "seed") {
            if (!plain_scalar(v) || !parse_integer(v.Scalar(), n) || n < 0) {
                fail(v.Mark(), "activity seed: expected a whole number from 0, got " + shown(v));
            }
            out.seed = static_cast<std::uint64_t>(n);
        } else if (key == "tick") {
            if (!plain_scalar(v) || !parse_integer(v.Scalar(), n) || n < 1 || n > 86400) {
                fail(v.Mark(), "activity tick: expected seconds from 1 to 86400, got " + shown(v));
            }
            out.tick = n;
        } else if (key == "clients" || key == "ulog") {
            if (!plain_scalar(v) || !parse_real(v.Scalar(), d) || d < 0 || d > 1) {
                fail(v.Mark(), "activity " + key + ": expected a chance from 0 to 1, got " + shown(v));
            }
            (key == "clients" ? out.clients : out.ulog) = d;
        } else if (key == "enabled") {
            const std::string s = v.IsScalar() ? v.Scalar() : "";
            if (s != "true" && s != "false") {
                fail(v.Mark(), "activity enabled: expected true or false, got " + shown(v));
            }
            out.on = s == "true";
        } else {
            fail(it->first.Mark(),
                 "activity: unknown setting \"" + key + "\": expected seed, tick, clients, ulog or enabled");
        }
    }
}

void Reader::read_faults(const YAML::Node& node, FaultList& out) {
    auto one = [&](const YAML::Node& n) {
        if (!n.IsScalar()) fail(n.Mark(), "faults: expected a fault such as tpcall:2:TPESYSTEM, got " + shown(n));
        if (auto err = parse_faults(n.Scalar(), out); !err.empty()) fail(n.Mark(), "faults: " + err);
    };
    if (node.IsSequence()) {
        for (const YAML::Node& n : node) one(n);
    } else if (!node.IsNull()) {
        one(node);
    }
}

// The quirks of a laxer MIB: each per-class quirk is true (every class),
// false (none) or a list of MIB classes; strict_views is true or false.
void Reader::read_quirks(const YAML::Node& node, QuirkMasks& out) {
    if (node.IsNull()) return;
    if (!node.IsMap()) {
        fail(node.Mark(), "quirks: expected a map (ignore_occurs, endless, fixed_cursor, repeat_objects, omit_more, "
                          "unsupported, strict_views), got " + shown(node));
    }
    std::set<std::string> seen;
    for (auto it = node.begin(); it != node.end(); ++it) {
        const std::string key = it->first.Scalar();
        const YAML::Node v = it->second;
        if (!seen.insert(key).second) fail(it->first.Mark(), "quirks: " + key + " given twice");
        if (key == "ignore_occurs") {
            read_class_set(key, v, out.ignore_occurs);
        } else if (key == "endless") {
            read_class_set(key, v, out.endless);
        } else if (key == "fixed_cursor") {
            read_class_set(key, v, out.fixed_cursor);
        } else if (key == "repeat_objects") {
            read_class_set(key, v, out.repeat_objects);
        } else if (key == "omit_more") {
            read_class_set(key, v, out.omit_more);
        } else if (key == "unsupported") {
            read_class_set(key, v, out.unsupported);
        } else if (key == "strict_views") {
            const std::string s = plain_scalar(v) ? v.Scalar() : "";
            if (s != "true" && s != "false") {
                fail(v.Mark(), "quirks strict_views: expected true or false, got " + shown(v));
            }
            out.strict_views = s == "true";
        } else {
            fail(it->first.Mark(), "quirks: unknown setting \"" + key +
                                       "\": expected ignore_occurs, endless, fixed_cursor, repeat_objects, "
                                       "omit_more, unsupported or strict_views");
        }
    }
}

// security: {level: NONE|APP_PW|USER_AUTH, app_password: TEXT, users: {NAME: TEXT}}.
// The passwords are never shown in a message.
void Reader::read_security(const YAML::Node& node, SecuritySettings& out) {
    if (!node.IsMap()) fail(node.Mark(), "security: expected a map (level, app_password, users), got " + shown(node));
    std::set<std::string> seen;
    YAML::Node users;
    bool has_users = false;
    for (auto it = node.begin(); it != node.end(); ++it) {
        const std::string key = it->first.Scalar();
        const YAML::Node v = it->second;
        if (!seen.insert(key).second) fail(it->first.Mark(), "security: " + key + " given twice");
        if (key == "level") {
            const std::string s = plain_scalar(v) ? v.Scalar() : "";
            if (s == "NONE") out.level = SecurityLevel::None;
            else if (s == "APP_PW") out.level = SecurityLevel::AppPw;
            else if (s == "USER_AUTH") out.level = SecurityLevel::UserAuth;
            else fail(v.Mark(), "security level: expected NONE, APP_PW or USER_AUTH, got " + shown(v));
        } else if (key == "app_password") {
            // As TPINIT.passwd holds it: 1 to MAXTIDENT characters.
            if (!v.IsScalar() || v.Scalar().empty() || v.Scalar().size() > MAXTIDENT ||
                v.Scalar().find('\0') != std::string::npos) {
                fail(v.Mark(), "security app_password: expected a text of 1 to " + std::to_string(MAXTIDENT) +
                                   " characters");
            }
            out.app_password = v.Scalar();
        } else if (key == "users") {
            if (!v.IsMap()) fail(v.Mark(), "security users: expected a map of user names to passwords");
            users = v;
            has_users = true;
        } else {
            fail(it->first.Mark(), "security: unknown setting \"" + key + "\": expected level, app_password or users");
        }
    }
    if (!seen.count("level")) fail(node.Mark(), "security: expected a level (NONE, APP_PW or USER_AUTH)");
    if (out.level != SecurityLevel::None && out.app_password.empty()) {
        fail(node.Mark(), "security: level APP_PW and USER_AUTH need an app_password");
    }
    if (has_users && out.level != SecurityLevel::UserAuth) {
        fail(users.Mark(), "security users: only level USER_AUTH checks users' passwords");
    }
    if (!has_users) return;
    for (auto it = users.begin(); it != users.end(); ++it) {
        const std::string name = it->first.Scalar();
        if (name.empty() || name.size() > MAXTIDENT) {
            fail(it->first.Mark(), "security users: expected a user name of 1 to " + std::to_string(MAXTIDENT) +
                                       " characters, got " + shown(it->first));
        }
        if (!it->second.IsScalar() || it->second.Scalar().empty() ||
            it->second.Scalar().find('\0') != std::string::npos) {
            fail(it->second.Mark(), "security users: " + name + ": expected a password");
        }
        if (!out.users.emplace(name, it->second.Scalar()).second) {
            fail(it->first.Mark(), "security users: " + name + " given twice");
        }
    }
}

void Reader::read_class_set(const std::string& quirk, const YAML::Node& v, ClassMask& out) {
    if (plain_scalar(v) && (v.Scalar() == "true" || v.Scalar() == "false")) {
        if (v.Scalar() == "true") out.set();
        return;
    }
    if (!v.IsSequence()) {
        fail(v.Mark(), "quirks " + quirk + ": expected true, false or a list of MIB classes, got " + shown(v));
    }
    for (const YAML::Node& item : v) {
        if (!item.IsScalar()) fail(item.Mark(), "quirks " + quirk + ": expected a MIB class, got " + shown(item));
        const ClassSpec* cls = find_class(item.Scalar());
        if (!cls) fail(item.Mark(), "quirks " + quirk + ": unknown MIB class " + shown(item));
        out.set(class_index(*cls));
    }
}

}  // namespace

DomainFile load_domain_file(const std::string& path) { return Reader(path).read(); }

}  // namespace tuxsim::detail
