#include "hid/hidusb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "tests/support/fake_platform.h"

namespace thermo::hid {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Calls = std::vector<std::string>;

constexpr DeviceIds Keyboard{0x046D, 0xC31C};
constexpr DeviceIds OtherVendorSameProduct{0x04D9, 0x0002};

class HIDusbTest : public ::testing::Test {
  protected:
    // What a search that takes the thermometer at `path` does, in order.
    static Calls takes(const std::string& path) {
        return {"open " + path + " plain", "ids " + path, "length " + path,
                "open " + path + " reports"};
    }
    static Calls triedAndClosed(const std::string& path) {
        return {"open " + path + " plain", "ids " + path, "close " + path + " plain"};
    }
    static Calls concat(std::initializer_list<Calls> parts) {
        Calls all;
        for (const Calls& p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    }

    void expectPresent(bool present) {
        EXPECT_EQ(hid.DevicePresent, present);
        EXPECT_EQ(platform.openHandleCount(), present ? 2 : 0);
        EXPECT_EQ(hid.DeviceHandle != nullptr, present);
        EXPECT_EQ(hid.ReportHandle != nullptr, present);
    }

    FakePlatform platform;
    HIDusb hid{platform};
};

TEST_F(HIDusbTest, NoInterfacesFindsNothingAndOpensNothing) {
    EXPECT_FALSE(hid.FindThermometer());
    expectPresent(false);
    EXPECT_EQ(platform.calls(), Calls{"list"});
    EXPECT_EQ(hid.LastProblem, "");
}

TEST_F(HIDusbTest, SearchesInOrderSkipsKnownStrangersAndStopsAtFirstMatch) {
    platform.addInterface({"/dev/hidraw0", Keyboard, 8, true});
    platform.addInterface({"/dev/hidraw1", OtherVendorSameProduct, 3, false});
    platform.addInterface({"/dev/hidraw2", {0x04D8, 0x0003}, 3, false});
    platform.addThermometer("/dev/hidraw3");
    platform.addThermometer("/dev/hidraw4");

    EXPECT_TRUE(hid.FindThermometer());
    expectPresent(true);
    EXPECT_EQ(platform.calls(), concat({{"list"},
                                        triedAndClosed("/dev/hidraw1"),
                                        triedAndClosed("/dev/hidraw2"),
                                        takes("/dev/hidraw3"),
                                        {"event"}}));
    EXPECT_EQ(hid.DeviceCaps.InputReportByteLength, 3);
}

TEST_F(HIDusbTest, InterfaceWithUnknownIdsIsTakenByItsOwnIds) {
    platform.addInterface({"/dev/hidraw0", {0x04D8, 0x0002}, 3, false});
    EXPECT_TRUE(hid.FindThermometer());
    expectPresent(true);
}

// An earlier search's ids must not stand in for an interface whose query fails.
TEST_F(HIDusbTest, FailedIdQueryAfterEarlierMatchIsNotTaken) {
    platform.addThermometer("/dev/hidraw0");
    ASSERT_TRUE(hid.FindThermometer());
    platform.removeInterface("/dev/hidraw0");
    hid.PollThermometer();  // the read finds it gone
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
    EXPECT_EQ(platform.openCount("/dev/hidraw1"), 2);

    platform.removeInterface("/dev/hidraw1");
    hid.PollThermometer();
    EXPECT_FALSE(hid.FindThermometer());
    EXPECT_EQ(hid.LastProblem, "/dev/hidraw0: its report description gives no usable input report");
}

INSTANTIATE_TEST_SUITE_P(Lengths, UnusableLengthTest, ::testing::Values(0, -1, 40000));

TEST_F(HIDusbTest, EventIsCreatedOnceAcrossUnplugAndReplug) {
    platform.addThermometer("/dev/hidraw0");
    ASSERT_TRUE(hid.FindThermometer());
    const WaitEvent* first = hid.ReportEvent.get();
    platform.removeInterface("/dev/hidraw0");
    hid.PollThermometer();
    ASSERT_FALSE(hid.DevicePresent);
    platform.addThermometer("/dev/hidraw1");
    ASSERT_TRUE(hid.FindThermometer());
    EXPECT_EQ(platform.createEventCount(), 1);
    EXPECT_EQ(hid.ReportEvent.get(), first);
}

TEST_F(HIDusbTest, SearchWhilePresentReleasesWhatItHeld) {
    platform.addThermometer("/dev/hidraw0");
    ASSERT_TRUE(hid.FindThermometer());
    ASSERT_TRUE(hid.FindThermometer());
    expectPresent(true);
}

TEST_F(HIDusbTest, ReportArrivesAndDeviceStaysPresent) {
    platform.addThermometer("/dev/hidraw0", 8);
    ASSERT_TRUE(hid.FindThermometer());
    platform.queueReport("/dev/hidraw0", {0, 133, 0, 1, 2, 3, 4, 5});
    hid.PollThermometer();
    expectPresent(true);
    EXPECT_EQ(hid.ReportBuffer, (Bytes{0, 133, 0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(platform.lastReadSize(), 8u);
    EXPECT_EQ(platform.lastReadTimeout(), std::chrono::milliseconds(6000));
}

TEST_F(HIDusbTest, ShortReportLeavesTheRestZero) {
    platform.addThermometer("/dev/hidraw0", 8);
    ASSERT_TRUE(hid.FindThermometer());
    platform.queueReport("/dev/hidraw0", {9, 9, 9, 9, 9, 9, 9, 9});
    hid.PollThermometer();
    platform.queueReport("/dev/hidraw0", {0, 7, 6});
    hid.PollThermometer();
    EXPECT_EQ(hid.ReportBuffer, (Bytes{0, 7, 6, 0, 0, 0, 0, 0}));
}

struct FailedRead {
    const char* name;
    void (*arrange)(FakePlatform&, const std::string& path);
};
void PrintTo(const FailedRead& row, std::ostream* os) { *os << row.name; }

class FailedReadTest : public HIDusbTest, public ::testing::WithParamInterface<FailedRead> {};

TEST_P(FailedReadTest, ClosesBothHandlesAndLeavesZeros) {
    platform.addThermometer("/dev/hidraw0", 4);
    ASSERT_TRUE(hid.FindThermometer());
    platform.queueReport("/dev/hidraw0", {1, 2, 3, 4});
    hid.PollThermometer();
    GetParam().arrange(platform, "/dev/hidraw0");
    hid.PollThermometer();
    expectPresent(false);
    EXPECT_EQ(hid.ReportBuffer, (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(platform.closeCount("/dev/hidraw0"), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, FailedReadTest,
    ::testing::Values(
        FailedRead{"TimedOut",
                   [](FakePlatform& p, const std::string& path) { p.queueTimeout(path); }},
        FailedRead{"Gone", [](FakePlatform& p, const std::string& path) { p.queueGone(path); }},
        FailedRead{"Unplugged",
                   [](FakePlatform& p, const std::string& path) { p.removeInterface(path); }},
        FailedRead{"Woken", [](FakePlatform& p, const std::string& path) { p.queueWoken(path); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HIDusbTest, PollWhileAbsentSearchesOnceAndDoesNotRead) {
    platform.addThermometer("/dev/hidraw0", 3);
    ASSERT_TRUE(hid.FindThermometer());
    platform.queueReport("/dev/hidraw0", {0, 1, 2});
    hid.PollThermometer();
    platform.removeInterface("/dev/hidraw0");
    hid.PollThermometer();  // gone: buffer zeroed
    platform.clearCalls();

    hid.PollThermometer();
    EXPECT_EQ(platform.calls(), Calls{"list"});
    EXPECT_EQ(hid.ReportBuffer, (Bytes{0, 0, 0}));
    expectPresent(false);
}

TEST_F(HIDusbTest, PollAfterReplugSearchesAndReadsInTheSameCall) {
    platform.addThermometer("/dev/hidraw5", 3);
    platform.queueReport("/dev/hidraw5", {0, 133, 0});
    hid.PollThermometer();
    expectPresent(true);
    EXPECT_EQ(platform.listCount(), 1);
    EXPECT_EQ(hid.ReportBuffer, (Bytes{0, 133, 0}));
}

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
    // A lost wake would end the read only by its time-out, with the same state afterwards.
    Calls calls = platform.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "wake"), 1);
    EXPECT_EQ(platform.readCount(), 1);
}

}  // namespace
}  // namespace thermo::hid
