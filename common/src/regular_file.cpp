// Reading an input file whole, safely (see regular_file.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "regular_file.h"

namespace zcommon {

int OpenRegularFile(const std::string& path, struct stat* st, std::string* reason) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *reason = std::strerror(errno);
        return -1;
    }
    if (::fstat(fd, st) != 0) {
        *reason = std::strerror(errno);
    } else if (S_ISDIR(st->st_mode)) {
        *reason = "is a directory, expected a regular file";
    } else if (!S_ISREG(st->st_mode)) {
        *reason = "is not a regular file (a FIFO, socket or device)";
    } else {
        return fd;
    }
    ::close(fd);
    return -1;
}

bool ReadRegularFile(const std::string& path, std::size_t limit, std::string* text,
                     std::string* reason) {
    struct stat st {};
    const int fd = OpenRegularFile(path, &st, reason);
    if (fd < 0) return false;
    bool ok = true;
    if (static_cast<std::uint64_t>(st.st_size) > limit) {
        *reason = "is larger than " + std::to_string(limit) + " bytes";
        ok = false;
    }
    text->clear();
    char block[65536];
    while (ok) {
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *reason = std::strerror(errno);
            ok = false;
        } else if (n == 0) {
            break;
        } else if (text->size() + static_cast<std::size_t>(n) > limit) {
            *reason = "is larger than " + std::to_string(limit) + " bytes";
            ok = false;
        } else {
            text->append(block, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return ok;
}

int OpenForAppend(const std::string& path, std::string* reason, unsigned mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                            static_cast<mode_t>(mode));
    if (fd < 0) {
        *reason = errno == ENXIO ? "a FIFO that no process reads" : std::strerror(errno);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        *reason = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

bool CanAppend(const std::string& path, std::string* reason) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    if (errno != ENOENT) {
        *reason = errno == ENXIO ? "a FIFO that no process reads" : std::strerror(errno);
        return false;
    }
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        *reason = std::strerror(errno);
        return false;
    }
    return true;
}

int ReopenAs(int fd, const std::string& path, std::string* reason, unsigned mode) {
    const int fresh = OpenForAppend(path, reason, mode);
    if (fresh < 0) return -1;
    int result;
    do {
        result = ::dup3(fresh, fd, O_CLOEXEC);
    } while (result < 0 && errno == EINTR);
    const int saved = errno;
    ::close(fresh);
    if (result < 0) {
        if (reason != nullptr) *reason = std::strerror(saved);
        return -1;
    }
    return 1;
}

}  // namespace zcommon
