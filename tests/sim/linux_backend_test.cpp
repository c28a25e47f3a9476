// The program's own Linux HID layer and device module against the simulated thermometer.

#include <algorithm>
#include <future>

#include "hid/hidusb.h"
#include "hid/linux/linux_platform.h"
#include "tests/sim/node_fixture.h"
#include "tests/support/wait_until.h"

namespace thermo::sim::test {
namespace {

using namespace std::chrono_literals;

class LinuxBackend : public NodeTest {
  protected:
    hid::LinuxPlatform platform() const { return hid::LinuxPlatform(sys(), dev()); }
};

TEST_F(LinuxBackend, FindsTheThermometerAfterTheDecoysAndReadsItsValue) {
    start(2);
    simulator_->setValue(0, {133, 0});
    simulator_->setRate(0, 50);
    auto backend = platform();
    hid::HIDusb module(backend);
    ASSERT_TRUE(module.FindThermometer()) << module.LastProblem;
    EXPECT_EQ(module.DeviceCaps.InputReportByteLength, 65);
    // Sysfs told the decoys apart: none of them was opened.
    EXPECT_EQ(simulator_->status(0).counters.opens, 2u);
    EXPECT_EQ(simulator_->status(0).openFiles, 2u);
    module.PollThermometer();
    ASSERT_TRUE(module.DevicePresent);
    ASSERT_TRUE(module.ReportBuffer);
    ASSERT_EQ(module.ReportBuffer->size(), 65u);
    EXPECT_EQ((*module.ReportBuffer)[0], 0);  // no report ids: the layer puts 0 there
    EXPECT_EQ((*module.ReportBuffer)[1], 133);
    EXPECT_EQ((*module.ReportBuffer)[2], 0);
    module.CloseHandles();
    EXPECT_TRUE(waitFor([](const DeviceStatus& s) { return s.openFiles == 0; }));
}

TEST_F(LinuxBackend, TheThermometerIsKnownByItsPortAcrossARenumberedReplug) {
    start(1, {}, 2);
    auto backend = platform();
    hid::HIDusb module(backend);
    ASSERT_TRUE(module.FindThermometer()) << module.LastProblem;
    EXPECT_EQ(module.DevicePort, simulator_->status(0).port);
    const std::string before = module.DevicePath;
    module.CloseHandles();
    simulator_->replugRenumbered(0, std::chrono::steady_clock::now() + thermo::testing::kPatience);
    std::vector<hid::InterfaceEntry> listed = backend.listInterfaces();
    const auto at = std::find_if(listed.begin(), listed.end(), [&](const auto& entry) {
        return entry.path == simulator_->status(0).node;
    });
    ASSERT_NE(at, listed.end());
    EXPECT_EQ(at->port, simulator_->status(0).port);
    EXPECT_NE(at->path, before);
    // The decoys' ancestry is never walked.
    for (const auto& entry : listed) {
        if (entry.ids && !hid::isThermometer(*entry.ids)) {
            EXPECT_EQ(entry.port, "") << entry.path;
        }
    }
}

TEST_F(LinuxBackend, ReportIdsArriveAtIndexZero) {
    start(0, {true, 64});
    simulator_->setValue(0, {0x12, 0x34});
    auto backend = platform();
    auto handle = backend.open((dev() / "hidraw0").string(), hid::OpenMode::ForReports);
    auto event = backend.createReportEvent();
    simulator_->send(0, 1);
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(backend.inputReportLength(*handle)));
    auto result = backend.readReport(*handle, *event, buffer, 5000ms);
    ASSERT_EQ(result.outcome, hid::ReadOutcome::Report) << result.error;
    EXPECT_EQ(buffer[0], kThermometerReportId);
    EXPECT_EQ(buffer[1], 0x12);
    EXPECT_EQ(buffer[2], 0x34);
}

TEST_F(LinuxBackend, ASilentThermometerTimesOut) {
    start();
    auto backend = platform();
    auto handle = backend.open((dev() / "hidraw0").string(), hid::OpenMode::ForReports);
    auto event = backend.createReportEvent();
    std::vector<std::uint8_t> buffer(65);
    auto began = std::chrono::steady_clock::now();
    auto result = backend.readReport(*handle, *event, buffer, 150ms);
    EXPECT_EQ(result.outcome, hid::ReadOutcome::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - began, 140ms);
}

TEST_F(LinuxBackend, AnUnplugEndsAPendingReadAtOnce) {
    start();
    auto backend = platform();
    auto handle = backend.open((dev() / "hidraw0").string(), hid::OpenMode::ForReports);
    auto event = backend.createReportEvent();
    std::vector<std::uint8_t> buffer(65);
    auto reading = std::async(std::launch::async, [&] {
        return backend.readReport(*handle, *event, buffer, 2 * thermo::testing::kPatience);
    });
    ASSERT_TRUE(waitFor([](const DeviceStatus& s) { return s.armedPolls == 1; }));
    simulator_->unplug(0);
    ASSERT_EQ(reading.wait_for(thermo::testing::kPatience), std::future_status::ready)
        << "it waited for the time-out";
    EXPECT_EQ(reading.get().outcome, hid::ReadOutcome::Gone);
}

// Reports the thermometer queued before it was pulled out do not keep it present: the first poll
// after the unplug marks it absent, so the status turns red at the next tick.
TEST_F(LinuxBackend, AnUnplugWithReportsQueuedIsNoticedByTheNextPoll) {
    start();
    auto backend = platform();
    hid::HIDusb module(backend);
    ASSERT_TRUE(module.FindThermometer()) << module.LastProblem;
    simulator_->send(0, 3);
    ASSERT_TRUE(waitFor([](const DeviceStatus& s) {
        return s.queued.size() == 2 && s.queued[0] == 3 && s.queued[1] == 3;
    }));
    simulator_->unplug(0);
    module.PollThermometer();
    EXPECT_FALSE(module.DevicePresent);
    EXPECT_EQ(module.ReportBuffer, std::nullopt);
    EXPECT_EQ(simulator_->status(0).counters.reads, 0u) << "a queued report was taken";
    EXPECT_TRUE(waitFor([](const DeviceStatus& s) { return s.staleOpenFiles == 0; }));
}

TEST_F(LinuxBackend, AfterAReplugTheThermometerIsFoundAgain) {
    start();
    auto backend = platform();
    hid::HIDusb module(backend);
    ASSERT_TRUE(module.FindThermometer());
    simulator_->replug(0);
    simulator_->setRate(0, 50);
    module.PollThermometer();  // the old node is gone
    EXPECT_FALSE(module.DevicePresent);
    module.PollThermometer();  // searches, finds the new node, reads
    EXPECT_TRUE(module.DevicePresent);
    EXPECT_EQ(simulator_->status(0).minor, 1);  // the old one was still open when it came back
}

}  // namespace
}  // namespace thermo::sim::test
