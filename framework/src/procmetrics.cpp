// The process metrics, read from /proc at each scrape (see metrics.h).
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "exposition.h"
#include "metrics.h"

namespace agw {

Families ProcessFamilies() {
    Families families;
    auto add = [&](const char* name, MetricType type, const char* help, double value) {
        RenderedFamily family{name, type, help, {}};
        AddSample(family, {}, value, {});
        families.push_back(std::move(family));
    };
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
    std::string stat;
    if (FILE* f = std::fopen("/proc/self/stat", "r")) {
        char buffer[1024];
        std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
        std::fclose(f);
        stat.assign(buffer, n);
    }
    // The fields after the command name, which may hold blanks and parentheses.
    const std::size_t close = stat.rfind(')');
    if (close != std::string::npos && tick > 0) {
        std::vector<std::string> fields;
        std::size_t at = close + 2;
        while (at < stat.size()) {
            std::size_t end = stat.find(' ', at);
            if (end == std::string::npos) end = stat.size();
            fields.push_back(stat.substr(at, end - at));
            at = end + 1;
        }
        // fields[0] is field 3 of the file (the state).
        auto field = [&](std::size_t number) { return number - 3 < fields.size() ? std::atof(fields[number - 3].c_str()) : 0.0; };
        add("process_cpu_seconds_total", MetricType::counter,
            "Total user and system CPU time spent in seconds.", (field(14) + field(15)) / tick);
        add("process_virtual_memory_bytes", MetricType::gauge, "Virtual memory size in bytes.", field(23));
        add("process_resident_memory_bytes", MetricType::gauge, "Resident memory size in bytes.",
            field(24) * page);
        double boot = 0;
        if (FILE* f = std::fopen("/proc/stat", "r")) {
            char line[256];
            while (std::fgets(line, sizeof line, f) != nullptr) {
                if (std::strncmp(line, "btime ", 6) == 0) boot = std::atof(line + 6);
            }
            std::fclose(f);
        }
        if (boot > 0) {
            add("process_start_time_seconds", MetricType::gauge,
                "Start time of the process since unix epoch in seconds.", boot + field(22) / tick);
        }
    }
    double open = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(dir)) open += entry->d_name[0] != '.';
        closedir(dir);
        open -= 1;  // the directory being read
        add("process_open_fds", MetricType::gauge, "Number of open file descriptors.", open);
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        add("process_max_fds", MetricType::gauge, "Maximum number of open file descriptors.",
            limit.rlim_cur == RLIM_INFINITY ? 0 : static_cast<double>(limit.rlim_cur));
    }
    return families;
}

}  // namespace agw
