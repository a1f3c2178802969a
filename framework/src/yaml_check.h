// Reading a YAML file the framework is given (the request file, the web
// configuration) with every value checked: the first problem is thrown as a
// YamlCheckError holding one line that names the file, the line and what was
// expected. Catch it where the file is read.
#ifndef AGW_YAML_CHECK_H
#define AGW_YAML_CHECK_H

#include <yaml-cpp/yaml.h>

#include <set>
#include <string>

#include "printable.h"

namespace agw {

struct YamlCheckError {
    std::string text;
};

// A value from the file inside a message: quoted, escaped and bounded.
inline std::string Quote(const std::string& text) { return "\"" + zcommon::Printable(text) + "\""; }

class YamlChecker {
public:
    explicit YamlChecker(const std::string& source) : source_(source) {}

    [[noreturn]] void Fail(const YAML::Node& node, const std::string& what) const {
        std::string text = source_;
        if (node.IsDefined() && node.Mark().line >= 0) text += ":" + std::to_string(node.Mark().line + 1);
        text += ": ";
        text += context_;
        throw YamlCheckError{text + what};
    }

    std::string Scalar(const YAML::Node& node, const std::string& key, const std::string& expected) const {
        if (!node.IsScalar()) Fail(node, key + ": expected " + expected);
        const std::string& text = node.Scalar();
        if (text.find('\0') != std::string::npos) Fail(node, key + ": expected " + expected + ", got a NUL byte");
        return text;
    }

    // Every key of `map` is known and appears once: the parser keeps the
    // first of two equal keys and drops the other without a word. `where`
    // starts the message ("tls_server_config: ").
    void CheckKeys(const YAML::Node& map, const std::set<std::string>& known, const std::string& list,
                   const std::string& where = "") const {
        std::set<std::string> seen;
        for (const auto& item : map) {
            std::string key = item.first.IsScalar() ? item.first.Scalar() : "";
            if (known.count(key) == 0) Fail(item.first, where + "unknown key " + Quote(key) + ", expected one of " + list);
            if (!seen.insert(key).second) {
                Fail(item.first, where + "duplicate key " + Quote(key) + ", expected each key once");
            }
        }
    }

    // What every later message starts with after the line ("request \"x\": "), or "".
    void SetContext(std::string context) { context_ = std::move(context); }

private:
    const std::string& source_;  // the file's name, printable; outlives the checker
    std::string context_;
};

}  // namespace agw

#endif  // AGW_YAML_CHECK_H
