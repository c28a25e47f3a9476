#pragma once

#include <atomic>
#include <filesystem>
#include <list>
#include <mutex>
#include <thread>

#include "tools/thermometer-sim/sys_error.h"

namespace thermo::sim {

class Simulator;

// Serves the control protocol on a Unix stream socket: one command per connection, each
// connection on its own thread so that a long "wait" holds up nobody else.
class ControlServer {
  public:
    // Binds `path`; a stale socket file there is replaced, a live one is an error.
    ControlServer(Simulator& simulator, std::filesystem::path path);
    // Stops accepting, ends waits in progress, joins every connection and removes the socket.
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    struct Connection {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void acceptLoop();
    void serve(Fd connection);
    void reapFinished();

    Simulator& simulator_;
    std::filesystem::path path_;
    Fd listener_;
    WakeFd stop_;
    std::mutex mutex_;
    std::list<Connection> connections_;
    std::thread acceptor_;
};

// Connects to a control socket; retries while the socket is missing or refuses, until
// `patienceMs` has passed. Throws SysError.
Fd connectControl(const std::filesystem::path& path, int patienceMs);

}  // namespace thermo::sim
