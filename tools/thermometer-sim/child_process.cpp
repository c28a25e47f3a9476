#include "tools/thermometer-sim/child_process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "tools/thermometer-sim/sys_error.h"

extern char** environ;

namespace thermo::sim {
namespace {

constexpr int kForwarded[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

class SpawnAttributes {
  public:
    explicit SpawnAttributes(const sigset_t& mask) {
        posix_spawnattr_init(&attr_);
        posix_spawnattr_setsigmask(&attr_, &mask);
        posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attr_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    const posix_spawnattr_t* get() const { return &attr_; }

  private:
    posix_spawnattr_t attr_;
};

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& added) {
    std::vector<std::string> merged;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string_view text(*entry);
        bool replaced = false;
        for (const auto& add : added) {
            auto name = std::string_view(add).substr(0, add.find('=') + 1);
            if (text.starts_with(name)) replaced = true;
        }
        if (!replaced) merged.emplace_back(text);
    }
    merged.insert(merged.end(), added.begin(), added.end());
    return merged;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

int exitStatusOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

}  // namespace

SignalRelay::SignalRelay() {
    // A SIGCHLD ignored by whoever started us would reap the child before we could.
    ::signal(SIGCHLD, SIG_DFL);
    sigemptyset(&relayed_);
    for (int sig : kForwarded) sigaddset(&relayed_, sig);
    sigaddset(&relayed_, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &relayed_, &previous_);
}

SignalRelay::~SignalRelay() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

int SignalRelay::run(const std::vector<std::string>& command,
                     const std::vector<std::string>& environment) {
    std::vector<std::string> args = command;
    std::vector<std::string> env = mergedEnvironment(environment);
    auto argv = pointers(args);
    auto envp = pointers(env);
    SpawnAttributes attributes(previous_);
    pid_t child = 0;
    int error = posix_spawnp(&child, argv[0], nullptr, attributes.get(), argv.data(), envp.data());
    if (error != 0) {
        std::fprintf(stderr, "usb-thermometer-sim: cannot run %s: %s\n", argv[0],
                     std::strerror(error));
        return error == ENOENT ? 127 : 126;
    }
    while (true) {
        siginfo_t info{};
        int sig = sigwaitinfo(&relayed_, &info);
        if (sig < 0) {
            if (errno == EINTR) continue;
            throwSysError("sigwaitinfo", "");
        }
        if (sig != SIGCHLD) {
            ::kill(child, sig);
            continue;
        }
        int status = 0;
        pid_t ended = ::waitpid(child, &status, WNOHANG);
        if (ended == child) return exitStatusOf(status);
    }
}

int SignalRelay::waitForStop() {
    while (true) {
        siginfo_t info{};
        int sig = sigwaitinfo(&relayed_, &info);
        if (sig < 0 && errno == EINTR) continue;
        if (sig != SIGCHLD) return 0;
    }
}

}  // namespace thermo::sim
