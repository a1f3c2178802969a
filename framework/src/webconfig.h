// The metrics endpoint's web configuration file (AGW_WEB_CONFIG or the
// request file's web_config): TLS and basic authentication, in the format
// Prometheus' exporters read (docs/security.md).
//
//     tls_server_config:
//       cert_file: server.crt          # PEM; relative to this file's folder
//       key_file: server.key           # PEM, unencrypted
//       client_auth_type: RequireAndVerifyClientCert   # default NoClientCert
//       client_ca_file: ca.crt         # the CAs client certificates are verified against
//       min_version: TLS12             # TLS10 to TLS13, default TLS12
//       max_version: TLS13             # default TLS13
//     basic_auth_users:
//       alice: $2y$10$...              # bcrypt hash of alice's password
#ifndef AGW_WEBCONFIG_H
#define AGW_WEBCONFIG_H

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace agw {

// What a TLS client must show, as the format names it.
enum class ClientAuth {
    none,              // NoClientCert: not asked for
    request,           // RequestClientCert: asked for, not needed, not verified
    requireAny,        // RequireAnyClientCert: needed, not verified
    verifyIfGiven,     // VerifyClientCertIfGiven: not needed, verified when shown
    requireAndVerify,  // RequireAndVerifyClientCert: needed and verified
};

struct WebConfig {
    std::string source;  // the file read; empty: none (plain HTTP, no authentication)
    bool tls = false;
    // The PEM texts read from cert_file, key_file and client_ca_file.
    std::string certPem;
    std::string keyPem;
    std::string clientCaPem;
    ClientAuth clientAuth = ClientAuth::none;
    // The TLS versions allowed, as a GnuTLS priority string.
    std::string priorities;
    // basic_auth_users: user -> bcrypt hash; empty: no authentication.
    std::map<std::string, std::string> users;

    bool operator==(const WebConfig&) const = default;
};

// Reads and checks the file: every key known, the certificate, key and CA
// files read (relative to the file's folder), bounded in size and parsed.
// False with *error one line naming the file (and the file it refers to)
// and what was wrong.
bool LoadWebConfig(const std::string& path, WebConfig* config, std::string* error);

// True when `password` hashes to `hash` (a bcrypt hash; crypt(3) does the
// hashing), compared in constant time.
bool PasswordMatches(const std::string& hash, const std::string& password);

// Basic authentication against basic_auth_users. Check may be called from
// any thread. A bcrypt check costs tens of milliseconds by design, so the
// passwords already found right are remembered (as a digest of user,
// password and hash, never the password itself) and a repeated scrape does
// not pay it again.
class BasicAuth {
public:
    explicit BasicAuth(std::map<std::string, std::string> users);
    bool Enabled() const { return !users_.empty(); }
    bool Check(const std::string& user, const std::string& password) const;

private:
    std::string Digest(const std::string& user, const std::string& password, const std::string& hash) const;

    const std::map<std::string, std::string> users_;
    static constexpr std::size_t kRemembered = 64;  // few users scrape; a full set starts again
    mutable std::mutex mutex_;
    mutable std::set<std::string> known_;
};

}  // namespace agw

#endif
