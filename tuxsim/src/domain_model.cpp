#include "domain_model.hpp"

#include <algorithm>
#include <stdexcept>

namespace tuxsim::detail {

namespace {
template <class Attrs>
auto lower(Attrs& attrs, FLDID32 id) {
    return std::lower_bound(attrs.begin(), attrs.end(), id,
                            [](const Attr& a, FLDID32 v) { return a.id < v; });
}
}  // namespace

const Attr* Object::find(FLDID32 id) const {
    auto it = lower(attrs, id);
    return it != attrs.end() && it->id == id ? &*it : nullptr;
}

Attr& Object::set(FLDID32 id, int type) {
    auto it = lower(attrs, id);
    if (it == attrs.end() || it->id != id) {
        it = attrs.insert(it, Attr{id, type, {Value{}}});
    }
    return *it;
}

void Object::erase(FLDID32 id) {
    auto it = lower(attrs, id);
    if (it != attrs.end() && it->id == id) attrs.erase(it);
}

long Object::num(FLDID32 id, long dflt) const {
    const Attr* a = find(id);
    return a && !a->values.empty() ? a->values.front().num : dflt;
}

std::string Object::text(FLDID32 id) const {
    const Attr* a = find(id);
    return a && !a->values.empty() ? a->values.front().text : std::string();
}

void Object::set_num(FLDID32 id, long v) {
    Attr& a = set(id, Fldtype32(id));
    a.values.assign(1, Value{});
    a.values.front().num = v;
}

void Object::set_text(FLDID32 id, std::string v) {
    Attr& a = set(id, Fldtype32(id));
    a.values.assign(1, Value{});
    a.values.front().text = std::move(v);
}

std::size_t class_index(const ClassSpec& class_def) {
    return static_cast<std::size_t>(&class_def - all_classes().data());
}

ClassLists::ClassLists() {
    for (auto& l : lists_) l = std::make_shared<ObjectList>();
}

ObjectList& ClassLists::edit(std::size_t cls) {
    // Someone (a retrieval snapshot) still holds the current list: give the
    // domain its own copy and leave theirs untouched.
    if (lists_[cls].use_count() > 1) lists_[cls] = std::make_shared<ObjectList>(*lists_[cls]);
    return *lists_[cls];
}

long local_mmddyy(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return (tm.tm_mon + 1) * 10000L + tm.tm_mday * 100L + tm.tm_year % 100;
}

long local_hhmmss(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm.tm_hour * 10000L + tm.tm_min * 100L + tm.tm_sec;
}

FLDID32 field_id(std::string_view name) {
    std::string copy(name);
    return Fldid32(copy.data());
}

MibFields resolve_mib_fields() {
    auto id = [](const char* name) {
        FLDID32 f = field_id(name);
        if (f == BADFLDID) {
            throw std::runtime_error(std::string("field table has no field ") + name);
        }
        return f;
    };
    MibFields m{};
    m.operation = id("TA_OPERATION");
    m.cls = id("TA_CLASS");
    m.occurs = id("TA_OCCURS");
    m.more = id("TA_MORE");
    m.cursor = id("TA_CURSOR");
    m.flags = id("TA_FLAGS");
    m.error = id("TA_ERROR");
    m.status = id("TA_STATUS");
    m.badfld = id("TA_BADFLD");
    m.ulogtime = id("TA_ULOGTIME");
    m.mmddyy = id("TA_MMDDYY");
    m.endtime = id("TA_ENDTIME");
    m.filter = id("TA_FILTER");
    m.cursorhold = id("TA_CURSORHOLD");
    m.mibtimeout = id("TA_MIBTIMEOUT");
    m.grpindex = id("TA_GRPINDEX");
    m.grpcount = id("TA_GRPCOUNT");
    m.curtime = id("TA_CURTIME");
    m.appqspacename = id("TA_APPQSPACENAME");
    m.qmconfig = id("TA_QMCONFIG");
    m.lmid = id("TA_LMID");
    m.clientid = id("TA_CLIENTID");
    m.state = id("TA_STATE");
    m.usrname = id("TA_USRNAME");
    m.cltname = id("TA_CLTNAME");
    m.wsc = id("TA_WSC");
    m.wsh = id("TA_WSH");
    m.pid = id("TA_PID");
    m.timestart = id("TA_TIMESTART");
    return m;
}

}  // namespace tuxsim::detail
