#include "hid/linux/linux_platform.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <future>

#include "tests/support/row_name.h"
#include "tests/support/temp_dir.h"
#include "tests/support/unprivileged.h"
#include "tests/support/wait_until.h"

namespace thermo::hid {
namespace {

using thermo::PrintTo;

namespace fs = std::filesystem;
using thermo::testing::TempDir;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using thermo::testing::kPatience;
// A time-out the tests never reach: a read that ends within kPatience did not wait for it.
constexpr milliseconds kUnreachedTimeout = 2 * kPatience;

const std::string ThermometerUevent =
    "DRIVER=hid-generic\nHID_ID=0003:000004D8:00000002\nHID_NAME=Thermometer\n";
const Bytes kNoIdsDescriptor{0x75, 8, 0x95, 2, 0x81, 2};  // 2 bytes
const Bytes kWithIdsDescriptor{0x85, 1, 0x75, 8, 0x95, 4, 0x81, 2, 0x85, 2, 0x95, 2, 0x81, 2};

void writeFile(const fs::path& path, std::string_view content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(content.data(), std::streamsize(content.size()));
}

class LinuxTree : public ::testing::Test {
  protected:
    fs::path sys() const { return dir.path() / "sys"; }
    fs::path dev() const { return dir.path() / "dev"; }

    // A hidraw node: its sysfs entry, and a regular file standing in for /dev/hidrawN.
    void addNode(const std::string& name, std::optional<std::string> uevent,
                 std::optional<Bytes> descriptor) {
        fs::path device = sys() / "class" / "hidraw" / name / "device";
        fs::create_directories(device);
        if (uevent) writeFile(device / "uevent", *uevent);
        if (descriptor) {
            writeFile(device / "report_descriptor",
                      std::string(descriptor->begin(), descriptor->end()));
        }
        writeFile(dev() / name, "");
    }

    TempDir dir;
    LinuxPlatform platform{sys(), dev()};
};

TEST_F(LinuxTree, ListsInNumericOrderAndLeavesOutWhatItCannotIdentify) {
    addNode("hidraw10", ThermometerUevent, kNoIdsDescriptor);
    addNode("hidraw2", "HID_ID=0003:0000046D:0000C31C\n", kNoIdsDescriptor);
    addNode("hidraw1", ThermometerUevent, kNoIdsDescriptor);
    addNode("hidraw3", "HID_ID=0003:04D8\n", kNoIdsDescriptor);
    addNode("hidraw4", std::nullopt, kNoIdsDescriptor);
    addNode("hidraw5", std::string(10000, 'x') + "\n" + ThermometerUevent, kNoIdsDescriptor);
    fs::create_directories(sys() / "class" / "hidraw" / "hidrawX");

    std::vector<InterfaceEntry> entries = platform.listInterfaces();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].path, (dev() / "hidraw1").string());
    EXPECT_EQ(entries[1].path, (dev() / "hidraw2").string());
    EXPECT_EQ(entries[2].path, (dev() / "hidraw10").string());
    EXPECT_EQ(entries[0].ids, (DeviceIds{0x04D8, 0x0002}));
    EXPECT_EQ(entries[1].ids, (DeviceIds{0x046D, 0xC31C}));
}

TEST_F(LinuxTree, NoHidrawClassMeansNoInterfaces) {
    EXPECT_TRUE(platform.listInterfaces().empty());
}

struct UeventRow {
    const char* name;
    std::string text;
    std::optional<DeviceIds> ids;
};

class UeventTest : public ::testing::TestWithParam<UeventRow> {};

TEST_P(UeventTest, Parses) { EXPECT_EQ(parseUeventIds(GetParam().text), GetParam().ids); }

INSTANTIATE_TEST_SUITE_P(
    Rows, UeventTest,
    ::testing::Values(
        UeventRow{"AmongOtherLines", ThermometerUevent, DeviceIds{0x04D8, 2}},
        UeventRow{"LowerCaseHex", "HID_ID=0003:000004d8:0000c31c", DeviceIds{0x04D8, 0xC31C}},
        UeventRow{"NoHidIdLine", "DRIVER=hid-generic\n", std::nullopt},
        UeventRow{"KeyNotAtLineStart", "XHID_ID=0003:000004D8:00000002", std::nullopt},
        UeventRow{"TwoFields", "HID_ID=000004D8:00000002", std::nullopt},
        UeventRow{"EmptyField", "HID_ID=0003::00000002", std::nullopt},
        UeventRow{"NotHex", "HID_ID=0003:000004G8:00000002", std::nullopt},
        UeventRow{"HexPrefix", "HID_ID=0003:0x04D8:00000002", std::nullopt},
        UeventRow{"TrailingJunk", "HID_ID=0003:000004D8:00000002 x", std::nullopt},
        UeventRow{"NineDigits", "HID_ID=0003:0000004D8:00000002", std::nullopt},
        UeventRow{"VendorBeyond16Bits", "HID_ID=0003:000104D8:00000002", std::nullopt}),
    rowName);

// A node laid out as the kernel does it: class/hidraw/NAME leads into devices/, where the HID
// device's folder holds hidraw/NAME, whose `device` leads back up to it. `kinds` gives the
// DEVTYPE of folders above the HID device (relative to devices/); a kind of "" writes none.
struct AncestryRow {
    const char* name;
    std::string hidDevice;  // below devices/
    std::string uevent;
    std::vector<std::pair<std::string, std::string>> kinds;
    std::string port;
};

class LinuxPort : public LinuxTree, public ::testing::WithParamInterface<AncestryRow> {
  protected:
    void addKernelNode(const std::string& name, const AncestryRow& row) {
        const fs::path devices = sys() / "devices";
        const fs::path hid = devices / row.hidDevice;
        writeFile(hid / "uevent", row.uevent);
        writeFile(hid / "report_descriptor",
                  std::string(kNoIdsDescriptor.begin(), kNoIdsDescriptor.end()));
        fs::create_directories(hid / "hidraw" / name);
        fs::create_symlink(fs::path("../../..") / hid.filename(), hid / "hidraw" / name / "device");
        fs::create_directories(sys() / "class" / "hidraw");
        fs::create_symlink(fs::path("../../devices") / row.hidDevice / "hidraw" / name,
                           sys() / "class" / "hidraw" / name);
        for (const auto& [folder, kind] : row.kinds) {
            fs::create_directories(devices / folder);
            if (!kind.empty()) writeFile(devices / folder / "uevent", "DEVTYPE=" + kind + "\n");
        }
        writeFile(dev() / name, "");
    }
};

const std::string kUsb = "pci0000:00/0000:00:14.0/usb1/";

TEST_P(LinuxPort, IsTheUsbDeviceAboveTheInterfaceOrNone) {
    addKernelNode("hidraw4", GetParam());
    std::vector<InterfaceEntry> entries = platform.listInterfaces();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].port, GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LinuxPort,
    ::testing::Values(
        AncestryRow{"RootPort",
                    kUsb + "1-2/1-2:1.0/0003:04D8:0002.0001",
                    ThermometerUevent,
                    {{kUsb + "1-2", "usb_device"}, {kUsb + "1-2/1-2:1.0", "usb_interface"}},
                    "1-2"},
        AncestryRow{"BehindAHub",
                    "pci0000:00/0000:00:14.0/usb3/3-1/3-1.4/3-1.4:1.0/0003:04D8:0002.0007",
                    ThermometerUevent,
                    {{"pci0000:00/0000:00:14.0/usb3/3-1", "usb_device"},
                     {"pci0000:00/0000:00:14.0/usb3/3-1/3-1.4", "usb_device"},
                     {"pci0000:00/0000:00:14.0/usb3/3-1/3-1.4/3-1.4:1.0", "usb_interface"}},
                    "3-1.4"},
        AncestryRow{"VirtualHidDevice",
                    "virtual/misc/uhid/0003:04D8:0002.0003",
                    ThermometerUevent,
                    {{"virtual/misc/uhid", ""}},
                    ""},
        AncestryRow{"InterfaceWithoutAUsbDeviceAbove",
                    kUsb + "1-3/1-3:1.0/0003:04D8:0002.0004",
                    ThermometerUevent,
                    {{kUsb + "1-3", ""}, {kUsb + "1-3/1-3:1.0", "usb_interface"}},
                    ""},
        AncestryRow{"UsbDeviceRightAboveTheHidDevice",
                    kUsb + "1-5/0003:04D8:0002.0005",
                    ThermometerUevent,
                    {{kUsb + "1-5", "usb_device"}},
                    ""},
        // Only the thermometer's ancestry is walked.
        AncestryRow{"AnotherDevice",
                    kUsb + "1-6/1-6:1.0/0003:046D:C31C.0006",
                    "HID_ID=0003:0000046D:0000C31C\n",
                    {{kUsb + "1-6", "usb_device"}, {kUsb + "1-6/1-6:1.0", "usb_interface"}},
                    ""}),
    rowName);

// The trees the other tests build have no device folders at all.
TEST_F(LinuxTree, NodeWithoutUsbAncestryHasNoPort) {
    addNode("hidraw1", ThermometerUevent, kNoIdsDescriptor);
    std::vector<InterfaceEntry> entries = platform.listInterfaces();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].port, "");
}

TEST_F(LinuxTree, OpenedHandleAnswersFromItsSysfsEntry) {
    addNode("hidraw3", ThermometerUevent, kWithIdsDescriptor);
    const std::string path = (dev() / "hidraw3").string();
    for (OpenMode mode : {OpenMode::Plain, OpenMode::ForReports}) {
        std::unique_ptr<Handle> handle = platform.open(path, mode);
        auto& native = dynamic_cast<LinuxHandle&>(*handle);
        EXPECT_TRUE(::fcntl(native.fd(), F_GETFD) & FD_CLOEXEC);
        EXPECT_EQ((::fcntl(native.fd(), F_GETFL) & O_NONBLOCK) != 0, mode == OpenMode::ForReports);
        EXPECT_EQ((::fcntl(native.fd(), F_GETFL) & O_ACCMODE), O_RDWR);
        // The report handle must know the layout without being asked for the length.
        EXPECT_EQ(native.usesReportIds(), mode == OpenMode::ForReports);
        EXPECT_EQ(platform.readIds(*handle), (DeviceIds{0x04D8, 0x0002}));
        EXPECT_EQ(platform.inputReportLength(*handle), 5);
        EXPECT_TRUE(native.usesReportIds());
    }
}

TEST_F(LinuxTree, MissingDescriptorIsAnError) {
    addNode("hidraw0", ThermometerUevent, std::nullopt);
    std::unique_ptr<Handle> handle = platform.open((dev() / "hidraw0").string(), OpenMode::Plain);
    EXPECT_THROW(platform.inputReportLength(*handle), PlatformError);
    EXPECT_THROW(platform.open((dev() / "hidraw0").string(), OpenMode::ForReports), PlatformError);
}

TEST_F(LinuxTree, DescriptorIsReadNoFurtherThanTheKernelsLimit) {
    // 4096 end-collection items (no data), then a usable descriptor the reader must not reach.
    Bytes descriptor(4096 + kNoIdsDescriptor.size(), 0xC0);
    std::copy(kNoIdsDescriptor.begin(), kNoIdsDescriptor.end(), descriptor.begin() + 4096);
    addNode("hidraw0", ThermometerUevent, descriptor);
    std::unique_ptr<Handle> handle = platform.open((dev() / "hidraw0").string(), OpenMode::Plain);
    EXPECT_EQ(platform.inputReportLength(*handle), 0);
}

TEST_F(LinuxTree, OpenFailureNamesTheCallAndReason) {
    const std::string path = (dev() / "hidraw9").string();
    try {
        platform.open(path, OpenMode::Plain);
        FAIL() << "opened a missing node";
    } catch (const PlatformError& e) {
        EXPECT_EQ(std::string(e.what()), "open " + path + ": No such file or directory");
        EXPECT_EQ(e.hint(), "");
    }
}

// As an ordinary user also when the suite runs as root, who may open anything.
TEST_F(LinuxTree, DeniedOpenHintsAtTheUdevRule) {
    addNode("hidraw3", ThermometerUevent, kNoIdsDescriptor);
    const fs::path path = dev() / "hidraw3";
    fs::permissions(path, fs::perms::none);
    const test::UnprivilegedResult result = test::runUnprivileged(dir.path(), [&]() -> std::string {
        try {
            platform.open(path.string(), OpenMode::Plain);
            return "opened a node without permission";
        } catch (const PlatformError& e) {
            const bool named =
                std::string(e.what()) == "open " + path.string() + ": Permission denied";
            const bool hinted = e.hint().find("70-usb-thermometer.rules") != std::string::npos;
            return (named ? "" : std::string("error: ") + e.what() + "\n") +
                   (hinted ? "" : "hint: " + e.hint());
        }
    });
    if (!result.ran) {
        GTEST_SKIP() << result.detail;
    }
    EXPECT_EQ(result.detail, "");
}

// A SOCK_SEQPACKET pair keeps message boundaries as hidraw keeps report boundaries.
class LinuxRead : public ::testing::Test {
  protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        ASSERT_EQ(::fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
        ours = os::UniqueFd(fds[0]);
        peer = os::UniqueFd(fds[1]);
        event = platform.createReportEvent();
    }

    LinuxHandle handle(bool usesIds) {
        return LinuxHandle(std::move(ours), "/dev/hidraw7", "/nonexistent", usesIds);
    }

    void send(const Bytes& report) {
        ASSERT_EQ(::send(peer.get(), report.data(), report.size(), 0), ssize_t(report.size()));
    }

    ReadResult read(LinuxHandle& h, Bytes& buffer, milliseconds timeout = milliseconds(6000)) {
        return platform.readReport(h, *event, buffer, timeout);
    }

    LinuxPlatform platform{"/nonexistent", "/nonexistent"};
    os::UniqueFd ours, peer;
    std::unique_ptr<WaitEvent> event;
};

struct LayoutRow {
    const char* name;
    bool usesIds;
    std::vector<Bytes> sent;  // queued before the read, oldest first
    std::size_t size;
    Bytes expected;
    std::size_t bytes;
};

class LinuxLayout : public LinuxRead, public ::testing::WithParamInterface<LayoutRow> {};

TEST_P(LinuxLayout, DeliversTheNewestReportIdFirst) {
    const LayoutRow& row = GetParam();
    LinuxHandle h = handle(row.usesIds);
    for (const Bytes& report : row.sent) send(report);
    Bytes buffer(row.size, 0xEE);
    ReadResult r = read(h, buffer);
    EXPECT_EQ(r.outcome, ReadOutcome::Report);
    EXPECT_EQ(r.bytes, row.bytes);
    EXPECT_EQ(buffer, row.expected);
    // Older reports were dropped, not left for the next read.
    EXPECT_EQ(read(h, buffer, milliseconds(20)).outcome, ReadOutcome::TimedOut);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LinuxLayout,
    ::testing::Values(
        LayoutRow{"WithoutIdsAZeroIdByteFirst", false, {{133, 64}}, 3, {0, 133, 64}, 3},
        LayoutRow{"WithIdsAsDelivered", true, {{2, 133, 64}}, 3, {2, 133, 64}, 3},
        LayoutRow{"NewestOfQueued", false, {{1, 1}, {2, 2}, {3, 3}}, 3, {0, 3, 3}, 3},
        LayoutRow{"ShortEndsInZeros", false, {{7}}, 4, {0, 7, 0, 0}, 2},
        LayoutRow{"LongCutToTheBuffer", false, {{1, 2, 3, 4, 5, 6}}, 4, {0, 1, 2, 3}, 4}),
    rowName);

// A device that reports faster than we read fills the kernel's queue of 63, after which the
// kernel drops the new reports: the newest queued one is then stale, and the next one is fresh.
TEST_F(LinuxRead, AfterAFullQueueTheNextFreshReportIsShown) {
    LinuxHandle h = handle(false);
    for (int i = 0; i < 63; ++i) send({1, std::uint8_t(i)});
    Bytes buffer(3);
    // Whether the fresh report arrives before or after the drain, it is the one shown.
    auto pending =
        std::async(std::launch::async, [&] { return read(h, buffer, milliseconds(500)); });
    send({2, 0});
    ReadResult r = pending.get();
    EXPECT_EQ(r.outcome, ReadOutcome::Report);
    EXPECT_EQ(buffer, (Bytes{0, 2, 0}));
}

TEST_F(LinuxRead, AfterAFullQueueWithNothingNewTheNewestQueuedIsShown) {
    LinuxHandle h = handle(false);
    for (int i = 0; i < 63; ++i) send({1, std::uint8_t(i)});
    Bytes buffer(3);
    EXPECT_EQ(read(h, buffer, milliseconds(30)).outcome, ReadOutcome::Report);
    EXPECT_EQ(buffer, (Bytes{0, 1, 62}));
}

TEST_F(LinuxRead, SilenceTimesOutAfterTheTimeout) {
    LinuxHandle h = handle(false);
    Bytes buffer(3);
    const auto start = Clock::now();
    EXPECT_EQ(read(h, buffer, milliseconds(50)).outcome, ReadOutcome::TimedOut);
    EXPECT_GE(Clock::now() - start, milliseconds(50));
}

TEST_F(LinuxRead, PeerClosingDuringTheWaitIsGoneAtOnce) {
    LinuxHandle h = handle(false);
    Bytes buffer(3);
    auto pending =
        std::async(std::launch::async, [&] { return read(h, buffer, kUnreachedTimeout); });
    peer = os::UniqueFd();
    ASSERT_EQ(pending.wait_for(kPatience), std::future_status::ready)
        << "it waited for the time-out";
    ReadResult r = pending.get();
    EXPECT_EQ(r.outcome, ReadOutcome::Gone);
    // Whether the wait's poll sees the hang-up or the read after it sees the end of the stream
    // depends on when the peer goes; either way the error names the node.
    EXPECT_NE(r.error.find(" /dev/hidraw7: "), std::string::npos) << r.error;
}

// hidraw hands out reports queued before an unplug and signals the hang-up beside them; the
// hang-up wins, or the device would look present for one more reading.
TEST_F(LinuxRead, HangUpWithReportsQueuedIsGone) {
    LinuxHandle h = handle(false);
    send({1, 1});
    send({2, 2});
    peer = os::UniqueFd();
    Bytes buffer(3, 0xEE);
    ReadResult r = read(h, buffer);
    EXPECT_EQ(r.outcome, ReadOutcome::Gone);
    EXPECT_EQ(r.error, "poll /dev/hidraw7: hang-up");
    EXPECT_EQ(read(h, buffer).outcome, ReadOutcome::Gone);
}

TEST_F(LinuxRead, WakeEndsAPendingReadAndStaysWoken) {
    LinuxHandle h = handle(false);
    Bytes buffer(3);
    auto pending =
        std::async(std::launch::async, [&] { return read(h, buffer, kUnreachedTimeout); });
    event->wake();
    ASSERT_EQ(pending.wait_for(kPatience), std::future_status::ready)
        << "it waited for the time-out";
    EXPECT_EQ(pending.get().outcome, ReadOutcome::Woken);
    auto again = std::async(std::launch::async, [&] { return read(h, buffer, kUnreachedTimeout); });
    ASSERT_EQ(again.wait_for(kPatience), std::future_status::ready) << "the wake did not stay";
    EXPECT_EQ(again.get().outcome, ReadOutcome::Woken);
}

}  // namespace
}  // namespace thermo::hid
