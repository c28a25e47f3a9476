#include "exporter/http_exporter.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>
#include <utility>

#include "os/error_text.h"
#include "os/posix/unique_fd.h"

namespace thermo::exporter {

namespace {

// GNU libmicrohttpd, the server that Prometheus' own C client library exports its metrics
// with: one thread polls every connection (epoll) and answers each scrape from the text in
// memory, so that a peer that sends slowly, never reads or just holds its connection open
// takes one slot of many and never the thread, and a stop closes every connection at once.
//
// A scrape is a few hundred bytes each way. 64 connections are many Prometheus servers; one
// peer address gets 8 of them, so that it cannot take the others' places.
constexpr unsigned kConnections = 64;
constexpr unsigned kConnectionsPerPeer = 8;
// A connection that says nothing for this long is closed: Prometheus scrapes every 15 s by
// default and opens a new one as cheaply as it keeps one.
constexpr unsigned kIdleSeconds = 5;
// Each connection's whole memory (its request's line and headers, the reply's headers): a
// request larger than that is refused (431) or its connection closed, however many headers
// it sends.
constexpr std::size_t kConnectionMemory = 16 * 1024;
// Connections not yet accepted wait in the kernel; as many as the server serves at once.
constexpr int kListenBacklog = 64;

constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char* kAllowed = "GET, HEAD";
constexpr std::string_view kIndexPage =
    "<!DOCTYPE html>\n<html lang=\"en\">\n<head><meta charset=\"utf-8\">"
    "<title>USB thermometer exporter</title></head>\n<body>\n<h1>USB thermometer exporter</h1>\n"
    "<p>The thermometer's readings in Prometheus' text format: "
    "<a href=\"/metrics\">/metrics</a></p>\n</body>\n</html>\n";
constexpr std::string_view kNotAllowed = "405 Method Not Allowed: GET or HEAD only\n";
constexpr std::string_view kNotFound = "404 Not Found\n";

std::string shownAddress(const reader::ListenAddress& address) {
    const std::string port = std::to_string(address.port);
    if (address.host.empty()) return ":" + port + " (every interface)";
    if (address.host.find(':') != std::string::npos) return "[" + address.host + "]:" + port;
    return address.host + ":" + port;
}

// The listening socket, bound and listening; throws naming the address with the system's
// reason. It is made here rather than by the library from an address, because the library
// tells why a bind failed only in its log.
os::UniqueFd listeningSocket(const reader::ListenAddress& address) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    const auto ipv4 = [&] {
        auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
        v4 = {};
        v4.sin_family = AF_INET;
        v4.sin_port = htons(address.port);
        length = sizeof v4;
        return &v4;
    };
    const auto ipv6 = [&] {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
        v6 = {};
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(address.port);
        length = sizeof v6;
        return &v6;
    };
    const auto fail = [&](int error) {
        throw reader::PublisherStartError(
            os::callFailed("listen", shownAddress(address),
                           std::error_code(error, std::generic_category())),
            reader::ExitUsage);
    };
    const auto tryListen = [&]() -> std::pair<os::UniqueFd, int> {
        os::UniqueFd fd(::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (fd.get() < 0) return {os::UniqueFd(), errno};
        // SO_REUSEADDR only spares a restart the TIME_WAIT wait (not SO_REUSEPORT, which would
        // let a second exporter take half of the scrapes); every interface takes IPv4 too.
        const int yes = 1;
        const int no = 0;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (storage.ss_family == AF_INET6 && address.host.empty()) {
            ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        }
        if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&storage), length) != 0 ||
            ::listen(fd.get(), kListenBacklog) != 0) {
            return {os::UniqueFd(), errno};
        }
        return {std::move(fd), 0};
    };

    if (address.host.empty()) {
        ipv6()->sin6_addr = in6addr_any;
        auto [fd, error] = tryListen();
        if (error == 0) return std::move(fd);
        // Only a machine without IPv6 falls back: a port in use is so for IPv4 too.
        if (error != EAFNOSUPPORT && error != EADDRNOTAVAIL) fail(error);
        ipv4()->sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (address.host.find(':') != std::string::npos) {
        if (::inet_pton(AF_INET6, address.host.c_str(), &ipv6()->sin6_addr) != 1) fail(EINVAL);
    } else if (::inet_pton(AF_INET, address.host.c_str(), &ipv4()->sin_addr) != 1) {
        fail(EINVAL);
    }
    auto [fd, error] = tryListen();
    if (error != 0) fail(error);
    return std::move(fd);
}

std::uint16_t boundPort(int fd) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return 0;
    if (storage.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(storage).sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in&>(storage).sin_port);
}

struct ResponseDeleter {
    void operator()(MHD_Response* response) const { MHD_destroy_response(response); }
};
using Response = std::unique_ptr<MHD_Response, ResponseDeleter>;

Response fixedResponse(std::string_view body, const char* type) {
    // The bodies are constants: the library sends them from where they are.
    Response response(MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                      MHD_RESPMEM_PERSISTENT));
    if (!response) throw std::bad_alloc();
    MHD_add_response_header(response.get(), MHD_HTTP_HEADER_CONTENT_TYPE, type);
    return response;
}

}  // namespace

class HttpExporter::Server {
  public:
    Server(const reader::ListenAddress& address, const std::string& name)
        : metrics_(render({.port = {}, .name = name, .reading = {}, .lastReadingTime = {}})),
          index_(fixedResponse(kIndexPage, "text/html; charset=utf-8")),
          notAllowed_(fixedResponse(kNotAllowed, "text/plain; charset=utf-8")),
          notFound_(fixedResponse(kNotFound, "text/plain; charset=utf-8")) {
        MHD_add_response_header(notAllowed_.get(), MHD_HTTP_HEADER_ALLOW, kAllowed);
        os::UniqueFd listening = listeningSocket(address);
        port_ = boundPort(listening.get());
        // Without MHD_USE_ERROR_LOG the library writes nothing on standard error: a peer's
        // bad request is the peer's business, not a line between the readings.
        daemon_ = MHD_start_daemon(
            MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, 0, nullptr, nullptr, &Server::answer,
            this, MHD_OPTION_LISTEN_SOCKET, listening.get(), MHD_OPTION_CONNECTION_LIMIT,
            kConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, kConnectionsPerPeer,
            MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
            kConnectionMemory, MHD_OPTION_END);
        if (daemon_ == nullptr) {
            // Whether the library closed the socket as it failed depends on where it failed.
            if (::fcntl(listening.get(), F_GETFD) < 0) listening.release();
            throw reader::PublisherStartError(
                os::callFailed("listen", shownAddress(address), "the HTTP server could not start"),
                reader::ExitUsage);
        }
        // The daemon closes the socket when it stops.
        listening.release();
    }

    ~Server() { close(); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void publish(const reader::ExpositionState& state) {
        auto rendered = render(state);
        const std::lock_guard lock(mutex_);
        metrics_.swap(rendered);
    }

    // Closes the listener and every connection at once, whatever its peer is doing, and joins
    // the library's thread.
    void close() {
        if (daemon_ != nullptr) MHD_stop_daemon(std::exchange(daemon_, nullptr));
    }

    std::uint16_t port() const { return port_; }

  private:
    static std::shared_ptr<const std::string> render(const reader::ExpositionState& state) {
        return std::make_shared<const std::string>(reader::prometheusText(state));
    }

    // The library calls this once the headers are in, then for each piece of a body, then at the
    // request's end. Other methods and paths are answered at once: no body is served here, and
    // one that is sent is not read (a POST without Content-Length is thus a 405, not a 400); the
    // library closes such a connection after the answer. A GET or HEAD is answered at its end,
    // for only then does the library keep the connection alive; a body it brings is dropped as
    // it comes. HEAD is GET without the body, by the library.
    static MHD_Result answer(void* self, MHD_Connection* connection, const char* url,
                             const char* method, const char*, const char*, std::size_t* uploadSize,
                             void** context) {
        auto& server = *static_cast<Server*>(self);
        const std::string_view path(url);
        const bool known = path == "/" || path == "/metrics";
        const bool readable = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 ||
                              std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
        if (!known) {
            return MHD_queue_response(connection, MHD_HTTP_NOT_FOUND, server.notFound_.get());
        }
        if (!readable) {
            return MHD_queue_response(connection, MHD_HTTP_METHOD_NOT_ALLOWED,
                                      server.notAllowed_.get());
        }
        if (*context == nullptr || *uploadSize != 0) {
            *context = &server;  // the headers are in
            *uploadSize = 0;     // a piece of a body, dropped
            return MHD_YES;
        }
        if (path == "/") return MHD_queue_response(connection, MHD_HTTP_OK, server.index_.get());
        // A copy of the text, made under the lock only as long as it takes to take a reference.
        const std::shared_ptr<const std::string> text = server.current();
        const Response response(MHD_create_response_from_buffer(
            text->size(), const_cast<char*>(text->data()), MHD_RESPMEM_MUST_COPY));
        if (!response) return MHD_NO;
        MHD_add_response_header(response.get(), MHD_HTTP_HEADER_CONTENT_TYPE, kMetricsType);
        return MHD_queue_response(connection, MHD_HTTP_OK, response.get());
    }

    std::shared_ptr<const std::string> current() {
        const std::lock_guard lock(mutex_);
        return metrics_;
    }

    std::mutex mutex_;
    std::shared_ptr<const std::string> metrics_;
    Response index_;
    Response notAllowed_;
    Response notFound_;
    std::uint16_t port_ = 0;
    MHD_Daemon* daemon_ = nullptr;
};

HttpExporter::HttpExporter(const reader::ListenAddress& address, const std::string& name)
    : server_(std::make_unique<Server>(address, name)) {}

HttpExporter::~HttpExporter() = default;

void HttpExporter::publish(const reader::ExpositionState& state) { server_->publish(state); }

void HttpExporter::stop(const reader::ExpositionState& state) {
    server_->publish(state);
    server_->close();
}

std::uint16_t HttpExporter::port() const { return server_->port(); }

}  // namespace thermo::exporter
