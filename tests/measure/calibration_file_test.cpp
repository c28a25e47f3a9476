#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <system_error>

#include "measure/calibration_file.h"

namespace thermo {
namespace {

namespace fs = std::filesystem;

class TempDir {
  public:
    TempDir() : path_((fs::temp_directory_path() / "measure-test-XXXXXX").string()) {
        if (::mkdtemp(path_.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    fs::path path() const { return path_; }

  private:
    std::string path_;
};

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void put(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const CalibrationError& error) {
        return error.what();
    }
    return "no error";
}

// What the user is told: the file as named, then the system's reason.
std::string message(const fs::path& path, int error) {
    return path.string() + ": " + std::generic_category().message(error);
}

class CalibrationFileTest : public testing::Test {
  protected:
    TempDir dir;
    fs::path path = dir.path() / "cal.txt";
    CalibrationFile file{path};
};

TEST_F(CalibrationFileTest, MissingFileIsCreatedWithDefaultPointsAlone) {
    const CalibrationPoints points = file.load();
    EXPECT_EQ(points.zero, 0.72);
    EXPECT_EQ(points.hundred, 0.35);
    EXPECT_EQ(contentOf(path), "0.72,0.35\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1) << "temporary left";
}

TEST_F(CalibrationFileTest, ExistingFileIsReadAndLeftAsItWas) {
    put(path, "0.7\r\n0.3\r\nnotes\r\n");
    const CalibrationPoints points = file.load();
    EXPECT_EQ(points.zero, 0.7);
    EXPECT_EQ(points.hundred, 0.3);
    EXPECT_EQ(contentOf(path), "0.7\r\n0.3\r\nnotes\r\n");
}

TEST_F(CalibrationFileTest, FileWithoutTwoValuesFailsAndGetsNoDefaults) {
    for (const std::string content : {"", "0.72\r\n"}) {
        put(path, content);
        EXPECT_EQ(errorOf([&] { file.load(); }),
                  path.string() + ": does not hold two calibration values");
        EXPECT_EQ(contentOf(path), content);
    }
}

TEST_F(CalibrationFileTest, UnreadableFileFailsAndIsNotOverwritten) {
    put(path, "0.7,0.3\r\n");
    fs::permissions(path, fs::perms::none);
    if (::access(path.c_str(), R_OK) == 0) {
        GTEST_SKIP() << "needs a user without CAP_DAC_OVERRIDE: root reads a mode 000 file";
    }
    EXPECT_EQ(errorOf([&] { file.load(); }), message(path, EACCES));
    fs::permissions(path, fs::perms::owner_read);
    EXPECT_EQ(contentOf(path), "0.7,0.3\r\n");
}

TEST_F(CalibrationFileTest, LoadIfPresentNeverCreatesAndFailsLikeLoad) {
    EXPECT_FALSE(file.loadIfPresent().has_value());
    EXPECT_FALSE(fs::exists(path));

    put(path, "0.7,0.3\r\n");
    const auto points = file.loadIfPresent();
    ASSERT_TRUE(points.has_value());
    EXPECT_EQ(points->zero, 0.7);
    EXPECT_EQ(points->hundred, 0.3);

    put(path, "0.72\r\n");
    EXPECT_EQ(errorOf([&] { file.loadIfPresent(); }),
              path.string() + ": does not hold two calibration values");
    fs::remove(path);
    fs::create_directory(path);
    EXPECT_EQ(errorOf([&] { file.loadIfPresent(); }), message(path, EISDIR));
}

// Unlike a mode 000 file, a directory in the file's place cannot be read by root either.
TEST_F(CalibrationFileTest, DirectoryInPlaceOfFileFailsAndIsNotWrittenTo) {
    fs::create_directory(path);
    EXPECT_EQ(errorOf([&] { file.load(); }), message(path, EISDIR));
    EXPECT_TRUE(fs::is_empty(path));
}

TEST_F(CalibrationFileTest, WriteReplacesContentAndKeepsPermissions) {
    constexpr auto kMode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    put(path, "0.72,0.35\r\nextra\r\n");
    fs::permissions(path, kMode);
    file.write({std::nullopt, 0.4});
    EXPECT_EQ(contentOf(path), ",0.4\r\n");
    EXPECT_EQ(fs::status(path).permissions(), kMode);
    EXPECT_FALSE(file.load().zero);
}

TEST_F(CalibrationFileTest, WriteFailureNamesFileAndReason) {
    put(dir.path() / "plain", "");
    const fs::path below = dir.path() / "plain" / "cal.txt";
    EXPECT_EQ(errorOf([&] { CalibrationFile(below).write({0.5, 0.35}); }), message(below, ENOTDIR));
}

// Writes cal.txt on a private 16 KiB tmpfs, lets `spoil` fill it or make it read-only, and
// checks that a rewrite fails with `expected` and leaves the old line and no temporary file
// (no other entry named cal.txt*).
// Runs in a child with its own mount namespace, as only that can defeat root's privileges.
void rewriteOnSpoiledFileSystem(const std::function<void(const fs::path&)>& spoil, int expected) {
    const TempDir dir;
    const fs::path path = dir.path() / "cal.txt";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=16k") != 0) {
            ::_exit(2);
        }
        std::string failure = errorOf([&] { CalibrationFile(path).load(); });
        spoil(dir.path());
        failure += "; " + errorOf([&] { CalibrationFile(path).write({0.5, 0.35}); });
        failure += "; " + contentOf(path);
        failure += "; " + std::to_string(std::ranges::count_if(
                              fs::directory_iterator(dir.path()), [](const auto& entry) {
                                  return entry.path().filename().string().starts_with("cal.txt");
                              }));
        const std::string wanted = "no error; " + message(path, expected) + "; 0.72,0.35\r\n; 1";
        if (failure != wanted) {
            std::fputs(("got:    " + failure + "\nwanted: " + wanted + "\n").c_str(), stderr);
        }
        ::_exit(failure == wanted ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 2) {
        GTEST_SKIP() << "needs root and mount namespaces to mount a small tmpfs";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "see the outcome above";
}

TEST(CalibrationFileSystem, FullDiskKeepsOldLine) {
    rewriteOnSpoiledFileSystem(
        [](const fs::path& dir) {
            std::ofstream filler(dir / "filler", std::ios::binary);
            while (filler << std::string(4096, 'x') << std::flush) {
            }
        },
        ENOSPC);
}

TEST(CalibrationFileSystem, ReadOnlyFileSystemKeepsOldLine) {
    rewriteOnSpoiledFileSystem(
        [](const fs::path& dir) {
            ::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr);
        },
        EROFS);
}

}  // namespace
}  // namespace thermo
