#include "tools/thermometer-sim/control_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "tools/thermometer-sim/control_protocol.h"
#include "tools/thermometer-sim/simulator.h"

namespace thermo::sim {
namespace {

constexpr std::size_t kMaxCommandLength = 4096;
constexpr int kClientSilenceMs = 10000;
// A refused client holds up the accepting thread while it is read: not for long.
constexpr int kRefusedSilenceMs = 500;

sockaddr_un addressOf(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.native().size() >= sizeof address.sun_path)
        throw SysError("bind", path.native(), ENAMETOOLONG);
    std::memcpy(address.sun_path, path.c_str(), path.native().size() + 1);
    return address;
}

os::UniqueFd newSocket() {
    os::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) throwSysError("socket", "AF_UNIX");
    return fd;
}

// Removes what a simulator that died left at `path`, and nothing else: whatever is not a socket
// there (a file named by mistake, a link) is an error that names the path.
void removeStaleSocket(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) throwSysError("lstat", path.native());
    if (!S_ISSOCK(info.st_mode))
        throw SysError("bind", path.native() + " (not a socket; left as it is)", EADDRINUSE);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) throwSysError("unlink", path.native());
}

// $XDG_RUNTIME_DIR is private to the user already; /tmp is shared, hence the folder of our own.
std::filesystem::path privateFolderParent() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) return runtime;
    return "/tmp";
}

void sendAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t sent = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return;  // the client went away; nothing to tell it any more
        text.remove_prefix(static_cast<std::size_t>(sent));
    }
}

// Only our own user may send commands, so the socket is made with mode 0600 from the start: a
// chmod after the bind would go by path, and follow whatever had been put there meanwhile.
int bindPrivately(int fd, const sockaddr* address, socklen_t length) {
    const mode_t previous = ::umask(0177);
    const int result = ::bind(fd, address, length);
    const int error = errno;
    ::umask(previous);
    errno = error;
    return result;
}

// What the bind made at `path`, not something that took its place: our own socket, for us alone.
void checkOwnSocket(const std::filesystem::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) throwSysError("stat", path.native());
    if (!S_ISSOCK(status.st_mode) || status.st_uid != ::geteuid() || (status.st_mode & 077) != 0) {
        throw SysError("bind", path.native() + " (not a socket of ours alone)", EPERM);
    }
}

}  // namespace

ControlServer::ControlServer(Simulator& simulator, std::filesystem::path path)
    : simulator_(simulator), path_(std::move(path)), listener_(newSocket()) {
    sockaddr_un address = addressOf(path_);
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (bindPrivately(listener_.get(), raw, sizeof address) != 0) {
        if (errno != EADDRINUSE) throwSysError("bind", path_.native());
        // In use, or left behind by a simulator that died: only a live one answers.
        os::UniqueFd probe = newSocket();
        if (::connect(probe.get(), raw, sizeof address) == 0)
            throw SysError("bind", path_.native() + " (another simulator answers there)",
                           EADDRINUSE);
        removeStaleSocket(path_);
        if (bindPrivately(listener_.get(), raw, sizeof address) != 0)
            throwSysError("bind", path_.native());
    }
    try {
        checkOwnSocket(path_);
        if (::listen(listener_.get(), 16) != 0) throwSysError("listen", path_.native());
        acceptor_ = std::thread([this] { acceptLoop(); });
    } catch (...) {
        ::unlink(path_.c_str());
        throw;
    }
}

ControlServer::~ControlServer() {
    stop_.signal();
    simulator_.cancelWaits();
    acceptor_.join();
    std::lock_guard guard(mutex_);
    for (auto& connection : connections_) connection.thread.join();
    ::unlink(path_.c_str());
}

std::size_t ControlServer::reapFinished() {
    std::lock_guard guard(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (it->done) {
            it->thread.join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
    return connections_.size();
}

void ControlServer::acceptLoop() {
    while (true) {
        pollfd fds[2] = {{stop_.fd(), POLLIN, 0}, {listener_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents) return;
        os::UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client) continue;
        if (reapFinished() >= kMaxControlConnections) {
            refuse(std::move(client));
            continue;
        }
        std::lock_guard guard(mutex_);
        Connection& connection = connections_.emplace_back();
        connection.thread = std::thread([this, &connection, fd = client.release()] {
            serve(os::UniqueFd(fd));
            connection.done = true;
        });
    }
}

// The command line a client sends; empty when it sends none within `silenceMs` or the server
// stops meanwhile.
std::string ControlServer::receiveLine(int connection, int silenceMs) {
    std::string line;
    char chunk[512];
    while (line.find('\n') == std::string::npos && line.size() < kMaxCommandLength) {
        pollfd fds[2] = {{stop_.fd(), POLLIN, 0}, {connection, POLLIN, 0}};
        if (::poll(fds, 2, silenceMs) <= 0 || fds[0].revents) return {};
        ssize_t got = ::recv(connection, chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // end of the command without a newline is fine
        line.append(chunk, static_cast<std::size_t>(got));
    }
    return line.substr(0, line.find('\n'));
}

void ControlServer::serve(os::UniqueFd connection) {
    const std::string line = receiveLine(connection.get(), kClientSilenceMs);
    sendAll(connection.get(), encodeReply(executeCommand(simulator_, line)));
}

void ControlServer::refuse(os::UniqueFd connection) {
    // Read what the client sent first: closing on unread data would reset the connection, and
    // the client would see that instead of the answer.
    receiveLine(connection.get(), kRefusedSilenceMs);
    sendAll(connection.get(),
            encodeReply({ControlReply::Kind::Error, "too many connections (" +
                                                        std::to_string(kMaxControlConnections) +
                                                        "); try again when one has ended"}));
}

PrivateFolder::PrivateFolder() {
    std::string pattern = (privateFolderParent() / "usb-thermometer-sim.XXXXXX").native();
    // mkdtemp makes the folder with mode 0700 whatever the umask.
    if (::mkdtemp(pattern.data()) == nullptr) throwSysError("mkdtemp", pattern);
    path_ = pattern;
}

PrivateFolder::~PrivateFolder() { ::rmdir(path_.c_str()); }

os::UniqueFd connectControl(const std::filesystem::path& path, int patienceMs) {
    sockaddr_un address = addressOf(path);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(patienceMs);
    while (true) {
        os::UniqueFd fd = newSocket();
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
