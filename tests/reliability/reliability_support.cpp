#include "tests/reliability/reliability_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <array>
#include <exception>

#include "tests/support/private_mounts.h"

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

std::string reason(int error) { return std::error_code(error, std::generic_category()).message(); }

[[noreturn]] void runChild(int fd, const std::function<std::string()>& prepare,
                           const ChildCheck& check) {
    try {
        if (const std::string why = prepare(); !why.empty()) {
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

// Waits for the child to end, at most `deadline`; true when it did.
bool waitForExit(pid_t child, std::chrono::milliseconds deadline) {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
    if (pidfd < 0) {
        return true;  // no pidfd here: waitpid below waits as long as it takes
    }
    pollfd ready{pidfd, POLLIN, 0};
    int result = 0;
    do {
        result = ::poll(&ready, 1, static_cast<int>(deadline.count()));
    } while (result < 0 && errno == EINTR);
    ::close(pidfd);
    return result > 0;
}

ChildResult runForked(const std::function<std::string()>& prepare, const ChildCheck& check,
                      std::chrono::milliseconds deadline) {
    std::array<int, 2> pipe{};
    if (::pipe2(pipe.data(), O_CLOEXEC) != 0) {
        return {ChildOutcome::Failed, "pipe2: " + reason(errno)};
    }
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(pipe[0]);
        ::close(pipe[1]);
        return {ChildOutcome::Failed, "fork: " + reason(errno)};
    }
    if (child == 0) {
        ::close(pipe[0]);
        runChild(pipe[1], prepare, check);
    }
    ::close(pipe[1]);
    const bool ended = waitForExit(child, deadline);
    if (!ended) {
        ::kill(child, SIGKILL);
    }
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
    if (!ended) {
        return {ChildOutcome::Failed,
                "did not end within " + std::to_string(deadline.count()) + " ms"};
    }
    if (message.empty()) {
        return {ChildOutcome::Failed,
                "the child ended without a verdict (status " + std::to_string(status) + ")"};
    }
    return {static_cast<ChildOutcome>(message[0] - '0'), message.substr(1)};
}

}  // namespace

ChildResult runInChild(const ChildCheck& check, std::chrono::milliseconds deadline) {
    return runForked([] { return std::string(); }, check, deadline);
}

ChildResult runInPrivateMounts(const std::function<std::string()>& mounts,
                               const ChildCheck& check) {
    const auto prepare = [&]() -> std::string {
        if (std::string why = testing::enterPrivateMounts(); !why.empty()) return why;
        return mounts();
    };
    return runForked(prepare, check, std::chrono::minutes(5));
}

}  // namespace thermo::reliability
