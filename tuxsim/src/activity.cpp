#include "activity.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <initializer_list>
#include <numbers>

namespace tuxsim::detail {
namespace {

// Count: grows through the day. Level: wanders around the file's value and
// back, within 0..hi. Stamp: the time of the object's latest event.
enum class Move { Count, Level, Stamp };

struct Rule {
    std::string_view cls;
    std::string_view attr;
    Move move;
    // Count: the mean growth per step of an ordinary object (a busy one
    // grows several times faster). Level: how far it wanders either way.
    double rate;
    long hi;  // Level: the highest value it wanders to
};

// What moves in a live domain, and only on objects that run (no state, or
// "ACTive"): a suspended, partitioned, inactive or dead object keeps the
// file's values. Only attributes an object already has move. The counters
// of one object move together (as many requests as completions, fifty units
// of work per request), so they stay in proportion.
constexpr std::array kRules{
    Rule{"T_SERVER", "TA_NUMREQ", Move::Count, 0.6, 0},
    Rule{"T_SERVER", "TA_TOTREQC", Move::Count, 0.6, 0},
    Rule{"T_SERVER", "TA_TOTWORKL", Move::Count, 30, 0},
    Rule{"T_SERVER", "TA_NUMTRAN", Move::Count, 0.15, 0},
    Rule{"T_SERVER", "TA_NUMTRANCMT", Move::Count, 0.15, 0},
    Rule{"T_SERVER", "TA_NUMDEQUEUE", Move::Count, 0.05, 0},
    Rule{"T_SERVER", "TA_NUMENQUEUE", Move::Count, 0.05, 0},
    Rule{"T_SERVER", "TA_CURREQ", Move::Level, 2, 3},
    Rule{"T_SVCGRP", "TA_NCOMPLETED", Move::Count, 0.6, 0},
    Rule{"T_SVCGRP", "TA_NQUEUED", Move::Level, 2, 5},
    Rule{"T_MACHINE", "TA_NUMREQ", Move::Count, 3, 0},
    Rule{"T_MACHINE", "TA_NUMTRAN", Move::Count, 0.6, 0},
    Rule{"T_MACHINE", "TA_NUMTRANCMT", Move::Count, 0.6, 0},
    Rule{"T_MACHINE", "TA_NUMENQUEUE", Move::Count, 0.2, 0},
    Rule{"T_MACHINE", "TA_NUMDEQUEUE", Move::Count, 0.2, 0},
    Rule{"T_MACHINE", "TA_WKINITIATED", Move::Count, 150, 0},
    Rule{"T_MACHINE", "TA_WKCOMPLETED", Move::Count, 150, 0},
    Rule{"T_MACHINE", "TA_ACLCACHEACCESS", Move::Count, 0.3, 0},
    Rule{"T_MACHINE", "TA_ACLCACHEHITS", Move::Count, 0.3, 0},
    Rule{"T_MACHINE", "TA_CURRLOAD", Move::Level, 100, 2000},
    Rule{"T_MACHINE", "TA_CURGTT", Move::Level, 2, 10},
    Rule{"T_QUEUE", "TA_TOTNQUEUED", Move::Count, 0.6, 0},
    Rule{"T_QUEUE", "TA_TOTWKQUEUED", Move::Count, 30, 0},
    Rule{"T_QUEUE", "TA_NQUEUED", Move::Level, 2, 6},
    Rule{"T_QUEUE", "TA_WKQUEUED", Move::Level, 100, 300},
    Rule{"T_CLIENT", "TA_NUMTRAN", Move::Count, 0.1, 0},
    Rule{"T_CLIENT", "TA_NUMTRANCMT", Move::Count, 0.1, 0},
    Rule{"T_CLIENT", "TA_IDLETIME", Move::Level, 60, 3600},
    Rule{"T_CONN", "TA_CONNOSNDCNT", Move::Count, 0.2, 0},
    Rule{"T_CONN", "TA_CONNSSNDCNT", Move::Count, 0.2, 0},
    Rule{"T_MSG", "TA_MSG_QNUM", Move::Level, 4, 40},
    Rule{"T_MSG", "TA_MSG_CBYTES", Move::Level, 1024, 16384},
    Rule{"T_MSG", "TA_MSG_STIME", Move::Stamp, 0, 0},
    Rule{"T_MSG", "TA_MSG_RTIME", Move::Stamp, 0, 0},
    Rule{"T_APPQ", "TA_CURMSG", Move::Level, 4, 50},
    Rule{"T_APPQ", "TA_CURBLOCKS", Move::Level, 2, 20},
    Rule{"T_APPQSPACE", "TA_CURMSG", Move::Level, 6, 200},
    Rule{"T_APPQSPACE", "TA_CURTRANS", Move::Level, 2, 5},
};

struct UlogText {
    const char* severity;
    const char* cat;
    long msgnum;
    const char* proc;
    const char* msg;
};

constexpr std::array kUlogTexts{
    UlogText{"INFO", "LIBTUX", 262, "BBL", "INFO: Server group check completed, all servers alive"},
    UlogText{"INFO", "CMDTUX", 1004, "WSL", "INFO: Workstation client connected"},
    UlogText{"WARN", "LIBTUX", 1811, "BBL", "WARN: Service call exceeded half of its time-out"},
    UlogText{"ERROR", "LIBTUX", 4302, "TMS_ORA", "ERROR: Transaction time-out, rolled back"},
    UlogText{"INFO", "LIBTUX", 598, "BRIDGE", "INFO: Network link to the other machine re-established"},
};

// What a draw is for, so that draws for different purposes never coincide.
enum Purpose : std::uint64_t { kWeight = 1, kJitter, kWave, kStamp, kSlot, kSlotTurn, kClient, kUlog };

// Every draw is a hash of the seed, its purpose and what it is about (class,
// object, step): the same in every process, in any order.
std::uint64_t draw(std::initializer_list<std::uint64_t> parts) {
    std::uint64_t h = 0x9e3779b97f4a7c15ULL;
    for (std::uint64_t p : parts) {
        h ^= p;
        h += 0x9e3779b97f4a7c15ULL;  // splitmix64
        h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ULL;
        h = (h ^ (h >> 27)) * 0x94d049bb133111ebULL;
        h ^= h >> 31;
    }
    return h;
}

// A draw as a number in [0, 1).
double unit(std::uint64_t h) { return double(h >> 11) * 0x1p-53; }

// Division and remainder rounding towards minus infinity (a clock set before
// the epoch still steps forwards).
long floor_div(long a, long b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }
long floor_mod(long a, long b) { return a - floor_div(a, b) * b; }

std::uint64_t u64(long v) { return static_cast<std::uint64_t>(v); }

bool running(const Object& o, const MibFields& f) {
    const std::string state = o.text(f.state);
    return state.empty() || state == "ACTive";
}

}  // namespace

void Activity::start(const Domain& d) {
    on_ = d.activity.on;
    set_ = d.activity;
    stepped_ = false;
    file_.assign(kClassCount, {});
    clients_.clear();
    records_.clear();
    ulog_.clear();
    last_line_.clear();
    if (!on_) return;
    for (std::size_t i = 0; i < kClassCount; ++i) file_[i] = d.lists.get(i);
    // A record that names no machine belongs to whichever machine reads it;
    // only those that name theirs set where the model's records go on.
    const FLDID32 line = field_id("TA_ULOGLINE");
    for (const ObjectPtr& o : file_[d.index("T_ULOG")]) {
        const std::string lmid = o->text(d.f.lmid);
        if (lmid.empty()) continue;
        auto it = std::find_if(last_line_.begin(), last_line_.end(), [&](const auto& e) { return e.first == lmid; });
        if (it == last_line_.end()) it = last_line_.insert(last_line_.end(), {lmid, 0});
        it->second = std::max(it->second, o->num(line));
    }
}

void Activity::advance(Domain& d, std::time_t now, const std::string& own_client) {
    if (!on_) return;
    const long step = floor_div(long(now), set_.tick);
    if (stepped_ && step == step_) return;
    move_objects(d, step);
    churn_clients(d, step, own_client);
    write_ulog(d, step);
    step_ = step;
    stepped_ = true;
}

void Activity::move_objects(Domain& d, long step) const {
    const long tick = set_.tick;
    // The day's first step: counters stand at the file's values then.
    const long first = -floor_div(-floor_div(step * tick, kDay) * kDay, tick);
    const long n = step - first;
    std::string_view cls;
    for (std::size_t r0 = 0; r0 < kRules.size(); ++r0) {
        if (kRules[r0].cls == cls) continue;
        cls = kRules[r0].cls;
        const std::size_t ci = d.index(cls);
        const ObjectList& file = file_[ci];
        if (d.lists.get(ci).size() < file.size()) continue;  // not the file's objects
        ObjectList& list = d.lists.edit(ci);
        for (std::size_t i = 0; i < file.size(); ++i) {
            const Object& was = *file[i];
            if (!running(was, d.f)) continue;
            const std::uint64_t who[] = {set_.seed, ci, i};
            // A few objects are busy, the others run at 0.6 to 1.4 times
            // the ordinary rate.
            const std::uint64_t w = draw({who[0], kWeight, who[1], who[2]});
            const double weight = unit(w) < 0.15 ? 6.0 + double((w >> 20) % 15) : 0.6 + 0.8 * unit(draw({w}));
            // Growth c * (n + u(n)) with u in [0, 1): never down, c per step
            // on average, and more than c * (k - 1) over any k steps.
            const double u = unit(draw({who[0], kJitter, who[1], who[2], u64(step)}));
            const double u0 = unit(draw({who[0], kJitter, who[1], who[2], u64(first)}));
            std::shared_ptr<Object> obj;
            for (std::size_t r = r0; r < kRules.size() && kRules[r].cls == cls; ++r) {
                const Rule& rule = kRules[r];
                const FLDID32 id = field_id(rule.attr);
                const Attr* a = was.find(id);
                if (!a || a->values.empty()) continue;
                const long v = a->values.front().num;
                long moved = v;
                if (rule.move == Move::Count) {
                    const double c = rule.rate * weight;
                    const long grown = long(std::floor(c * (double(n) + u)) - std::floor(c * u0));
                    moved = v > LONG_MAX - grown ? v : v + grown;
                } else if (rule.move == Move::Level) {
                    // Up and back within 20 to 60 steps.
                    const std::uint64_t h = draw({who[0], kWave, who[1], who[2], r});
                    const long period = 20 + long(h % 41);
                    const long at = floor_mod(step + long((h >> 32) % u64(period)), period);
                    const double wave = std::sin(2 * std::numbers::pi * double(at) / double(period));
                    long sum = v;
                    if (__builtin_add_overflow(v, std::lround(rule.rate * wave), &sum)) sum = v;
                    moved = std::clamp(sum, 0L, std::max(rule.hi, v));
                } else {
                    // An event every 3 to 12 steps.
                    const std::uint64_t h = draw({who[0], kStamp, who[1], who[2], r});
                    const long every = 3 + long(h % 10);
                    moved = (step - floor_mod(step + long((h >> 32) % u64(every)), every)) * tick;
                }
                if (!obj) obj = std::make_shared<Object>(was);
                obj->set_num(id, moved);
            }
            if (obj) list[i] = std::move(obj);
        }
    }
}

void Activity::churn_clients(Domain& d, long step, const std::string& own_client) {
    const std::size_t ci = d.index("T_CLIENT");
    const ObjectList& file = file_[ci];
    if (d.lists.get(ci).size() < file.size()) return;
    ObjectList& list = d.lists.edit(ci);
    ObjectList out(list.begin(), list.begin() + long(file.size()));
    std::unordered_set<const Object*> mine;
    if (set_.clients > 0) {
        // Each slot holds a client for half of its turns; a turn lasts as
        // long as makes `clients` the chance per step that one comes or goes.
        const long turn = std::max(1L, std::lround(double(kClientSwing) * 0.5 / set_.clients));
        for (std::size_t j = 0; j < kClientSwing; ++j) {
            const long offset = long(draw({set_.seed, kSlot, j}) % u64(turn));
            const long q = floor_div(step + offset, turn);
            const std::uint64_t h = draw({set_.seed, kSlotTurn, j, u64(q)});
            if (unit(h) >= 0.5) continue;
            const std::uint64_t c = draw({set_.seed, kClient, j, u64(q)});
            auto obj = file.empty() ? std::make_shared<Object>() : std::make_shared<Object>(*file[c % file.size()]);
            const long pid = 20000 + long((c >> 24) % 45001);
            const std::string lmid = obj->text(d.f.lmid).empty() ? d.local_lmid : obj->text(d.f.lmid);
            const long serial = q * long(kClientSwing) + long(j) + 1;
            obj->set_text(d.f.clientid, "CLT." + lmid + "." + std::to_string(pid) + "." + std::to_string(serial));
            obj->set_text(d.f.state, "ACTive");
            obj->set_text(d.f.lmid, lmid);
            obj->set_num(d.f.pid, pid);
            obj->set_num(d.f.timestart, (q * turn - offset) * set_.tick);
            mine.insert(obj.get());
            out.push_back(std::move(obj));
        }
    }
    ObjectPtr own;
    for (std::size_t k = file.size(); k < list.size(); ++k) {
        if (clients_.count(list[k].get())) continue;
        if (!own_client.empty() && list[k]->text(d.f.clientid) == own_client) {
            own = list[k];
        } else {
            out.push_back(list[k]);
        }
    }
    if (own) out.push_back(std::move(own));
    list = std::move(out);
    clients_ = std::move(mine);
}

void Activity::write_ulog(Domain& d, long step) {
    const long window = std::max(1L, kUlogWindow / set_.tick);
    bool changed = !stepped_;
    long from = step - window + 1;
    if (!stepped_ || step < step_ || step - step_ >= window) {
        changed = changed || !ulog_.empty();
        ulog_.clear();
    } else {
        from = step_ + 1;
    }
    if (set_.ulog > 0) {
        for (long k = from; k <= step; ++k) {
            if (unit(draw({set_.seed, kUlog, u64(k)})) >= set_.ulog) continue;
            ulog_.emplace_back(k, ulog_record(d, k));
            changed = true;
        }
    }
    while (!ulog_.empty() && (ulog_.front().first <= step - window || ulog_.size() > kMaxUlog)) {
        ulog_.pop_front();
        changed = true;
    }
    if (!changed) return;
    ObjectList& list = d.lists.edit(d.index("T_ULOG"));
    std::erase_if(list, [&](const ObjectPtr& o) { return records_.count(o.get()) != 0; });
    records_.clear();
    for (const auto& [k, rec] : ulog_) {
        records_.insert(rec.get());
        list.push_back(rec);
    }
}

ObjectPtr Activity::ulog_record(const Domain& d, long step) const {
    const std::time_t t = std::time_t(step * set_.tick);
    const std::uint64_t h = draw({set_.seed, kUlog, u64(step), 1});
    const UlogText& text = kUlogTexts[h % kUlogTexts.size()];
    const ObjectList& machines = file_[d.index("T_MACHINE")];
    std::string lmid = d.local_lmid;
    std::string pmid;
    if (!machines.empty()) {
        const Object& m = *machines[(h >> 16) % machines.size()];
        lmid = m.text(d.f.lmid);
        pmid = m.text(field_id("TA_PMID"));
    }
    auto rec = std::make_shared<Object>();
    rec->set_text(d.f.lmid, lmid);
    rec->set_text(field_id("TA_PMID"), pmid);
    const long hhmmss = local_hhmmss(t);
    rec->set_num(d.f.mmddyy, local_mmddyy(t));
    rec->set_num(d.f.ulogtime, hhmmss);
    // Each machine keeps its own log: its lines go on after the file's, one
    // number per second of the day, so they grow with the time of day.
    long line = 0;
    for (const auto& [m, last] : last_line_) {
        if (m == lmid) line = last;
    }
    const long second = hhmmss / 10000 * 3600 + hhmmss / 100 % 100 * 60 + hhmmss % 100;
    rec->set_num(field_id("TA_ULOGLINE"), line + 1 + second);
    rec->set_text(field_id("TA_ULOGMSG"), text.msg);
    rec->set_num(d.f.pid, 1000 + long((h >> 32) % 64001));
    rec->set_text(field_id("TA_SEVERITY"), text.severity);
    rec->set_text(field_id("TA_ULOGCAT"), text.cat);
    rec->set_num(field_id("TA_ULOGMSGNUM"), text.msgnum);
    rec->set_text(field_id("TA_ULOGPROCNM"), text.proc);
    rec->set_text(field_id("TA_TPTRANID"), "");
    rec->set_text(field_id("TA_XID"), "");
    return rec;
}

}  // namespace tuxsim::detail
