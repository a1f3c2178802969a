// Reading the request file with yaml-cpp, and checking every value in it.
#include "config.h"

#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "agw_internal.h"
#include "ascii.h"
#include "yaml_check.h"
#include "printable.h"
#include "regular_file.h"

namespace agw {

namespace {

using Checker = YamlChecker;
using ConfigError = YamlCheckError;

AgwThreshold ReadThreshold(Checker& check, const YAML::Node& node) {
    if (!node.IsMap()) check.Fail(node, "thresholds: expected a list of {column, op, value} maps");
    check.CheckKeys(node, {"column", "op", "value"}, "column, op, value");
    AgwThreshold threshold;
    if (!node["column"]) check.Fail(node, "threshold: expected a column");
    threshold.column = zcommon::ToUpper(check.Scalar(node["column"], "column", "a column name"));
    if (threshold.column.empty()) check.Fail(node["column"], "column: expected a column name");
    if (!node["op"]) check.Fail(node, "threshold: expected an op (EQ, NE, LT, LE, GT or GE)");
    std::string op = check.Scalar(node["op"], "op", "EQ, NE, LT, LE, GT or GE");
    if (!ParseOperator(op, &threshold.op)) check.Fail(node["op"], "op: expected EQ, NE, LT, LE, GT or GE, got " + Quote(op));
    if (!node["value"]) check.Fail(node, "threshold: expected a value");
    threshold.value = check.Scalar(node["value"], "value", "a value");
    return threshold;
}

ConfigRequest ReadRequest(Checker& check, const YAML::Node& node, std::uint32_t id) {
    check.SetContext("");
    if (!node.IsMap()) check.Fail(node, "requests: expected a list of maps with name, table, type, interval, thresholds");
    ConfigRequest request;
    request.line = node.Mark().line + 1;
    RequestDetail& detail = request.detail;
    detail.id = id;
    if (!node["name"]) check.Fail(node, "request without a name: expected name");
    detail.name = check.Scalar(node["name"], "name", "a request name");
    if (detail.name.empty()) check.Fail(node["name"], "name: expected a non-empty request name");
    check.SetContext("request " + Quote(detail.name) + ": ");
    check.CheckKeys(node, {"name", "table", "type", "interval", "thresholds", "objects"},
                    "name, table, type, interval, thresholds, objects");

    if (!node["table"]) check.Fail(node, "table: expected a table name");
    detail.table = zcommon::ToUpper(check.Scalar(node["table"], "table", "a table name"));
    if (detail.table.empty()) check.Fail(node["table"], "table: expected a table name");

    detail.type = AGW_SAMPLE_REPORT;
    if (node["type"]) {
        std::string type = check.Scalar(node["type"], "type", "report or situation");
        if (type == "situation") {
            detail.type = AGW_SAMPLE_SITUATION_REQUEST;
        } else if (type != "report") {
            check.Fail(node["type"], "type: expected report or situation, got " + Quote(type));
        }
    }

    detail.interval = 30;
    if (node["interval"]) {
        const std::string expected = "a whole number of seconds from " + std::to_string(kMinInterval) + " to " +
                                     std::to_string(kMaxInterval);
        std::string text = check.Scalar(node["interval"], "interval", expected);
        long seconds = 0;
        if (!ParseDecimal(text.c_str(), &seconds) || seconds < kMinInterval || seconds > kMaxInterval) {
            check.Fail(node["interval"], "interval: expected " + expected + ", got " + Quote(text));
        }
        detail.interval = static_cast<int>(seconds);
    }

    if (node["objects"]) {
        std::string objects = check.Scalar(node["objects"], "objects", "true or false");
        if (objects != "true" && objects != "false") {
            check.Fail(node["objects"], "objects: expected true or false, got " + Quote(objects));
        }
        detail.objects = objects == "true";
    }

    if (node["thresholds"]) {
        const YAML::Node& list = node["thresholds"];
        if (!list.IsSequence()) check.Fail(list, "thresholds: expected a list of {column, op, value} maps");
        // Before copying: an alias repeats a list without making the file longer.
        if (list.size() > kMaxThresholds) {
            check.Fail(list, "thresholds: expected at most " + std::to_string(kMaxThresholds) +
                                 " thresholds per request, got " + std::to_string(list.size()));
        }
        for (const auto& item : list) detail.thresholds.push_back(ReadThreshold(check, item));
    }
    return request;
}

}  // namespace

bool LoadConfig(const std::string& path, Config* config, std::string* error) {
    config->source = path;
    config->output.clear();
    config->requests.clear();
    config->metrics.clear();
    config->webConfig.clear();
    // A request file is a few kilobytes; a megabyte is far beyond any real
    // one and keeps a wrong path (a log, /dev/zero) from eating memory.
    constexpr std::size_t kMaxRequestFile = 1u << 20;
    std::string text;
    std::string reason;
    if (!zcommon::ReadRegularFile(path, kMaxRequestFile, &text, &reason)) {
        *error = zcommon::Printable(path) + ": cannot read the request file: " + reason;
        return false;
    }

    const std::string source = zcommon::Printable(path);  // the checker keeps a reference
    Checker check(source);
    try {
        YAML::Node root = YAML::Load(text);
        if (!root.IsMap()) check.Fail(root, "expected a map with requests (and optionally output)");
        check.CheckKeys(root, {"requests", "output", "metrics", "web_config", "mib"},
                        "requests, output, metrics, web_config, mib");
        if (root["output"]) config->output = check.Scalar(root["output"], "output", "a file name or -");
        if (root["web_config"]) {
            config->webConfig = check.Scalar(root["web_config"], "web_config", "a file name");
            if (config->webConfig.empty()) check.Fail(root["web_config"], "web_config: expected a file name");
            // Relative to the request file's folder, where it is kept with it.
            std::size_t slash = path.rfind('/');
            if (config->webConfig.front() != '/' && slash != std::string::npos) {
                config->webConfig = path.substr(0, slash + 1) + config->webConfig;
            }
        }
        if (const YAML::Node& metrics = root["metrics"]) {
            if (!metrics.IsMap()) {
                check.Fail(metrics, "metrics: expected a map with machine, domain_wide, rows_endpoint, max_scrapes");
            }
            check.CheckKeys(metrics, {"machine", "domain_wide", "rows_endpoint", "max_scrapes"},
                            "machine, domain_wide, rows_endpoint, max_scrapes");
            if (metrics["machine"]) {
                std::string machine = check.Scalar(metrics["machine"], "machine", "a machine's name");
                if (machine.empty() || machine.size() > 30) {
                    check.Fail(metrics["machine"], "machine: expected a machine's name of 1 to 30 characters, got " +
                                                       Quote(machine));
                }
                config->metrics["machine"] = machine;
            }
            if (metrics["domain_wide"]) {
                std::string wide = check.Scalar(metrics["domain_wide"], "domain_wide", "auto, true or false");
                if (wide != "auto" && wide != "true" && wide != "false") {
                    check.Fail(metrics["domain_wide"], "domain_wide: expected auto, true or false, got " + Quote(wide));
                }
                config->metrics["domain_wide"] = wide;
            }
            if (metrics["rows_endpoint"]) {
                std::string rows = check.Scalar(metrics["rows_endpoint"], "rows_endpoint", "true or false");
                if (rows != "true" && rows != "false") {
                    check.Fail(metrics["rows_endpoint"], "rows_endpoint: expected true or false, got " + Quote(rows));
                }
                config->metrics["rows_endpoint"] = rows;
            }
            if (metrics["max_scrapes"]) {
                const std::string expected = "a whole number of scrapes from 1 to " + std::to_string(kMaxScrapes);
                std::string text = check.Scalar(metrics["max_scrapes"], "max_scrapes", expected);
                long scrapes = 0;
                if (!ParseDecimal(text.c_str(), &scrapes) || scrapes < 1 || scrapes > static_cast<long>(kMaxScrapes)) {
                    check.Fail(metrics["max_scrapes"], "max_scrapes: expected " + expected + ", got " + Quote(text));
                }
                config->metrics["max_scrapes"] = std::to_string(scrapes);
            }
        }
        // `mib:` settings go to every request's table objects.
        std::map<std::string, std::string> settings;
        if (const YAML::Node& mib = root["mib"]) {
            if (!mib.IsMap()) check.Fail(mib, "mib: expected a map with occurs");
            check.CheckKeys(mib, {"occurs"}, "occurs");
            if (mib["occurs"]) {
                const std::string expected = "a whole number of objects per MIB call from " +
                                             std::to_string(kMinOccurs) + " to " + std::to_string(kMaxOccurs);
                std::string text = check.Scalar(mib["occurs"], "occurs", expected);
                long occurs = 0;
                if (!ParseDecimal(text.c_str(), &occurs) || occurs < kMinOccurs || occurs > kMaxOccurs) {
                    check.Fail(mib["occurs"], "occurs: expected " + expected + ", got " + Quote(text));
                }
                settings["mib.occurs"] = std::to_string(occurs);
            }
        }
        const YAML::Node& requests = root["requests"];
        if (!requests || !requests.IsSequence() || requests.size() == 0) {
            check.Fail(requests ? requests : root, "requests: expected a list of at least one request");
        }
        if (requests.size() > kMaxRequests) {
            check.Fail(requests, "requests: expected at most " + std::to_string(kMaxRequests) + " requests, got " +
                                     std::to_string(requests.size()));
        }
        std::set<std::string> names;
        std::uint32_t id = 0;
        for (const auto& item : requests) {
            ConfigRequest request = ReadRequest(check, item, ++id);
            request.detail.settings = settings;
            if (!names.insert(request.detail.name).second) {
                check.Fail(item["name"], "name: expected a name no other request has");
            }
            config->requests.push_back(std::move(request));
        }
    } catch (const ConfigError& problem) {
        *error = problem.text;
        return false;
    } catch (const YAML::DeepRecursion& problem) {
        // The parser's own text for this case is "bad file".
        *error = path;
        if (problem.mark.line >= 0) *error += ":" + std::to_string(problem.mark.line + 1);
        *error += ": expected a YAML request file: lists and maps nested too deeply";
        return false;
    } catch (const YAML::Exception& problem) {
        *error = zcommon::Printable(path);
        if (problem.mark.line >= 0) *error += ":" + std::to_string(problem.mark.line + 1);
        *error += ": expected a YAML request file: " + problem.msg;
        return false;
    }
    return true;
}

}  // namespace agw
