#include "tests/session/consumers.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <stdexcept>

#include "os/posix/unique_fd.h"
#include "tests/support/wait_until.h"

namespace thermo::e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A server on a machine as loaded as the test machine can take long to come up; it is waited
// for by asking, never by sleeping.
constexpr milliseconds kStartPatience = 90s;

std::string loopbackAddress(int port) { return "127.0.0.1:" + std::to_string(port); }

// Until `url` answers with `status` or the server has ended; throws with its log otherwise.
void waitUntilAnswering(Process& server, const std::string& url, int status, const fs::path& log) {
    bool ended = false;
    const bool answered = testing::pollUntil(
        [&] {
            if (server.poll()) {
                ended = true;
                return true;
            }
            return httpRequest(url).status == status;
        },
        kStartPatience, 100ms);
    if (!answered || ended) {
        throw std::runtime_error(url + (ended ? ": the server ended" : ": no answer") +
                                 "; its log:\n" + readFile(log));
    }
}

}  // namespace

int freeLoopbackPort() {
    const os::UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) throw std::runtime_error("socket: cannot create one");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;  // the kernel picks one that is free
    socklen_t length = sizeof address;
    if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("bind 127.0.0.1:0: no free port");
    }
    return ntohs(address.sin_port);
}

HttpReply httpRequest(const std::string& url, const std::vector<std::string>& args) {
    if (url.rfind("http://127.0.0.1:", 0) != 0) {
        throw std::invalid_argument(url + ": the tests speak to loopback only");
    }
    // The status on a line of its own after the body.
    Spawn curl{{"curl", "-sS", "--max-time", "20", "-w", "\n%{http_code}", url}};
    curl.argv.insert(curl.argv.end(), args.begin(), args.end());
    curl.dropErrors = true;
    const RunResult result = run(curl, 30s);
    HttpReply reply;
    const auto lastLine = result.output.rfind('\n');
    if (result.status != 0 || lastLine == std::string::npos) return reply;
    reply.status = std::stoi(result.output.substr(lastLine + 1));
    reply.body = result.output.substr(0, lastLine);
    if (reply.status == 0) reply.status = -1;
    return reply;
}

std::string whyNoServer(const std::string& program, const std::string& package) {
    if (!onPath(program)) return "needs " + program + " (Debian: " + package + ")";
    if (!onPath("curl")) return "needs curl (Debian: curl) to speak HTTP to " + program;
    return {};
}

InfluxServer::InfluxServer(const fs::path& dir) {
    for (const char* folder : {"meta", "data", "wal"}) fs::create_directories(dir / folder);
    const int httpPort = freeLoopbackPort();
    const int rpcPort = freeLoopbackPort();
    const fs::path config = dir / "influxdb.conf";
    std::ofstream(config) << "reporting-disabled = true\n"
                          << "bind-address = \"" << loopbackAddress(rpcPort) << "\"\n"
                          << "[meta]\n  dir = \"" << (dir / "meta").string() << "\"\n"
                          << "[data]\n  dir = \"" << (dir / "data").string() << "\"\n"
                          << "  wal-dir = \"" << (dir / "wal").string() << "\"\n"
                          << "  query-log-enabled = false\n"
                          << "[http]\n  enabled = true\n"
                          << "  bind-address = \"" << loopbackAddress(httpPort) << "\"\n"
                          << "  log-enabled = false\n"
                          << "[monitor]\n  store-enabled = false\n"
                          << "[subscriber]\n  enabled = false\n"
                          << "[continuous_queries]\n  enabled = false\n";
    url_ = "http://" + loopbackAddress(httpPort);
    const fs::path log = dir / "influxd.log";
    server_.emplace(Spawn{{"influxd", "run", "-config", config.string()}, {}, dir, log});
    waitUntilAnswering(*server_, url_ + "/ping", 204, log);
}

std::string InfluxServer::query(const std::string& database, const std::string& statement) const {
    const HttpReply reply = httpRequest(
        url_ + "/query",
        {"-XPOST", "--data-urlencode", "db=" + database, "--data-urlencode", "q=" + statement});
    if (reply.status != 200) throw std::runtime_error(statement + ": " + reply.body);
    return reply.body;
}

std::string InfluxServer::select(const std::string& database, const std::string& statement) const {
    const HttpReply reply = httpRequest(
        url_ + "/query", {"-G", "--data-urlencode", "db=" + database, "--data-urlencode",
                          "epoch=ns", "--data-urlencode", "q=" + statement});
    if (reply.status != 200) throw std::runtime_error(statement + ": " + reply.body);
    return reply.body;
}

NodeExporter::NodeExporter(const fs::path& dir, const fs::path& textfileDir) {
    const int port = freeLoopbackPort();
    url_ = "http://" + loopbackAddress(port);
    const fs::path log = dir / "node_exporter.log";
    server_.emplace(
        Spawn{{"prometheus-node-exporter", "--collector.disable-defaults", "--collector.textfile",
               "--collector.textfile.directory=" + textfileDir.string(),
               "--web.listen-address=" + loopbackAddress(port)},
              {},
              dir,
              log});
    waitUntilAnswering(*server_, url_ + "/metrics", 200, log);
}

PrometheusServer::PrometheusServer(const fs::path& dir, const std::string& target) {
    const int port = freeLoopbackPort();
    url_ = "http://" + loopbackAddress(port);
    const fs::path config = dir / "prometheus.yml";
    std::ofstream(config) << "global:\n  scrape_interval: 200ms\n  scrape_timeout: 150ms\n"
                          << "scrape_configs:\n  - job_name: usb_thermometer\n"
                          << "    static_configs:\n      - targets: ['" << target << "']\n";
    const fs::path log = dir / "prometheus.log";
    server_.emplace(Spawn{{"prometheus", "--config.file=" + config.string(),
                           "--web.listen-address=" + loopbackAddress(port),
                           "--storage.tsdb.path=" + (dir / "data").string()},
                          {},
                          dir,
                          log});
    waitUntilAnswering(*server_, url_ + "/-/ready", 200, log);
}

std::string PrometheusServer::query(const std::string& expression) const {
    const HttpReply reply =
        httpRequest(url_ + "/api/v1/query", {"-G", "--data-urlencode", "query=" + expression});
    if (reply.status != 200) throw std::runtime_error(expression + ": " + reply.body);
    return reply.body;
}

}  // namespace thermo::e2e
