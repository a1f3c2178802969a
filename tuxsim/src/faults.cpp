#include "faults.hpp"

#include <algorithm>
#include <charconv>

#include "tperrno_table.hpp"

namespace tuxsim::detail {
namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    for (;;) {
        auto pos = s.find(sep);
        parts.push_back(trim(s.substr(0, pos)));
        if (pos == std::string_view::npos) break;
        s.remove_prefix(pos + 1);
    }
    return parts;
}

// A count of calls or seconds: decimal, within 1..max (0 allowed if zero_ok).
bool parse_count(std::string_view s, long& out, bool zero_ok) {
    long v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size() || s.empty()) return false;
    if (v < (zero_ok ? 0 : 1) || v > 1'000'000'000L) return false;
    out = v;
    return true;
}

std::string parse_item(std::string_view item, FaultList& out) {
    auto quoted = "\"" + std::string(item) + "\"";
    auto parts = split(item, ':');
    if (parts[0] == "down") {
        DownFault d{0, 0};
        if (parts.size() < 2 || parts.size() > 3 || !parse_count(parts[1], d.span, false) ||
            (parts.size() == 3 && !parse_count(parts[2], d.after, true))) {
            return "fault " + quoted + ": expected down:SECONDS or down:SECONDS:AFTER";
        }
        out.downs.push_back(d);
        return {};
    }
    Call fn;
    if (parts[0] == "tpinit") {
        fn = Call::tpinit;
    } else if (parts[0] == "tpalloc") {
        fn = Call::tpalloc;
    } else if (parts[0] == "tpcall") {
        fn = Call::tpcall;
    } else {
        return "fault " + quoted + ": expected tpinit, tpalloc, tpcall or down before the first ':'";
    }
    if (parts.size() != 3) return "fault " + quoted + ": expected " + std::string(parts[0]) + ":N:TPERRNO";
    long nth = 0;
    if (!parse_count(parts[1], nth, false)) {
        return "fault " + quoted + ": call number must be a whole number from 1";
    }
    int err = tperrno_parse(parts[2]);
    if (err < 0) return "fault " + quoted + ": unknown tperrno \"" + std::string(parts[2]) + "\"";
    out.calls.push_back({fn, nth, err});
    return {};
}

}  // namespace

std::string parse_faults(std::string_view text, FaultList& out) {
    FaultList parsed;
    if (!trim(text).empty()) {
        for (std::string_view item : split(text, ',')) {
            if (item.empty()) return "empty fault item in \"" + std::string(text) + "\"";
            if (auto err = parse_item(item, parsed); !err.empty()) return err;
        }
    }
    out.calls.insert(out.calls.end(), parsed.calls.begin(), parsed.calls.end());
    out.downs.insert(out.downs.end(), parsed.downs.begin(), parsed.downs.end());
    return {};
}

void FaultPlan::install(const FaultList& list, std::time_t now) {
    for (const CallFault& f : list.calls) {
        long base = counts_[static_cast<std::size_t>(f.call)];
        pending_.push_back({f.call, base + f.nth, f.err});
    }
    for (const DownFault& d : list.downs) {
        std::time_t from = now + d.after;
        downs_.push_back({from, from + d.span});
    }
}

int FaultPlan::on_call(Call fn) {
    long n = ++counts_[static_cast<std::size_t>(fn)];
    auto it = std::find_if(pending_.begin(), pending_.end(),
                           [&](const Pending& p) { return p.call == fn && p.at == n; });
    if (it == pending_.end()) return 0;
    int err = it->err;
    pending_.erase(it);
    return err;
}

bool FaultPlan::down(std::time_t now) const {
    return std::any_of(downs_.begin(), downs_.end(),
                       [&](const Span& s) { return now >= s.from && now < s.to; });
}

void FaultPlan::clear() {
    pending_.clear();
    downs_.clear();
}

}  // namespace tuxsim::detail
