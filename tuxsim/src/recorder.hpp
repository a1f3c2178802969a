// The record of ".TMIB" requests, made only when asked: when TUXSIM_RECORD
// names a file, appended to it one line per request (for tests that run a
// whole process) and kept in memory; kept in memory too while the test API
// asks for it (tuxsim::record_requests). Otherwise a call costs nothing here.
#ifndef TUXSIM_RECORDER_HPP
#define TUXSIM_RECORDER_HPP

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "fml32.h"
#include "tuxsim.h"

namespace tuxsim::detail {

// Reads a request buffer into a record (outcome left empty).
Request describe_request(FBFR32* req);

// One line of the TUXSIM_RECORD file, without the newline.
std::string record_line(const Request& r);

class Recorder {
public:
    // Requests kept in memory at most (the oldest go first), so that a
    // long-running process does not grow without end.
    static constexpr std::size_t kMaxKept = 100000;

    ~Recorder();
    // True when requests are recorded: the caller describes them and calls
    // add, otherwise it need not.
    bool wanted();
    void add(Request r);
    const std::deque<Request>& all() const { return requests_; }
    void clear() { requests_.clear(); }
    // Keeps requests in memory from now on (or, with false, only when
    // TUXSIM_RECORD asks).
    void keep(bool on) { keep_ = on; }
    // Forgets the file, so that TUXSIM_RECORD is read again.
    void reopen();

private:
    void check_file();

    std::deque<Request> requests_;
    std::FILE* file_ = nullptr;
    bool file_checked_ = false;
    bool env_set_ = false;  // TUXSIM_RECORD names a file
    bool keep_ = false;     // the test API asked
};

}  // namespace tuxsim::detail

#endif
