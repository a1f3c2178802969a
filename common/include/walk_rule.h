// When a paged retrieval (the MIB's GET, then GETNEXT with the reply's
// cursor while TA_MORE says more) ends early: the one rule of the agent's
// walk and of the stand-in's tmib. A cursor is an opaque position that may
// stay the same from reply to reply, and TA_MORE need not fall, so neither
// is taken as a sign of progress: a reply that carries an object is. A walk
// ends early only
// - on a reply of no object while TA_MORE says more,
// - on TA_MORE without a cursor to go on from,
// - after as many calls as its first reply allows: the objects it announced
//   (those it held and its TA_MORE), a quarter more for objects added during
//   the walk, and 16 calls besides.
// Knows nothing of the parts using it.
#ifndef ZCOMMON_WALK_RULE_H
#define ZCOMMON_WALK_RULE_H

#include <algorithm>
#include <climits>
#include <string>
#include <utility>

namespace zcommon {

class WalkRule {
public:
    enum class Next {
        call,  // ask for more with the reply's cursor
        done,  // nothing more to come (TA_MORE 0 or absent)
        stop,  // the walk cannot go on: Why() says why
    };

    // After each successful reply: the objects it held, its TA_MORE (0 when
    // absent) and whether it carried a cursor.
    Next After(long objects, long more, bool has_cursor) {
        ++calls_;
        if (calls_ == 1) limit_ = CallLimit(objects, more);
        if (more == 0) return Next::done;
        if (!has_cursor) return Stop("TA_MORE without TA_CURSOR");
        if (objects <= 0) {
            return Stop("the walk makes no progress: call " + std::to_string(calls_) +
                        " answered no object with TA_MORE " + std::to_string(more));
        }
        if (calls_ >= limit_) {
            return Stop("the walk makes no progress: " + std::to_string(calls_) +
                        " calls, the most its first reply allows, and TA_MORE is still " + std::to_string(more));
        }
        return Next::call;
    }

    // The successful replies so far.
    long Calls() const { return calls_; }
    // Why the walk stopped; "" while it has not.
    const std::string& Why() const { return why_; }

    // The most calls a walk may make after a first reply holding
    // `first_objects` objects with TA_MORE `first_more`.
    static long CallLimit(long first_objects, long first_more) {
        long objects = 0;
        if (__builtin_add_overflow(std::max(0L, first_objects), std::max(0L, first_more), &objects)) {
            objects = LONG_MAX;
        }
        long limit = 0;
        if (__builtin_add_overflow(objects, objects / 4 + 16, &limit)) limit = LONG_MAX;
        return limit;
    }

private:
    Next Stop(std::string why) {
        why_ = std::move(why);
        return Next::stop;
    }

    long calls_ = 0;
    long limit_ = 0;
    std::string why_;
};

}  // namespace zcommon

#endif  // ZCOMMON_WALK_RULE_H
