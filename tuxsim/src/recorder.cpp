#include "recorder.hpp"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "fml_values.hpp"
#include "printable.h"
#include "regular_file.h"

namespace tuxsim::detail {
namespace {

// Tabs, newlines and backslashes are escaped so that a line stays a line.
std::string escaped(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace

Request describe_request(FBFR32* req) {
    Request r;
    FLDID32 id = FIRSTFLDID;
    FLDOCC32 oc = 0;
    while (Fnext32(req, &id, &oc, nullptr, nullptr) > 0) {
        if (oc != 0) continue;
        const char* name = Fname32(id);
        if (!name) continue;
        Value v;
        if (!read_field(req, id, 0, v)) continue;
        const std::string n = name;
        if (n == "TA_OPERATION") {
            r.operation = v.text;
        } else if (n == "TA_CLASS") {
            r.cls = v.text;
        } else if (n == "TA_FLAGS") {
            r.flags = v.num;
        } else if (n == "TA_OCCURS") {
            r.occurs = v.num;
        } else if (n == "TA_CURSOR") {
            r.cursor = v.text;
        } else {
            r.keys[n] = value_text(Fldtype32(id), v);
        }
    }
    return r;
}

std::string record_line(const Request& r) {
    std::string line = "operation=" + escaped(r.operation) + "\tclass=" + escaped(r.cls) +
                       "\tflags=" + std::to_string(r.flags) +
                       "\toccurs=" + (r.occurs < 0 ? std::string("-") : std::to_string(r.occurs)) +
                       "\tcursor=" + escaped(r.cursor) + "\toutcome=" + escaped(r.outcome);
    for (const auto& [k, v] : r.keys) line += "\t" + k + "=" + escaped(v);
    return line;
}

Recorder::~Recorder() {
    if (file_) std::fclose(file_);
}

void Recorder::reopen() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    file_checked_ = false;
    env_set_ = false;
}

void Recorder::check_file() {
    if (file_checked_) return;
    file_checked_ = true;
    const char* path = std::getenv("TUXSIM_RECORD");
    if (path && *path) {
        env_set_ = true;
        std::string reason;
        const int fd = zcommon::OpenForAppend(path, &reason);
        file_ = fd >= 0 ? ::fdopen(fd, "a") : nullptr;
        if (fd >= 0 && !file_) {
            reason = std::strerror(errno);
            ::close(fd);
        }
        if (!file_) {
            std::fprintf(stderr, "tuxsim: cannot open TUXSIM_RECORD file %s: %s\n", zcommon::Printable(path).c_str(),
                         reason.c_str());
        }
    }
}

bool Recorder::wanted() {
    check_file();
    return keep_ || env_set_;
}

void Recorder::add(Request r) {
    if (!wanted()) return;
    if (file_) {
        std::string line = record_line(r) + "\n";
        std::fwrite(line.data(), 1, line.size(), file_);
        std::fflush(file_);  // a test reads the file while the process still runs
    }
    requests_.push_back(std::move(r));
    if (requests_.size() > kMaxKept) requests_.pop_front();
}

}  // namespace tuxsim::detail
