#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <system_error>

#include "measure/atomic_file.h"
#include "measure/calibration_file.h"
#include "tests/support/private_mounts.h"
#include "tests/support/row_name.h"
#include "tests/support/temp_dir.h"
#include "tests/support/unprivileged.h"

namespace thermo {
namespace {

namespace fs = std::filesystem;
using thermo::testing::TempDir;

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

class CalibrationFileTest : public ::testing::Test {
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

// What did not hold, one line each; empty when all did.
std::string unless(bool holds, const std::string& what) { return holds ? "" : what + "\n"; }

// Runs `check` as an ordinary user also when the suite runs as root, who reads and writes
// whatever the permissions say.
void expectAsOrdinaryUser(const fs::path& dir, const std::function<std::string()>& check) {
    const test::UnprivilegedResult result = test::runUnprivileged(dir, check);
    if (!result.ran) {
        GTEST_SKIP() << result.detail;
    }
    EXPECT_EQ(result.detail, "");
}

TEST_F(CalibrationFileTest, UnreadableFileFailsAndIsNotOverwritten) {
    put(path, "0.7,0.3\r\n");
    expectAsOrdinaryUser(dir.path(), [&] {
        fs::permissions(path, fs::perms::none);
        const std::string error = errorOf([&] { file.load(); });
        fs::permissions(path, fs::perms::owner_read);
        return unless(error == message(path, EACCES), "load gave: " + error) +
               unless(contentOf(path) == "0.7,0.3\r\n", "the file changed");
    });
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

// The process's umask for as long as it lives; the one before comes back after.
class UmaskForNow {
  public:
    explicit UmaskForNow(mode_t mask) : previous_(::umask(mask)) {}
    ~UmaskForNow() { ::umask(previous_); }
    UmaskForNow(const UmaskForNow&) = delete;
    UmaskForNow& operator=(const UmaskForNow&) = delete;

  private:
    mode_t previous_;
};

struct NewModeRow {
    const char* name;
    NewFileMode newFileMode;
    mode_t umask;
    int existingMode;  // -1: no file there before
    mode_t mode;       // the file's afterwards
};

// A file that a collector running as another user reads is created readable by all whatever
// the umask; an existing file keeps its mode either way, and the default leaves it to the umask.
const NewModeRow kNewModes[] = {
    {"UmaskDecidesUnder077", NewFileMode::UmaskDecides, 077, -1, 0600},
    {"UmaskDecidesUnder022", NewFileMode::UmaskDecides, 022, -1, 0644},
    {"ReadableByAllUnder077", NewFileMode::ReadableByAll, 077, -1, 0644},
    {"ReadableByAllUnder027", NewFileMode::ReadableByAll, 027, -1, 0644},
    {"ReadableByAllUnderNoMaskIsNotWritableByAll", NewFileMode::ReadableByAll, 0, -1, 0644},
    {"ExistingKeepsItsModeThoughReadableByAll", NewFileMode::ReadableByAll, 022, 0600, 0600},
    {"ExistingKeepsItsModeWhateverTheUmask", NewFileMode::UmaskDecides, 077, 0664, 0664},
};

class NewFileModes : public ::testing::TestWithParam<NewModeRow> {};

TEST_P(NewFileModes, AreAsAsked) {
    const NewModeRow& row = GetParam();
    TempDir dir;
    const fs::path path = dir.path() / "t.prom";
    if (row.existingMode >= 0) {
        put(path, "old\n");
        ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(row.existingMode)), 0);
    }
    {
        const UmaskForNow mask(row.umask);
        replaceFileAtomically(path, "new\n", row.newFileMode);
    }
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, row.mode);
    EXPECT_EQ(contentOf(path), "new\n");
}

INSTANTIATE_TEST_SUITE_P(Rows, NewFileModes, ::testing::ValuesIn(kNewModes), rowName);

TEST_F(CalibrationFileTest, WriteFailureNamesFileAndReason) {
    put(dir.path() / "plain", "");
    const fs::path below = dir.path() / "plain" / "cal.txt";
    EXPECT_EQ(errorOf([&] { CalibrationFile(below).write({0.5, 0.35}); }), message(below, ENOTDIR));
}

int temporariesIn(const fs::path& dir) {
    return static_cast<int>(std::ranges::count_if(fs::directory_iterator(dir), [](const auto& e) {
        return e.path().filename().string().ends_with(".tmp");
    }));
}

// A save of 0.5,0.3 to dir/cal.txt, made as an ordinary user after `prepare` has set the scene.
struct SaveRow {
    const char* name;
    // Returns what must stay alive during the save (a lock held by "another program"), if any.
    std::function<std::shared_ptr<void>(const fs::path& dir)> prepare;
    int error;                                              // 0: the save succeeds
    std::function<std::string(const fs::path& dir)> check;  // what did not hold afterwards
};

class CalibrationSave : public ::testing::TestWithParam<SaveRow> {};

TEST_P(CalibrationSave, AsAnOrdinaryUser) {
    const SaveRow& row = GetParam();
    const TempDir dir;
    const fs::path path = dir.path() / "cal.txt";
    expectAsOrdinaryUser(dir.path(), [&] {
        const std::shared_ptr<void> held = row.prepare(dir.path());
        const std::string outcome = errorOf([&] { CalibrationFile(path).write({0.5, 0.3}); });
        const std::string wanted = row.error == 0 ? "no error" : message(path, row.error);
        return unless(outcome == wanted, "the save gave \"" + outcome + "\", not " + wanted) +
               row.check(dir.path());
    });
}

constexpr auto kReadOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
constexpr auto kNoWriting = kReadOnly | fs::perms::owner_exec;

std::shared_ptr<void> oldLine(const fs::path& dir) {
    put(dir / "cal.txt", "0.7,0.3\r\n");
    return nullptr;
}

std::string unchanged(const fs::path& dir) {
    return unless(contentOf(dir / "cal.txt") == "0.7,0.3\r\n", "the file changed") +
           unless(fs::status(dir / "cal.txt").permissions() == kReadOnly, "its mode changed") +
           unless(temporariesIn(dir) == 0, "a temporary file was left");
}

std::string saved(const fs::path& file) {
    return unless(contentOf(file) == "0.5,0.3\r\n", file.string() + " holds " + contentOf(file));
}

// A file of another program's save, in flight: it holds the lock as long as this is alive.
std::shared_ptr<void> lockedFile(const fs::path& path) {
    put(path, "");
    auto fd = std::shared_ptr<int>(new int(::open(path.c_str(), O_RDONLY | O_CLOEXEC)),
                                   [](const int* fd) {
                                       ::close(*fd);
                                       delete fd;
                                   });
    ::flock(*fd, LOCK_EX);
    return fd;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CalibrationSave,
    ::testing::Values(
        // A rename needs only the folder's permission; the file's own must decide.
        SaveRow{"ReadOnlyFileIsNotWritten",
                [](const fs::path& dir) {
                    oldLine(dir);
                    fs::permissions(dir / "cal.txt", kReadOnly);
                    return nullptr;
                },
                EACCES, unchanged},
        SaveRow{"ReadOnlyFileInUnwritableFolderIsNotWritten",
                [](const fs::path& dir) {
                    oldLine(dir);
                    fs::permissions(dir / "cal.txt", kReadOnly);
                    fs::permissions(dir, kNoWriting);
                    return nullptr;
                },
                EACCES,
                [](const fs::path& dir) {
                    fs::permissions(dir, fs::perms::owner_all);
                    return unchanged(dir);
                }},
        SaveRow{"WritableFileInUnwritableFolderIsRewrittenInPlace",
                [](const fs::path& dir) {
                    oldLine(dir);
                    fs::permissions(dir, kNoWriting);
                    return nullptr;
                },
                0,
                [](const fs::path& dir) {
                    fs::permissions(dir, fs::perms::owner_all);
                    return saved(dir / "cal.txt");
                }},
        // The link stays, and the file it leads to gets the line, replaced in its own folder.
        SaveRow{"LinkedFileIsReplacedWhereTheLinkLeads",
                [](const fs::path& dir) {
                    fs::create_directory(dir / "shared");
                    oldLine(dir / "shared");
                    fs::create_symlink("shared/cal.txt", dir / "cal.txt");
                    return nullptr;
                },
                0,
                [](const fs::path& dir) {
                    return saved(dir / "shared" / "cal.txt") +
                           unless(fs::is_symlink(dir / "cal.txt") &&
                                      fs::read_symlink(dir / "cal.txt") == "shared/cal.txt",
                                  "the link is gone") +
                           unless(temporariesIn(dir) + temporariesIn(dir / "shared") == 0,
                                  "a temporary file was left");
                }},
        // Only the program's own pattern, and only files no save holds.
        SaveRow{
            "LeftoversOfKilledSavesAreRemovedAndNothingElse",
            [](const fs::path& dir) -> std::shared_ptr<void> {
                oldLine(dir);
                for (const char* name :
                     {"cal.txt.usb-thermometer-ab12cd34.tmp",
                      "cal.txt.usb-thermometer-AB12CD34.tmp", "cal.txt.usb-thermometer-ab12cd3.tmp",
                      "cal.txt.tmpab12cd", "notes.usb-thermometer-ab12cd34.tmp", "cal.txt.bak"}) {
                    put(dir / name, "");
                }
                fs::create_directory(dir / "cal.txt.usb-thermometer-folder12.tmp");
                return lockedFile(dir / "cal.txt.usb-thermometer-inuse123.tmp");
            },
            0,
            [](const fs::path& dir) {
                std::string findings = saved(dir / "cal.txt");
                findings += unless(!fs::exists(dir / "cal.txt.usb-thermometer-ab12cd34.tmp"),
                                   "a leftover stays");
                for (const char* name :
                     {"cal.txt.usb-thermometer-inuse123.tmp",
                      "cal.txt.usb-thermometer-AB12CD34.tmp", "cal.txt.usb-thermometer-ab12cd3.tmp",
                      "cal.txt.tmpab12cd", "notes.usb-thermometer-ab12cd34.tmp", "cal.txt.bak",
                      "cal.txt.usb-thermometer-folder12.tmp"}) {
                    findings += unless(fs::exists(dir / name), std::string(name) + " removed");
                }
                return findings;
            }}),
    rowName);

// Root saving a user's cal.txt (sudo in their folder) must not take the file from them.
TEST_F(CalibrationFileTest, SaveByRootKeepsOwnerGroupAndMode) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to save a file another user owns";
    }
    constexpr uid_t kUser = 65534;
    constexpr auto kMode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    put(path, "0.7,0.3\r\n");
    ASSERT_EQ(::chown(path.c_str(), kUser, kUser), 0);
    fs::permissions(path, kMode);
    file.write({0.5, 0.3});
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, kUser);
    EXPECT_EQ(status.st_gid, kUser);
    EXPECT_EQ(fs::status(path).permissions(), kMode);
    EXPECT_EQ(saved(path), "");
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
        if (!testing::enterPrivateMounts().empty() ||
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
