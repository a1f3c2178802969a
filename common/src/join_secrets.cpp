// Passwords for the join, read from files that only their owner may read
// (see join_secrets.h).
#include "join_secrets.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "printable.h"
#include "regular_file.h"

namespace zcommon {

void WipeMemory(void* p, std::size_t n) {
#if defined(__GLIBC__)
    explicit_bzero(p, n);
#else
    // Stores through a volatile pointer are kept.
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(p);
    while (n-- > 0) *bytes++ = 0;
#endif
}

void SecretText::Wipe() {
    WipeMemory(bytes_, sizeof bytes_);
    size_ = 0;
}

bool ReadSecretFile(const std::string& path, std::size_t max_length, SecretText* out, std::string* reason) {
    out->Wipe();
    if (max_length > SecretText::kMaxLength) max_length = SecretText::kMaxLength;
    struct stat st {};
    const int fd = OpenRegularFile(path, &st, reason);
    if (fd < 0) return false;
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        *reason = std::string("may be read or written by group or others (mode ") + mode +
                  "); let only its owner read it (chmod 600)";
        ::close(fd);
        return false;
    }
    // Reads straight into the secret's own buffer; one byte more than a
    // password, its line end and the NUL tells a file that is too long.
    std::size_t got = 0;
    const std::size_t room = sizeof out->bytes_ - 1;
    bool ok = true;
    while (got < room) {
        const ssize_t n = ::read(fd, out->bytes_ + got, room - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *reason = std::strerror(errno);
            ok = false;
        }
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (ok && got > 0 && out->bytes_[got - 1] == '\n') {
        out->bytes_[--got] = '\0';
        if (got > 0 && out->bytes_[got - 1] == '\r') out->bytes_[--got] = '\0';
    }
    if (ok && got == 0) {
        *reason = "holds no password (the file is empty)";
        ok = false;
    } else if (ok && got > max_length) {
        *reason = "holds a password longer than " + std::to_string(max_length) + " characters";
        ok = false;
    } else if (ok && std::memchr(out->bytes_, '\0', got) != nullptr) {
        *reason = "holds a NUL byte";
        ok = false;
    }
    if (!ok) {
        out->Wipe();
        return false;
    }
    out->size_ = got;
    return true;
}

bool ReadJoinSecrets(std::size_t app_max_length, JoinSecrets* out, std::string* line) {
    struct Source {
        const char* variable;
        std::size_t max_length;
        SecretText* secret;
    } sources[] = {{kAppPasswordVariable, app_max_length, &out->app},
                   {kUserPasswordVariable, SecretText::kMaxLength, &out->user}};
    for (const Source& s : sources) {
        s.secret->Wipe();
        const char* path = std::getenv(s.variable);
        if (path == nullptr || *path == '\0') continue;
        std::string reason;
        if (!ReadSecretFile(path, s.max_length, s.secret, &reason)) {
            out->app.Wipe();
            *line = std::string(s.variable) + " \"" + Printable(path) + "\": " + reason;
            return false;
        }
    }
    return true;
}

}  // namespace zcommon
