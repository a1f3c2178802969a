// The HTTP server of the metrics endpoint (see metrics.h).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include "metrics.h"

namespace agw {

namespace {

bool AllDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

class RegistryCollectable : public prometheus::Collectable {
public:
    std::vector<prometheus::MetricFamily> Collect() const override { return MetricsRegistry::Instance().Collect(); }
};

class CivetEndpoint : public MetricsEndpoint {
public:
    CivetEndpoint(std::unique_ptr<prometheus::Exposer> exposer, std::shared_ptr<RegistryCollectable> collectable)
        : exposer_(std::move(exposer)), collectable_(std::move(collectable)) {
        exposer_->RegisterCollectable(collectable_);
    }
    int Port() const override {
        std::vector<int> ports = exposer_->GetListeningPorts();
        return ports.empty() ? 0 : ports.front();
    }

private:
    std::unique_ptr<prometheus::Exposer> exposer_;
    std::shared_ptr<RegistryCollectable> collectable_;
};

// Why bind cannot listen: the operating system's answer to a bind of our own.
std::string BindProblem(const std::string& bind) {
    std::size_t colon = bind.rfind(':');
    std::string host = bind.substr(0, colon);
    int port = std::stoi(bind.substr(colon + 1));
    bool v6 = !host.empty() && host.front() == '[';
    int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::strerror(errno);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int result;
    if (v6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &address.sin6_addr);
        result = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, host.c_str(), &address.sin_addr);
        result = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    std::string problem = result == 0 ? "the HTTP server could not start" : std::strerror(errno);
    ::close(fd);
    return problem;
}

}  // namespace

bool ParseHttpAddress(std::string_view value, std::string* bind, std::string* error) {
    const char* expected =
        "expected host:port (an IPv4 address, localhost or a [bracketed IPv6 address], or :port for 127.0.0.1; "
        "port 0 to 65535)";
    std::size_t colon = value.rfind(':');
    std::string_view port = colon == std::string_view::npos ? std::string_view{} : value.substr(colon + 1);
    if (colon == std::string_view::npos || !AllDigits(port) || port.size() > 5 || std::stoi(std::string(port)) > 65535) {
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

std::unique_ptr<MetricsEndpoint> MetricsEndpoint::Start(const std::string& bind, std::string* error) {
    try {
        auto exposer = std::make_unique<prometheus::Exposer>(bind, 2);
        return std::make_unique<CivetEndpoint>(std::move(exposer), std::make_shared<RegistryCollectable>());
    } catch (const std::exception&) {
        *error = "cannot listen on " + bind + ": " + BindProblem(bind);
        return nullptr;
    }
}

}  // namespace agw
