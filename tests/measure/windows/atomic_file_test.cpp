// cal.txt's file operations as Windows does them (measure/windows/atomic_file.cpp): the whole
// new content or the old, never a mix, and no temporary file left behind, also where Windows
// refuses the replacement.

#include "measure/atomic_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "os/windows/text.h"
#include "os/windows/unique_handle.h"
#include "os/windows/windows.h"
#include "tests/support/temp_dir.h"

namespace thermo {
namespace {

namespace fs = std::filesystem;

class AtomicFileTest : public ::testing::Test {
  protected:
    // A read-only cal.txt would stay behind when the folder goes.
    void TearDown() override { SetFileAttributesW(cal_.c_str(), FILE_ATTRIBUTE_NORMAL); }

    std::string content() const {
        std::ifstream in(cal_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    void write(const std::string& text) const { std::ofstream(cal_, std::ios::binary) << text; }
    int entries() const {
        return static_cast<int>(std::distance(fs::directory_iterator(dir_), {}));
    }

    thermo::testing::TempDir temp_{"thermo-atomic"};
    fs::path dir_ = temp_.path();
    fs::path cal_ = dir_ / "cal.txt";
};

TEST_F(AtomicFileTest, ReplacesTheWholeContentAndLeavesNoTemporary) {
    write("0.72,0.35\r\nsomething a user added\r\n");
    replaceFileAtomically(cal_, "0.5,0.35\r\n");
    EXPECT_EQ(content(), "0.5,0.35\r\n");
    EXPECT_EQ(entries(), 1);
}

TEST_F(AtomicFileTest, CreatesAMissingFile) {
    replaceFileAtomically(cal_, ",0.35\r\n");
    EXPECT_EQ(content(), ",0.35\r\n");
    EXPECT_EQ(entries(), 1);
}

TEST_F(AtomicFileTest, ReadTellsAMissingFileFromAnUnreadableOne) {
    EXPECT_FALSE(readFileIfPresent(cal_).has_value());
    fs::create_directory(cal_);
    EXPECT_THROW(readFileIfPresent(cal_), std::system_error);
}

TEST_F(AtomicFileTest, ReadReturnsTheBytesAsWritten) {
    write("0.7\r\n0.3\r\n");
    EXPECT_EQ(readFileIfPresent(cal_), "0.7\r\n0.3\r\n");
}

// A read-only cal.txt: it is not replaced, at once (no waiting as for a busy file), and the
// reason is the system's, in UTF-8, with its number.
TEST_F(AtomicFileTest, ReadOnlyFileIsLeftAsItWasAndSaysSo) {
    write("0.72,0.35\r\n");
    ASSERT_TRUE(SetFileAttributesW(cal_.c_str(), FILE_ATTRIBUTE_READONLY));
    try {
        replaceFileAtomically(cal_, "0.5,0.35\r\n");
        ADD_FAILURE() << "a read-only file was replaced";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ERROR_ACCESS_DENIED);
        EXPECT_TRUE(error.code().message().ends_with(" (error 5)")) << error.code().message();
    }
    EXPECT_EQ(content(), "0.72,0.35\r\n");
    EXPECT_EQ(entries(), 1) << "the temporary file must go";
}

bool validUtf8(const std::string& text) {
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                               static_cast<int>(text.size()), nullptr, 0) > 0;
}

// The system's words in a language with letters beyond ASCII ("Ungültige Funktion", "Fonction
// incorrecte"): they must reach the window as UTF-8, not in the ANSI code page.
TEST(WindowsErrorText, IsUtf8InTheUsersLanguage) {
    const std::string text =
        std::error_code(ERROR_INVALID_FUNCTION, os::windowsErrorCategory()).message();
    EXPECT_TRUE(validUtf8(text)) << text;
    EXPECT_TRUE(text.ends_with(" (error 1)")) << text;
    const LANGID language = PRIMARYLANGID(GetUserDefaultUILanguage());
    if (language != LANG_FRENCH && language != LANG_GERMAN) {
        GTEST_SKIP() << "needs a French or German user language to see letters beyond ASCII "
                        "(under wine: LANG=fr_FR.UTF-8 or de_DE.UTF-8, with that locale generated)";
    }
    EXPECT_TRUE(std::ranges::any_of(text, [](char c) { return (c & 0x80) != 0; })) << text;
}

// Another program holds cal.txt open without letting it be deleted (as some editors do).
TEST_F(AtomicFileTest, FileHeldOpenByAnotherProgramIsLeftAsItWas) {
    write("0.72,0.35\r\n");
    os::UniqueHandle held(CreateFileW(cal_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
    EXPECT_THROW(replaceFileAtomically(cal_, "0.5,0.35\r\n"), std::system_error);
    held.reset();
    EXPECT_EQ(content(), "0.72,0.35\r\n");
    EXPECT_EQ(entries(), 1) << "the temporary file must go";
}

// What killed saves left is removed by the next save; nothing of another pattern, and no file a
// save in flight holds open (it is held without sharing, so it cannot be deleted).
TEST_F(AtomicFileTest, NextSaveRemovesLeftoversOfKilledSavesOnly) {
    write("0.72,0.35\r\n");
    const auto put = [&](const char* name) { std::ofstream(dir_ / name) << ""; };
    put("cal.txt.usb-thermometer-ab12cd34.tmp");
    const std::vector<const char*> kept = {"cal.txt.usb-thermometer-ab12cd3.tmp",
                                           "cal.txt.usb-thermometer-ab12cd345.tmp",
                                           "notes.usb-thermometer-ab12cd34.tmp",
                                           "cal.txt.tmpab12cd",
                                           "cal.txt.bak",
                                           "cal.txt.usb-thermometer-inuse123.tmp"};
    for (const char* name : kept) {
        put(name);
    }
    os::UniqueHandle inFlight(CreateFileW((dir_ / "cal.txt.usb-thermometer-inuse123.tmp").c_str(),
                                          GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(inFlight);
    replaceFileAtomically(cal_, "0.5,0.35\r\n");
    inFlight.reset();
    EXPECT_EQ(content(), "0.5,0.35\r\n");
    EXPECT_FALSE(fs::exists(dir_ / "cal.txt.usb-thermometer-ab12cd34.tmp"));
    for (const char* name : kept) {
        EXPECT_TRUE(fs::exists(dir_ / name)) << name;
    }
}

}  // namespace
}  // namespace thermo
