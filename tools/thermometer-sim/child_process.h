#pragma once

#include <signal.h>

#include <string>
#include <vector>

namespace thermo::sim {

// The simulator's part as a parent: it blocks the signals it forwards or waits for, starts the
// command with the signal mask it had before, passes SIGINT, SIGTERM, SIGHUP and SIGQUIT on
// to it and reports how it ended. Construct it before any thread starts, so that every thread
// inherits the mask and the signals reach only sigwaitinfo().
class SignalRelay {
  public:
    SignalRelay();
    ~SignalRelay();
    SignalRelay(const SignalRelay&) = delete;
    SignalRelay& operator=(const SignalRelay&) = delete;

    // Runs `command` (looked up in PATH) with `environment` added to ours, until it ends.
    // Returns its exit status, 128 + N when signal N ended it, 127 when it could not be found
    // and 126 when it could not be run.
    int run(const std::vector<std::string>& command, const std::vector<std::string>& environment);

    // With no command: waits for SIGINT, SIGTERM, SIGHUP or SIGQUIT; returns 0.
    int waitForStop();

  private:
    sigset_t relayed_;
    sigset_t previous_;
};

}  // namespace thermo::sim
