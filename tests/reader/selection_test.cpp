// Which thermometer usb-thermometer-read takes (a port, a node, the port it started with) and
// how --list shows each one, over the in-memory platform.

#include <gmock/gmock.h>

#include <optional>
#include <string>
#include <vector>

#include "reader/listing.h"
#include "reader/selection.h"
#include "tests/support/fake_platform.h"
#include "tests/support/row_name.h"

namespace thermo::reader {
namespace {

using thermo::PrintTo;

struct SelectionRow {
    const char* name;
    std::optional<std::string> device;  // --device
    std::vector<std::string> kept;      // ports kept after a find, in order
    std::vector<std::string> listed;    // paths left in the listing
};

const SelectionRow kSelections[] = {
    {"NothingChosenListsAll", {}, {}, {"/dev/hidraw1", "/dev/hidraw2", "/dev/hidraw3"}},
    {"PortPicksItsThermometer", "1-2", {}, {"/dev/hidraw2"}},
    {"PathPicksItsNode", "/dev/hidraw3", {}, {"/dev/hidraw3"}},
    {"PortWithNothingInItListsNothing", "1-9", {}, {}},
    {"EmptyPortIsNoPort", "", {}, {}},
    {"KeptPortIsFollowed", {}, {"1-1"}, {"/dev/hidraw1"}},
    {"UnknownPortKeepsNothing", {}, {""}, {"/dev/hidraw1", "/dev/hidraw2", "/dev/hidraw3"}},
    {"FirstKeptPortStays", {}, {"1-1", "1-2"}, {"/dev/hidraw1"}},
    {"DeviceNamedBeatsAKeptPort", "/dev/hidraw2", {"1-1"}, {"/dev/hidraw2"}},
};

class Selecting : public ::testing::TestWithParam<SelectionRow> {};

TEST_P(Selecting, ListsOnlyTheWantedThermometer) {
    const SelectionRow& row = GetParam();
    hid::FakePlatform platform;
    platform.addThermometer("/dev/hidraw1", 3, "1-1");
    platform.addThermometer("/dev/hidraw2", 3, "1-2");
    platform.addThermometer("/dev/hidraw3", 3);  // no USB ancestry
    Selection selection(platform);
    if (row.device) selection.wantDevice(*row.device);
    for (const std::string& port : row.kept) selection.keepPort(port);
    std::vector<std::string> listed;
    for (const auto& entry : selection.listInterfaces()) listed.push_back(entry.path);
    EXPECT_EQ(listed, row.listed);
}

INSTANTIATE_TEST_SUITE_P(Rows, Selecting, ::testing::ValuesIn(kSelections), rowName);

TEST(Selecting, NamesWhatItWantsForMessages) {
    hid::FakePlatform platform;
    Selection selection(platform);
    EXPECT_EQ(selection.wanted(), std::nullopt);
    selection.keepPort("3-1.4");
    EXPECT_EQ(selection.wanted(), std::optional<std::string>("3-1.4"));
}

constexpr const char* kHint = "install the udev rule 70-usb-thermometer.rules";

TEST(Listing, EachThermometerWithWhetherItCanBeRead) {
    hid::FakePlatform platform;
    platform.addThermometer("/dev/hidraw1", 65, "1-1");
    platform.addThermometer("/dev/hidraw2", 65, "3-1.4");
    platform.failOpen("/dev/hidraw2", "open /dev/hidraw2: Permission denied", std::nullopt, kHint);
    platform.addThermometer("/dev/hidraw3", 0);
    platform.addInterface({"/dev/hidraw4", {0x046D, 0xC31C}, 8, true, "1-4"});

    std::vector<std::string> text;
    std::vector<std::string> json;
    for (const auto& entry : platform.listInterfaces()) {
        if (const auto thermometer = probeListed(platform, entry)) {
            text.push_back(listLine(*thermometer));
            json.push_back(listJsonLine(*thermometer));
        }
    }
    const std::string refusal = std::string("open /dev/hidraw2: Permission denied \u2014 ") + kHint;
    EXPECT_EQ(text, (std::vector<std::string>{
                        "1-1\t/dev/hidraw1\t65\tok\n",
                        "3-1.4\t/dev/hidraw2\t-\trefused: " + refusal + "\n",
                        "-\t/dev/hidraw3\t-\tunusable: /dev/hidraw3: its report description gives "
                        "no usable input report\n",
                    }));
    ASSERT_EQ(json.size(), 3u);
    EXPECT_EQ(json[0],
              "{\"port\":\"1-1\",\"device\":\"/dev/hidraw1\",\"report_length\":65,\"usable\":true}"
              "\n");
    EXPECT_EQ(json[1],
              "{\"port\":\"3-1.4\",\"device\":\"/dev/hidraw2\",\"report_length\":null,"
              "\"usable\":false,\"refused\":true,\"problem\":\"" +
                  refusal + "\"}\n");
    EXPECT_THAT(json[2], ::testing::HasSubstr("\"port\":\"\",\"device\":\"/dev/hidraw3\""));
    EXPECT_THAT(json[2], ::testing::HasSubstr("\"refused\":false"));
    // Probing lets go of everything it opened.
    EXPECT_EQ(platform.openHandleCount(), 0);
}

}  // namespace
}  // namespace thermo::reader
