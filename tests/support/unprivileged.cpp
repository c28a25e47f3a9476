#include "tests/support/unprivileged.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <exception>
#include <system_error>

namespace thermo::test {

namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;

std::string reason(int error) { return std::generic_category().message(error); }

std::string handOver(const fs::path& dir) {
    if (::chown(dir.c_str(), kNobody, kNoGroup) != 0) {
        return "chown " + dir.string() + ": " + reason(errno);
    }
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (::lchown(entry.path().c_str(), kNobody, kNoGroup) != 0) {
            return "chown " + entry.path().string() + ": " + reason(errno);
        }
    }
    return {};
}

void send(int fd, char outcome, const std::string& detail) {
    const std::string message = outcome + detail;
    std::string_view rest = message;
    while (!rest.empty()) {
        const ssize_t written = ::write(fd, rest.data(), rest.size());
        if (written <= 0) {
            return;
        }
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
}

[[noreturn]] void runChild(int fd, const fs::path& workDir,
                           const std::function<std::string()>& check) {
    try {
        if (const std::string why = becomeOrdinaryUser(workDir); !why.empty()) {
            send(fd, 'n', "needs to become an ordinary user: " + why);
        } else {
            send(fd, 'r', check());
        }
    } catch (const std::exception& error) {
        send(fd, 'r', std::string("exception: ") + error.what());
    }
    ::_exit(0);
}

}  // namespace

// Groups first: once the user id is gone, so is the right to change them.
std::string becomeOrdinaryUser(const fs::path& workDir) {
    if (::geteuid() != 0) {
        return {};
    }
    if (std::string why = handOver(workDir); !why.empty()) {
        return why;
    }
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kNoGroup, kNoGroup, kNoGroup) != 0 ||
        ::setresuid(kNobody, kNobody, kNobody) != 0) {
        return "dropping root for user 65534: " + reason(errno);
    }
    return {};
}

UnprivilegedResult runUnprivileged(const fs::path& workDir,
                                   const std::function<std::string()>& check) {
    std::array<int, 2> pipe{};
    if (::pipe2(pipe.data(), O_CLOEXEC) != 0) {
        return {true, "pipe2: " + reason(errno)};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe[0]);
        runChild(pipe[1], workDir, check);
    }
    ::close(pipe[1]);
    std::string message;
    std::array<char, 4096> buffer{};
    ssize_t got = 0;
    while ((got = ::read(pipe[0], buffer.data(), buffer.size())) != 0) {
        if (got < 0 && errno != EINTR) {
            break;
        }
        message.append(buffer.data(), static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
    ::close(pipe[0]);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) {
        return {true, "fork or wait failed: " + reason(errno)};
    }
    if (message.empty()) {
        return {true, "the child ended without a verdict (status " + std::to_string(status) + ")"};
    }
    return {message[0] == 'r', message.substr(1)};
}

}  // namespace thermo::test
