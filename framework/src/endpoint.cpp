// The HTTP server of the metrics endpoint (see metrics.h), on libmicrohttpd:
// a few threads, each with its own epoll set, serve every connection without
// blocking, so idle clients, slow readers and half-open connections cost a
// descriptor and a little memory each, never a scrape's turn. Idle
// connections are closed after a few seconds, and the number held at once is
// bounded. TLS is GnuTLS' (through libmicrohttpd); basic authentication and
// client certificates are checked here, per request.
//
// Scrapes yield to sampling: each of the server's threads lowers its own
// scheduling priority (nice) below the process's when it takes its first
// connection, so that under a crowd of scrapers the sampling thread still
// gets the processor when a sample is due; and the scrapes of /metrics in
// flight at once are capped, those beyond answered 503 at once with
// Retry-After. A scrape never waits for a sample: it reads the published
// ones (metrics.h).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "agw_trace.h"
#include "ascii.h"
#include "json.h"
#include "metrics.h"
#include "printable.h"
#include "webconfig.h"

namespace agw {

namespace {

// One trace block for the server's threads (blocks may be shared by threads).
TRC1_Block gServeTrace = {"AGW100", "endpoint", "Serve"};

// A scrape is one short request: a connection silent for this long is
// closed, whether it never sent a request or never read its answer.
constexpr unsigned kConnectionTimeoutSeconds = 5;
// Connections held at once, across the threads: far above what scrapers
// need, and well inside the usual limit of 1024 descriptors.
constexpr unsigned kConnectionLimit = 512;
constexpr unsigned kThreads = 4;
constexpr const char* kRealm = "ztaagent";
// How much nicer than the process the server's threads run: at 10 the
// scheduler gives a thread of the process's own priority about nine tenths
// of a processor both want.
constexpr int kNicer = 10;

constexpr const char* kTextType = "text/plain; charset=utf-8";
constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char* kLinesType = "application/x-ndjson; charset=utf-8";
constexpr const char* kRootPage =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Metrics endpoint</title></head>\n"
    "<body><h1>Metrics endpoint</h1><p><a href=\"/metrics\">Metrics</a></p></body></html>\n";

// A listening socket on bind (ParseHttpAddress's form); -1 with *problem
// the operating system's reason.
int Listen(const std::string& bind, bool* v6, std::string* problem) {
    std::size_t colon = bind.rfind(':');
    std::string host = bind.substr(0, colon);
    auto port = static_cast<std::uint16_t>(std::stoi(bind.substr(colon + 1)));
    *v6 = !host.empty() && host.front() == '[';
    sockaddr_storage address{};
    socklen_t size = 0;
    if (*v6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &in6->sin6_addr);
        size = sizeof *in6;
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        inet_pton(AF_INET, host.c_str(), &in4->sin_addr);
        size = sizeof *in4;
    }
    int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *problem = std::strerror(errno);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        *problem = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

int BoundPort(int fd) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

// libmicrohttpd's own messages (a failed TLS handshake, a client that went
// away) are about clients, not the agent: detail trace lines.
void LogServer(void* /*cls*/, const char* format, va_list args) {
    if ((TRC1_Sync(&gServeTrace) & AGW_TRC_DETAIL) == 0) return;
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    AGW_TRACE(gServeTrace, AGW_TRC_DETAIL, "%s", line);
}

// Runs on the server's thread that takes a new connection (each thread of
// the pool accepts its own): the first time on each thread, that thread's
// nice value is raised by kNicer (Linux keeps one per thread), and it stays
// so for the thread's life.
void LowerThreadPriority(void* /*cls*/, MHD_Connection* /*connection*/, void** /*context*/,
                         MHD_ConnectionNotificationCode code) {
    // Per thread by design: whether this server thread has lowered itself.
    thread_local bool lowered = false;
    if (code != MHD_CONNECTION_NOTIFY_STARTED || lowered) return;
    lowered = true;
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);  // this thread's, as the process's threads start with
    if (errno != 0 || setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), std::min(nice + kNicer, 19)) != 0) {
        AGW_TRACE(gServeTrace, AGW_TRC_ERROR, "cannot lower the priority of a server thread: %s", std::strerror(errno));
    }
}

// One scrape of /metrics in flight: counted while its text is being made,
// from its answer until the last piece is handed to libmicrohttpd (or the
// response is let go, the client gone). A client that stops reading holds
// its slot until it goes.
class ScrapeSlot {
public:
    explicit ScrapeSlot(std::atomic<unsigned>& count) : count_(count) {}
    ~ScrapeSlot() { count_.fetch_sub(1, std::memory_order_relaxed); }
    ScrapeSlot(const ScrapeSlot&) = delete;
    ScrapeSlot& operator=(const ScrapeSlot&) = delete;

private:
    std::atomic<unsigned>& count_;
};

struct Reply {
    Reply(unsigned s, std::string b, const char* t = kTextType) : status(s), body(std::move(b)), type(t) {}
    unsigned status = MHD_HTTP_OK;
    std::string body;
    const char* type = kTextType;
    const char* allow = nullptr;  // the Allow header of a 405
    bool askForPassword = false;  // a 401 with WWW-Authenticate
    bool gzip = false;            // the body is gzip (Content-Encoding)
    bool vary = false;            // the body depends on Accept-Encoding
    bool retryLater = false;      // a 503 with Retry-After
    std::unique_ptr<ScrapeSlot> slot;  // a scrape's place, while its text is made
    // /metrics: the text made a family at a time while it is sent, so that
    // a scrape never holds the whole of it (chunked transfer).
    std::unique_ptr<MetricsRegistry::Reader> stream;
    // /api/v1/rows: the published text itself, sent without a copy.
    std::shared_ptr<const std::string> shared;
};

// A response's body, kept until libmicrohttpd lets go of it: its text, or
// the published text itself, or a stream, where it stands and the scrape's
// slot.
struct Body {
    std::string text;
    std::shared_ptr<const std::string> shared;
    std::unique_ptr<MetricsRegistry::Reader> reader;
    const std::string* piece = nullptr;
    std::size_t offset = 0;
    std::unique_ptr<ScrapeSlot> slot;
};

void FreeBody(void* body) { delete static_cast<Body*>(body); }

ssize_t ReadStream(void* cls, uint64_t /*pos*/, char* buffer, size_t max) {
    auto* s = static_cast<Body*>(cls);
    while (s->piece == nullptr || s->offset == s->piece->size()) {
        s->piece = &s->reader->Next();
        s->offset = 0;
        if (s->piece->empty()) {
            s->slot.reset();  // the text is made: the next scrape may start
            return MHD_CONTENT_READER_END_OF_STREAM;
        }
    }
    const std::size_t n = std::min(max, s->piece->size() - s->offset);
    std::memcpy(buffer, s->piece->data() + s->offset, n);
    s->offset += n;
    return static_cast<ssize_t>(n);
}

MHD_Result Queue(MHD_Connection* connection, Reply reply) {
    auto* body = new Body{std::move(reply.body), std::move(reply.shared), std::move(reply.stream), nullptr, 0, nullptr};
    if (body->reader) body->slot = std::move(reply.slot);  // else the text is made already
    MHD_Response* response = nullptr;
    if (body->reader) {
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024, &ReadStream, body, &FreeBody);
    } else {
        const std::string& text = body->shared ? *body->shared : body->text;
        response = MHD_create_response_from_buffer_with_free_callback_cls(text.size(), const_cast<char*>(text.data()),
                                                                          &FreeBody, body);
    }
    if (response == nullptr) {
        delete body;
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.type);
    if (reply.allow != nullptr) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, reply.allow);
    if (reply.gzip) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_ENCODING, "gzip");
    if (reply.vary) MHD_add_response_header(response, MHD_HTTP_HEADER_VARY, "Accept-Encoding");
    if (reply.retryLater) MHD_add_response_header(response, MHD_HTTP_HEADER_RETRY_AFTER, "1");
    MHD_Result queued = reply.askForPassword ? MHD_queue_basic_auth_fail_response(connection, kRealm, response)
                                             : MHD_queue_response(connection, reply.status, response);
    MHD_destroy_response(response);
    return queued;
}

// Null when the client's certificate is what the configuration asks for,
// else why not.
const char* ClientCertificateProblem(MHD_Connection* connection, ClientAuth type) {
    if (type == ClientAuth::none || type == ClientAuth::request) return nullptr;
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    if (info == nullptr || info->tls_session == nullptr) return "expected a TLS connection\n";
    auto session = static_cast<gnutls_session_t>(info->tls_session);
    unsigned count = 0;
    const gnutls_datum_t* chain = gnutls_certificate_get_peers(session, &count);
    if (chain == nullptr || count == 0) {
        return type == ClientAuth::verifyIfGiven ? nullptr : "a client certificate is required\n";
    }
    if (type == ClientAuth::requireAny) return nullptr;
    // Verified against client_ca_file (the daemon's trust list), for use by
    // a TLS client.
    gnutls_typed_vdata_st purpose{};
    purpose.type = GNUTLS_DT_KEY_PURPOSE_OID;
    purpose.data = reinterpret_cast<unsigned char*>(const_cast<char*>(GNUTLS_KP_TLS_WWW_CLIENT));
    unsigned status = 0;
    if (gnutls_certificate_verify_peers(session, &purpose, 1, &status) < 0 || status != 0) {
        return "the client certificate is not valid\n";
    }
    return nullptr;
}

class HttpEndpoint : public MetricsEndpoint {
public:
    explicit HttpEndpoint(WebConfig web) : web_(std::move(web)), auth_(web_.users) {}
    ~HttpEndpoint() override {
        if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
        // A listening socket given up to a successor is closed only now:
        // the daemon's threads may still look at it until they stop.
        if (quiesced_ >= 0) ::close(quiesced_);
    }
    HttpEndpoint(const HttpEndpoint&) = delete;
    HttpEndpoint& operator=(const HttpEndpoint&) = delete;

    // Serves on the listening socket fd, which it owns from now on.
    bool Serve(int fd, bool v6, std::string* problem) {
        port_ = BoundPort(fd);
        listenFd_ = fd;
        v6_ = v6;
        std::vector<MHD_OptionItem> options = {
            {MHD_OPTION_LISTEN_SOCKET, fd, nullptr},
            {MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds, nullptr},
            {MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit, nullptr},
            {MHD_OPTION_THREAD_POOL_SIZE, kThreads, nullptr},
            {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&LowerThreadPriority), nullptr},
        };
        unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC | MHD_USE_ERROR_LOG;
        if (v6) flags |= MHD_USE_IPv6;
        if (web_.tls) {
            flags |= MHD_USE_TLS;
            options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(web_.certPem.data())});
            options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(web_.keyPem.data())});
            options.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(web_.priorities.data())});
            // A trust list makes the server ask for client certificates. Only
            // the verifying types need the CAs; the others get the server's
            // own certificate when no CA file is given, just to ask.
            if (web_.clientAuth != ClientAuth::none) {
                const std::string& trust = web_.clientCaPem.empty() ? web_.certPem : web_.clientCaPem;
                options.push_back({MHD_OPTION_HTTPS_MEM_TRUST, 0, const_cast<char*>(trust.data())});
            }
        }
        options.push_back({MHD_OPTION_END, 0, nullptr});
        daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &HttpEndpoint::Answer, this,
                                   MHD_OPTION_EXTERNAL_LOGGER, &LogServer, nullptr,
                                   MHD_OPTION_NOTIFY_COMPLETED, &HttpEndpoint::Completed, this,
                                   MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
        if (daemon_ == nullptr) {
            ::close(fd);
            *problem = web_.tls && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES
                           ? "this build of libmicrohttpd has no TLS"
                           : "the HTTP server could not start";
            return false;
        }
        return true;
    }

    int Port() const override { return port_; }

    // The successor serves on a copy of the listening socket from its start;
    // then this one takes no more connections and lets the requests under
    // way finish (for at most the time an idle connection is kept), so that
    // no scrape is cut.
    std::unique_ptr<MetricsEndpoint> Reconfigure(const WebConfig& web, std::string* error) override {
        const int fd = ::fcntl(listenFd_, F_DUPFD_CLOEXEC, 0);
        if (fd < 0) {
            *error = std::strerror(errno);
            return nullptr;
        }
        auto next = std::make_unique<HttpEndpoint>(web);
        if (!next->Serve(fd, v6_, error)) return nullptr;  // Serve closed the copy
        const MHD_socket given = MHD_quiesce_daemon(daemon_);
        if (given != MHD_INVALID_SOCKET) quiesced_ = given;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kConnectionTimeoutSeconds);
        while (inFlight_.load(std::memory_order_acquire) > 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return next;
    }

private:
    static void Completed(void* self, MHD_Connection* /*connection*/, void** state,
                          MHD_RequestTerminationCode /*why*/) {
        if (*state == nullptr) return;
        *state = nullptr;
        static_cast<HttpEndpoint*>(self)->inFlight_.fetch_sub(1, std::memory_order_acq_rel);
    }

    static MHD_Result Answer(void* self, MHD_Connection* connection, const char* url, const char* method,
                             const char* /*version*/, const char* /*upload*/, size_t* uploadSize, void** state) {
        // GET and HEAD are answered once the whole request is in, which
        // keeps the connection open for the next scrape; any other method
        // at once, on the first call (libmicrohttpd then closes the
        // connection instead of reading a body no path takes).
        std::string_view verb = method;
        bool readable = verb == MHD_HTTP_METHOD_GET || verb == MHD_HTTP_METHOD_HEAD;
        if (*state == nullptr) {
            *state = self;  // marks the request as seen and counted (Completed); nothing to free
            static_cast<HttpEndpoint*>(self)->inFlight_.fetch_add(1, std::memory_order_acq_rel);
            if (readable) return MHD_YES;
        }
        if (readable && *uploadSize != 0) {
            *uploadSize = 0;  // a body nobody asked for, dropped
            return MHD_YES;
        }
        return Queue(connection, static_cast<HttpEndpoint*>(self)->Handle(connection, url, verb));
    }

    Reply Handle(MHD_Connection* connection, std::string_view url, std::string_view method) const {
        MetricsRegistry& registry = MetricsRegistry::Instance();
        if (registry.ShuttingDown()) return {MHD_HTTP_SERVICE_UNAVAILABLE, "shutting down\n"};
        if (web_.tls) {
            if (const char* problem = ClientCertificateProblem(connection, web_.clientAuth)) {
                return {MHD_HTTP_FORBIDDEN, problem};
            }
        }
        if (auth_.Enabled() && !Authenticated(connection)) {
            Reply reply{MHD_HTTP_UNAUTHORIZED, "unauthorized\n"};
            reply.askForPassword = true;
            return reply;
        }
        bool known = url == "/" || url == "/metrics" || url == "/-/healthy" || url == "/-/ready" ||
                     url == "/api/v1/rows" || url == "/api/v1/requests";
        if (!known) return {MHD_HTTP_NOT_FOUND, "not found\n"};
        if (method != MHD_HTTP_METHOD_GET && method != MHD_HTTP_METHOD_HEAD) {
            Reply reply{MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n"};
            reply.allow = "GET, HEAD";
            return reply;
        }
        if (url == "/metrics") return MetricsReply(connection, method, registry);
        if (url == "/api/v1/rows" || url == "/api/v1/requests") return RowsReply(connection, url, registry);
        if (url == "/") return {MHD_HTTP_OK, kRootPage, "text/html; charset=utf-8"};
        if (url == "/-/healthy") return {MHD_HTTP_OK, "OK\n"};
        std::string reason = registry.NotReadyReason();
        if (!reason.empty()) return {MHD_HTTP_SERVICE_UNAVAILABLE, reason + "\n"};
        return {MHD_HTTP_OK, "OK\n"};
    }

    // /metrics, within the cap of scrapes in flight: plain or gzip as the
    // client accepts. HEAD gets the length a GET would send; a GET gets the
    // text made while it is sent.
    Reply MetricsReply(MHD_Connection* connection, std::string_view method, const MetricsRegistry& registry) const {
        const unsigned limit = registry.ScrapeLimit();
        if (scrapes_.fetch_add(1, std::memory_order_relaxed) >= limit) {
            scrapes_.fetch_sub(1, std::memory_order_relaxed);
            Reply busy{MHD_HTTP_SERVICE_UNAVAILABLE,
                       "too many scrapes at once (" + std::to_string(limit) + "); try again\n"};
            busy.retryLater = true;
            return busy;
        }
        auto slot = std::make_unique<ScrapeSlot>(scrapes_);
        const Encoding encoding =
            AcceptsGzip(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT_ENCODING))
                ? Encoding::gzip
                : Encoding::identity;
        Reply reply{MHD_HTTP_OK, "", kMetricsType};
        if (method == MHD_HTTP_METHOD_HEAD) {
            reply.body = registry.Exposition(encoding);
        } else {
            reply.stream = registry.OpenExposition(encoding);
        }
        reply.gzip = encoding == Encoding::gzip;
        reply.vary = true;
        reply.slot = std::move(slot);
        return reply;
    }

    // The rows endpoint: the request list, or the latest complete sample of
    // one report request as the agent delivered it.
    static Reply RowsReply(MHD_Connection* connection, std::string_view url, const MetricsRegistry& registry) {
        std::shared_ptr<const MetricsRegistry::RowsTable> rows = registry.Rows();
        if (!rows) return {MHD_HTTP_NOT_FOUND, "rows endpoint is off\n"};
        if (url == "/api/v1/requests") {
            std::string out;
            for (const auto& r : *rows) {
                out += "{\"request\":";
                AppendJsonString(out, r.request);
                out += ",\"table\":";
                AppendJsonString(out, r.table);
                out += ",\"interval\":" + std::to_string(r.interval) + ",\"sample\":" + std::to_string(r.sample) +
                       "}\n";
            }
            return {MHD_HTTP_OK, std::move(out), kLinesType};
        }
        const char* name = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "request");
        if (name == nullptr || *name == '\0') return {MHD_HTTP_BAD_REQUEST, "expected ?request=NAME\n"};
        auto found = std::find_if(rows->begin(), rows->end(), [&](const auto& r) { return r.request == name; });
        if (found == rows->end()) return {MHD_HTTP_NOT_FOUND, "no report request \"" + zcommon::Printable(name) + "\"\n"};
        if (!found->lines) {
            return {MHD_HTTP_SERVICE_UNAVAILABLE, "request \"" + found->request + "\" has no complete sample yet\n"};
        }
        Reply reply{MHD_HTTP_OK, "", kLinesType};
        reply.shared = found->lines;
        return reply;
    }

    bool Authenticated(MHD_Connection* connection) const {
        char* password = nullptr;
        char* user = MHD_basic_auth_get_username_password(connection, &password);
        bool ok = user != nullptr && password != nullptr && auth_.Check(user, password);
        if (password != nullptr) {
            explicit_bzero(password, std::strlen(password));
            MHD_free(password);
        }
        if (user != nullptr) MHD_free(user);
        return ok;
    }

    const WebConfig web_;  // the TLS texts stay here while the daemon runs
    const BasicAuth auth_;
    mutable std::atomic<unsigned> scrapes_{0};  // /metrics answers not yet let go (any server thread)
    MHD_Daemon* daemon_ = nullptr;  // stopped first: its responses give their slots back to scrapes_
    int port_ = 0;
    int listenFd_ = -1;  // the daemon's listening socket (it owns it)
    bool v6_ = false;
    int quiesced_ = -1;  // the listening socket once given up to a successor (Reconfigure)
    // Requests the server's threads have begun and not finished.
    std::atomic<int> inFlight_{0};
};

}  // namespace

bool AcceptsGzip(const char* header) {
    if (header == nullptr) return false;
    auto trim = [](std::string_view text) {
        const std::size_t first = text.find_first_not_of(" \t");
        if (first == std::string_view::npos) return std::string_view{};
        return text.substr(first, text.find_last_not_of(" \t") - first + 1);
    };
    // gzip (or x-gzip) by name, else "*", each acceptable unless its weight
    // is zero (q=0, q=0.0, ...: no digit but zeros).
    int named = -1;  // -1: not listed; 0: refused; 1: accepted
    int any = -1;
    std::string_view rest = header;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        const std::size_t semicolon = item.find(';');
        const std::string_view coding = trim(item.substr(0, semicolon));
        int accepted = 1;
        if (semicolon != std::string_view::npos) {
            const std::string_view params = trim(item.substr(semicolon + 1));
            if (params.size() >= 2 && (params[0] == 'q' || params[0] == 'Q') && params[1] == '=') {
                const std::string_view weight = params.substr(2);
                accepted = weight.find_first_of("123456789") != std::string_view::npos ? 1 : 0;
            }
        }
        if (zcommon::EqualsIgnoreCase(coding, "gzip") || zcommon::EqualsIgnoreCase(coding, "x-gzip")) {
            named = std::max(named, accepted);
        } else if (coding == "*") {
            any = accepted;
        }
    }
    return (named >= 0 ? named : any) > 0;
}

bool ParseHttpAddress(std::string_view value, std::string* bind, std::string* error) {
    const char* expected =
        "expected host:port (an IPv4 address, localhost or a [bracketed IPv6 address], or :port for 127.0.0.1; "
        "port 0 to 65535)";
    std::size_t colon = value.rfind(':');
    std::string_view port = colon == std::string_view::npos ? std::string_view{} : value.substr(colon + 1);
    if (colon == std::string_view::npos || !zcommon::AllDigits(port) || port.size() > 5 || std::stoi(std::string(port)) > 65535) {
        *error = expected;
        return false;
    }
    std::string host(value.substr(0, colon));
    if (host.empty() || host == "localhost") {
        host = "127.0.0.1";  // never every interface unless asked for
    } else if (host.front() == '[') {
        in6_addr address{};
        if (host.size() < 3 || host.back() != ']' ||
            inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &address) != 1) {
            *error = expected;
            return false;
        }
    } else {
        in_addr address{};
        if (inet_pton(AF_INET, host.c_str(), &address) != 1) {
            *error = expected;
            return false;
        }
    }
    *bind = host + ":" + std::to_string(std::stoi(std::string(port)));
    return true;
}

std::unique_ptr<MetricsEndpoint> MetricsEndpoint::Start(const std::string& bind, const WebConfig& web,
                                                        std::string* error) {
    bool v6 = false;
    std::string problem;
    int fd = Listen(bind, &v6, &problem);
    if (fd >= 0) {
        auto endpoint = std::make_unique<HttpEndpoint>(web);
        if (endpoint->Serve(fd, v6, &problem)) return endpoint;
    }
    *error = "cannot listen on " + bind + ": " + problem;
    return nullptr;
}

}  // namespace agw
