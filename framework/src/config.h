// The request file named by AGW_CONFIG (format: docs/configuration.md).
#ifndef AGW_CONFIG_H
#define AGW_CONFIG_H

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "agw_types.h"

namespace agw {

struct ConfigRequest {
    RequestDetail detail;
    int line = 0;  // where the request starts in the file, 1-based
};

struct Config {
    std::string source;  // the file's name
    std::string output;  // row output from the file; empty when not given
    std::vector<ConfigRequest> requests;
    // The `metrics:` section: setting -> value (machine, domain_wide, rows_endpoint,
    // max_scrapes).
    std::map<std::string, std::string> metrics;
    // `web_config:` the metrics endpoint's web configuration file (TLS,
    // basic authentication), a relative name made relative to the request
    // file's folder; empty when not given. AGW_WEB_CONFIG wins.
    std::string webConfig;
};

// Reads and checks the file. False with *error set to one line (no newline)
// naming the file, the line, the request and what was expected.
bool LoadConfig(const std::string& path, Config* config, std::string* error);

// The objects one MIB call may ask for (`mib: {occurs: N}`).
constexpr long kMinOccurs = 1;
constexpr long kMaxOccurs = 10000;

// Smallest and largest interval in seconds (milliseconds must fit an int).
constexpr int kMinInterval = 1;
constexpr int kMaxInterval = 2147483;

// The most requests a file may hold, and thresholds a request may have,
// counted after aliases are expanded (an alias repeats a list at no cost in
// the file's size): far beyond any real file, and they bound what reading it
// takes.
constexpr std::size_t kMaxRequests = 1000;
constexpr std::size_t kMaxThresholds = 100;

// The most scrapes of /metrics in flight the request file may allow
// (metrics: max_scrapes; default 40): each holds a connection and a reader.
constexpr unsigned kMaxScrapes = 10000;

}  // namespace agw

#endif
