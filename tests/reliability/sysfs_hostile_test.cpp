// The Linux backend reads what sysfs says about each hidraw node: the uevent file that claims the
// ids and the report descriptor that gives the report length. Whatever those entries hold, or
// whatever stands in their place, an entry that does not make sense is passed over and never
// trusted, every read of them is bounded, and nothing stays open.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "hid/hidusb.h"
#include "hid/linux/linux_platform.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/row_name.h"
#include "tests/support/wait_until.h"

namespace thermo::reliability {
namespace {

using thermo::PrintTo;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::string_literals;

const std::string ThermometerUevent =
    "DRIVER=hid-generic\nHID_ID=0003:000004D8:00000002\nHID_NAME=Thermometer\n";
const std::string TwoByteDescriptor{'\x75', '\x08', '\x95', '\x02', '\x81', '\x02'};

// Far longer than any bound a reader of these files should have; reads past it would take
// seconds and the memory to match.
constexpr std::size_t kHugeSize = 64 * 1024 * 1024;

// What stands where sysfs should have a file.
struct Entry {
    enum class Kind {
        File,
        Missing,
        Directory,
        SymlinkTo,
        SymlinkLoop,
        HugeFile
    } kind = Kind::File;
    std::string content;  // File: the bytes; SymlinkTo: the target; HugeFile: the text up front

    static Entry file(std::string bytes) { return {Kind::File, std::move(bytes)}; }
    static Entry missing() { return {Kind::Missing, {}}; }
    static Entry directory() { return {Kind::Directory, {}}; }
    static Entry symlinkTo(std::string target) { return {Kind::SymlinkTo, std::move(target)}; }
    static Entry loop() { return {Kind::SymlinkLoop, {}}; }
    static Entry huge(std::string head) { return {Kind::HugeFile, std::move(head)}; }
};

void place(const fs::path& path, const Entry& entry) {
    fs::create_directories(path.parent_path());
    switch (entry.kind) {
        case Entry::Kind::File:
            writeFile(path, entry.content);
            break;
        case Entry::Kind::Missing:
            break;
        case Entry::Kind::Directory:
            fs::create_directories(path);
            break;
        case Entry::Kind::SymlinkTo:
            fs::create_symlink(entry.content, path);
            break;
        case Entry::Kind::SymlinkLoop:
            fs::create_symlink(path.filename(), path);
            break;
        case Entry::Kind::HugeFile: {
            writeFile(path, entry.content);
            fs::resize_file(path, kHugeSize);  // sparse: costs no disk
            break;
        }
    }
}

// A private /sys and /dev holding one hidraw node.
class HostileTree : public ::testing::Test {
  protected:
    fs::path sys() const { return dir.path() / "sys"; }
    fs::path dev() const { return dir.path() / "dev"; }
    fs::path deviceDir(const std::string& node = "hidraw0") const {
        return sys() / "class" / "hidraw" / node / "device";
    }

    void addNode(const Entry& uevent, const Entry& descriptor, const Entry& node = Entry::file(""),
                 const std::string& name = "hidraw0") {
        fs::create_directories(deviceDir(name));
        place(deviceDir(name) / "uevent", uevent);
        place(deviceDir(name) / "report_descriptor", descriptor);
        place(dev() / name, node);
    }

    // Searches with the device module as the program does; nothing may stay open after.
    bool search(std::string* problem = nullptr) {
        const int fdsBefore = openFdCount();
        bool found = false;
        {
            hid::HIDusb device(platform);
            found = device.FindThermometer();
            if (problem != nullptr) {
                *problem = device.LastProblem;
            }
        }
        EXPECT_EQ(openFdCount(), fdsBefore) << "a search left descriptors open";
        return found;
    }

    TempDir dir{"sysfs-hostile"};
    hid::LinuxPlatform platform{sys(), dev()};
};

// The tree itself works: a sound thermometer entry is listed and taken.
TEST_F(HostileTree, SoundEntryIsTaken) {
    addNode(Entry::file(ThermometerUevent), Entry::file(TwoByteDescriptor));
    ASSERT_EQ(platform.listInterfaces().size(), 1U);
    EXPECT_TRUE(search());
}

struct UeventRow {
    const char* name;
    Entry uevent;
};

class HostileUevent : public HostileTree, public ::testing::WithParamInterface<UeventRow> {};

// An entry whose uevent does not give well-formed ids is left out of the listing, and so never
// opened: the backend does not open a device to find out what it is.
TEST_P(HostileUevent, EntryIsLeftOutAndNeverOpened) {
    addNode(GetParam().uevent, Entry::file(TwoByteDescriptor));
    const auto start = Clock::now();
    EXPECT_TRUE(platform.listInterfaces().empty());
    EXPECT_FALSE(search());
    EXPECT_LT(Clock::now() - start, thermo::testing::kPatience) << "the read was not bounded";
}

std::string bytes(std::initializer_list<int> values) {
    std::string text;
    for (const int value : values) {
        text += static_cast<char>(value);
    }
    return text;
}

std::string randomBinary(std::size_t size) {
    std::mt19937 generator(7);  // fixed: the same bytes on every run
    std::uniform_int_distribution<int> byte(0, 255);
    std::string text(size, '\0');
    for (char& c : text) {
        c = static_cast<char>(byte(generator));
    }
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HostileUevent,
    ::testing::Values(
        UeventRow{"Empty", Entry::file("")}, UeventRow{"Missing", Entry::missing()},
        UeventRow{"TruncatedAfterVendor", Entry::file("HID_ID=0003:000004D8:")},
        UeventRow{"TruncatedInKey", Entry::file("DRIVER=hid-generic\nHID_I")},
        UeventRow{"BinaryNoise", Entry::file(randomBinary(4000))},
        UeventRow{"NulInsideTheIds", Entry::file("HID_ID=0003:000004D8:0000\0"
                                                 "0002\n"s)},
        UeventRow{"NulBeforeTheKey", Entry::file("\0HID_ID=0003:000004D8:00000002\n"s)},
        UeventRow{"CarriageReturnLineEnds", Entry::file("HID_ID=0003:000004D8:00000002\r\n")},
        UeventRow{"HighBitBytesInIds",
                  Entry::file("HID_ID=0003:0000" + bytes({0xD4, 0xB8}) + "D8:00000002\n")},
        UeventRow{"SignedIds", Entry::file("HID_ID=0003:-00004D8:00000002\n")},
        UeventRow{"IdsBeyond32Bits", Entry::file("HID_ID=0003:1000004D8:00000002\n")},
        UeventRow{"ThermometerLineAfterAHugeHead",
                  Entry::file(std::string(20000, 'x') + "\n" + ThermometerUevent)},
        UeventRow{"ThermometerLineBeforeAHugeTail",
                  Entry::file(ThermometerUevent + std::string(20000, 'x') + "\n")},
        UeventRow{"SparseFileOf64MiB", Entry::huge(ThermometerUevent)},
        UeventRow{"EndlessZeros", Entry::symlinkTo("/dev/zero")},
        UeventRow{"EndlessRandom", Entry::symlinkTo("/dev/urandom")},
        UeventRow{"ADirectory", Entry::directory()}, UeventRow{"SymlinkLoop", Entry::loop()},
        UeventRow{"DanglingSymlink", Entry::symlinkTo("/nonexistent/uevent")}),
    rowName);

struct DescriptorRow {
    const char* name;
    Entry descriptor;
};

class HostileDescriptor : public HostileTree,
                          public ::testing::WithParamInterface<DescriptorRow> {};

// A thermometer by its ids whose description gives no report that could be read: passed over,
// nothing left open, and the user can learn why.
TEST_P(HostileDescriptor, ThermometerIsPassedOverWithAReason) {
    addNode(Entry::file(ThermometerUevent), GetParam().descriptor);
    const auto start = Clock::now();
    ASSERT_EQ(platform.listInterfaces().size(), 1U);
    std::string problem;
    EXPECT_FALSE(search(&problem));
    EXPECT_NE(problem.find("hidraw0"), std::string::npos) << problem;
    EXPECT_LT(Clock::now() - start, thermo::testing::kPatience) << "the read was not bounded";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HostileDescriptor,
    ::testing::Values(
        DescriptorRow{"Missing", Entry::missing()}, DescriptorRow{"Empty", Entry::file("")},
        DescriptorRow{"TruncatedInsideAnItem", Entry::file(bytes({0x75, 0x08, 0x96, 0x02}))},
        DescriptorRow{"CutBeforeTheInputItem", Entry::file(bytes({0x75, 0x08, 0x95, 0x02, 0x81}))},
        DescriptorRow{"OnlyOutputAndFeature",
                      Entry::file(bytes({0x75, 0x08, 0x95, 0x02, 0x91, 0x02, 0xB1, 0x02}))},
        DescriptorRow{"ReportIdZero",
                      Entry::file(bytes({0x85, 0x00, 0x75, 0x08, 0x95, 0x02, 0x81, 0x02}))},
        DescriptorRow{"AbsurdSizeTimesCount",
                      Entry::file(bytes({0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF,
                                         0x81, 0x02}))},
        DescriptorRow{"ManyInputsBeyondAnyReport", Entry::file([] {
                          std::string d = bytes({0x75, 0xFF, 0x95, 0xFF});
                          for (int i = 0; i < 1000; ++i) d += bytes({0x81, 0x02});
                          return d;
                      }())},
        DescriptorRow{"InputOnlyAfterTheKernelLimit",
                      Entry::file(std::string(4096, '\xC0') + TwoByteDescriptor)},
        DescriptorRow{"SparseFileOf64MiB", Entry::huge("")},
        DescriptorRow{"EndlessZeros", Entry::symlinkTo("/dev/zero")},
        DescriptorRow{"ADirectory", Entry::directory()},
        DescriptorRow{"SymlinkLoop", Entry::loop()}),
    rowName);

struct NodeRow {
    const char* name;
    Entry node;
};

class HostileNode : public HostileTree, public ::testing::WithParamInterface<NodeRow> {};

// The sysfs entry is sound but /dev has something else, or nothing, under the node's name.
TEST_P(HostileNode, ThermometerThatCannotBeOpenedIsExplained) {
    addNode(Entry::file(ThermometerUevent), Entry::file(TwoByteDescriptor), GetParam().node);
    std::string problem;
    EXPECT_FALSE(search(&problem));
    EXPECT_NE(problem.find("open " + (dev() / "hidraw0").string() + ": "), std::string::npos)
        << problem;
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileNode,
                         ::testing::Values(NodeRow{"Missing", Entry::missing()},
                                           NodeRow{"ADirectory", Entry::directory()},
                                           NodeRow{"SymlinkLoop", Entry::loop()},
                                           NodeRow{"DanglingSymlink",
                                                   Entry::symlinkTo("/nonexistent/hidraw0")}),
                         rowName);

// A node that opens but is not a device (/dev/null here) is taken by its sysfs entry; its first
// read then ends at once and the device is let go: no report is made up, nothing stays open.
TEST_F(HostileTree, NodeThatEndsIsLetGoAtTheFirstRead) {
    addNode(Entry::file(ThermometerUevent), Entry::file(TwoByteDescriptor),
            Entry::symlinkTo("/dev/null"));
    const int fdsBefore = openFdCount();
    {
        hid::HIDusb device(platform);
        device.PollThermometer();
        EXPECT_FALSE(device.DevicePresent);
        EXPECT_EQ(device.ReportBuffer, std::nullopt);
    }
    EXPECT_EQ(openFdCount(), fdsBefore);
}

// Names under the class directory that are not "hidraw" and a number in range are not nodes,
// whatever their uevent says; a sound node beside them is still found.
TEST_F(HostileTree, OnlyWellFormedNodeNamesAreListed) {
    for (const char* name : {"hidraw", "hidraw-1", "hidraw1x", "hidraw 2", "hidraw0x3",
                             "hidraw99999999999", "xhidraw4", "HIDRAW5"}) {
        addNode(Entry::file(ThermometerUevent), Entry::file(TwoByteDescriptor), Entry::file(""),
                name);
    }
    addNode(Entry::file(ThermometerUevent), Entry::file(TwoByteDescriptor), Entry::file(""),
            "hidraw7");
    const auto entries = platform.listInterfaces();
    ASSERT_EQ(entries.size(), 1U);
    EXPECT_EQ(entries[0].path, (dev() / "hidraw7").string());
}

// A class directory that is a file, or an entry in it that is a plain file: nothing listed.
TEST_F(HostileTree, ClassDirectoryThatIsAFileListsNothing) {
    writeFile(sys() / "class" / "hidraw", "not a directory");
    EXPECT_TRUE(platform.listInterfaces().empty());
    EXPECT_FALSE(search());
}

TEST_F(HostileTree, EntryThatIsAFileIsLeftOut) {
    writeFile(sys() / "class" / "hidraw" / "hidraw0", ThermometerUevent);
    writeFile(dev() / "hidraw0", "");
    EXPECT_TRUE(platform.listInterfaces().empty());
}

}  // namespace
}  // namespace thermo::reliability
