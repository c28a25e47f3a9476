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

#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace thermo::e2e {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using thermo::testing::pollUntil;
using thermo::testing::TempDir;

struct Spawn {
    std::vector<std::string> argv{};
    std::vector<std::string> env{};  // NAME=value, added to (or replacing in) this process's
    std::filesystem::path dir{};     // working directory; empty: this one's
    std::filesystem::path log{};     // stdout and stderr go here; empty: /dev/null
    bool dropErrors = false;         // stderr to /dev/null, so that the log holds stdout alone
    bool ownGroup = false;           // a process group of its own, ended as a whole (wine's too)
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
    bool ownGroup_ = false;
    std::optional<int> status_;
};

struct RunResult {
    int status = -1;     // as Process::poll(); -1 when it did not end in time (it is killed)
    std::string output;  // stdout, and stderr unless the command drops it
};
// Runs a command to its end, at most `timeout`.
RunResult run(const Spawn& spawn, milliseconds timeout = milliseconds(20000));

// Whether an executable of that name is on the PATH.
bool onPath(const std::string& program);

// The processes whose parent is `parent`, from /proc.
std::vector<pid_t> childrenOf(pid_t parent);

// An Xvfb server on a display number it picks itself (-displayfd), so that sessions running at
// the same time never meet.
class XServer {
  public:
    // Throws std::runtime_error when Xvfb does not start.
    explicit XServer(const std::filesystem::path& logDir);
    const std::string& display() const { return display_; }  // ":N"

  private:
    std::optional<Process> server_;
    std::string display_;
};

std::string readFile(const std::filesystem::path& path);

// CLOCK_MONOTONIC in nanoseconds: the clock the simulator's timestamps are taken on.
std::int64_t monotonicNs();

}  // namespace thermo::e2e
