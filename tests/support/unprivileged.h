#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace thermo::test {

// Makes this process an ordinary user for good: run as root, it first gives `workDir` and
// everything in it to the user "nobody" (65534), then takes that user's identity; run as an
// ordinary user, it stays that user. Returns an empty string, or why it could not. For a child
// process that a test has forked already; runUnprivileged below forks one itself.
std::string becomeOrdinaryUser(const std::filesystem::path& workDir);

// What a check run as an ordinary user found.
struct UnprivilegedResult {
    bool ran = false;    // false: it could not run, and `detail` says why
    std::string detail;  // when it ran: empty when all held, else what did not
};

// Runs `check` in a child process made an ordinary user (becomeOrdinaryUser), so that permissions
// are tested as a user meets them also when the suite runs as root (root reads a mode 000 file
// and writes a 0444 one).
UnprivilegedResult runUnprivileged(const std::filesystem::path& workDir,
                                   const std::function<std::string()>& check);

}  // namespace thermo::test
