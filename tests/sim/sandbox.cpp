#include "tests/sim/sandbox.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace fs = std::filesystem;

namespace thermo::sim::test {

Sandbox::Sandbox() {
    char pattern[] = "/tmp/thermometer-sim-tests.XXXXXX";
    if (!::mkdtemp(pattern)) {
        whyNot_ = std::string("needs a scratch folder: mkdtemp: ") + std::strerror(errno);
        return;
    }
    scratch_ = pattern;
    if (::geteuid() != 0) {
        whyNot_ = "needs root, because the simulator mounts FUSE nodes and tmpfs";
    } else if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        whyNot_ = "needs /dev/fuse, because every simulated hidraw node is a FUSE file";
    } else if (::unshare(CLONE_NEWNS) != 0 ||
               ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        whyNot_ = std::string("needs a private mount namespace: ") + std::strerror(errno);
    } else if (::mount("tmpfs", scratch_.c_str(), "tmpfs", 0, "mode=0755") != 0) {
        whyNot_ = std::string("needs a tmpfs: ") + std::strerror(errno);
    } else {
        mounted_ = true;
    }
}

Sandbox::~Sandbox() {
    std::error_code ignored;
    if (mounted_) ::umount2(scratch_.c_str(), MNT_DETACH);
    fs::remove_all(scratch_, ignored);
}

const Sandbox& Sandbox::get() {
    static const Sandbox sandbox;
    return sandbox;
}

fs::path Sandbox::freshFolder() const {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = test ? std::string(test->test_suite_name()) + "." + test->name() : "main";
    for (char& c : name)
        if (c == '/') c = '_';
    fs::path folder = scratch_ / name;
    fs::remove_all(folder);
    fs::create_directories(folder / "sys");
    fs::create_directories(folder / "dev");
    return folder;
}

SimulatorConfig configIn(const fs::path& folder) {
    SimulatorConfig config;
    config.sysRoot = folder / "sys";
    config.devRoot = folder / "dev";
    config.thermometers = 0;
    return config;
}

}  // namespace thermo::sim::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Before RUN_ALL_TESTS: entering a mount namespace needs a process with one thread.
    thermo::sim::test::Sandbox::get();
    return RUN_ALL_TESTS();
}
