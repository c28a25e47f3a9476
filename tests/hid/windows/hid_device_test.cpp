// The Windows HID layer against a thermometer: run under wine inside the simulator's namespace by
// the end-to-end tests (desktop_test.cpp), which tell it through the environment what the
// simulated thermometer sends:
//   THERMO_SIM_REPORT_LENGTH  bytes of a report as ReadFile delivers it, id byte included
//   THERMO_SIM_VALUE          "B1,B2", the value bytes of every report
//   THERMO_SIM_RATE           reports a second; 0 for a silent device
//   THERMO_SIM_UNPLUG_MARKER  a file to create when a read is about to wait; the harness then
//                             unplugs the thermometer
// Without them (any other run) the tests skip.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "hid/hidusb.h"
#include "hid/windows/windows_platform.h"
#include "tests/support/wait_until.h"

namespace thermo::hid {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using thermo::testing::kPatience;
// A time-out the tests never reach: a read that ends within kPatience did not wait for it.
constexpr milliseconds kUnreached = 2 * kPatience;

std::optional<std::string> env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

class HidDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto length = env("THERMO_SIM_REPORT_LENGTH");
        const auto value = env("THERMO_SIM_VALUE");
        const auto rate = env("THERMO_SIM_RATE");
        if (!length || !value || !rate) {
            GTEST_SKIP() << "needs the simulated thermometer: the end-to-end tests run this "
                            "inside the simulator's namespace";
        }
        reportLength_ = std::stoi(*length);
        const auto comma = value->find(',');
        b1_ = static_cast<std::uint8_t>(std::stoi(value->substr(0, comma)));
        b2_ = static_cast<std::uint8_t>(std::stoi(value->substr(comma + 1)));
        rate_ = std::stoi(*rate);
    }

    // The first listed interface whose own ids are the thermometer's.
    std::optional<std::string> findThermometer() {
        for (const InterfaceEntry& entry : platform_.listInterfaces()) {
            try {
                auto handle = platform_.open(entry.path, OpenMode::Plain);
                if (platform_.readIds(*handle) == DeviceIds{0x04D8, 0x0002}) return entry.path;
            } catch (const PlatformError&) {
                // Not ours to open (a keyboard, say); the search goes on.
            }
        }
        return std::nullopt;
    }

    ReadResult read(Handle& handle, WaitEvent& event, milliseconds timeout) {
        buffer_.assign(static_cast<std::size_t>(reportLength_), 0);
        const auto start = Clock::now();
        ReadResult result = platform_.readReport(handle, event, buffer_, timeout);
        elapsed_ = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
        return result;
    }

    WindowsPlatform platform_;
    int reportLength_ = 0;
    std::uint8_t b1_ = 0;
    std::uint8_t b2_ = 0;
    int rate_ = 0;
    std::vector<std::uint8_t> buffer_;
    milliseconds elapsed_{0};
};

TEST_F(HidDeviceTest, ThermometerIsListedAndIdentifiedByItsOwnIds) {
    const auto path = findThermometer();
    ASSERT_TRUE(path.has_value()) << "no interface with ids 04D8/0002";
    EXPECT_NE(lower(*path).find("vid_04d8&pid_0002"), std::string::npos) << *path;

    auto handle = platform_.open(*path, OpenMode::Plain);
    EXPECT_EQ(platform_.inputReportLength(*handle), reportLength_);
}

TEST_F(HidDeviceTest, ReportComesWithTheIdByteFirst) {
    if (rate_ == 0) GTEST_SKIP() << "the simulated thermometer is silent in this run";
    const auto path = findThermometer();
    ASSERT_TRUE(path.has_value());
    auto reports = platform_.open(*path, OpenMode::ForReports);
    auto event = platform_.createReportEvent();

    const ReadResult result = read(*reports, *event, milliseconds(6000));
    ASSERT_EQ(result.outcome, ReadOutcome::Report) << result.error;
    EXPECT_EQ(result.bytes, static_cast<std::size_t>(reportLength_));
    EXPECT_EQ(buffer_[0], 0) << "a device without report ids gets 0 in front";
    EXPECT_EQ(buffer_[1], b1_);
    EXPECT_EQ(buffer_[2], b2_);
}

// Reports queue while nobody reads. A read after a pause must hand out what is there at once
// and leave nothing behind, so the read right after it waits for the device's next report: a
// wait of anywhere between nothing and one period, by chance. Left behind, the queue would serve
// every such read at once; five of them all within 10 ms by chance is a 1 in 10^5 event at 10 Hz.
TEST_F(HidDeviceTest, QueuedReportsAreDrainedNotServedOneByOne) {
    if (rate_ < 1 || rate_ > 20)
        GTEST_SKIP() << "needs a device that reports 1 to 20 times a second";
    const auto path = findThermometer();
    ASSERT_TRUE(path.has_value());
    auto reports = platform_.open(*path, OpenMode::ForReports);
    auto event = platform_.createReportEvent();
    const milliseconds period(1000 / rate_);

    milliseconds longestFollowUp{0};
    for (int round = 0; round < 5; ++round) {
        Sleep(static_cast<DWORD>(period.count() * 4));  // several reports queue up
        ASSERT_EQ(read(*reports, *event, milliseconds(6000)).outcome, ReadOutcome::Report);
        ASSERT_EQ(read(*reports, *event, milliseconds(6000)).outcome, ReadOutcome::Report);
        longestFollowUp = std::max(longestFollowUp, elapsed_);
    }
    EXPECT_GT(longestFollowUp, milliseconds(10)) << "queued reports were left behind";
}

TEST_F(HidDeviceTest, SilentDeviceTimesOutAndTheReadIsCancelled) {
    if (rate_ != 0) GTEST_SKIP() << "needs a silent simulated thermometer (--rate 0)";
    const auto path = findThermometer();
    ASSERT_TRUE(path.has_value());
    auto reports = platform_.open(*path, OpenMode::ForReports);
    auto event = platform_.createReportEvent();

    EXPECT_EQ(read(*reports, *event, milliseconds(1500)).outcome, ReadOutcome::TimedOut);
    EXPECT_GE(elapsed_, milliseconds(1400));
    EXPECT_LT(elapsed_, kPatience) << "the cancelled read must complete";
    // The handle is still usable: the cancelled read is not in the way.
    EXPECT_EQ(read(*reports, *event, milliseconds(300)).outcome, ReadOutcome::TimedOut);
}

// The device module's own reading of a silent device: 6000 ms, then both handles closed.
TEST_F(HidDeviceTest, ModuleMarksASilentDeviceAbsentAfterSixSeconds) {
    if (rate_ != 0) GTEST_SKIP() << "needs a silent simulated thermometer (--rate 0)";
    HIDusb device(platform_);
    ASSERT_TRUE(device.FindThermometer()) << device.LastProblem;
    const auto start = Clock::now();
    device.PollThermometer();
    const auto took = Clock::now() - start;
    EXPECT_FALSE(device.DevicePresent);
    EXPECT_EQ(device.DeviceHandle, nullptr);
    EXPECT_EQ(device.ReportHandle, nullptr);
    EXPECT_GE(took, milliseconds(5900));
    EXPECT_LT(took, milliseconds(6000) + kPatience) << "it waited for more than one time-out";
}

TEST_F(HidDeviceTest, UnplugEndsAPendingReadAsGone) {
    const auto marker = env("THERMO_SIM_UNPLUG_MARKER");
    if (!marker) GTEST_SKIP() << "needs the harness to unplug the thermometer on cue";
    const auto path = findThermometer();
    ASSERT_TRUE(path.has_value());
    auto reports = platform_.open(*path, OpenMode::ForReports);
    auto event = platform_.createReportEvent();
    // Drain what is queued, so that the next read waits.
    if (rate_ > 0) {
        ASSERT_EQ(read(*reports, *event, milliseconds(6000)).outcome, ReadOutcome::Report);
    }

    std::ofstream(*marker) << "unplug\n";
    ReadResult result = read(*reports, *event, kUnreached);
    // A report that arrived before the unplug took effect is fine; the read after it is not.
    for (int i = 0; i < 100 && result.outcome == ReadOutcome::Report; ++i) {
        result = read(*reports, *event, kUnreached);
    }
    EXPECT_EQ(result.outcome, ReadOutcome::Gone);
    std::cout << "the read ended " << elapsed_.count() << " ms after the cue: " << result.error
              << "\n";
    EXPECT_LT(elapsed_, kPatience) << "an unplug must not wait for the time-out";
    EXPECT_EQ(result.error.rfind("ReadFile " + *path + ": ", 0), 0u) << result.error;
}

}  // namespace
}  // namespace thermo::hid
