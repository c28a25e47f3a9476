// Reports as a misbehaving device (or a simulator) might send them, read through the real Linux
// backend and the device module: each gives the documented outcome or a safe one, and the sanitizer
// build proves that no read goes past a buffer. The node's reads come from a socket whose
// message boundaries stand for hidraw's report boundaries.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "hid/hidusb.h"
#include "hid/linux/linux_platform.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/row_name.h"

namespace thermo::reliability {
namespace {

using thermo::PrintTo;

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const std::string ThermometerUevent = "HID_ID=0003:000004D8:00000002\n";
// Two data bytes, no report ids: reports are 3 bytes with the id byte the backend puts first.
const Bytes kNoIdsDescriptor{0x75, 0x08, 0x95, 0x02, 0x81, 0x02};
// Report 1 has four data bytes, report 2 two: 5 bytes with the id.
const Bytes kWithIdsDescriptor{0x85, 0x01, 0x75, 0x08, 0x95, 0x04, 0x81,
                               0x02, 0x85, 0x02, 0x95, 0x02, 0x81, 0x02};

// The Linux backend with the report handle's descriptor swapped for one end of a socket pair;
// everything else (listing, ids, report length, report id layout) is the backend's own, read
// from a private sysfs tree.
class SocketNodePlatform : public hid::LinuxPlatform {
  public:
    using LinuxPlatform::LinuxPlatform;

    std::unique_ptr<hid::Handle> open(const std::string& path, hid::OpenMode mode) override {
        std::unique_ptr<hid::Handle> handle = LinuxPlatform::open(path, mode);
        if (mode != hid::OpenMode::ForReports) {
            return handle;
        }
        auto& native = dynamic_cast<hid::LinuxHandle&>(*handle);
        std::array<int, 2> fds{};
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds.data()) != 0) {
            throw hid::PlatformError("socketpair failed");
        }
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
        peer = os::UniqueFd(fds[1]);
        return std::make_unique<hid::LinuxHandle>(os::UniqueFd(fds[0]), native.devicePath(),
                                                  native.sysDir(), native.usesReportIds());
    }

    // The device's end of the latest report handle.
    os::UniqueFd peer;
};

class HostileReports : public ::testing::Test {
  protected:
    void plug(const Bytes& descriptor) {
        const fs::path device = dir.path() / "sys/class/hidraw/hidraw0/device";
        writeFile(device / "uevent", ThermometerUevent);
        writeFile(device / "report_descriptor", std::string(descriptor.begin(), descriptor.end()));
        writeFile(dir.path() / "dev/hidraw0", "");
    }

    void unplug() {
        fs::remove_all(dir.path() / "sys/class/hidraw/hidraw0");
        fs::remove(dir.path() / "dev/hidraw0");
    }

    // Sends one report from the device; false once the device's end is gone or closed.
    bool send(const Bytes& report) {
        return ::send(platform.peer.get(), report.data(), report.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(report.size());
    }

    TempDir dir{"report-hostile"};
    SocketNodePlatform platform{dir.path() / "sys", dir.path() / "dev"};
    hid::HIDusb device{platform};
};

Bytes counting(std::size_t size) {
    Bytes bytes(size);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{1});
    return bytes;
}

struct ReportRow {
    const char* name;
    Bytes descriptor;
    std::vector<Bytes> sent;  // in order, before the read
    bool presentAfter;
    std::optional<Bytes> buffer;  // ReportBuffer after the read
};

class HostileReport : public HostileReports, public ::testing::WithParamInterface<ReportRow> {};

TEST_P(HostileReport, GivesTheDocumentedOrASafeOutcome) {
    const ReportRow& row = GetParam();
    plug(row.descriptor);
    ASSERT_TRUE(device.FindThermometer());
    for (const Bytes& report : row.sent) {
        ASSERT_TRUE(send(report));
    }
    device.PollThermometer();
    EXPECT_EQ(device.DevicePresent, row.presentAfter);
    EXPECT_EQ(device.ReportBuffer, row.buffer);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HostileReport,
    ::testing::Values(
        // The report as described, for comparison.
        ReportRow{"AsDescribed", kNoIdsDescriptor, {{0x85, 0x40}}, true, Bytes{0, 0x85, 0x40}},
        // A real device always sends whole reports: a short one is a failed read, and its
        // missing bytes are never read as zeros (one byte 0x40 read 127.0 degrees).
        ReportRow{"ShortReport", kNoIdsDescriptor, {{0x85}}, true, std::nullopt},
        // A zero-length read is hidraw's end of file: the device is let go, not read as zeros.
        ReportRow{"EmptyReport", kNoIdsDescriptor, {{}}, false, std::nullopt},
        ReportRow{
            "LongerThanTheDescriptorSays", kNoIdsDescriptor, {counting(64)}, true, Bytes{0, 1, 2}},
        ReportRow{
            "LongerThanAnyReportCanBe", kNoIdsDescriptor, {counting(20000)}, true, Bytes{0, 1, 2}},
        // The newest of several wins, even when it is the odd one out.
        ReportRow{"ShortReportAfterGoodOnes",
                  kNoIdsDescriptor,
                  {{0x85, 0x40}, {0x11}},
                  true,
                  std::nullopt},
        // With report ids the id byte is the device's and is delivered as sent: the platform's
        // read gives whatever report the device sends, id first (and hidraw passes on only ids
        // the descriptor declares). Nothing past the buffer is touched.
        ReportRow{"AnotherReportsIdInFull",
                  kWithIdsDescriptor,
                  {{2, 0x10, 0x20, 0x30, 0x40}},
                  true,
                  Bytes{2, 0x10, 0x20, 0x30, 0x40}},
        // Shorter than the longest report the description gives: no whole report, no reading.
        ReportRow{
            "AnotherReportsIdShort", kWithIdsDescriptor, {{2, 0x10, 0x20}}, true, std::nullopt},
        ReportRow{"AnUndeclaredId",
                  kWithIdsDescriptor,
                  {{9, 1, 2, 3, 4, 5, 6, 7}},
                  true,
                  Bytes{9, 1, 2, 3, 4}},
        ReportRow{"IdByteAlone", kWithIdsDescriptor, {{1}}, true, std::nullopt}),
    rowName);

// A report that arrives just before the device goes does not keep it present: the next read sees
// the device gone and lets it go, closing the handle; a search while it is unplugged reads
// nothing, and the replugged device's own reports are read, not anything left from before.
TEST_F(HostileReports, ReportJustBeforeAnUnplugIsDroppedAndTheDeviceIsLetGo) {
    plug(kNoIdsDescriptor);
    ASSERT_TRUE(device.FindThermometer());
    ASSERT_TRUE(send({0x85, 0x40}));
    const os::UniqueFd oldPeer = std::move(platform.peer);
    ::shutdown(oldPeer.get(), SHUT_WR);  // the device goes after its last report
    unplug();

    device.PollThermometer();
    EXPECT_FALSE(device.DevicePresent);
    EXPECT_EQ(device.ReportBuffer, std::nullopt);
    std::uint8_t byte = 0;
    EXPECT_EQ(::recv(oldPeer.get(), &byte, 1, MSG_DONTWAIT), 0) << "the old handle is still open";

    device.PollThermometer();  // searches, finds nothing, reads nothing
    EXPECT_FALSE(device.DevicePresent);
    EXPECT_EQ(device.ReportBuffer, std::nullopt);

    plug(kNoIdsDescriptor);
    ASSERT_TRUE(device.FindThermometer());
    ASSERT_TRUE(send({0x86, 0x00}));
    device.PollThermometer();
    EXPECT_TRUE(device.DevicePresent);
    EXPECT_EQ(*device.ReportBuffer, (Bytes{0, 0x86, 0x00}));
}

// Many plug cycles with hostile reports in between leave no descriptor open.
TEST_F(HostileReports, PlugCyclesWithHostileReportsLeaveNothingOpen) {
    const int fdsBefore = openFdCount();
    const std::vector<Bytes> reports{{}, {1}, counting(3), counting(20000), {0x85, 0x40}};
    for (int cycle = 0; cycle < 200; ++cycle) {
        plug(kNoIdsDescriptor);
        ASSERT_TRUE(device.FindThermometer()) << "cycle " << cycle;
        send(reports[static_cast<std::size_t>(cycle) % reports.size()]);
        platform.peer = os::UniqueFd();
        unplug();
        device.PollThermometer();
        device.PollThermometer();
        ASSERT_FALSE(device.DevicePresent) << "cycle " << cycle;
    }
    device.CloseHandles();
    // The report event lives with the device module; one descriptor is allowed for it.
    EXPECT_EQ(openFdCount(), fdsBefore + 1);
}

}  // namespace
}  // namespace thermo::reliability
