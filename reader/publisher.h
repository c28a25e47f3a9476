#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "reader/options.h"
#include "reader/output.h"

namespace thermo::reader {

// Where a repeated run's state goes besides its lines and the --prometheus file: a network
// peer (the HTTP exporter's scrapers, an MQTT broker). Told on the reading thread; it hands the
// state over and returns, so that a slow or absent peer never delays a reading.
class Publisher {
  public:
    virtual ~Publisher() = default;
    // After every attempt: the state with its reading, or without one while the thermometer is
    // gone.
    virtual void publish(const ExpositionState& state) = 0;
    // Once, as the run ends (stopped or done), with the last state; nothing is published after.
    virtual void stop(const ExpositionState& state) = 0;
};

// A publisher that could not start (an address that cannot be bound, a password file that
// cannot be read): what to say, and the exit status to end with.
class PublisherStartError : public std::runtime_error {
  public:
    PublisherStartError(const std::string& what, int status)
        : std::runtime_error(what), status_(status) {}
    int status() const { return status_; }

  private:
    int status_;
};

// Says a message on standard error, prefixed with the program's name; thread-safe.
using Say = std::function<void(const std::string&)>;

// Starts the publishers that the options ask for; throws PublisherStartError.
using StartPublishers =
    std::function<std::vector<std::unique_ptr<Publisher>>(const Options&, const Say&)>;

}  // namespace thermo::reader
