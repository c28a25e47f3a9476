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

// A Prometheus server whose one job scrapes `target` (HOST:PORT) every 200 ms, its database in
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
