#include "mib.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <deque>
#include <span>
#include <string_view>

#include "fml_values.hpp"
#include "tuxsim.h"

namespace tuxsim::detail {
namespace {

using Err = std::tuple<long, std::string, FLDID32>;

[[noreturn]] void fail(long code, std::string status, FLDID32 badfld = BADFLDID) {
    throw Err{code, std::move(status), badfld};
}

// An attribute given in a GET request selects the objects whose value equals
// it (for a group list: any of its values).
struct Filter {
    FLDID32 id;
    Value value;
};

bool matches(const Object& o, const std::vector<Filter>& filters) {
    for (const Filter& f : filters) {
        const Attr* a = o.find(f.id);
        if (!a || std::find(a->values.begin(), a->values.end(), f.value) == a->values.end()) return false;
    }
    return true;
}

struct Request {
    const ClassSpec* cls = nullptr;
    std::size_t index = 0;
    bool local = false;
    long occurs = 0;  // 0: not given
    long hold = Mib::kDefaultCursorHold;  // TA_CURSORHOLD
    std::vector<Filter> filters;
    std::vector<FLDID32> wanted;  // TA_FILTER: the attributes to return; empty: all
};

bool is_control(const MibFields& f, FLDID32 id) {
    return id == f.operation || id == f.cls || id == f.occurs || id == f.flags || id == f.cursor ||
           id == f.more || id == f.error || id == f.status || id == f.badfld || id == f.filter ||
           id == f.cursorhold || id == f.mibtimeout || id == f.endtime;
}

// A class the unsupported quirk names fails every request as a MIB that does
// not know it: TAESUPPORT, with no field to blame.
void check_supported(const QuirkMasks& q, std::size_t cls) {
    if (q.unsupported[cls]) fail(TAESUPPORT, "Unsupported class [" + std::string(all_classes()[cls].name) + "]");
}

Request parse(const Domain& d, const QuirkMasks& q, FBFR32* req, bool need_class) {
    const MibFields& f = d.f;
    Request r;
    Value v;
    if (read_field(req, f.cls, 0, v)) {
        r.cls = find_class(v.text);
        if (!r.cls) fail(TAEINVAL, "unknown class \"" + v.text + "\"", f.cls);
        r.index = class_index(*r.cls);
        check_supported(q, r.index);
    } else if (need_class) {
        fail(TAEREQUIRED, "TA_CLASS is required", f.cls);
    }
    if (read_field(req, f.flags, 0, v)) r.local = (v.num & MIB_LOCAL) != 0;
    if (read_field(req, f.occurs, 0, v)) {
        if (v.num < 1) fail(TAEINVAL, "TA_OCCURS must be at least 1", f.occurs);
        r.occurs = v.num;
    }
    if (read_field(req, f.cursorhold, 0, v)) r.hold = v.num;
    if (!r.cls) return r;
    for (FLDOCC32 oc = 0; read_field(req, f.filter, oc, v); ++oc) {
        const FLDID32 want = FLDID32(v.num);
        if (!d.attr_def(r.index, want)) {
            fail(TAEINVAL, "TA_FILTER occurrence " + std::to_string(oc) + " names no attribute of " +
                               std::string(r.cls->name), f.filter);
        }
        r.wanted.push_back(want);
    }
    std::sort(r.wanted.begin(), r.wanted.end());
    FLDID32 id = FIRSTFLDID;
    FLDOCC32 oc = 0;
    while (Fnext32(req, &id, &oc, nullptr, nullptr) > 0) {
        if (oc != 0 || is_control(f, id)) continue;
        const AttrSpec* attr_def = d.attr_def(r.index, id);
        if (!attr_def || attr_def->shape == Shape::Computed) continue;
        Filter flt{id, {}};
        read_field(req, id, 0, flt.value);
        r.filters.push_back(std::move(flt));
    }
    return r;
}

// Writes the objects of one reply. Attribute k of object j is occurrence j
// of the attribute; group lists are laid end to end (TA_GRPINDEX says where
// each object's list starts). Every attribute that some object of the reply
// has is returned for all of them, the ones without it giving the null value,
// so that occurrences stay aligned with objects.
class ObjectWriter {
public:
    ObjectWriter(const Domain& d, std::size_t cls, bool local, const std::vector<FLDID32>& wanted, std::time_t now)
        : d_(d), cls_(cls), local_(local), wanted_(wanted), now_(now) {}

    // TA_MORE is left out when with_more is false.
    bool write(ReplyWriter& w, std::span<const ObjectPtr> objs, long more, bool with_more, const std::string& cursor) {
        const MibFields& f = d_.f;
        const ClassSpec& class_def = all_classes()[cls_];
        own(f.cls).text = std::string(class_def.name);
        add(f.cls, &scratch_.back());
        own(f.occurs).num = long(objs.size());
        add(f.occurs, &scratch_.back());
        if (with_more) {
            own(f.more).num = more;
            add(f.more, &scratch_.back());
        }
        if (!cursor.empty()) {
            own(f.cursor).text = cursor;
            add(f.cursor, &scratch_.back());
        }
        own(f.error).num = TAOK;
        add(f.error, &scratch_.back());

        std::vector<FLDID32> ids;
        for (const ObjectPtr& o : objs) {
            for (const Attr& a : o->attrs) ids.push_back(a.id);
        }
        if (class_def.kind == ClassKind::UserLog) ids.push_back(f.mmddyy);
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());

        bool groups = false;
        for (FLDID32 id : ids) {
            const AttrSpec* a = d_.attr_def(cls_, id);
            if (!a || (a->scope == Scope::Local && !local_)) continue;
            if (!wanted_.empty() && !std::binary_search(wanted_.begin(), wanted_.end(), id)) continue;
            groups = groups || a->shape == Shape::GroupList;
            for (const ObjectPtr& o : objs) column_value(*o, id, *a);
        }
        if (groups || class_def.find("TA_GRPINDEX")) group_counts(objs);

        std::stable_sort(entries_.begin(), entries_.end(),
                         [](const auto& x, const auto& y) { return x.first < y.first; });
        long bytes = 0;
        for (const auto& e : entries_) bytes += long(e.second->text.size()) + 8;
        if (!w.reserve(long(entries_.size()), bytes)) return false;
        for (const auto& [id, v] : entries_) {
            if (!w.add(id, *v)) return false;
        }
        return true;
    }

private:
    Value& own(FLDID32) { return scratch_.emplace_back(); }
    void add(FLDID32 id, const Value* v) { entries_.emplace_back(id, v); }

    void column_value(const Object& o, FLDID32 id, const AttrSpec& attr_def) {
        const Attr* a = o.find(id);
        if (attr_def.shape == Shape::GroupList) {
            if (a) {
                for (const Value& v : a->values) add(id, &v);
            }
            return;
        }
        if (a && id == d_.f.curtime && d_.activity.on) {
            // A live domain reports its clock as it is now.
            own(id).num = now_;
            add(id, &scratch_.back());
        } else if (!a && id == d_.f.mmddyy) {
            own(id).num = local_mmddyy(now_);  // an undated user-log record is today's
            add(id, &scratch_.back());
        } else {
            add(id, a && !a->values.empty() ? &a->values.front() : &kNull);
        }
    }

    void group_counts(std::span<const ObjectPtr> objs) {
        long index = 0;
        for (const ObjectPtr& o : objs) {
            long count = 0;
            for (const Attr& a : o->attrs) {
                const AttrSpec* s = d_.attr_def(cls_, a.id);
                if (s && s->shape == Shape::GroupList) count = std::max(count, long(a.values.size()));
            }
            own(d_.f.grpindex).num = index;
            add(d_.f.grpindex, &scratch_.back());
            own(d_.f.grpcount).num = count;
            add(d_.f.grpcount, &scratch_.back());
            index += count;
        }
    }

    inline static const Value kNull{};
    const Domain& d_;
    std::size_t cls_;
    bool local_;
    const std::vector<FLDID32>& wanted_;
    std::time_t now_;
    std::deque<Value> scratch_;  // computed values; a deque keeps them in place
    std::vector<std::pair<FLDID32, const Value*>> entries_;
};

std::uint32_t cursor_check(std::uint64_t id, std::size_t cls, std::size_t pos) {
    std::uint64_t h = id * 0x9E3779B97F4A7C15ULL ^ (pos + 0x632BE59BD9B4E019ULL) * 0xC2B2AE3D27D4EB4FULL;
    h ^= cls * 0x165667B19E3779F9ULL;
    return static_cast<std::uint32_t>(h >> 40) & 0xFFFFu;
}

bool parse_number(std::string_view& s, std::uint64_t& out, char stop) {
    auto pos = s.find(stop);
    std::string_view part = s.substr(0, pos);
    auto [p, ec] = std::from_chars(part.data(), part.data() + part.size(), out, 16);
    if (part.empty() || ec != std::errc() || p != part.data() + part.size()) return false;
    s.remove_prefix(pos == std::string_view::npos ? s.size() : pos + 1);
    return pos != std::string_view::npos || stop == '\0';
}

}  // namespace

long Mib::serve(const Domain& d, FBFR32* request, char** reply, std::time_t now) {
    const MibFields& f = d.f;
    // The caller may hand the same buffer as request and reply: read the
    // request from a copy, since writing the reply starts by clearing it.
    std::vector<std::max_align_t> copy;
    if (reinterpret_cast<char*>(request) == *reply) {
        const long size = Fsizeof32(request);
        if (size <= 0) return kNoBuffer;
        copy.resize((std::size_t(size) + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
        std::memcpy(copy.data(), request, std::size_t(size));
        request = reinterpret_cast<FBFR32*>(copy.data());
    }
    try {
        Value op;
        if (!read_field(request, f.operation, 0, op)) fail(TAEREQUIRED, "TA_OPERATION is required", f.operation);
        if (op.text == "GET") return get(d, request, reply, now);
        if (op.text == "GETNEXT") return getnext(d, request, reply, now);
        if (op.text == "SET") fail(TAESUPPORT, "operation SET is not supported here", f.operation);
        fail(TAEINVAL, "unknown operation \"" + op.text + "\"", f.operation);
    } catch (const Err& e) {
        return error(reply, d, request, {std::get<0>(e), std::get<1>(e), std::get<2>(e)});
    }
}

long Mib::page_size(long asked, long batch, std::size_t cls) const {
    if (forced_occurs_ > 0) return forced_occurs_;
    if (quirks_.ignore_occurs[cls]) return batch;
    return asked > 0 ? std::min(asked, batch) : batch;
}

void Mib::clear() {
    snapshots_.clear();
    order_.clear();
}

std::string Mib::cursor_text(std::uint64_t id, std::size_t cls, std::size_t pos) const {
    char buf[64];
    std::snprintf(buf, sizeof buf, "TMIB:%llx:%zx:%04x", static_cast<unsigned long long>(id), pos,
                  static_cast<unsigned>(cursor_check(id, cls, pos)));
    return buf;
}

std::uint64_t Mib::keep(Snapshot s) {
    while (snapshots_.size() >= kMaxSnapshots && !order_.empty()) {
        snapshots_.erase(order_.front());
        order_.pop_front();
    }
    const std::uint64_t id = next_id_++;
    snapshots_.emplace(id, std::move(s));
    order_.push_back(id);
    return id;
}

namespace {

// The user log of one machine (TA_LMID; without it the machine this process
// runs on), one day (TA_MMDDYY, default today), between two times of day
// (TA_ULOGTIME, default 000000, to TA_ENDTIME, default 235959), in time
// order. A record that names no machine is in the log of the local machine.
std::shared_ptr<const ObjectList> user_log(const Domain& d, const ObjectList& all, std::vector<Filter> filters,
                                           FBFR32* req, std::time_t now) {
    const MibFields& f = d.f;
    const long today = local_mmddyy(now);
    long day = today;
    long from = 0;
    long to = 235959;
    std::string lmid = d.local_lmid;
    std::vector<Filter> rest;
    for (Filter& flt : filters) {
        if (flt.id == f.mmddyy) {
            day = flt.value.num;
        } else if (flt.id == f.ulogtime) {
            from = flt.value.num;
        } else if (flt.id == f.lmid) {
            lmid = flt.value.text;
        } else {
            rest.push_back(std::move(flt));
        }
    }
    Value v;
    if (read_field(req, f.endtime, 0, v)) to = v.num;
    if (from < 0 || from > 235959) fail(TAEINVAL, "TA_ULOGTIME must be a time of day hhmmss", f.ulogtime);
    if (to < 0 || to > 235959) fail(TAEINVAL, "TA_ENDTIME must be a time of day hhmmss", f.endtime);
    const ObjectList& machines = d.lists.get(d.index("T_MACHINE"));
    if (lmid != d.local_lmid &&
        std::none_of(machines.begin(), machines.end(), [&](const ObjectPtr& m) { return m->text(f.lmid) == lmid; })) {
        fail(TAEINVAL, "no machine \"" + lmid + "\" in the domain", f.lmid);
    }
    // Today's log holds only what was written up to now: a record of the
    // domain file dated later in the day is not there yet.
    if (day == today) to = std::min(to, local_hhmmss(now));
    auto picked = std::make_shared<ObjectList>();
    for (const ObjectPtr& o : all) {
        const std::string own = o->text(f.lmid);
        const long t = o->num(f.ulogtime);
        if ((own.empty() ? d.local_lmid : own) == lmid && o->num(f.mmddyy, today) == day && t >= from && t <= to &&
            matches(*o, rest)) {
            picked->push_back(o);
        }
    }
    std::stable_sort(picked->begin(), picked->end(), [&](const ObjectPtr& x, const ObjectPtr& y) {
        return x->num(f.ulogtime) < y->num(f.ulogtime);
    });
    return picked;
}

// The objects of one /Q queue space, named by all three of its keys.
std::shared_ptr<const ObjectList> queue_space(const Domain& d, const ClassSpec& cls, const ObjectList& all,
                                              const std::vector<Filter>& filters) {
    const MibFields& f = d.f;
    const std::pair<FLDID32, const char*> keys[] = {
        {f.appqspacename, "TA_APPQSPACENAME"}, {f.qmconfig, "TA_QMCONFIG"}, {f.lmid, "TA_LMID"}};
    std::vector<Filter> space;
    for (const auto& [id, name] : keys) {
        const FLDID32 key = id;  // clang 14 cannot capture a structured binding in a lambda
        auto it = std::find_if(filters.begin(), filters.end(), [key](const Filter& x) { return x.id == key; });
        if (it == filters.end()) fail(TAEREQUIRED, std::string(name) + " is required for " + std::string(cls.name), id);
        space.push_back(*it);
    }
    const ObjectList& spaces = d.lists.get(d.index("T_APPQSPACE"));
    if (std::none_of(spaces.begin(), spaces.end(), [&](const ObjectPtr& o) { return matches(*o, space); })) {
        fail(TAEINVAL, "no queue space " + space[0].value.text + " on " + space[2].value.text + " (" +
                           space[1].value.text + ")",
             f.appqspacename);
    }
    auto picked = std::make_shared<ObjectList>();
    for (const ObjectPtr& o : all) {
        if (matches(*o, filters)) picked->push_back(o);
    }
    return picked;
}

}  // namespace

long Mib::get(const Domain& d, FBFR32* req, char** reply, std::time_t now) {
    Request r = parse(d, quirks_, req, true);
    std::shared_ptr<const ObjectList> objs = d.lists.share(r.index);
    if (r.cls->kind == ClassKind::UserLog) {
        objs = user_log(d, *objs, std::move(r.filters), req, now);
    } else if (r.cls->kind == ClassKind::QueueSpace) {
        objs = queue_space(d, *r.cls, *objs, r.filters);
    } else if (!r.filters.empty()) {
        auto picked = std::make_shared<ObjectList>();
        for (const ObjectPtr& o : *objs) {
            if (matches(*o, r.filters)) picked->push_back(o);
        }
        objs = std::move(picked);
    }
    return page(d, {r.index, r.local, std::move(objs), std::move(r.wanted)}, 0, 0, r.occurs, r.hold, reply, now);
}

long Mib::getnext(const Domain& d, FBFR32* req, char** reply, std::time_t now) {
    const MibFields& f = d.f;
    Request r = parse(d, quirks_, req, false);
    Value c;
    if (!read_field(req, f.cursor, 0, c)) fail(TAEREQUIRED, "TA_CURSOR is required for GETNEXT", f.cursor);
    std::string_view s = c.text;
    std::uint64_t id = 0, pos = 0, check = 0;
    if (s.substr(0, 5) != "TMIB:" || (s.remove_prefix(5), !parse_number(s, id, ':')) ||
        !parse_number(s, pos, ':') || !parse_number(s, check, '\0')) {
        fail(TAEINVAL, "garbled cursor \"" + c.text + "\"", f.cursor);
    }
    auto it = snapshots_.find(id);
    if (it == snapshots_.end()) fail(TAEINVAL, "stale cursor: the retrieval is no longer kept", f.cursor);
    const Snapshot& snap = it->second;
    check_supported(quirks_, snap.cls);
    if (now > snap.expires) {
        drop(id);
        fail(TAEINVAL, "stale cursor: the retrieval was dropped after its TA_CURSORHOLD seconds", f.cursor);
    }
    if (check != cursor_check(id, snap.cls, pos) || pos > snap.objs->size()) {
        fail(TAEINVAL, "garbled cursor \"" + c.text + "\"", f.cursor);
    }
    if (r.cls && r.index != snap.cls) {
        fail(TAEINVAL, "cursor belongs to class " + std::string(all_classes()[snap.cls].name), f.cls);
    }
    return page(d, snap, id, std::size_t(pos), r.occurs, r.hold, reply, now);
}

void Mib::drop(std::uint64_t id) {
    snapshots_.erase(id);
    order_.erase(std::find(order_.begin(), order_.end(), id));
}

long Mib::page(const Domain& d, Snapshot snap, std::uint64_t id, std::size_t pos, long occurs, long hold,
               char** reply, std::time_t now) {
    const std::size_t cls = snap.cls;
    // A walk the MIB goes on with under a quirk is kept however short its
    // TA_CURSORHOLD.
    const std::time_t quirk_expires = now + std::clamp<long>(hold, 1, 86400);
    if (!quirks_.endless[cls] && quirks_.fixed_cursor[cls]) {
        return fixed_cursor_page(d, std::move(snap), id, reply, now, quirk_expires);
    }
    ObjectWriter out(d, cls, snap.local, snap.wanted, now);
    ReplyWriter w(reply);
    if (quirks_.endless[cls]) {
        // Nothing now, more to come, and a cursor never given before: the
        // walk is kept under a new id each time.
        if (id != 0) drop(id);
        snap.expires = quirk_expires;
        id = keep(snap);
        return out.write(w, {}, kEndlessMore, true, cursor_text(id, cls, pos)) ? TAOK : kNoBuffer;
    }
    // repeat_objects: a GETNEXT answers the objects of the reply before again.
    const bool repeat = id != 0 && quirks_.repeat_objects[cls];
    if (repeat) pos = snap.last_start;
    // A reply holds at most the domain's batch; TA_OCCURS may ask for fewer.
    const long limit = page_size(occurs, d.batch, cls);
    const std::size_t total = snap.objs->size();
    const std::size_t n = std::min<std::size_t>(total - pos, std::size_t(limit));
    const std::size_t next = pos + n;
    const long more = long(total - next);
    // The snapshot is taken by value: it stays whole while the reply is
    // written, even when the kept one is dropped or a new one evicts it.
    // A TA_CURSORHOLD of 0 or less keeps nothing: the reply says how many
    // objects remain but gives no cursor to fetch them.
    std::string cursor;
    if (repeat) {
        // The same objects under a cursor never given before, the walk kept
        // however short its TA_CURSORHOLD.
        drop(id);
        snap.expires = quirk_expires;
        id = keep(snap);
        cursor = cursor_text(id, cls, next);
    } else if (next < total && hold > 0) {
        const std::time_t expires = now + std::min<long>(hold, 86400);
        if (id == 0) {
            snap.expires = expires;
            snap.last_start = pos;
            id = keep(snap);
        } else {
            snapshots_[id].expires = expires;
            snapshots_[id].last_start = pos;
        }
        cursor = cursor_text(id, cls, next);
    } else if (id != 0) {
        drop(id);
    }
    const bool with_more = more > 0 || !quirks_.omit_more[cls];
    std::span<const ObjectPtr> objs(snap.objs->data() + pos, n);
    return out.write(w, objs, more, with_more, cursor) ? TAOK : kNoBuffer;
}

long Mib::fixed_cursor_page(const Domain& d, Snapshot snap, std::uint64_t id, char** reply, std::time_t now,
                            std::time_t expires) {
    // One object per reply, from where the walk stands; the one cursor of the
    // walk and the first reply's TA_MORE while objects remain.
    const std::size_t cls = snap.cls;
    const std::size_t total = snap.objs->size();
    const std::size_t pos = std::min(snap.next, total);
    const std::size_t next = std::min(pos + 1, total);
    if (id == 0) snap.first_more = long(total - next);
    std::string cursor;
    long more = 0;
    if (next < total) {
        snap.next = next;
        snap.expires = expires;
        if (id == 0) {
            id = keep(snap);
        } else {
            snapshots_[id] = snap;
        }
        cursor = cursor_text(id, cls, 0);
        more = snap.first_more;
    } else if (id != 0) {
        drop(id);
    }
    ObjectWriter out(d, cls, snap.local, snap.wanted, now);
    ReplyWriter w(reply);
    std::span<const ObjectPtr> objs(snap.objs->data() + pos, next - pos);
    return out.write(w, objs, more, more > 0 || !quirks_.omit_more[cls], cursor) ? TAOK : kNoBuffer;
}

// An error reply is the request itself with TA_ERROR, TA_STATUS and, where a
// field is to blame, TA_BADFLD added.
long Mib::error(char** reply, const Domain& d, FBFR32* req, const Error& e) {
    ReplyWriter w(reply);
    bool ok = true;
    FLDID32 id = FIRSTFLDID;
    FLDOCC32 oc = 0;
    Value v;
    while (ok && Fnext32(req, &id, &oc, nullptr, nullptr) > 0) {
        if (id == d.f.error || id == d.f.status || id == d.f.badfld) continue;
        ok = read_field(req, id, oc, v) && w.add(id, v);
    }
    ok = ok && w.add_long(d.f.error, e.code) && w.add_text(d.f.status, e.status);
    if (ok && e.badfld != BADFLDID) ok = w.add_long(d.f.badfld, long(e.badfld));
    return ok ? e.code : kNoBuffer;
}

}  // namespace tuxsim::detail
