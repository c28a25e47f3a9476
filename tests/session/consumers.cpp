#include "tests/session/consumers.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <sstream>
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

bool acceptsConnections(int port) {
    const os::UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return socket &&
           ::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
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

std::string whyNoMosquitto() {
    for (const char* program : {"mosquitto", "mosquitto_passwd"}) {
        if (!onPath(program)) return std::string("needs ") + program + " (Debian: mosquitto)";
    }
    for (const char* program : {"mosquitto_sub", "mosquitto_pub"}) {
        if (!onPath(program))
            return std::string("needs ") + program + " (Debian: mosquitto-clients)";
    }
    return {};
}

MosquittoBroker::MosquittoBroker(const fs::path& dir)
    : dir_(dir), port_(freeLoopbackPort()), passwordPort_(freeLoopbackPort()) {
    const fs::path passwords = dir_ / "passwords";
    const RunResult made =
        run(Spawn{{"mosquitto_passwd", "-b", "-c", passwords.string(), kUser, kPassword}});
    if (made.status != 0) throw std::runtime_error("mosquitto_passwd: " + made.output);
    std::ofstream(dir_ / "mosquitto.conf")
        << "user root\nper_listener_settings true\n"
        << "persistence true\npersistence_location " << dir_.string() << "/\n"
        << "log_dest stdout\nlog_type all\n"
        << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\n"
        << "listener " << passwordPort_ << " 127.0.0.1\nallow_anonymous false\n"
        << "password_file " << passwords.string() << "\n";
    start();
}

std::string MosquittoBroker::url(bool withPassword) const {
    return "mqtt://127.0.0.1:" + std::to_string(withPassword ? passwordPort_ : port_);
}

void MosquittoBroker::start() {
    const fs::path log = dir_ / "mosquitto.log";
    server_.emplace(Spawn{{"mosquitto", "-c", (dir_ / "mosquitto.conf").string()}, {}, dir_, log});
    bool ended = false;
    const bool up = pollUntil(
        [&] {
            ended = server_->poll().has_value();
            return ended || (acceptsConnections(port_) && acceptsConnections(passwordPort_));
        },
        kStartPatience, 50ms);
    if (!up || ended)
        throw std::runtime_error("mosquitto did not start; its log:\n" + readFile(log));
}

void MosquittoBroker::stop() {
    if (server_) server_->stop();
    server_.reset();
}

void MosquittoBroker::restart() {
    stop();
    start();
}

MqttSubscriber::MqttSubscriber(const MosquittoBroker& broker, const fs::path& dir,
                               const std::vector<std::string>& topics)
    : log_(dir / "subscriber.log") {
    // A session of its own on the broker, named for its folder.
    Spawn spawn{{"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(broker.port()), "-v",
                 "-q", "1", "-c", "-i", "thermo-" + dir.filename().string()},
                {},
                dir,
                log_,
                true};
    for (const std::string& topic : topics) spawn.argv.insert(spawn.argv.end(), {"-t", topic});
    client_.emplace(spawn);
}

std::vector<MqttSubscriber::Message> MqttSubscriber::messages() const {
    std::vector<Message> messages;
    std::string text = readFile(log_);
    text.erase(text.rfind('\n') + 1);  // a line still being written is not a message yet
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const auto space = line.find(' ');
        messages.push_back({line.substr(0, space),
                            space == std::string::npos ? std::string() : line.substr(space + 1)});
    }
    return messages;
}

std::vector<std::string> MqttSubscriber::payloads(const std::string& topic) const {
    std::vector<std::string> payloads;
    for (const Message& message : messages()) {
        if (message.topic == topic) payloads.push_back(message.payload);
    }
    return payloads;
}

void mqttPublish(const MosquittoBroker& broker, const std::string& topic,
                 const std::string& payload) {
    const RunResult sent =
        run(Spawn{{"mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(broker.port()), "-q",
                   "1", "-t", topic, "-m", payload}});
    if (sent.status != 0) throw std::runtime_error("mosquitto_pub: " + sent.output);
}

PrometheusServer::PrometheusServer(const fs::path& dir, const std::string& target) {
    const int port = freeLoopbackPort();
    url_ = "http://" + loopbackAddress(port);
    const fs::path config = dir / "prometheus.yml";
    std::ofstream(config) << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
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
