#include "quirks.hpp"

#include <utility>

namespace tuxsim::detail {

std::string resolve_quirks(const tuxsim::Quirks& in, QuirkMasks& out) {
    QuirkMasks q;
    const std::pair<const char*, std::pair<const ClassSet*, ClassMask*>> sets[] = {
        {"ignore_occurs", {&in.ignore_occurs, &q.ignore_occurs}},
        {"endless", {&in.endless, &q.endless}},
        {"fixed_cursor", {&in.fixed_cursor, &q.fixed_cursor}},
        {"repeat_objects", {&in.repeat_objects, &q.repeat_objects}},
        {"omit_more", {&in.omit_more, &q.omit_more}},
        {"unsupported", {&in.unsupported, &q.unsupported}},
    };
    for (const auto& [name, set] : sets) {
        if (set.first->all) set.second->set();
        for (const std::string& cls : set.first->names) {
            const auto* known = find_class(cls);
            if (!known) return std::string("set_quirks: ") + name + ": unknown MIB class \"" + cls + "\"";
            set.second->set(class_index(*known));
        }
    }
    q.strict_views = in.strict_views;
    out = q;
    return {};
}

}  // namespace tuxsim::detail
