#pragma once

// Mounts that nobody outside the test sees: a mount namespace of the process's own, and in it a
// tmpfs scratch folder where simulated thermometers' FUSE nodes and sysfs trees are made. Header
// only, so that the benchmarks have it in a build without the tests.

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "tests/support/temp_dir.h"

namespace thermo::testing {

// Moves this process into a mount namespace of its own, whose mounts do not propagate back to the
// system's. Needs root and a process with one thread. Empty on success, or what is missing.
inline std::string enterPrivateMounts() {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("needs root and a mount namespace of its own: ") + std::strerror(errno);
    }
    return {};
}

// A scratch folder on a tmpfs of its own, in a private mount namespace, where the simulated
// thermometer can mount its nodes. Made before any thread starts; usable() says whether this
// machine allows it, whyNot() what is missing otherwise.
class FuseScratch {
  public:
    explicit FuseScratch(std::string_view prefix) : root_(prefix) {
        if (::geteuid() != 0) {
            whyNot_ = "needs root, because the simulated thermometer mounts FUSE nodes and a tmpfs";
        } else if (::access("/dev/fuse", R_OK | W_OK) != 0) {
            whyNot_ = "needs /dev/fuse, because every simulated hidraw node is a FUSE file";
        } else {
            whyNot_ = enterPrivateMounts();
        }
        if (!whyNot_.empty()) return;
        if (::mount("tmpfs", root_.path().c_str(), "tmpfs", 0, "mode=0755") != 0) {
            whyNot_ = std::string("needs a tmpfs: ") + std::strerror(errno);
        } else {
            mounted_ = true;
        }
    }
    ~FuseScratch() {
        if (mounted_) ::umount2(root_.path().c_str(), MNT_DETACH);
    }
    FuseScratch(const FuseScratch&) = delete;
    FuseScratch& operator=(const FuseScratch&) = delete;

    bool usable() const { return whyNot_.empty(); }
    const std::string& whyNot() const { return whyNot_; }

    // A new empty folder of that name, with sys/ and dev/ in it.
    std::filesystem::path folder(const std::string& name) const {
        const std::filesystem::path folder = root_.path() / name;
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder / "sys");
        std::filesystem::create_directories(folder / "dev");
        return folder;
    }

  private:
    TempDir root_;
    bool mounted_ = false;
    std::string whyNot_;
};

}  // namespace thermo::testing
