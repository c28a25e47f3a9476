// cal.txt's file operations as Windows does them (measure/windows/atomic_file.cpp): the whole
// new content or the old, never a mix, and no temporary file left behind, also where Windows
// refuses the replacement.

#include "measure/atomic_file.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace thermo {
namespace {

namespace fs = std::filesystem;

class AtomicFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("thermo-atomic-" + std::to_string(GetCurrentProcessId()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        cal_ = dir_ / "cal.txt";
    }
    void TearDown() override {
        SetFileAttributesW(cal_.c_str(), FILE_ATTRIBUTE_NORMAL);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string content() const {
        std::ifstream in(cal_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    void write(const std::string& text) const { std::ofstream(cal_, std::ios::binary) << text; }
    int entries() const {
        return static_cast<int>(std::distance(fs::directory_iterator(dir_), {}));
    }

    fs::path dir_;
    fs::path cal_;
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

bool underWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// A read-only cal.txt: Windows will not replace it, and nothing changes.
TEST_F(AtomicFileTest, ReadOnlyFileIsLeftAsItWasAndSaysSo) {
    if (underWine()) {
        GTEST_SKIP() << "needs Windows itself: wine's MoveFileExW replaces a read-only file";
    }
    write("0.72,0.35\r\n");
    ASSERT_TRUE(SetFileAttributesW(cal_.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_THROW(replaceFileAtomically(cal_, "0.5,0.35\r\n"), std::system_error);
    EXPECT_EQ(content(), "0.72,0.35\r\n");
    EXPECT_EQ(entries(), 1) << "the temporary file must go";
}

// Another program holds cal.txt open without letting it be deleted (as some editors do).
TEST_F(AtomicFileTest, FileHeldOpenByAnotherProgramIsLeftAsItWas) {
    write("0.72,0.35\r\n");
    HANDLE held = CreateFileW(cal_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_THROW(replaceFileAtomically(cal_, "0.5,0.35\r\n"), std::system_error);
    CloseHandle(held);
    EXPECT_EQ(content(), "0.72,0.35\r\n");
    EXPECT_EQ(entries(), 1) << "the temporary file must go";
}

}  // namespace
}  // namespace thermo
