// Plugging, unplugging and decoys, as sysfs and /dev show them.

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "tests/sim/node_fixture.h"
#include "tests/support/wait_until.h"

namespace thermo::sim::test {
namespace {

namespace fs = std::filesystem;

std::string text(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<std::string> classEntries(const fs::path& sys) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(sys / "class/hidraw"))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string hidIdLine(const fs::path& sys, const std::string& node) {
    std::istringstream uevent(text(sys / "class/hidraw" / node / "device/uevent"));
    for (std::string line; std::getline(uevent, line);)
        if (line.rfind("HID_ID=", 0) == 0) return line;
    return "";
}

TEST_F(NodeTest, DecoysComeBeforeTheThermometer) {
    start(2);
    EXPECT_EQ(classEntries(sys()), (std::vector<std::string>{"hidraw0", "hidraw1", "hidraw2"}));
    EXPECT_EQ(hidIdLine(sys(), "hidraw0"), "HID_ID=0003:000004D8:0000000A");
    EXPECT_EQ(hidIdLine(sys(), "hidraw1"), "HID_ID=0003:00001A2B:00000002");
    EXPECT_EQ(hidIdLine(sys(), "hidraw2"), "HID_ID=0003:000004D8:00000002");
    EXPECT_EQ(simulator_->status(0).node, (dev() / "hidraw2").string());
    for (const char* node : {"hidraw0", "hidraw1", "hidraw2"})
        EXPECT_TRUE(fs::exists(dev() / node));
}

TEST_F(NodeTest, SysfsLooksAsTheKernelMakesIt) {
    start();
    fs::path entry = sys() / "class/hidraw/hidraw0";
    ASSERT_TRUE(fs::is_symlink(entry));
    std::string target = fs::read_symlink(entry).string();
    EXPECT_EQ(target.rfind("../../devices/", 0), 0u) << target;
    EXPECT_EQ(fs::canonical(entry / "device").filename(), "0003:04D8:0002.0001");
    std::string uevent = text(entry / "device/uevent");
    EXPECT_NE(uevent.find("\nHID_NAME=Simulated USB Thermometer\n"), std::string::npos);
    EXPECT_NE(uevent.find("\nHID_PHYS=usb-0000:00:14.0-1/input0\n"), std::string::npos);
    EXPECT_EQ(text(entry / "dev").substr(text(entry / "dev").find(':')), ":0\n");
    EXPECT_EQ(text(entry / "device/../../idVendor"), "04d8\n");
    EXPECT_EQ(text(entry / "device/../../idProduct"), "0002\n");
}

TEST_F(NodeTest, UnplugRemovesTheEntriesAndReplugBringsThemBack) {
    start();
    simulator_->unplug(0);
    EXPECT_TRUE(classEntries(sys()).empty());
    EXPECT_FALSE(fs::exists(dev() / "hidraw0"));
    EXPECT_FALSE(simulator_->status(0).plugged);
    // The old node ends asynchronously, once FUSE lets go of it; only then is its minor free.
    ASSERT_TRUE(waitFor([](const DeviceStatus& s) { return s.nodes == 0; }));
    simulator_->plug(0);
    EXPECT_EQ(classEntries(sys()), (std::vector<std::string>{"hidraw0"}));
    // A new HID device for the kernel: its running number moves on.
    EXPECT_EQ(fs::canonical(sys() / "class/hidraw/hidraw0/device").filename(),
              "0003:04D8:0002.0002");
}

TEST_F(NodeTest, AReplugWhileTheOldNodeIsOpenTakesTheNextMinor) {
    start();
    {
        os::UniqueFd old = openThermometer();
        simulator_->replug(0);
        EXPECT_EQ(simulator_->status(0).minor, 1);
        EXPECT_EQ(simulator_->status(0).staleOpenFiles, 1u);
        EXPECT_EQ(classEntries(sys()), (std::vector<std::string>{"hidraw1"}));
    }
    // Once the last file on it is closed the old node ends and its minor is free again.
    ASSERT_TRUE(waitFor([](const DeviceStatus& s) { return s.nodes == 1; }));
    simulator_->replug(0);
    EXPECT_EQ(simulator_->status(0).minor, 0);
}

// What a test needs to show that a program follows the port, not the number.
TEST_F(NodeTest, ARenumberedReplugKeepsThePortWhileADecoyTakesTheOldNumber) {
    start(0, {}, 2);
    EXPECT_EQ(simulator_->status(0).port, "1-1");
    EXPECT_EQ(simulator_->status(1).port, "1-2");
    simulator_->replugRenumbered(0, std::chrono::steady_clock::now() + thermo::testing::kPatience);
    const DeviceStatus status = simulator_->status(0);
    EXPECT_TRUE(status.plugged);
    EXPECT_EQ(status.port, "1-1");
    EXPECT_EQ(status.minor, 2);
    EXPECT_EQ(hidIdLine(sys(), "hidraw0"), "HID_ID=0003:000004D8:0000000A");
    EXPECT_EQ(fs::canonical(sys() / "class/hidraw/hidraw2/device").parent_path().filename(),
              "1-1:1.0");
    EXPECT_EQ(simulator_->status(1).minor, 1);
}

TEST_F(NodeTest, ARenumberedReplugWaitsForTheOldNodeToBeClosed) {
    start();
    os::UniqueFd held = openThermometer();
    EXPECT_THROW(simulator_->replugRenumbered(0, std::chrono::steady_clock::now()),
                 std::runtime_error);
    held.reset();
    simulator_->plug(0);
    simulator_->replugRenumbered(0, std::chrono::steady_clock::now() + thermo::testing::kPatience);
    EXPECT_EQ(hidIdLine(sys(), "hidraw0"), "HID_ID=0003:000004D8:0000000A");
    EXPECT_NE(simulator_->status(0).minor, 0);
}

TEST_F(NodeTest, DecoysCanComeAndGoWhileRunning) {
    start();
    simulator_->setDecoys(3);
    EXPECT_EQ(classEntries(sys()).size(), 4u);
    EXPECT_EQ(simulator_->status(0).decoys, 3);
    simulator_->setDecoys(1);
    EXPECT_EQ(classEntries(sys()), (std::vector<std::string>{"hidraw0", "hidraw1"}));
    EXPECT_EQ(hidIdLine(sys(), "hidraw1"), "HID_ID=0003:000004D8:0000000A");
}

TEST_F(NodeTest, TwoThermometersHaveTheirOwnNodesAndValues) {
    start(0, {}, 2);
    simulator_->setValue(1, {0x12, 0x34});
    os::UniqueFd first = openThermometer(O_RDWR | O_NONBLOCK, 0);
    os::UniqueFd second = openThermometer(O_RDWR | O_NONBLOCK, 1);
    simulator_->send(1, 1);
    EXPECT_EQ(readNode(first.get()).error, EAGAIN);
    auto r = readNode(second.get());
    ASSERT_EQ(r.result, 64);
    EXPECT_EQ(r.bytes[0], 0x12);
    EXPECT_EQ(r.bytes[1], 0x34);
}

TEST_F(NodeTest, ChangingTheReportFramingChangesTheDescriptorInSysfs) {
    start();
    std::string before = text(sys() / "class/hidraw/hidraw0/device/report_descriptor");
    simulator_->setReportShape(0, {true, 2});
    std::string after = text(sys() / "class/hidraw/hidraw0/device/report_descriptor");
    auto expected = reportDescriptor({true, 2});
    EXPECT_EQ(after, std::string(expected.begin(), expected.end()));
    EXPECT_NE(before, after);
}

std::size_t openDescriptors() {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{}));
}

TEST_F(NodeTest, ReplugsLeaveNoDescriptorsOrNodesBehind) {
    start();
    std::size_t before = openDescriptors();
    for (int i = 0; i < 20; ++i) simulator_->replug(0);
    // Each old node ends, and closes its channel, once FUSE lets go of it, which may be after
    // the replug that followed it.
    ASSERT_TRUE(waitFor([](const DeviceStatus& s) { return s.nodes == 1; }));
    EXPECT_TRUE(thermo::testing::pollUntil([&] { return openDescriptors() == before; }))
        << openDescriptors() << " descriptors open, " << before << " before the replugs";
    // A minor that an ended node kept would be skipped by the next plug-in.
    simulator_->unplug(0);
    ASSERT_TRUE(waitFor([](const DeviceStatus& s) { return s.nodes == 0; }));
    simulator_->plug(0);
    EXPECT_EQ(simulator_->status(0).minor, 0);
}

TEST_F(NodeTest, ShuttingDownRemovesEverything) {
    start(2);
    os::UniqueFd held = openThermometer();
    simulator_.reset();
    EXPECT_TRUE(classEntries(sys()).empty());
    EXPECT_TRUE(fs::is_empty(dev()));
    EXPECT_EQ(readNode(held.get()).result, -1);
}

}  // namespace
}  // namespace thermo::sim::test
