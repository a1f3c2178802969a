// The ".TMIB" service of the simulated domain: GET and GETNEXT over the
// domain's classes.
#ifndef TUXSIM_MIB_HPP
#define TUXSIM_MIB_HPP

#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

#include "domain.hpp"

namespace tuxsim::detail {

class Mib {
public:
    // What a reply said: TAOK or a negative TA_ERROR. kNoBuffer when the
    // reply buffer could not be grown to hold the reply.
    static constexpr long kNoBuffer = 1000;

    // Serves one request; the reply replaces the content of *reply (a live
    // FML32 tpalloc buffer, which may be moved to grow it).
    long serve(const Domain& d, FBFR32* request, char** reply, std::time_t now);

    // Forgets every retrieval in progress.
    void clear();

    // Objects per GET/GETNEXT reply whatever TA_OCCURS asks (0: as asked),
    // as a MIB that ignores TA_OCCURS answers (tests).
    void force_occurs(long n) { forced_occurs_ = n > 0 ? n : 0; }

    // The quirks of a laxer MIB that the replies follow (tuxsim.h).
    void quirks(const QuirkMasks& q) { quirks_ = q; }
    // TA_MORE of every reply of an endless class.
    static constexpr long kEndlessMore = 3;

    // Retrievals kept for GETNEXT at once; a GETNEXT on an older one is told
    // its cursor is stale.
    static constexpr std::size_t kMaxSnapshots = 64;
    // Seconds a retrieval is kept after a reply when the request names no
    // TA_CURSORHOLD.
    static constexpr long kDefaultCursorHold = 120;

private:
    // Objects in one reply of class cls: as asked, at most the domain's
    // batch, or as forced by force_occurs or the ignore_occurs quirk.
    long page_size(long asked, long batch, std::size_t cls) const;
    long forced_occurs_ = 0;
    QuirkMasks quirks_;
    // The objects a GET selected, as they were at the GET: the list is shared
    // with the domain until the domain next changes the class.
    struct Snapshot {
        std::size_t cls;
        bool local;
        std::shared_ptr<const ObjectList> objs;
        std::vector<FLDID32> wanted;  // TA_FILTER of the GET; empty: every attribute
        std::time_t expires = 0;      // dropped after this time (TA_CURSORHOLD)
        // fixed_cursor: where the next reply starts, which the walk's one
        // cursor does not say, and the TA_MORE of the walk's first reply.
        std::size_t next = 0;
        long first_more = 0;
        // repeat_objects: where the reply before started.
        std::size_t last_start = 0;
    };

    struct Error {
        long code;
        std::string status;
        FLDID32 badfld;
    };

    long get(const Domain& d, FBFR32* req, char** reply, std::time_t now);
    long getnext(const Domain& d, FBFR32* req, char** reply, std::time_t now);
    // Answers the next batch of a retrieval from pos on (TA_OCCURS occurs, 0
    // when not given), keeping it for GETNEXT (under id, or a new id when id
    // is 0) for hold seconds while objects remain.
    long page(const Domain& d, Snapshot snap, std::uint64_t id, std::size_t pos, long occurs, long hold,
              char** reply, std::time_t now);
    // A reply under the fixed_cursor quirk: one object from where the walk
    // stands (snap.next), the walk kept until `expires`.
    long fixed_cursor_page(const Domain& d, Snapshot snap, std::uint64_t id, char** reply, std::time_t now,
                           std::time_t expires);
    void drop(std::uint64_t id);
    long error(char** reply, const Domain& d, FBFR32* req, const Error& e);
    std::string cursor_text(std::uint64_t id, std::size_t cls, std::size_t pos) const;
    std::uint64_t keep(Snapshot s);

    std::unordered_map<std::uint64_t, Snapshot> snapshots_;
    std::deque<std::uint64_t> order_;
    std::uint64_t next_id_ = 1;
};

}  // namespace tuxsim::detail

#endif
