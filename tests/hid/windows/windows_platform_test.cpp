// The Windows HID layer's calls where no HID device is needed: errors, handle flags, listing.
// The calls against a thermometer are in hid_device_test.cpp.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "hid/windows/windows_platform.h"

namespace thermo::hid {
namespace {

bool inheritable(HANDLE handle) {
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(handle, &flags));
    return (flags & HANDLE_FLAG_INHERIT) != 0;
}

// A plain file stands in for an interface where only the open matters.
class PlainFile {
  public:
    PlainFile() {
        // Tests of this program run in parallel in one wine prefix, whose process ids are small
        // and soon reused: the tick count and a count of our own keep the names apart.
        static int made = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("thermo-platform-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                 std::to_string(GetTickCount64()) + "-" + std::to_string(++made) + ".bin");
        std::ofstream(path_) << "not a HID device";
    }
    ~PlainFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    std::string path() const { return path_.string(); }

  private:
    std::filesystem::path path_;
};

TEST(WindowsPlatform, OpenOfMissingInterfaceNamesCallPathAndReason) {
    WindowsPlatform platform;
    const std::string path = "\\\\?\\hid#vid_04d8&pid_0002#0&0&0&0#{no-such-interface}";
    try {
        platform.open(path, OpenMode::Plain);
        FAIL() << "opened a missing interface";
    } catch (const PlatformError& e) {
        const std::string what = e.what();
        EXPECT_EQ(what.rfind("CreateFileA " + path + ": ", 0), 0u) << what;
        EXPECT_NE(what.find("(error "), std::string::npos) << what;
    }
}

// Nothing the program opens may leak into a child process.
TEST(WindowsPlatform, HandlesAndEventsAreNotInheritable) {
    WindowsPlatform platform;
    PlainFile file;
    for (OpenMode mode : {OpenMode::Plain, OpenMode::ForReports}) {
        auto handle = platform.open(file.path(), mode);
        EXPECT_FALSE(inheritable(dynamic_cast<WindowsHandle&>(*handle).get()));
    }
    auto event = platform.createReportEvent();
    auto& events = dynamic_cast<WindowsWaitEvent&>(*event);
    EXPECT_FALSE(inheritable(events.reportEvent()));
    EXPECT_FALSE(inheritable(events.wakeEvent()));
}

TEST(WindowsPlatform, QueriesOnSomethingThatIsNotHidFailNamingTheCall) {
    WindowsPlatform platform;
    PlainFile file;
    auto handle = platform.open(file.path(), OpenMode::Plain);
    try {
        platform.readIds(*handle);
        FAIL() << "a plain file gave HID ids";
    } catch (const PlatformError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("HidD_GetAttributes " + file.path() + ": ", 0), 0u)
            << e.what();
    }
    try {
        platform.inputReportLength(*handle);
        FAIL() << "a plain file gave a report length";
    } catch (const PlatformError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("HidD_GetPreparsedData " + file.path() + ": ", 0), 0u)
            << e.what();
    }
}

// Whatever HID interfaces this machine has: each listed path is a whole, usable path.
TEST(WindowsPlatform, ListedPathsAreWholeInterfacePaths) {
    WindowsPlatform platform;
    for (const InterfaceEntry& entry : platform.listInterfaces()) {
        EXPECT_EQ(entry.path.rfind("\\\\?\\", 0), 0u) << entry.path;
        EXPECT_EQ(entry.path.find('\0'), std::string::npos) << entry.path;
        EXPECT_FALSE(entry.ids.has_value()) << "ids come from the device, not the path";
    }
}

TEST(WindowsPlatform, SystemMessageIsOneLineWithTheNumber) {
    const std::string denied = os::windowsError(ERROR_ACCESS_DENIED).message();
    EXPECT_EQ(denied.find_first_of("\r\n"), std::string::npos) << denied;
    EXPECT_GT(denied.size(), std::string(" (error 5)").size()) << denied;
    EXPECT_EQ(denied.substr(denied.size() - 10), " (error 5)") << denied;
    EXPECT_NE(denied[denied.size() - 11], '.') << denied;

    EXPECT_EQ(os::windowsError(0x2000FFFF).message(), "Unknown error (error 536936447)");
}

}  // namespace
}  // namespace thermo::hid
