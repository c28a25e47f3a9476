#include "tools/thermometer-sim/control_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "tools/thermometer-sim/control_protocol.h"
#include "tools/thermometer-sim/simulator.h"

namespace thermo::sim {
namespace {

constexpr std::size_t MaxCommandLength = 4096;
constexpr int ClientSilenceMs = 10000;

sockaddr_un addressOf(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.native().size() >= sizeof address.sun_path)
        throw SysError("bind", path.native(), ENAMETOOLONG);
    std::memcpy(address.sun_path, path.c_str(), path.native().size() + 1);
    return address;
}

Fd newSocket() {
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) throwSysError("socket", "AF_UNIX");
    return fd;
}

void sendAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t sent = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return;  // the client went away; nothing to tell it any more
        text.remove_prefix(static_cast<std::size_t>(sent));
    }
}

}  // namespace

ControlServer::ControlServer(Simulator& simulator, std::filesystem::path path)
    : simulator_(simulator), path_(std::move(path)), listener_(newSocket()) {
    sockaddr_un address = addressOf(path_);
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (::bind(listener_.get(), raw, sizeof address) != 0) {
        if (errno != EADDRINUSE) throwSysError("bind", path_.native());
        // In use, or left behind by a simulator that died: only a live one answers.
        Fd probe = newSocket();
        if (::connect(probe.get(), raw, sizeof address) == 0)
            throw SysError("bind", path_.native() + " (another simulator answers there)",
                           EADDRINUSE);
        ::unlink(path_.c_str());
        if (::bind(listener_.get(), raw, sizeof address) != 0)
            throwSysError("bind", path_.native());
    }
    if (::listen(listener_.get(), 16) != 0) throwSysError("listen", path_.native());
    acceptor_ = std::thread([this] { acceptLoop(); });
}

ControlServer::~ControlServer() {
    stop_.signal();
    simulator_.cancelWaits();
    acceptor_.join();
    std::lock_guard guard(mutex_);
    for (auto& connection : connections_) connection.thread.join();
    ::unlink(path_.c_str());
}

void ControlServer::reapFinished() {
    std::lock_guard guard(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (it->done) {
            it->thread.join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void ControlServer::acceptLoop() {
    while (true) {
        pollfd fds[2] = {{stop_.fd(), POLLIN, 0}, {listener_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents) return;
        Fd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client) continue;
        reapFinished();
        std::lock_guard guard(mutex_);
        Connection& connection = connections_.emplace_back();
        connection.thread = std::thread([this, &connection, fd = client.release()] {
            serve(Fd(fd));
            connection.done = true;
        });
    }
}

void ControlServer::serve(Fd connection) {
    std::string line;
    char chunk[512];
    while (line.find('\n') == std::string::npos && line.size() < MaxCommandLength) {
        pollfd fds[2] = {{stop_.fd(), POLLIN, 0}, {connection.get(), POLLIN, 0}};
        if (::poll(fds, 2, ClientSilenceMs) <= 0 || fds[0].revents) return;
        ssize_t got = ::recv(connection.get(), chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // end of the command without a newline is fine
        line.append(chunk, static_cast<std::size_t>(got));
    }
    line = line.substr(0, line.find('\n'));
    sendAll(connection.get(), encodeReply(executeCommand(simulator_, line)));
}

Fd connectControl(const std::filesystem::path& path, int patienceMs) {
    sockaddr_un address = addressOf(path);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(patienceMs);
    while (true) {
        Fd fd = newSocket();
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return fd;
        int error = errno;
        bool notYet = error == ENOENT || error == ECONNREFUSED;
        if (!notYet || std::chrono::steady_clock::now() >= deadline)
            throwSysError("connect", path.native(), error);
        // The simulator is still starting; its socket appears when it is ready.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace thermo::sim
