#include "exporter/http_exporter.h"

#include <httplib.h>
#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "os/error_text.h"

namespace thermo::exporter {

namespace {

using namespace std::chrono_literals;

// A scrape is a few hundred bytes each way: a few threads serve many Prometheus servers, and a
// peer that sends slowly, or never reads, lets go of its thread at the time-outs.
constexpr std::size_t kThreads = 4;
constexpr std::size_t kWaitingConnections = 16;
constexpr std::size_t kRequestsPerConnection = 100;
constexpr time_t kKeepAliveSeconds = 2;
constexpr auto kReadTimeout = 5s;
constexpr auto kWriteTimeout = 5s;
// No request here carries a body; the header's own limit is the library's (8 KiB).
constexpr std::size_t kMaxPayload = 1024;

constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char* kAllowed = "GET, HEAD";
constexpr const char* kIndexPage =
    "<!DOCTYPE html>\n<html lang=\"en\">\n<head><meta charset=\"utf-8\">"
    "<title>USB thermometer exporter</title></head>\n<body>\n<h1>USB thermometer exporter</h1>\n"
    "<p>The thermometer's readings in Prometheus' text format: "
    "<a href=\"/metrics\">/metrics</a></p>\n</body>\n</html>\n";

// The library's own pool queues every accepted connection, however many; this one keeps a few
// waiting and holds the accepting thread while they wait, so that a flood of connections queues
// in the kernel's listen backlog instead of in this process.
class BoundedPool : public httplib::TaskQueue {
  public:
    BoundedPool() {
        for (std::size_t i = 0; i < kThreads; ++i) workers_.emplace_back([this] { work(); });
    }
    ~BoundedPool() override { shutdown(); }
    BoundedPool(const BoundedPool&) = delete;
    BoundedPool& operator=(const BoundedPool&) = delete;

    void enqueue(std::function<void()> task) override {
        std::unique_lock lock(mutex_);
        space_.wait(lock, [this] { return waiting_.size() < kWaitingConnections; });
        waiting_.push_back(std::move(task));
        work_.notify_one();
    }

    // The tasks already accepted are served (each closes its connection) before the threads end.
    void shutdown() override {
        {
            const std::lock_guard lock(mutex_);
            ending_ = true;
        }
        work_.notify_all();
        for (std::thread& worker : workers_) {
            if (worker.joinable()) worker.join();
        }
    }

  private:
    void work() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(mutex_);
                work_.wait(lock, [this] { return ending_ || !waiting_.empty(); });
                if (waiting_.empty()) return;
                task = std::move(waiting_.front());
                waiting_.pop_front();
            }
            space_.notify_one();
            task();
        }
    }

    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable space_;
    std::deque<std::function<void()>> waiting_;
    bool ending_ = false;
    std::vector<std::thread> workers_;
};

std::string shownAddress(const reader::ListenAddress& address) {
    const std::string port = std::to_string(address.port);
    if (address.host.empty()) return ":" + port + " (every interface)";
    if (address.host.find(':') != std::string::npos) return "[" + address.host + "]:" + port;
    return address.host + ":" + port;
}

}  // namespace

class HttpExporter::Server {
  public:
    Server(const reader::ListenAddress& address, const std::string& name)
        : metrics_(render({.port = {}, .name = name, .reading = {}, .lastReadingTime = {}})) {
        configure();
        bind(address);
        listener_ = std::thread([this] {
            server_.listen_after_bind();
            const std::lock_guard lock(mutex_);
            listenerEnded_ = true;
            listenerChanged_.notify_all();
        });
        // The library says nothing when its loop has started, and a stop() before that would be
        // lost (the loop would then never end): wait until it runs.
        std::unique_lock lock(mutex_);
        while (!server_.is_running() && !listenerEnded_) listenerChanged_.wait_for(lock, 1ms);
    }

    ~Server() { close(); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void publish(const reader::ExpositionState& state) {
        auto rendered = render(state);
        const std::lock_guard lock(mutex_);
        metrics_.swap(rendered);
    }

    void close() {
        server_.stop();
        if (listener_.joinable()) listener_.join();
    }

    std::uint16_t port() const { return port_; }

  private:
    static std::shared_ptr<const std::string> render(const reader::ExpositionState& state) {
        return std::make_shared<const std::string>(reader::prometheusText(state));
    }

    void configure() {
        server_.new_task_queue = [] { return new BoundedPool; };
        server_.set_keep_alive_max_count(kRequestsPerConnection);
        server_.set_keep_alive_timeout(kKeepAliveSeconds);
        server_.set_read_timeout(kReadTimeout);
        server_.set_write_timeout(kWriteTimeout);
        server_.set_payload_max_length(kMaxPayload);
        server_.set_tcp_nodelay(true);
        // The library's default, SO_REUSEPORT, would let a second exporter bind the same port
        // and take half of the scrapes; SO_REUSEADDR only spares a restart the TIME_WAIT wait.
        server_.set_socket_options([](socket_t socket) {
            const int yes = 1;
            ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
        server_.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
            response.set_content(*current(), kMetricsType);
        });
        server_.Get("/", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(kIndexPage, "text/html; charset=utf-8");
        });
        // Every other method is answered before the library looks for a body: it would take a
        // POST without Content-Length for a bad request (400) rather than one of a method that
        // is not served.
        server_.set_pre_routing_handler(
            [](const httplib::Request& request, httplib::Response& response) {
                if (request.method == "GET" || request.method == "HEAD") {
                    return httplib::Server::HandlerResponse::Unhandled;
                }
                if (request.path == "/" || request.path == "/metrics") {
                    response.status = 405;
                    response.set_header("Allow", kAllowed);
                    response.set_content("405 Method Not Allowed: GET or HEAD only\n",
                                         "text/plain; charset=utf-8");
                } else {
                    response.status = 404;
                }
                return httplib::Server::HandlerResponse::Handled;
            });
    }

    // Every interface is the IPv6 wildcard, which takes IPv4 too, or IPv4's where the machine has
    // no IPv6.
    void bind(const reader::ListenAddress& address) {
        const std::vector<std::string> hosts = address.host.empty()
                                                   ? std::vector<std::string>{"::", "0.0.0.0"}
                                                   : std::vector<std::string>{address.host};
        int firstError = 0;
        for (const std::string& host : hosts) {
            errno = 0;
            const int port = address.port == 0
                                 ? server_.bind_to_any_port(host)
                                 : (server_.bind_to_port(host, address.port) ? address.port : -1);
            if (port > 0) {
                port_ = static_cast<std::uint16_t>(port);
                return;
            }
            if (firstError == 0) firstError = errno;
            // A port in use or not permitted is so for IPv4 too: only a missing IPv6 falls back.
            if (errno != 0 && errno != EAFNOSUPPORT && errno != EADDRNOTAVAIL) break;
        }
        // The library keeps the failing call's errno; a name lookup failure leaves none.
        const std::string reason =
            firstError != 0 ? std::error_code(firstError, std::generic_category()).message()
                            : std::string("the address cannot be listened on");
        throw reader::PublisherStartError(os::callFailed("listen", shownAddress(address), reason),
                                          reader::ExitUsage);
    }

    std::shared_ptr<const std::string> current() {
        const std::lock_guard lock(mutex_);
        return metrics_;
    }

    httplib::Server server_;
    std::mutex mutex_;
    std::condition_variable listenerChanged_;
    bool listenerEnded_ = false;
    std::shared_ptr<const std::string> metrics_;
    std::uint16_t port_ = 0;
    std::thread listener_;
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
