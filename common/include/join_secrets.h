// The passwords a client gives when it joins a secured application, each read
// from a file that an environment variable names: ZTA_APP_PASSWORD_FILE (the
// application password) and ZTA_USER_PASSWORD_FILE (the user's password, for
// the authentication server). A file is taken only when it is a regular file
// that neither group nor others may read or write, holding a password that is
// neither empty nor too long; one line end at its end is not part of the
// password. A password lives only in a fixed buffer that is cleared when it is
// dropped, never in a std::string, and no message ever carries it. Knows
// nothing of the parts using it: the join structure is a template parameter.
#ifndef ZCOMMON_JOIN_SECRETS_H
#define ZCOMMON_JOIN_SECRETS_H

#include <cstddef>
#include <cstring>
#include <string>

namespace zcommon {

// Clears n bytes at p in a way the compiler keeps, although nothing reads
// them again.
void WipeMemory(void* p, std::size_t n);

// A password read from a file: a NUL-terminated text in a buffer of its own,
// cleared when the object goes.
class SecretText {
public:
    // The longest password held.
    static constexpr std::size_t kMaxLength = 1024;

    SecretText() = default;
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;
    ~SecretText() { Wipe(); }

    const char* data() const { return bytes_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void Wipe();

private:
    friend bool ReadSecretFile(const std::string&, std::size_t, SecretText*, std::string*);
    // Room for the password, a line end after it and one byte more, which
    // tells a file too long from one that fits.
    char bytes_[kMaxLength + 3] = {};
    std::size_t size_ = 0;
};

// Reads the password in the file `path` into `out`: at most `max_length`
// bytes (at most SecretText::kMaxLength) once a final "\n" or "\r\n" is
// dropped. False with `reason` (never the password) when the file cannot
// be opened, is not a regular file, may be read or written by group or
// others, or holds an empty password, one that is too long or one with a
// NUL byte; `out` is then empty.
bool ReadSecretFile(const std::string& path, std::size_t max_length, SecretText* out, std::string* reason);

// The names of the two variables.
inline constexpr const char* kAppPasswordVariable = "ZTA_APP_PASSWORD_FILE";
inline constexpr const char* kUserPasswordVariable = "ZTA_USER_PASSWORD_FILE";

// The two passwords of a join; each is empty when its variable is unset or
// empty.
struct JoinSecrets {
    SecretText app;
    SecretText user;

    // Bytes of the join structure's variable data the user password takes:
    // the text and its NUL (the authentication server reads a C string), 0
    // without one.
    long DataLength() const { return user.empty() ? 0 : static_cast<long>(user.size() + 1); }
};

// Reads the files the two variables name, the application password at most
// `app_max_length` bytes. False with `line` naming the variable, the file
// and what is wrong with it.
bool ReadJoinSecrets(std::size_t app_max_length, JoinSecrets* out, std::string* line);

// Puts the passwords into a join structure of the ATMI's layout (passwd,
// datalen, then the variable data from the member `data` on), whose buffer
// holds at least DataLength() bytes from `data` on.
template <class Init>
void PutJoinSecrets(const JoinSecrets& secrets, Init* info) {
    const std::size_t app = secrets.app.size() < sizeof info->passwd ? secrets.app.size() : sizeof info->passwd - 1;
    std::memcpy(info->passwd, secrets.app.data(), app);
    info->passwd[app] = '\0';
    info->datalen = secrets.DataLength();
    if (info->datalen > 0) {
        std::memcpy(reinterpret_cast<char*>(info) + offsetof(Init, data), secrets.user.data(), static_cast<std::size_t>(info->datalen));
    }
}

// Clears what PutJoinSecrets put into the join structure.
template <class Init>
void WipeJoinSecrets(Init* info) {
    WipeMemory(info->passwd, sizeof info->passwd);
    if (info->datalen > 0) WipeMemory(reinterpret_cast<char*>(info) + offsetof(Init, data), static_cast<std::size_t>(info->datalen));
    info->datalen = 0;
}

}  // namespace zcommon

#endif  // ZCOMMON_JOIN_SECRETS_H
