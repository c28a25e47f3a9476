#pragma once

// The programs that consume usb-thermometer-read's output, from Debian's packages, each started
// by a test on 127.0.0.1 at a free port in a folder of its own and stopped with its owner. A
// constructor throws std::runtime_error with the reason (and the server's log) when the server
// does not come up; whyNo*() says beforehand what is missing, for GTEST_SKIP.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/session/process.h"

namespace thermo::e2e {

// A TCP port on 127.0.0.1 that nothing listens on at the moment of asking.
int freeLoopbackPort();

struct HttpReply {
    int status = -1;  // -1: no answer at all
    std::string body;
};
// One request through curl; `args` are curl's after the URL (-XPOST, --data-binary @FILE, -G
// --data-urlencode ...). Only loopback URLs are asked for.
HttpReply httpRequest(const std::string& url, const std::vector<std::string>& args = {});

// Empty when the program and curl are on the PATH, otherwise what is missing.
std::string whyNoServer(const std::string& program, const std::string& package);

// InfluxDB 1.x: its HTTP API alone on loopback, its meta, data and WAL folders in `dir`,
// reporting, monitoring and every other listener off.
class InfluxServer {
  public:
    explicit InfluxServer(const std::filesystem::path& dir);
    std::string url() const { return url_; }
    // POST /query; the reply's body, or throws.
    std::string query(const std::string& database, const std::string& statement) const;
    // GET /query with epoch=ns: the JSON body.
    std::string select(const std::string& database, const std::string& statement) const;

  private:
    std::string url_;
    std::optional<Process> server_;
};

// node_exporter with only the textfile collector, reading `textfileDir`.
class NodeExporter {
  public:
    NodeExporter(const std::filesystem::path& dir, const std::filesystem::path& textfileDir);
    std::string url() const { return url_; }

  private:
    std::string url_;
    std::optional<Process> server_;
};

// Debian's mosquitto: an anonymous listener, and a second one that takes only `user` with
// `password` (made by mosquitto_passwd); its persistence in `dir`, so that a session and its
// queued messages outlive restart(). Started as root it stays root, to read `dir`.
class MosquittoBroker {
  public:
    static constexpr const char* kUser = "thermo";
    static constexpr const char* kPassword = "s3cret pass";
    explicit MosquittoBroker(const std::filesystem::path& dir);
    int port() const { return port_; }
    int passwordPort() const { return passwordPort_; }
    std::string url(bool withPassword = false) const;
    // Stopped (SIGTERM: it saves its sessions) and started again at the same ports.
    void restart();
    void stop();

  private:
    void start();
    std::filesystem::path dir_;
    int port_;
    int passwordPort_;
    std::optional<Process> server_;
};

// Empty when mosquitto, mosquitto_sub, mosquitto_pub and mosquitto_passwd are on the PATH.
std::string whyNoMosquitto();

// mosquitto_sub on `topics` of the anonymous listener, QoS 1 with a session the broker keeps
// (it reconnects by itself after a restart and gets what was queued meanwhile).
class MqttSubscriber {
  public:
    MqttSubscriber(const MosquittoBroker& broker, const std::filesystem::path& dir,
                   const std::vector<std::string>& topics = {"#"});
    struct Message {
        std::string topic;
        std::string payload;
    };
    std::vector<Message> messages() const;  // in the order received
    std::vector<std::string> payloads(const std::string& topic) const;

  private:
    std::filesystem::path log_;
    std::optional<Process> client_;
};

// mosquitto_pub of one message on the anonymous listener.
void mqttPublish(const MosquittoBroker& broker, const std::string& topic,
                 const std::string& payload);

// A Prometheus server whose one job scrapes `target` (HOST:PORT) every second, its database in
// `dir`.
class PrometheusServer {
  public:
    PrometheusServer(const std::filesystem::path& dir, const std::string& target);
    std::string url() const { return url_; }
    // GET /api/v1/query of an instant query: the JSON body, or throws.
    std::string query(const std::string& expression) const;

  private:
    std::string url_;
    std::optional<Process> server_;
};

}  // namespace thermo::e2e
