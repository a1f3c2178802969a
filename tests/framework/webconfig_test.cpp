// The endpoint's web configuration (TLS, basic authentication): what a bad
// file says, bcrypt passwords as htpasswd makes them, and the answers of a
// running endpoint while the process stops.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "metrics.h"
#include "test_util.h"
#include "webconfig.h"

namespace {

bool Have(const char* tool) { return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0; }

// A folder of the running test's own.
std::string TestDir() {
    std::string dir = TestFile("web", "_XXXXXX");
    if (mkdtemp(dir.data()) == nullptr) ADD_FAILURE() << "mkdtemp " << dir;
    return dir;
}

// A self-signed certificate and its key in dir (server.crt, server.key).
bool MakeCertificate(const std::string& dir) {
    std::string command = "cd '" + dir +
                          "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                          "-keyout server.key -out server.crt -days 1 -subj /CN=localhost >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// The status code of GET path on 127.0.0.1:port ("" without an answer).
std::string StatusOf(int port, const std::string& path) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buffer[4096];
            ssize_t n;
            while (reply.size() < (1u << 20) && (n = read(fd, buffer, sizeof buffer)) > 0) {
                reply.append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    close(fd);
    return reply.rfind("HTTP/1.", 0) == 0 && reply.size() > 12 ? reply.substr(9, 3) : "";
}

TEST(WebConfig, EachMistakeIsOneLineNamingTheFileAndWhatWasExpected) {
    if (!Have("openssl")) GTEST_SKIP() << "openssl is not installed (scripts/bootstrap installs it)";
    std::string dir = TestDir();
    ASSERT_TRUE(MakeCertificate(dir));
    const std::string tls = "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n";
    struct Case {
        std::string text;
        std::string expected;  // in the message, after "<file>:<line>: "
        int line;
    };
    const std::vector<Case> cases = {
        {"tls_server_config: {cert_file: server.crt, key_file: server.key}\nrate_limit: {burst: 2}\n",
         "unknown key \"rate_limit\", expected one of tls_server_config, basic_auth_users", 2},
        {tls + "  cipher_suites: [TLS_AES_128_GCM_SHA256]\n", "tls_server_config: unknown key \"cipher_suites\"", 4},
        {"tls_server_config:\n  cert_file: missing.crt\n  key_file: server.key\n",
         "tls_server_config: cert_file \"missing.crt\": cannot read \"" + dir +
             "/missing.crt\": No such file or directory",
         2},
        {"tls_server_config:\n  key_file: server.key\n", "tls_server_config: expected cert_file", 2},
        {"tls_server_config:\n  cert_file: server.key\n  key_file: server.key\n",
         "tls_server_config: cert_file \"server.key\": expected PEM certificates", 2},
        {"tls_server_config:\n  cert_file: server.crt\n  key_file: server.crt\n",
         "tls_server_config: key_file \"server.crt\": expected an unencrypted PEM private key", 3},
        {tls + "  min_version: TLS14\n", "min_version: expected TLS10, TLS11, TLS12 or TLS13, got \"TLS14\"", 4},
        {tls + "  min_version: TLS13\n  max_version: TLS12\n", "max_version: expected min_version or later", 5},
        {tls + "  client_auth_type: RequireAndVerifyClientCert\n", "expected client_ca_file", 4},
        {tls + "  client_auth_type: Always\n", "client_auth_type: expected NoClientCert, RequestClientCert", 4},
        {"basic_auth_users:\n  alice: plaintext\n", "basic_auth_users: user \"alice\": expected a bcrypt hash", 2},
        {"tls_server_config: [\n", "expected a YAML web configuration", 2},
    };
    for (const Case& c : cases) {
        std::string path = dir + "/web.yml";
        WriteFile(path, c.text);
        agw::WebConfig config;
        std::string error;
        EXPECT_FALSE(agw::LoadWebConfig(path, &config, &error)) << c.text;
        std::string start = path + ":" + std::to_string(c.line) + ": ";
        EXPECT_EQ(error.rfind(start, 0), 0u) << error;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_EQ(error.find("plaintext"), std::string::npos) << "a hash is never repeated: " << error;
    }

    // A good file: its files found beside it whatever the working folder,
    // TLS 1.2 and 1.3 by default.
    WriteFile(dir + "/good.yml", tls + "basic_auth_users:\n  alice: $2y$05$" + std::string(53, 'a') + "\n");
    agw::WebConfig config;
    std::string error;
    ASSERT_TRUE(agw::LoadWebConfig(dir + "/good.yml", &config, &error)) << error;
    EXPECT_TRUE(config.tls);
    EXPECT_EQ(config.certPem, ReadFile(dir + "/server.crt"));
    EXPECT_EQ(config.priorities, "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2");
    EXPECT_EQ(config.users.size(), 1u);
    EXPECT_EQ(config.clientAuth, agw::ClientAuth::none);
}

TEST(WebConfig, BasicAuthAcceptsTheRightPasswordOfAnHtpasswdHashOnly) {
    if (!Have("htpasswd")) GTEST_SKIP() << "htpasswd is not installed (apache2-utils; scripts/bootstrap)";
    std::string dir = TestDir();
    ASSERT_EQ(std::system(("htpasswd -nbBC 5 alice 's3cret' > '" + dir + "/users'").c_str()), 0);
    std::string line = ReadFile(dir + "/users");
    std::string hash = line.substr(line.find(':') + 1);
    hash = hash.substr(0, hash.find_first_of("\r\n"));
    ASSERT_EQ(hash.rfind("$2y$05$", 0), 0u) << line;

    EXPECT_TRUE(agw::PasswordMatches(hash, "s3cret"));
    EXPECT_FALSE(agw::PasswordMatches(hash, "s3cre"));
    EXPECT_FALSE(agw::PasswordMatches(hash, std::string("s3cret\0x", 8)));
    EXPECT_FALSE(agw::PasswordMatches("$2y$05$short", "s3cret"));

    agw::BasicAuth auth({{"alice", hash}});
    EXPECT_TRUE(auth.Enabled());
    EXPECT_TRUE(auth.Check("alice", "s3cret"));
    EXPECT_TRUE(auth.Check("alice", "s3cret")) << "remembered, still right";
    EXPECT_FALSE(auth.Check("alice", "S3cret"));
    EXPECT_FALSE(auth.Check("bob", "s3cret"));
    EXPECT_FALSE(auth.Check("", ""));
    EXPECT_TRUE(agw::BasicAuth({}).Check("anyone", "")) << "no users: nobody is asked";
}

TEST(Endpoint, EveryPathAnswers503WhileTheProcessStops) {
    agw::MetricsRegistry& registry = agw::MetricsRegistry::Instance();
    registry.Clear();
    std::string error;
    auto endpoint = agw::MetricsEndpoint::Start("127.0.0.1:0", agw::WebConfig{}, &error);
    ASSERT_NE(endpoint, nullptr) << error;
    ASSERT_GT(endpoint->Port(), 0);
    EXPECT_EQ(StatusOf(endpoint->Port(), "/-/healthy"), "200");
    EXPECT_EQ(StatusOf(endpoint->Port(), "/-/ready"), "200");
    registry.SetNotReady("not joined");
    EXPECT_EQ(StatusOf(endpoint->Port(), "/-/ready"), "503");
    registry.SetShuttingDown(true);
    for (const char* path : {"/metrics", "/-/healthy", "/", "/nowhere"}) {
        EXPECT_EQ(StatusOf(endpoint->Port(), path), "503") << path;
    }
    registry.Clear();
}

}  // namespace
