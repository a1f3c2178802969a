#include "mib.hpp"

#include <algorithm>
#include <charconv>
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
    std::vector<Filter> filters;
};

bool is_control(const MibFields& f, FLDID32 id) {
    return id == f.operation || id == f.cls || id == f.occurs || id == f.flags || id == f.cursor ||
           id == f.more || id == f.error || id == f.status || id == f.badfld;
}

Request parse(const Domain& d, FBFR32* req, bool need_class) {
    const MibFields& f = d.f;
    Request r;
    Value v;
    if (read_field(req, f.cls, 0, v)) {
        r.cls = find_class(v.text);
        if (!r.cls) fail(TAEINVAL, "unknown class \"" + v.text + "\"", f.cls);
        r.index = class_index(*r.cls);
    } else if (need_class) {
        fail(TAEREQUIRED, "TA_CLASS is required", f.cls);
    }
    if (read_field(req, f.flags, 0, v)) r.local = (v.num & MIB_LOCAL) != 0;
    if (read_field(req, f.occurs, 0, v)) {
        if (v.num < 1) fail(TAEINVAL, "TA_OCCURS must be at least 1", f.occurs);
        r.occurs = v.num;
    }
    if (!r.cls) return r;
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
    ObjectWriter(const Domain& d, std::size_t cls, bool local, std::time_t now)
        : d_(d), cls_(cls), local_(local), now_(now) {}

    bool write(ReplyWriter& w, std::span<const ObjectPtr> objs, long more, const std::string& cursor) {
        const MibFields& f = d_.f;
        const ClassSpec& class_def = all_classes()[cls_];
        own(f.cls).text = std::string(class_def.name);
        add(f.cls, &scratch_.back());
        own(f.occurs).num = long(objs.size());
        add(f.occurs, &scratch_.back());
        own(f.more).num = more;
        add(f.more, &scratch_.back());
        if (more > 0) {
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
    try {
        Value op;
        if (!read_field(request, f.operation, 0, op)) fail(TAEREQUIRED, "TA_OPERATION is required", f.operation);
        if (op.text == "GET") return get(d, request, reply, now);
        if (op.text == "GETNEXT") return getnext(d, request, reply, now);
        if (op.text == "SET") fail(TAESUPPORT, "operation SET is not supported here", f.operation);
        fail(TAEINVAL, "unknown operation \"" + op.text + "\"", f.operation);
    } catch (const Err& e) {
        return error(reply, d, {std::get<0>(e), std::get<1>(e), std::get<2>(e)});
    }
}

long Mib::page_size(long asked) const {
    if (forced_occurs_ > 0) return forced_occurs_;
    return asked ? asked : kDefaultOccurs;
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

long Mib::get(const Domain& d, FBFR32* req, char** reply, std::time_t now) {
    const MibFields& f = d.f;
    Request r = parse(d, req, true);
    auto all = d.lists.share(r.index);
    ObjectWriter out(d, r.index, r.local, now);
    ReplyWriter w(reply);

    if (r.cls->kind == ClassKind::UserLog) {
        // The records of one day (today unless the request names one), from a
        // time of day on, all in one reply.
        long day = local_mmddyy(now);
        long from = 0;
        std::vector<Filter> rest;
        for (Filter& flt : r.filters) {
            if (flt.id == f.mmddyy) {
                day = flt.value.num;
            } else if (flt.id == f.ulogtime) {
                from = flt.value.num;
            } else {
                rest.push_back(std::move(flt));
            }
        }
        const long today = local_mmddyy(now);
        ObjectList picked;
        for (const ObjectPtr& o : *all) {
            if (o->num(f.mmddyy, today) == day && o->num(f.ulogtime) >= from && matches(*o, rest)) {
                picked.push_back(o);
            }
        }
        // A user log reads in time order.
        std::stable_sort(picked.begin(), picked.end(), [&](const ObjectPtr& x, const ObjectPtr& y) {
            return x->num(f.ulogtime) < y->num(f.ulogtime);
        });
        return out.write(w, picked, 0, {}) ? TAOK : kNoBuffer;
    }

    if (r.cls->kind == ClassKind::QueueSpace) {
        // A /Q request names its queue space by all three keys.
        const std::pair<FLDID32, const char*> keys[] = {
            {f.appqspacename, "TA_APPQSPACENAME"}, {f.qmconfig, "TA_QMCONFIG"}, {f.lmid, "TA_LMID"}};
        std::vector<Filter> space;
        for (const auto& [id, name] : keys) {
            auto it = std::find_if(r.filters.begin(), r.filters.end(), [&](const Filter& x) { return x.id == id; });
            if (it == r.filters.end()) fail(TAEREQUIRED, std::string(name) + " is required for " + std::string(r.cls->name), id);
            space.push_back(*it);
        }
        const ObjectList& spaces = d.lists.get(d.index("T_APPQSPACE"));
        if (std::none_of(spaces.begin(), spaces.end(), [&](const ObjectPtr& o) { return matches(*o, space); })) {
            fail(TAEINVAL, "no queue space " + space[0].value.text + " on " + space[2].value.text + " (" +
                               space[1].value.text + ")",
                 f.appqspacename);
        }
        ObjectList picked;
        for (const ObjectPtr& o : *all) {
            if (matches(*o, r.filters)) picked.push_back(o);
        }
        return out.write(w, picked, 0, {}) ? TAOK : kNoBuffer;
    }

    std::shared_ptr<const ObjectList> objs = all;
    if (!r.filters.empty()) {
        auto picked = std::make_shared<ObjectList>();
        for (const ObjectPtr& o : *all) {
            if (matches(*o, r.filters)) picked->push_back(o);
        }
        objs = std::move(picked);
    }
    const std::size_t total = objs->size();
    const std::size_t n = std::min<std::size_t>(total, std::size_t(page_size(r.occurs)));
    std::string cursor;
    if (n < total) {
        std::uint64_t id = keep({r.index, r.local, objs});
        cursor = cursor_text(id, r.index, n);
    }
    std::span<const ObjectPtr> page(objs->data(), n);
    return out.write(w, page, long(total - n), cursor) ? TAOK : kNoBuffer;
}

long Mib::getnext(const Domain& d, FBFR32* req, char** reply, std::time_t now) {
    const MibFields& f = d.f;
    Request r = parse(d, req, false);
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
    if (check != cursor_check(id, snap.cls, pos) || pos > snap.objs->size()) {
        fail(TAEINVAL, "garbled cursor \"" + c.text + "\"", f.cursor);
    }
    if (r.cls && r.index != snap.cls) {
        fail(TAEINVAL, "cursor belongs to class " + std::string(all_classes()[snap.cls].name), f.cls);
    }
    const std::size_t total = snap.objs->size();
    const std::size_t n = std::min<std::size_t>(total - pos, std::size_t(page_size(r.occurs)));
    const std::size_t next = pos + n;
    std::string cursor = next < total ? cursor_text(id, snap.cls, next) : std::string();
    // Hold the objects while writing: the snapshot may be dropped below.
    std::shared_ptr<const ObjectList> objs = snap.objs;
    ObjectWriter out(d, snap.cls, snap.local, now);
    if (next >= total) {
        snapshots_.erase(it);
        order_.erase(std::find(order_.begin(), order_.end(), id));
    }
    ReplyWriter w(reply);
    std::span<const ObjectPtr> page(objs->data() + pos, n);
    return out.write(w, page, long(total - next), cursor) ? TAOK : kNoBuffer;
}

long Mib::error(char** reply, const Domain& d, const Error& e) {
    ReplyWriter w(reply);
    bool ok = w.add_long(d.f.error, e.code) && w.add_text(d.f.status, e.status);
    if (ok && e.badfld != BADFLDID) ok = w.add_long(d.f.badfld, long(e.badfld));
    return ok ? e.code : kNoBuffer;
}

}  // namespace tuxsim::detail
