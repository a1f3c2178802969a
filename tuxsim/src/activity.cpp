#include "activity.hpp"

#include <algorithm>
#include <array>
#include <climits>

namespace tuxsim::detail {
namespace {

// Count: grows by lo..hi each time. Level: wanders by up to lo either way
// within 0..hi. Stamp: set to the step's time.
enum class Move { Count, Level, Stamp };

struct Rule {
    std::string_view cls;
    std::string_view attr;
    Move move;
    long lo, hi;
};

// What moves in a live domain. Only attributes an object already has move.
constexpr std::array kRules{
    Rule{"T_SERVER", "TA_NUMREQ", Move::Count, 0, 12},
    Rule{"T_SERVER", "TA_TOTREQC", Move::Count, 0, 12},
    Rule{"T_SERVER", "TA_TOTWORKL", Move::Count, 0, 600},
    Rule{"T_SERVER", "TA_NUMTRAN", Move::Count, 0, 3},
    Rule{"T_SERVER", "TA_NUMTRANCMT", Move::Count, 0, 3},
    Rule{"T_SERVER", "TA_NUMDEQUEUE", Move::Count, 0, 2},
    Rule{"T_SERVER", "TA_NUMENQUEUE", Move::Count, 0, 2},
    Rule{"T_SERVER", "TA_CURREQ", Move::Level, 1, 3},
    Rule{"T_SVCGRP", "TA_NCOMPLETED", Move::Count, 0, 12},
    Rule{"T_SVCGRP", "TA_NQUEUED", Move::Level, 1, 5},
    Rule{"T_MACHINE", "TA_NUMREQ", Move::Count, 0, 40},
    Rule{"T_MACHINE", "TA_NUMTRAN", Move::Count, 0, 8},
    Rule{"T_MACHINE", "TA_NUMTRANCMT", Move::Count, 0, 8},
    Rule{"T_MACHINE", "TA_NUMENQUEUE", Move::Count, 0, 3},
    Rule{"T_MACHINE", "TA_NUMDEQUEUE", Move::Count, 0, 3},
    Rule{"T_MACHINE", "TA_WKINITIATED", Move::Count, 0, 2000},
    Rule{"T_MACHINE", "TA_WKCOMPLETED", Move::Count, 0, 2000},
    Rule{"T_MACHINE", "TA_ACLCACHEACCESS", Move::Count, 0, 5},
    Rule{"T_MACHINE", "TA_ACLCACHEHITS", Move::Count, 0, 5},
    Rule{"T_MACHINE", "TA_CURRLOAD", Move::Level, 50, 2000},
    Rule{"T_MACHINE", "TA_CURGTT", Move::Level, 1, 10},
    Rule{"T_QUEUE", "TA_TOTNQUEUED", Move::Count, 0, 12},
    Rule{"T_QUEUE", "TA_TOTWKQUEUED", Move::Count, 0, 600},
    Rule{"T_QUEUE", "TA_NQUEUED", Move::Level, 1, 6},
    Rule{"T_QUEUE", "TA_WKQUEUED", Move::Level, 50, 300},
    Rule{"T_CLIENT", "TA_NUMTRAN", Move::Count, 0, 2},
    Rule{"T_CLIENT", "TA_NUMTRANCMT", Move::Count, 0, 2},
    Rule{"T_CLIENT", "TA_IDLETIME", Move::Level, 30, 3600},
    Rule{"T_CONN", "TA_CONNOSNDCNT", Move::Count, 0, 3},
    Rule{"T_CONN", "TA_CONNSSNDCNT", Move::Count, 0, 3},
    Rule{"T_MSG", "TA_MSG_QNUM", Move::Level, 2, 40},
    Rule{"T_MSG", "TA_MSG_CBYTES", Move::Level, 512, 16384},
    Rule{"T_MSG", "TA_MSG_STIME", Move::Stamp, 0, 0},
    Rule{"T_MSG", "TA_MSG_RTIME", Move::Stamp, 0, 0},
    Rule{"T_APPQ", "TA_CURMSG", Move::Level, 2, 50},
    Rule{"T_APPQ", "TA_CURBLOCKS", Move::Level, 1, 20},
    Rule{"T_APPQSPACE", "TA_CURMSG", Move::Level, 3, 200},
    Rule{"T_APPQSPACE", "TA_CURTRANS", Move::Level, 1, 5},
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

// Copy on write: the object at list[i] is replaced by a changed copy.
Object& writable(ObjectList& list, std::size_t i) {
    auto copy = std::make_shared<Object>(*list[i]);
    Object& ref = *copy;
    list[i] = std::move(copy);
    return ref;
}

FLDID32 fid(std::string_view name) { return field_id(name); }

}  // namespace

void Activity::start(const Domain& d, std::time_t now) {
    on_ = d.activity.on;
    rng_.seed(d.activity.seed);
    last_ = now;
    base_clients_ = d.lists.get(d.index("T_CLIENT")).size();
    serial_ = 0;
}

void Activity::advance(Domain& d, std::time_t now, const std::string& own_client) {
    if (!on_ || now < last_) return;
    long steps = long((now - last_) / d.activity.tick);
    if (steps <= 0) return;
    if (steps > kMaxSteps) {
        last_ = now - std::time_t(kMaxSteps * d.activity.tick);
        steps = kMaxSteps;
    }
    for (long i = 0; i < steps; ++i) {
        last_ += d.activity.tick;
        step(d, last_, own_client);
    }
}

void Activity::step(Domain& d, std::time_t t, const std::string& own_client) {
    move_counters(d);
    // The stamps follow the step's own time.
    for (const Rule& r : kRules) {
        if (r.move != Move::Stamp) continue;
        ObjectList& list = d.lists.edit(d.index(r.cls));
        if (list.empty()) continue;
        const FLDID32 id = fid(r.attr);
        const std::size_t i = std::size_t(uniform(0, long(list.size()) - 1));
        if (list[i]->find(id)) writable(list, i).set_num(id, long(t));
    }
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    if (chance(rng_) < d.activity.clients) churn_clients(d, t, own_client);
    if (chance(rng_) < d.activity.ulog) write_ulog(d, t);
}

void Activity::move_counters(Domain& d) {
    std::string_view cls;
    Object* obj = nullptr;
    for (const Rule& r : kRules) {
        if (r.move == Move::Stamp) continue;
        if (r.cls != cls) {
            // One object of each class moves per step.
            cls = r.cls;
            const std::size_t ci = d.index(cls);
            obj = nullptr;
            const ObjectList& current = d.lists.get(ci);
            if (!current.empty()) {
                // Only a running object does work: a suspended, partitioned,
                // inactive or dead one keeps its last counters.
                const std::size_t i = std::size_t(uniform(0, long(current.size()) - 1));
                const std::string state = current[i]->text(d.f.state);
                if (state.empty() || state == "ACTive") obj = &writable(d.lists.edit(ci), i);
            }
        }
        if (!obj) continue;
        const FLDID32 id = fid(r.attr);
        const Attr* a = obj->find(id);
        if (!a || a->values.empty()) continue;
        long v = a->values.front().num;
        if (r.move == Move::Count) {
            const long delta = uniform(r.lo, r.hi);
            v = v > LONG_MAX - delta ? v : v + delta;
        } else {
            v = std::clamp(v + uniform(-r.lo, r.lo), 0L, r.hi);
        }
        obj->set_num(id, v);
    }
}

void Activity::churn_clients(Domain& d, std::time_t t, const std::string& own_client) {
    ObjectList& list = d.lists.edit(d.index("T_CLIENT"));
    std::vector<std::size_t> others;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i]->text(d.f.clientid) != own_client) others.push_back(i);
    }
    bool add = uniform(0, 1) == 0;
    if (list.size() >= base_clients_ + kClientSwing) add = false;
    if (list.size() + kClientSwing <= base_clients_ + 1 || others.empty()) add = true;
    if (!add) {
        list.erase(list.begin() + long(others[std::size_t(uniform(0, long(others.size()) - 1))]));
        return;
    }
    auto obj = others.empty() ? std::make_shared<Object>()
                              : std::make_shared<Object>(*list[others[std::size_t(uniform(0, long(others.size()) - 1))]]);
    const long pid = uniform(20000, 65000);
    const std::string lmid = obj->text(d.f.lmid).empty() ? d.local_lmid : obj->text(d.f.lmid);
    obj->set_text(d.f.clientid, "CLT." + lmid + "." + std::to_string(pid) + "." + std::to_string(++serial_));
    obj->set_text(d.f.state, "ACTive");
    obj->set_text(d.f.lmid, lmid);
    obj->set_num(d.f.pid, pid);
    obj->set_num(d.f.timestart, long(t));
    if (obj->find(d.f.curtime)) obj->set_num(d.f.curtime, long(t));
    list.push_back(std::move(obj));
}

void Activity::write_ulog(Domain& d, std::time_t t) {
    ObjectList& list = d.lists.edit(d.index("T_ULOG"));
    const ObjectList& machines = d.lists.get(d.index("T_MACHINE"));
    const UlogText& text = kUlogTexts[std::size_t(uniform(0, long(kUlogTexts.size()) - 1))];
    auto rec = std::make_shared<Object>();
    std::string lmid = d.local_lmid;
    std::string pmid;
    if (!machines.empty()) {
        const Object& m = *machines[std::size_t(uniform(0, long(machines.size()) - 1))];
        lmid = m.text(d.f.lmid);
        pmid = m.text(fid("TA_PMID"));
    }
    rec->set_text(d.f.lmid, lmid);
    rec->set_text(fid("TA_PMID"), pmid);
    rec->set_num(d.f.mmddyy, local_mmddyy(t));
    rec->set_num(d.f.ulogtime, local_hhmmss(t));
    // Each machine keeps its own log: the line follows that log's last one.
    long line = 0;
    for (const ObjectPtr& o : list) {
        const std::string own = o->text(d.f.lmid);
        if ((own.empty() ? d.local_lmid : own) == lmid) line = std::max(line, o->num(fid("TA_ULOGLINE")));
    }
    rec->set_num(fid("TA_ULOGLINE"), line + 1);
    rec->set_text(fid("TA_ULOGMSG"), text.msg);
    rec->set_num(d.f.pid, uniform(1000, 65000));
    rec->set_text(fid("TA_SEVERITY"), text.severity);
    rec->set_text(fid("TA_ULOGCAT"), text.cat);
    rec->set_num(fid("TA_ULOGMSGNUM"), text.msgnum);
    rec->set_text(fid("TA_ULOGPROCNM"), text.proc);
    rec->set_text(fid("TA_TPTRANID"), "");
    rec->set_text(fid("TA_XID"), "");
    list.push_back(std::move(rec));
    while (list.size() > kMaxUlog && list.size() > d.file_ulog_count) {
        list.erase(list.begin() + long(d.file_ulog_count));
    }
}

}  // namespace tuxsim::detail
