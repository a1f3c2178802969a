#include "domain.hpp"

#include <algorithm>

namespace tuxsim::detail {

const AttrSpec* Domain::attr_def(std::size_t cls, FLDID32 id) const {
    const auto& v = by_id[cls];
    auto it = std::lower_bound(v.begin(), v.end(), id,
                               [](const auto& e, FLDID32 x) { return e.first < x; });
    return it != v.end() && it->first == id ? it->second : nullptr;
}

std::unique_ptr<Domain> open_domain(const std::string& path) {
    auto d = std::make_unique<Domain>();
    try {
        d->f = resolve_mib_fields();
    } catch (const std::runtime_error& e) {
        throw DomainError(path + ": " + e.what());
    }
    for (const ClassSpec& cls : all_classes()) {
        auto& v = d->by_id[class_index(cls)];
        for (const AttrSpec& a : cls.attrs) {
            FLDID32 id = field_id(a.name);
            if (id == BADFLDID) throw DomainError(path + ": field table has no field " + std::string(a.name));
            v.emplace_back(id, &a);
        }
        std::sort(v.begin(), v.end());
    }
    DomainFile file = load_domain_file(path);
    d->path = file.path;
    d->activity = file.activity;
    d->batch = file.batch;
    d->call_cost_us = file.call_cost_us;
    d->faults = file.faults;
    d->quirks = file.quirks;
    d->security = std::move(file.security);
    for (std::size_t i = 0; i < kClassCount; ++i) d->lists.edit(i) = std::move(file.classes[i]);
    d->local_lmid = file.local_lmid;
    const ObjectList& machines = d->lists.get(d->index("T_MACHINE"));
    if (d->local_lmid.empty() && !machines.empty()) d->local_lmid = machines.front()->text(d->f.lmid);
    return d;
}

}  // namespace tuxsim::detail
