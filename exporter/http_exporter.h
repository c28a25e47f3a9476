#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "reader/options.h"
#include "reader/output.h"
#include "reader/publisher.h"

namespace thermo::exporter {

// --listen: GET /metrics answers with the --prometheus text of the last state handed over,
// rendered once when it is handed over, so that a scrape never waits for the thermometer and
// costs no rendering; GET / is a page that links to it. One thread serves a bounded number of
// connections, a few from each peer, with an idle time-out and a memory limit each.
class HttpExporter : public reader::Publisher {
  public:
    // Listening when it returns, with an "up 0" state for `name` until the first publish();
    // an address that cannot be bound throws reader::PublisherStartError (status 1) naming it.
    // Port 0 lets the system pick one (port() tells which).
    HttpExporter(const reader::ListenAddress& address, const std::string& name);
    ~HttpExporter() override;  // stops serving and joins the server's thread
    HttpExporter(const HttpExporter&) = delete;
    HttpExporter& operator=(const HttpExporter&) = delete;

    void publish(const reader::ExpositionState& state) override;
    // Publishes the last state, then closes the listener and every connection at once, whatever
    // their peers are doing.
    void stop(const reader::ExpositionState& state) override;

    std::uint16_t port() const;

  private:
    class Server;
    std::unique_ptr<Server> server_;
};

}  // namespace thermo::exporter
