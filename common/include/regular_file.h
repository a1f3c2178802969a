// Reading an input file whole, safely, for the parts that read files an
// operator names (request files, domain files, field tables, views): only a
// regular file is read, its size is bounded, and opening never blocks, so a
// FIFO or device named by mistake is refused at once instead of hanging the
// process before it can take signals. Knows nothing of the parts using it.
#ifndef ZCOMMON_REGULAR_FILE_H
#define ZCOMMON_REGULAR_FILE_H

#include <sys/stat.h>

#include <cstddef>
#include <string>

namespace zcommon {

// Opens the regular file `path` for reading without blocking and fills `st`
// from the open descriptor. Directories, FIFOs, sockets and devices are
// refused. Returns the descriptor (close-on-exec), or -1
// with `reason` saying why.
int OpenRegularFile(const std::string& path, struct stat* st, std::string* reason);

// Reads the regular file `path` whole into `text`, at most `limit` bytes.
// Directories, FIFOs, sockets and devices are refused without blocking. On
// failure returns false with `reason` saying why (errno text or what the
// file is).
bool ReadRegularFile(const std::string& path, std::size_t limit, std::string* text,
                     std::string* reason);

// Opens `path` for appending (created with `mode`, less the umask, when
// missing) without blocking:
// a FIFO that no process reads is refused at once (ENXIO) rather than
// holding the caller, deaf to signals, in open(). Once open, writes block
// as usual. Returns the descriptor, or -1 with `reason` set.
int OpenForAppend(const std::string& path, std::string* reason, unsigned mode = 0644);

// Whether OpenForAppend would open `path`, found without creating it: an
// existing file is opened for appending and closed again, a missing one
// needs a folder it may be created in. False with `reason` set.
bool CanAppend(const std::string& path, std::string* reason);

// Opens `path` again (OpenForAppend, `mode`) under the number of descriptor
// `fd`, so that every writer of `fd` goes on in the new file (after a
// rotation moved the old one away): a line being written ends in the old
// file, the next starts in the new. Returns 1, or -1 with `reason` set.
int ReopenAs(int fd, const std::string& path, std::string* reason, unsigned mode);

}  // namespace zcommon

#endif  // ZCOMMON_REGULAR_FILE_H
