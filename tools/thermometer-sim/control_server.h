#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "tools/thermometer-sim/sys_error.h"

namespace thermo::sim {

class Simulator;

// Connections served at once; one more is answered with an error and closed at once, so that
// clients that connect and never finish cannot make the simulator start threads without end.
inline constexpr std::size_t kMaxControlConnections = 32;

// Serves the control protocol on a Unix stream socket: one command per connection, each
// connection on its own thread so that a long "wait" holds up nobody else.
class ControlServer {
  public:
    // Binds `path`, mode 0600. A stale socket there (one nobody answers on) is replaced; a live
    // one, or anything that is not a socket, is an error naming the path and is left alone.
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
    std::string receiveLine(int connection, int silenceMs);
    void serve(os::UniqueFd connection);
    void refuse(os::UniqueFd connection);
    // Joins the threads of finished connections; returns how many are still served.
    std::size_t reapFinished();

    Simulator& simulator_;
    std::filesystem::path path_;
    os::UniqueFd listener_;
    WakeFd stop_;
    std::mutex mutex_;
    std::list<Connection> connections_;
    std::thread acceptor_;
};

// A folder of its own for the default control socket, mode 0700, made afresh under
// $XDG_RUNTIME_DIR where that is set and under /tmp otherwise, so that no other user can reach
// the socket or put something in its place. Removed when destroyed, once it is empty.
class PrivateFolder {
  public:
    // Throws SysError.
    PrivateFolder();
    ~PrivateFolder();
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Connects to a control socket; retries while the socket is missing or refuses, until
// `patienceMs` has passed. Throws SysError.
os::UniqueFd connectControl(const std::filesystem::path& path, int patienceMs);

}  // namespace thermo::sim
