#include "hid/hidusb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "tests/support/fake_platform.h"
#include "tests/support/row_name.h"

namespace thermo::hid {
namespace {

using thermo::PrintTo;

using Bytes = std::vector<std::uint8_t>;
using Calls = std::vector<std::string>;
using Fake = FakePlatform;

class HIDusbTest : public ::testing::Test {
  protected:
    void expectPresent(bool present) {
        EXPECT_EQ(hid.DevicePresent, present);
        EXPECT_EQ(platform.openHandleCount(), present ? 2 : 0);
        EXPECT_EQ(hid.DeviceHandle != nullptr && hid.ReportHandle != nullptr, present);
    }
    // Found, then unplugged and noticed by a read.
    void findThenLose(const std::string& path) {
        ASSERT_TRUE(hid.FindThermometer());
        platform.removeInterface(path);
        hid.PollThermometer();
        ASSERT_FALSE(hid.DevicePresent);
    }

    Fake platform;
    HIDusb hid{platform};
};

TEST_F(HIDusbTest, NoInterfacesFindsNothingAndOpensNothing) {
    EXPECT_FALSE(hid.FindThermometer());
    expectPresent(false);
    EXPECT_EQ(platform.calls(), Calls{"list"});
}

// The platform's list of interfaces cannot be had (SetupDiGetClassDevsA fails): the search
// finds nothing and says why, and a later one tries again.
TEST_F(HIDusbTest, ListThatCannotBeHadFindsNothingAndTheNextSearchTriesAgain) {
    platform.addThermometer("/dev/hidraw0");
    platform.failListing("SetupDiGetClassDevsA HID interfaces: Not enough memory (error 8)");
    EXPECT_FALSE(hid.FindThermometer());
    expectPresent(false);
    EXPECT_EQ(hid.LastProblem, "SetupDiGetClassDevsA HID interfaces: Not enough memory (error 8)");
    EXPECT_EQ(platform.calls(), Calls{"list"});

    platform.failListing(std::nullopt);
    EXPECT_TRUE(hid.FindThermometer());
    expectPresent(true);
    EXPECT_TRUE(hid.LastProblem.empty());
}

TEST_F(HIDusbTest, SearchesInOrderSkipsKnownStrangersAndTakesFirstByItsOwnIds) {
    platform.addInterface({"/dev/hidraw0", {0x046D, 0xC31C}, 8, true});  // a keyboard
    platform.addInterface({"/dev/hidraw1", {0x04D9, 0x0002}, 3, false});
    platform.addInterface({"/dev/hidraw2", {0x04D8, 0x0003}, 3, false});
    platform.addInterface({"/dev/hidraw3", {0x04D8, 0x0002}, 3, false});
    platform.addThermometer("/dev/hidraw4");

    EXPECT_TRUE(hid.FindThermometer());
    expectPresent(true);
    EXPECT_EQ(platform.calls(),
              (Calls{"list", "open /dev/hidraw1 plain", "ids /dev/hidraw1",
                     "close /dev/hidraw1 plain", "open /dev/hidraw2 plain", "ids /dev/hidraw2",
                     "close /dev/hidraw2 plain", "open /dev/hidraw3 plain", "ids /dev/hidraw3",
                     "length /dev/hidraw3", "open /dev/hidraw3 reports", "event"}));
    EXPECT_EQ(hid.DeviceCaps.InputReportByteLength, 3);
    EXPECT_EQ(hid.DevicePath, "/dev/hidraw3");
}

// An earlier search's ids must not stand in for an interface whose own query fails.
TEST_F(HIDusbTest, FailedIdQueryAfterEarlierMatchIsNotTaken) {
    platform.addThermometer("/dev/hidraw0");
    findThenLose("/dev/hidraw0");
    platform.addInterface({"/dev/hidraw1", {0x04D8, 0x0002}, 3, false});
    platform.failReadIds("/dev/hidraw1", "ids /dev/hidraw1: Broken pipe");
    EXPECT_FALSE(hid.FindThermometer());
    expectPresent(false);
    EXPECT_EQ(platform.closeCount("/dev/hidraw1"), 1);
}

TEST_F(HIDusbTest, UnopenableThermometerIsExplainedAndTheSearchGoesOn) {
    platform.addThermometer("/dev/hidraw3");
    platform.failOpen("/dev/hidraw3", "open /dev/hidraw3: Permission denied", OpenMode::Plain,
                      "install the udev rule");
    EXPECT_FALSE(hid.FindThermometer());
    expectPresent(false);
    EXPECT_EQ(hid.LastProblem, "open /dev/hidraw3: Permission denied \u2014 install the udev rule");

    platform.addThermometer("/dev/hidraw4");
    EXPECT_TRUE(hid.FindThermometer());
    expectPresent(true);
    EXPECT_EQ(hid.LastProblem, "");
}

TEST_F(HIDusbTest, SecondOpenFailingLeavesNothingOpen) {
    platform.addThermometer("/dev/hidraw3");
    platform.failOpen("/dev/hidraw3", "open /dev/hidraw3: Device or resource busy",
                      OpenMode::ForReports);
    EXPECT_FALSE(hid.FindThermometer());
    expectPresent(false);
    EXPECT_EQ(hid.LastProblem, "open /dev/hidraw3: Device or resource busy");
}

class UnusableLengthTest : public HIDusbTest, public ::testing::WithParamInterface<int> {};

TEST_P(UnusableLengthTest, InterfaceIsPassedOver) {
    platform.addThermometer("/dev/hidraw0", GetParam());
    platform.addThermometer("/dev/hidraw1", 3);
    EXPECT_TRUE(hid.FindThermometer());
    expectPresent(true);
    EXPECT_EQ(platform.closeCount("/dev/hidraw0"), 1);

    findThenLose("/dev/hidraw1");
    EXPECT_FALSE(hid.FindThermometer());
    EXPECT_EQ(hid.LastProblem, "/dev/hidraw0: its report description gives no usable input report");
}

INSTANTIATE_TEST_SUITE_P(Lengths, UnusableLengthTest, ::testing::Values(0, -1, 40000));

TEST_F(HIDusbTest, ReplugIsReadInTheSameCallWithTheSameEvent) {
    platform.addThermometer("/dev/hidraw0");
    findThenLose("/dev/hidraw0");
    const WaitEvent* event = hid.ReportEvent.get();
    platform.addThermometer("/dev/hidraw1");
    platform.queueReport("/dev/hidraw1", {0, 133, 0});
    platform.clearCalls();

    hid.PollThermometer();
    expectPresent(true);
    EXPECT_EQ(platform.listCount(), 1);
    EXPECT_EQ(hid.ReportBuffer, (Bytes{0, 133, 0}));
    EXPECT_EQ(platform.createEventCount(), 0);
    EXPECT_EQ(hid.ReportEvent.get(), event);
}

TEST_F(HIDusbTest, SearchWhilePresentReleasesWhatItHeld) {
    platform.addThermometer("/dev/hidraw0");
    ASSERT_TRUE(hid.FindThermometer());
    ASSERT_TRUE(hid.FindThermometer());
    expectPresent(true);
}

// A short report is a failed read that leaves nothing to convert, yet the device is still there.
TEST_F(HIDusbTest, ReportsFillABufferOfTheReportLengthAndShortOnesLeaveNone) {
    platform.addThermometer("/dev/hidraw0", 8);
    ASSERT_TRUE(hid.FindThermometer());
    platform.queueReport("/dev/hidraw0", {9, 9, 9, 9, 9, 9, 9, 9});
    platform.queueReport("/dev/hidraw0", {0, 7, 6});
    hid.PollThermometer();
    EXPECT_EQ(hid.ReportBuffer, (Bytes{9, 9, 9, 9, 9, 9, 9, 9}));
    EXPECT_EQ(platform.lastReadSize(), 8u);
    EXPECT_EQ(platform.lastReadTimeout(), std::chrono::milliseconds(6000));
    hid.PollThermometer();
    EXPECT_EQ(hid.ReportBuffer, std::nullopt);
    EXPECT_EQ(hid.LastRead.outcome, ReadOutcome::Report);
    EXPECT_EQ(hid.LastRead.bytes, 3u);
    expectPresent(true);
}

struct FailedRead {
    const char* name;
    void (*arrange)(Fake&);
    ReadOutcome outcome;  // what the module says of the read
};

class FailedReadTest : public HIDusbTest, public ::testing::WithParamInterface<FailedRead> {};

TEST_P(FailedReadTest, ClosesBothHandlesLeavesNoReportAndTheNextPollOnlySearches) {
    platform.addThermometer("/dev/hidraw0", 4);
    ASSERT_TRUE(hid.FindThermometer());
    platform.queueReport("/dev/hidraw0", {1, 2, 3, 4});
    hid.PollThermometer();
    GetParam().arrange(platform);
    hid.PollThermometer();
    expectPresent(false);
    EXPECT_EQ(hid.ReportBuffer, std::nullopt);
    EXPECT_EQ(hid.LastRead.outcome, GetParam().outcome);
    EXPECT_EQ(platform.closeCount("/dev/hidraw0"), 2);

    platform.removeInterface("/dev/hidraw0");
    platform.clearCalls();
    hid.PollThermometer();
    EXPECT_EQ(platform.calls(), Calls{"list"});
    EXPECT_EQ(hid.ReportBuffer, std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, FailedReadTest,
    ::testing::Values(
        FailedRead{"TimedOut", [](Fake& p) { p.queueTimeout("/dev/hidraw0"); },
                   ReadOutcome::TimedOut},
        FailedRead{"Gone", [](Fake& p) { p.queueGone("/dev/hidraw0"); }, ReadOutcome::Gone},
        FailedRead{"Unplugged", [](Fake& p) { p.removeInterface("/dev/hidraw0"); },
                   ReadOutcome::Gone},
        FailedRead{"Woken", [](Fake& p) { p.queueWoken("/dev/hidraw0"); }, ReadOutcome::Woken}),
    rowName);

TEST_F(HIDusbTest, CloseHandlesReleasesBoth) {
    platform.addThermometer("/dev/hidraw0");
    ASSERT_TRUE(hid.FindThermometer());
    hid.CloseHandles();
    expectPresent(false);
}

TEST_F(HIDusbTest, WakeEndsAReadPendingOnAnotherThread) {
    platform.addThermometer("/dev/hidraw0");
    ASSERT_TRUE(hid.FindThermometer());
    platform.setBlockingReads(true);
    std::thread reader([&] { hid.PollThermometer(); });
    ASSERT_TRUE(platform.waitForReadsStarted(1, std::chrono::seconds(10)));
    hid.WakePendingRead();
    reader.join();
    expectPresent(false);
}

TEST_F(HIDusbTest, WakeBeforeTheEventExistsStillEndsTheFirstRead) {
    hid.WakePendingRead();
    platform.addThermometer("/dev/hidraw0");
    platform.setBlockingReads(true);
    hid.PollThermometer();
    expectPresent(false);
    // A lost wake would end the read by its time-out instead, with the same state afterwards.
    Calls calls = platform.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "wake"), 1);
}

}  // namespace
}  // namespace thermo::hid
