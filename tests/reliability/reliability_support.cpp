#include "tests/reliability/reliability_support.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <array>
#include <exception>

namespace thermo::reliability {

namespace {

// The child's verdict travels back through a pipe: one byte of outcome, then the detail.
void report(int fd, ChildOutcome outcome, const std::string& detail) {
    const char code = static_cast<char>('0' + static_cast<int>(outcome));
    const std::string message = code + detail;
    std::string_view rest = message;
    while (!rest.empty()) {
        const ssize_t written = ::write(fd, rest.data(), rest.size());
        if (written <= 0) {
            break;
        }
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
}

[[noreturn]] void runChild(int fd, const std::function<std::string()>& mounts,
                           const ChildCheck& check) {
    try {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            report(fd, ChildOutcome::CannotRun,
                   "needs root and mount namespaces (unshare CLONE_NEWNS: " +
                       std::error_code(errno, std::generic_category()).message() + ")");
            ::_exit(0);
        }
        if (const std::string why = mounts(); !why.empty()) {
            report(fd, ChildOutcome::CannotRun, why);
            ::_exit(0);
        }
        const std::string failures = check();
        report(fd, failures.empty() ? ChildOutcome::Passed : ChildOutcome::Failed, failures);
    } catch (const std::exception& error) {
        report(fd, ChildOutcome::Failed, std::string("exception: ") + error.what());
    }
    ::_exit(0);
}

}  // namespace

ChildResult runInPrivateMounts(const std::function<std::string()>& mounts,
                               const ChildCheck& check) {
    std::array<int, 2> pipe{};
    if (::pipe2(pipe.data(), O_CLOEXEC) != 0) {
        return {ChildOutcome::Failed, "pipe2 failed"};
    }
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(pipe[0]);
        ::close(pipe[1]);
        return {ChildOutcome::Failed, "fork failed"};
    }
    if (child == 0) {
        ::close(pipe[0]);
        runChild(pipe[1], mounts, check);
    }
    ::close(pipe[1]);
    std::string message;
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t got = ::read(pipe[0], buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        message.append(buffer.data(), static_cast<std::size_t>(got));
    }
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (message.empty()) {
        return {ChildOutcome::Failed,
                "the child ended without a verdict (status " + std::to_string(status) + ")"};
    }
    const auto outcome = static_cast<ChildOutcome>(message[0] - '0');
    return {outcome, message.substr(1)};
}

}  // namespace thermo::reliability
