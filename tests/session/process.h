#pragma once

// Processes of a desktop session: started with posix_spawn, owned by one object each, and ended
// by their own pid (SIGTERM, then SIGKILL) and reaped when that object goes.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/wait_until.h"

namespace thermo::e2e {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using thermo::testing::pollUntil;

struct Spawn {
    std::vector<std::string> argv;
    std::vector<std::string> env;  // NAME=value, added to (or replacing in) this process's
    std::filesystem::path dir;     // working directory; empty: this one's
    std::filesystem::path log;     // stdout and stderr go here; empty: /dev/null
};

class Process {
  public:
    explicit Process(const Spawn& spawn);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    // The exit status once it has ended: its exit code, or 128 + N when signal N ended it.
    std::optional<int> poll();
    std::optional<int> waitFor(milliseconds timeout);
    // SIGTERM, then SIGKILL after `grace`; returns the status.
    int stop(milliseconds grace = milliseconds(5000));

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

struct RunResult {
    int status = -1;     // as Process::poll(); -1 when it did not end in time (it is killed)
    std::string output;  // stdout; stderr is dropped
};
// Runs a command to its end, at most `timeout`.
RunResult run(const Spawn& spawn, milliseconds timeout = milliseconds(20000));

// Whether an executable of that name is on the PATH.
bool onPath(const std::string& program);

// The processes whose parent is `parent`, from /proc.
std::vector<pid_t> childrenOf(pid_t parent);

// A fresh directory under /tmp, removed with everything in it when its owner goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);

// CLOCK_MONOTONIC in nanoseconds: the clock the simulator's timestamps are taken on.
std::int64_t monotonicNs();

}  // namespace thermo::e2e
