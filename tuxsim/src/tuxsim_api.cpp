// The test API of tuxsim.h.
#include "tuxsim.h"

#include <cerrno>
#include <cstdlib>

#include "buffers.hpp"
#include "sim.hpp"

namespace tuxsim {

using detail::sim;

void reset() {
    auto& s = sim();
    std::lock_guard lock(s.mu);
    s.leave();
    s.domain.reset();
    s.domain_override.clear();
    s.mib.clear();
    s.mib.force_occurs(0);
    s.quirks_set.reset();
    s.apply_quirks();
    s.faults = detail::FaultPlan{};
    s.env_faults_read = false;
    s.env_faults_error.clear();
    s.refusals_told.clear();
    s.recorder.clear();
    s.recorder.keep(false);
    s.recorder.reopen();
    s.manual_clock = false;
}

void use_domain_file(const std::string& path) {
    auto& s = sim();
    std::lock_guard lock(s.mu);
    s.leave();
    s.domain.reset();
    s.mib.clear();
    s.domain_override = path;
    s.apply_quirks();
}

std::string load_domain() {
    auto& s = sim();
    std::lock_guard lock(s.mu);
    return s.ensure_domain();
}

void set_time(std::time_t t) {
    auto& s = sim();
    std::lock_guard lock(s.mu);
    s.manual_clock = true;
    s.manual_now = t;
}

void advance_time(std::chrono::seconds d) {
    auto& s = sim();
    std::lock_guard lock(s.mu);
    if (!s.manual_clock) {
        s.manual_clock = true;
        s.manual_now = std::time(nullptr);
    }
    s.manual_now += std::time_t(d.count());
}

void use_system_time() {
    auto& s = sim();
    std::lock_guard lock(s.mu);
    s.manual_clock = false;
}

std::time_t now() {
    auto& s = sim();
    std::lock_guard lock(s.mu);
    return s.now();
}

std::string write_ulog(const std::map<std::string, std::string>& attributes) {
    auto& s = sim();
    std::lock_guard lock(s.mu);
    if (std::string err = s.ensure_domain(); !err.empty()) return err;
    detail::Domain& d = *s.domain;
    const std::size_t cls = d.index("T_ULOG");
    auto rec = std::make_shared<detail::Object>();
    rec->set_text(d.f.lmid, d.local_lmid);
    rec->set_num(d.f.mmddyy, detail::local_mmddyy(s.now()));
    rec->set_num(d.f.ulogtime, detail::local_hhmmss(s.now()));
    rec->set_num(Fldid32(const_cast<char*>("TA_ULOGLINE")), long(d.lists.get(cls).size()) + 1);
    for (const auto& [name, value] : attributes) {
        const FLDID32 id = Fldid32(const_cast<char*>(name.c_str()));
        if (id == BADFLDID) return "write_ulog: unknown attribute " + name;
        if (Fldtype32(id) == FLD_STRING) {
            rec->set_text(id, value);
            continue;
        }
        char* end = nullptr;
        errno = 0;
        const long n = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || errno == ERANGE) {
            return "write_ulog: " + name + ": expected a decimal number, got \"" + value + "\"";
        }
        rec->set_num(id, n);
    }
    d.lists.edit(cls).push_back(std::move(rec));
    return {};
}

void fail_call(Call fn, long nth, int err) {
    auto& s = sim();
    std::lock_guard lock(s.mu);
    detail::FaultList list;
    list.calls.push_back({fn, nth, err});
    s.faults.install(list, s.now());
}

void domain_down(std::chrono::seconds span, std::chrono::seconds after) {
    auto& s = sim();
    std::lock_guard lock(s.mu);
    detail::FaultList list;
    list.downs.push_back({long(span.count()), long(after.count())});
    s.faults.install(list, s.now());
}

void force_occurs(long objects) {
    auto& s = sim();
    std::lock_guard lock(s.mu);
    s.mib.force_occurs(objects);
}

std::string set_quirks(const Quirks& quirks) {
    detail::QuirkMasks q;
    if (std::string err = detail::resolve_quirks(quirks, q); !err.empty()) return err;
    auto& s = sim();
    std::lock_guard lock(s.mu);
    s.quirks_set = q;
    s.apply_quirks();
    return {};
}

void clear_faults() {
    auto& s = sim();
    std::lock_guard lock(s.mu);
    s.faults.clear();
}

std::string install_faults(const std::string& faults) {
    auto& s = sim();
    std::lock_guard lock(s.mu);
    detail::FaultList list;
    std::string err = detail::parse_faults(faults, list);
    if (err.empty()) s.faults.install(list, s.now());
    return err;
}

std::vector<Request> requests() {
    auto& s = sim();
    std::lock_guard lock(s.mu);
    return {s.recorder.all().begin(), s.recorder.all().end()};
}

void clear_requests() {
    auto& s = sim();
    std::lock_guard lock(s.mu);
    s.recorder.clear();
    s.recorder.keep(true);
}

void record_requests(bool keep) {
    auto& s = sim();
    std::lock_guard lock(s.mu);
    s.recorder.keep(keep);
}

std::string own_client_id() {
    auto& s = sim();
    std::lock_guard lock(s.mu);
    return s.own_client;
}

std::size_t object_count(const std::string& cls) {
    auto& s = sim();
    std::lock_guard lock(s.mu);
    const detail::ClassSpec* class_def = detail::find_class(cls);
    if (!s.domain || !class_def) return 0;
    return s.domain->lists.get(detail::class_index(*class_def)).size();
}

std::size_t live_buffers() { return detail::live_buffer_count(); }

}  // namespace tuxsim
