#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/sim/sandbox.h"
#include "tests/support/wait_until.h"
#include "tools/thermometer-sim/simulator.h"
#include "tools/thermometer-sim/sys_error.h"

namespace thermo::sim::test {

// What one read() on a node gave.
struct ReadResult {
    ssize_t result = 0;
    int error = 0;
    std::vector<std::uint8_t> bytes;
};

inline ReadResult readNode(int fd, std::size_t size = 4096) {
    ReadResult r;
    r.bytes.resize(size);
    r.result = ::read(fd, r.bytes.data(), size);
    r.error = r.result < 0 ? errno : 0;
    r.bytes.resize(r.result > 0 ? static_cast<std::size_t>(r.result) : 0);
    return r;
}

// Tests that mount simulated nodes: skipped where that cannot be done.
class NodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!Sandbox::get().canMount()) GTEST_SKIP() << Sandbox::get().whyNot();
        folder_ = Sandbox::get().freshFolder();
    }

    // One silent thermometer (it reports only when told to), after `decoys` decoys.
    Simulator& start(int decoys = 0, ReportShape shape = {}, int thermometers = 1) {
        auto config = configIn(folder_);
        config.thermometers = thermometers;
        config.decoys = decoys;
        config.settings.rateHz = 0;
        config.settings.shape = shape;
        simulator_ = std::make_unique<Simulator>(config);
        return *simulator_;
    }

    os::UniqueFd openThermometer(int flags = O_RDWR, int device = 0) {
        os::UniqueFd fd(::open(simulator_->status(device).node.c_str(), flags | O_CLOEXEC));
        EXPECT_TRUE(fd) << "open: " << std::strerror(errno);
        return fd;
    }

    // Waits for a condition on the thermometer's status; false only after a generous deadline.
    bool waitFor(const std::function<bool(const DeviceStatus&)>& condition, int device = 0) {
        return simulator_->waitUntil(device, condition,
                                     std::chrono::steady_clock::now() + thermo::testing::kPatience);
    }

    std::filesystem::path sys() const { return folder_ / "sys"; }
    std::filesystem::path dev() const { return folder_ / "dev"; }

    std::filesystem::path folder_;
    std::unique_ptr<Simulator> simulator_;
};

}  // namespace thermo::sim::test
