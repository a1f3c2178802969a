// Reading the web configuration file with yaml-cpp, its certificate and key
// files with GnuTLS, and checking basic-auth passwords with crypt(3).
#include "webconfig.h"

#include <crypt.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <yaml-cpp/yaml.h>

#include <array>
#include <cstring>
#include <vector>

#include "printable.h"
#include "regular_file.h"
#include "yaml_check.h"

namespace agw {

namespace {

using WebConfigError = YamlCheckError;

// A web configuration is a few lines; certificate chains and CA bundles a
// few hundred kilobytes at most. The bounds keep a wrong path from eating
// memory.
constexpr std::size_t kMaxWebConfig = 64u << 10;
constexpr std::size_t kMaxPemFile = 1u << 20;

const char* const kVersions[] = {"TLS10", "TLS11", "TLS12", "TLS13"};
const char* const kGnutlsVersions[] = {"VERS-TLS1.0", "VERS-TLS1.1", "VERS-TLS1.2", "VERS-TLS1.3"};

using Checker = YamlChecker;

// A file the configuration names, relative to the configuration's folder.
std::string Beside(const std::string& config, const std::string& file) {
    if (!file.empty() && file.front() == '/') return file;
    std::size_t slash = config.rfind('/');
    return slash == std::string::npos ? file : config.substr(0, slash + 1) + file;
}

std::string GnutlsProblem(int code) { return gnutls_strerror(code); }

gnutls_datum_t Datum(const std::string& text) {
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())), static_cast<unsigned>(text.size())};
}

// How many PEM certificates `pem` holds (0 with *problem when none parse).
unsigned CountCertificates(const std::string& pem, std::string* problem) {
    gnutls_datum_t data = Datum(pem);
    gnutls_x509_crt_t* list = nullptr;
    unsigned count = 0;
    int result = gnutls_x509_crt_list_import2(&list, &count, &data, GNUTLS_X509_FMT_PEM, 0);
    if (result < 0) {
        *problem = GnutlsProblem(result);
        return 0;
    }
    for (unsigned i = 0; i < count; ++i) gnutls_x509_crt_deinit(list[i]);
    gnutls_free(list);
    if (count == 0) *problem = "no certificate in it";
    return count;
}

// Empty when the key is a PEM private key that belongs to the certificate.
std::string KeyProblem(const std::string& certPem, const std::string& keyPem) {
    gnutls_certificate_credentials_t credentials = nullptr;
    if (gnutls_certificate_allocate_credentials(&credentials) < 0) return "out of memory";
    gnutls_datum_t cert = Datum(certPem);
    gnutls_datum_t key = Datum(keyPem);
    int result = gnutls_certificate_set_x509_key_mem2(credentials, &cert, &key, GNUTLS_X509_FMT_PEM, nullptr, 0);
    gnutls_certificate_free_credentials(credentials);
    if (result >= 0) return {};
    if (result == GNUTLS_E_CERTIFICATE_KEY_MISMATCH) return "expected the private key of cert_file's certificate";
    return "expected an unencrypted PEM private key: " + GnutlsProblem(result);
}

class Reader {
public:
    Reader(const std::string& path, const Checker& check) : path_(path), check_(check) {}

    // The PEM file named by `key` in `node`, read whole.
    std::string Pem(const YAML::Node& node, const std::string& key) const {
        const YAML::Node& value = node[key];
        std::string name = check_.Scalar(value, "tls_server_config: " + key, "a file name");
        if (name.empty()) check_.Fail(value, "tls_server_config: " + key + ": expected a file name");
        std::string file = Beside(path_, name);
        std::string text, reason;
        if (!zcommon::ReadRegularFile(file, kMaxPemFile, &text, &reason)) {
            check_.Fail(value, "tls_server_config: " + key + " " + Quote(name) + ": cannot read " + Quote(file) + ": " +
                                   reason);
        }
        return text;
    }
    void Certificates(const YAML::Node& node, const std::string& key, const std::string& pem) const {
        std::string problem;
        if (CountCertificates(pem, &problem) == 0) {
            check_.Fail(node[key], "tls_server_config: " + key + " " + Quote(node[key].Scalar()) +
                                       ": expected PEM certificates: " + problem);
        }
    }

private:
    const std::string& path_;
    const Checker& check_;
};

int Version(const Checker& check, const YAML::Node& tls, const std::string& key, int otherwise) {
    if (!tls[key]) return otherwise;
    std::string text = check.Scalar(tls[key], "tls_server_config: " + key, "TLS10, TLS11, TLS12 or TLS13");
    for (int i = 0; i < 4; ++i) {
        if (text == kVersions[i]) return i;
    }
    check.Fail(tls[key], "tls_server_config: " + key + ": expected TLS10, TLS11, TLS12 or TLS13, got " + Quote(text));
}

void ReadTls(const std::string& path, const Checker& check, const YAML::Node& tls, WebConfig* config) {
    if (!tls.IsMap()) check.Fail(tls, "tls_server_config: expected a map with cert_file and key_file");
    check.CheckKeys(tls, {"cert_file", "key_file", "client_auth_type", "client_ca_file", "min_version", "max_version"},
                    "cert_file, key_file, client_auth_type, client_ca_file, min_version, max_version",
                    "tls_server_config: ");
    for (const char* key : {"cert_file", "key_file"}) {
        if (!tls[key]) check.Fail(tls, std::string("tls_server_config: expected ") + key);
    }
    Reader read(path, check);
    config->tls = true;
    config->certPem = read.Pem(tls, "cert_file");
    read.Certificates(tls, "cert_file", config->certPem);
    config->keyPem = read.Pem(tls, "key_file");
    std::string problem = KeyProblem(config->certPem, config->keyPem);
    if (!problem.empty()) {
        check.Fail(tls["key_file"], "tls_server_config: key_file " + Quote(tls["key_file"].Scalar()) + ": " + problem);
    }

    static const std::map<std::string, ClientAuth> kTypes = {
        {"NoClientCert", ClientAuth::none},
        {"RequestClientCert", ClientAuth::request},
        {"RequireAnyClientCert", ClientAuth::requireAny},
        {"VerifyClientCertIfGiven", ClientAuth::verifyIfGiven},
        {"RequireAndVerifyClientCert", ClientAuth::requireAndVerify},
    };
    const char* types =
        "NoClientCert, RequestClientCert, RequireAnyClientCert, VerifyClientCertIfGiven or RequireAndVerifyClientCert";
    if (tls["client_auth_type"]) {
        std::string type = check.Scalar(tls["client_auth_type"], "tls_server_config: client_auth_type", types);
        auto found = kTypes.find(type);
        if (found == kTypes.end()) {
            check.Fail(tls["client_auth_type"],
                       "tls_server_config: client_auth_type: expected " + std::string(types) + ", got " + Quote(type));
        }
        config->clientAuth = found->second;
    }
    if (tls["client_ca_file"]) {
        config->clientCaPem = read.Pem(tls, "client_ca_file");
        read.Certificates(tls, "client_ca_file", config->clientCaPem);
    } else if (config->clientAuth == ClientAuth::verifyIfGiven || config->clientAuth == ClientAuth::requireAndVerify) {
        check.Fail(tls["client_auth_type"],
                   "tls_server_config: client_auth_type " + tls["client_auth_type"].Scalar() +
                       ": expected client_ca_file, the CAs to verify client certificates against");
    }

    int low = Version(check, tls, "min_version", 2);
    int high = Version(check, tls, "max_version", 3);
    if (high < low) check.Fail(tls["max_version"], "tls_server_config: max_version: expected min_version or later");
    config->priorities = "NORMAL:-VERS-ALL";
    for (int i = high; i >= low; --i) config->priorities += std::string(":+") + kGnutlsVersions[i];
}

// A bcrypt hash as crypt(3) reads it: $2a$, $2b$ or $2y$, a two-digit cost,
// 53 characters of salt and digest.
bool LooksLikeBcrypt(const std::string& hash) {
    if (hash.size() != 60 || hash.compare(0, 2, "$2") != 0 || std::strchr("aby", hash[2]) == nullptr ||
        hash[3] != '$' || hash[6] != '$') {
        return false;
    }
    if (hash[4] < '0' || hash[4] > '3' || hash[5] < '0' || hash[5] > '9') return false;
    for (std::size_t i = 7; i < hash.size(); ++i) {
        char c = hash[i];
        bool ok = c == '.' || c == '/' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!ok) return false;
    }
    return true;
}

void ReadUsers(const Checker& check, const YAML::Node& users, WebConfig* config) {
    if (users.IsNull()) return;
    if (!users.IsMap()) check.Fail(users, "basic_auth_users: expected a map of user names to bcrypt hashes");
    for (const auto& item : users) {
        std::string user = check.Scalar(item.first, "basic_auth_users", "a user name");
        if (user.empty() || user.find(':') != std::string::npos) {
            check.Fail(item.first, "basic_auth_users: expected a user name without ':', got " + Quote(user));
        }
        // The hash is not repeated in messages: it is as good as a secret.
        if (!item.second.IsScalar() || !LooksLikeBcrypt(item.second.Scalar())) {
            check.Fail(item.second, "basic_auth_users: user " + Quote(user) +
                                        ": expected a bcrypt hash ($2y$ or $2b$, as htpasswd -nbB makes)");
        }
        config->users[user] = item.second.Scalar();
    }
}

}  // namespace

bool LoadWebConfig(const std::string& path, WebConfig* config, std::string* error) {
    *config = WebConfig{};
    config->source = path;
    std::string text, reason;
    if (!zcommon::ReadRegularFile(path, kMaxWebConfig, &text, &reason)) {
        *error = zcommon::Printable(path) + ": cannot read the web configuration: " + reason;
        return false;
    }
    const std::string source = zcommon::Printable(path);  // the checker keeps a reference
    Checker check(source);
    try {
        YAML::Node root = YAML::Load(text);
        if (root.IsNull()) return true;  // an empty file: plain HTTP, nobody asked for a password
        if (!root.IsMap()) check.Fail(root, "expected a map with tls_server_config, basic_auth_users");
        check.CheckKeys(root, {"tls_server_config", "basic_auth_users"}, "tls_server_config, basic_auth_users");
        if (root["tls_server_config"]) ReadTls(path, check, root["tls_server_config"], config);
        if (root["basic_auth_users"]) ReadUsers(check, root["basic_auth_users"], config);
    } catch (const WebConfigError& problem) {
        *error = problem.text;
        return false;
    } catch (const YAML::Exception& problem) {
        *error = source;
        if (problem.mark.line >= 0) *error += ":" + std::to_string(problem.mark.line + 1);
        *error += ": expected a YAML web configuration: " + problem.msg;
        return false;
    }
    return true;
}

bool PasswordMatches(const std::string& hash, const std::string& password) {
    auto data = std::make_unique<crypt_data>();  // some 32 KB: not for the stack of a server thread
    const char* result = crypt_r(password.c_str(), hash.c_str(), data.get());
    // A failure gives null or a short "*0"/"*1", never a 60-byte hash.
    if (result == nullptr || std::strlen(result) != hash.size()) return false;
    unsigned char differ = 0;
    for (std::size_t i = 0; i < hash.size(); ++i) differ |= static_cast<unsigned char>(result[i] ^ hash[i]);
    return differ == 0 && password.find('\0') == std::string::npos;
}

BasicAuth::BasicAuth(std::map<std::string, std::string> users) : users_(std::move(users)) {}

std::string BasicAuth::Digest(const std::string& user, const std::string& password, const std::string& hash) const {
    std::string text = user;
    text.push_back('\0');
    text += password;
    text.push_back('\0');
    text += hash;
    std::array<unsigned char, 32> digest{};
    if (gnutls_hash_fast(GNUTLS_DIG_SHA256, text.data(), text.size(), digest.data()) < 0) return {};
    return std::string(digest.begin(), digest.end());
}

bool BasicAuth::Check(const std::string& user, const std::string& password) const {
    if (users_.empty()) return true;
    auto found = users_.find(user);
    if (found == users_.end()) {
        // The same work as for a known user, so that the time taken does
        // not tell which user names exist.
        PasswordMatches(users_.begin()->second, password);
        return false;
    }
    std::string digest = Digest(user, password, found->second);
    if (!digest.empty()) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (known_.count(digest) > 0) return true;
    }
    if (!PasswordMatches(found->second, password)) return false;
    if (!digest.empty()) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (known_.size() >= kRemembered) known_.clear();
        known_.insert(digest);
    }
    return true;
}

}  // namespace agw
