#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "tests/support/temp_dir.h"

namespace thermo::reliability {

using thermo::testing::TempDir;

inline void writeFile(const std::filesystem::path& path, std::string_view content) {
    if (path.has_parent_path()) {
        std::filesystem::create_directories(path.parent_path());
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

// The whole file, or "(missing)".
inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "(missing)";
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// File descriptors this process has open now.
inline int openFdCount() {
    int count = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
         it.increment(ec)) {
        ++count;
    }
    return count - 1;  // the directory iterator's own
}

// What a check in a child process found: empty when all held, else what did not.
using ChildCheck = std::function<std::string()>;

enum class ChildOutcome { Passed, Failed, CannotRun };

struct ChildResult {
    ChildOutcome outcome = ChildOutcome::Failed;
    std::string detail;  // what failed, or why it could not run
};

// Runs `check` in a child process, so that what it does (or a hang) cannot take the test with
// it. A child still running after `deadline` is killed, and that is a failure.
ChildResult runInChild(const ChildCheck& check, std::chrono::milliseconds deadline);

// Runs `check` in a child that has a mount namespace of its own, where a tmpfs may be mounted and
// a directory bound read-only without touching the machine; only there do a full disk and a
// read-only directory stop root. `mounts` prepares the namespace and returns an empty string, or
// the reason it could not.
ChildResult runInPrivateMounts(const std::function<std::string()>& mounts, const ChildCheck& check);

}  // namespace thermo::reliability
