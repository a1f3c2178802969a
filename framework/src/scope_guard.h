// A scope guard: an action run when the guard goes out of scope, however
// the scope is left, so that a routine that takes things step by step gives
// them back along one path whichever step failed.
#ifndef AGW_SCOPE_GUARD_H
#define AGW_SCOPE_GUARD_H

#include <functional>
#include <utility>

namespace agw {

class ScopeGuard {
public:
    // Empty: does nothing until armed.
    ScopeGuard() = default;
    ScopeGuard(const ScopeGuard&) = delete;
    ScopeGuard& operator=(const ScopeGuard&) = delete;
    ~ScopeGuard() {
        if (undo_) undo_();
    }
    // From now on `undo` runs at the end (in place of any earlier action).
    void Arm(std::function<void()> undo) { undo_ = std::move(undo); }

private:
    std::function<void()> undo_;
};

}  // namespace agw

#endif
