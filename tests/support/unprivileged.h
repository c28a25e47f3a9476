#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace thermo::test {

// What a check run as an ordinary user found.
struct UnprivilegedResult {
    bool ran = false;    // false: it could not run, and `detail` says why
    std::string detail;  // when it ran: empty when all held, else what did not
};

// Runs `check` in a child process as an ordinary user, so that permissions are tested as a user
// meets them also when the suite runs as root (root reads a mode 000 file and writes a 0444 one).
// Run as root, the child first gives `workDir` and everything in it to the user "nobody" (65534),
// then takes that user's identity for good; run as an ordinary user, the child stays that user.
UnprivilegedResult runUnprivileged(const std::filesystem::path& workDir,
                                   const std::function<std::string()>& check);

}  // namespace thermo::test
