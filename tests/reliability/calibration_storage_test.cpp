// A full disk or a read-only directory under the real window behaviour: pressing a calibration
// button tells the user clearly, the file and the points in use stay as they were, nothing is
// left beside cal.txt, and once the cause is gone the next press works. At start-up without a
// cal.txt the program says why it cannot start, and leaves nothing that would stop the next
// start once the cause is gone.
//
// Only a private mount namespace can make a disk full or a directory read-only for root, so each
// case runs in a child that has one; elsewhere the cases skip. Plain permissions stop only an
// ordinary user, so that case's child becomes one.
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <system_error>

#include "hid/hidusb.h"
#include "measure/calibration_file.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/fake_platform.h"
#include "tests/support/fake_view.h"
#include "tests/support/row_name.h"
#include "tests/support/unprivileged.h"
#include "window/form1.h"

namespace thermo::reliability {
namespace {

using thermo::PrintTo;

namespace fs = std::filesystem;

std::string reason(int error) { return std::error_code(error, std::generic_category()).message(); }

// How a directory is spoilt, and mended again, inside the child's own mounts.
struct Spoiler {
    const char* name;
    std::function<std::string(const fs::path&)> prepare;  // mounts; "" or why it cannot
    std::function<void(const fs::path&)> spoil;
    std::function<void(const fs::path&)> mend;
    int error;  // what a write then fails with
};

Spoiler fullDisk() {
    return {"FullDisk",
            [](const fs::path& dir) -> std::string {
                if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k") != 0) {
                    return "needs root to mount a small tmpfs (" + reason(errno) + ")";
                }
                return {};
            },
            [](const fs::path& dir) {
                std::ofstream filler(dir / "filler", std::ios::binary);
                const std::string block(4096, 'x');
                while (filler.write(block.data(), block.size()) && filler.flush()) {
                }
            },
            [](const fs::path& dir) { fs::remove(dir / "filler"); }, ENOSPC};
}

Spoiler readOnlyDirectory() {
    return {"ReadOnlyDirectory",
            [](const fs::path& dir) -> std::string {
                if (::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0) {
                    return "needs root to bind a directory read-only (" + reason(errno) + ")";
                }
                return {};
            },
            [](const fs::path& dir) {
                ::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr);
            },
            [](const fs::path& dir) {
                ::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND, nullptr);
            },
            EROFS};
}

// A user who may not write the folder or cal.txt in it (made read-only by hand, or in a folder
// shared read-only). Run as the ordinary user "nobody" also when the suite runs as root, who
// writes whatever the permissions say.
Spoiler readOnlyFileAndFolder() {
    constexpr auto kReadOnly =
        fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    const auto setModes = [](const fs::path& dir, fs::perms file, fs::perms folder) {
        if (fs::exists(dir / "cal.txt")) {
            fs::permissions(dir / "cal.txt", file);
        }
        fs::permissions(dir, folder);
    };
    return {
        "ReadOnlyFileAndFolder", [](const fs::path& dir) { return test::becomeOrdinaryUser(dir); },
        [=](const fs::path& dir) { setModes(dir, kReadOnly, kReadOnly | fs::perms::owner_exec); },
        [=](const fs::path& dir) {
            setModes(dir, kReadOnly | fs::perms::owner_write, fs::perms::owner_all);
        },
        EACCES};
}

// The program's pieces, as app/main.cpp wires them, with a headless view and no thermometer.
struct Program {
    hid::FakePlatform platform;
    hid::HIDusb device{platform};
    FakeView view;
    Form1 form{view, device, CalibrationFile("cal.txt")};
};

// Collects what did not hold, for the parent to report.
class Findings {
  public:
    void expect(bool holds, const std::string& what) {
        if (!holds) {
            text_ += what + "\n";
        }
    }
    std::string text() const { return text_; }

  private:
    std::string text_;
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

int entriesBesideCalTxt(const fs::path& dir) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        count += name != "cal.txt" && name != "filler" ? 1 : 0;
    }
    return count;
}

void runCase(const Spoiler& spoiler, const std::function<std::string(const Spoiler&)>& check) {
    const TempDir dir("calibration-storage");
    const fs::path path = dir.path();
    const ChildResult result = runInPrivateMounts(
        [&]() -> std::string {
            if (std::string why = spoiler.prepare(path); !why.empty()) {
                return why;
            }
            // Only now: a working directory taken before the mount would be the one beneath.
            return ::chdir(path.c_str()) == 0 ? "" : "chdir: " + reason(errno);
        },
        [&] { return check(spoiler); });
    if (result.outcome == ChildOutcome::CannotRun) {
        GTEST_SKIP() << result.detail;
    }
    EXPECT_EQ(result.outcome, ChildOutcome::Passed) << result.detail;
}

class SpoiltStorage : public ::testing::TestWithParam<Spoiler> {};

TEST_P(SpoiltStorage, ButtonPressTellsTheUserAndLosesNothing) {
    runCase(GetParam(), [](const Spoiler& spoiler) {
        Findings findings;
        const fs::path dir = fs::current_path();
        writeFile("cal.txt", "0.7,0.3\r\n");
        Program program;
        program.form.Form_Load();
        spoiler.spoil(dir);

        program.form.SensorRatio = 0.5;
        program.form.clickRequested(ControlId::Command2);
        const auto& errors = program.view.errors();
        findings.expect(errors.size() == 1, "one message for the failed press");
        if (!errors.empty()) {
            findings.expect(
                contains(errors[0], "could not be saved in cal.txt") &&
                    contains(errors[0], reason(spoiler.error)) && contains(errors[0], "unchanged"),
                "the message names the file, the cause and what happened: " + errors[0]);
        }
        findings.expect(readFile("cal.txt") == "0.7,0.3\r\n", "the file kept its line");
        findings.expect(program.form.CalZero == 0.7 && program.form.CalHundred == 0.3,
                        "the points in use are unchanged");
        findings.expect(entriesBesideCalTxt(dir) == 0, "nothing left beside cal.txt");

        spoiler.mend(dir);
        program.form.clickRequested(ControlId::Command2);
        findings.expect(errors.size() == 1, "the press after mending works without a message");
        findings.expect(readFile("cal.txt") == "0.5,0.3\r\n", "the press after mending is saved");
        findings.expect(program.form.CalZero == 0.5, "and is in use");
        return findings.text();
    });
}

// A folder the user may not write makes the save rewrite cal.txt in place. Cut short once the
// first bytes have changed (a file size limit stands in for an I/O error or a quota), the message
// must not call the file unchanged: it says it may be damaged, and what it held.
TEST(CalibrationStorage, RewriteInPlaceCutShortSaysTheFileMayBeDamagedAndWhatItHeld) {
    const TempDir dir("calibration-in-place");
    const fs::path path = dir.path();
    const ChildResult result = runInPrivateMounts(
        [&]() -> std::string {
            if (std::string why = test::becomeOrdinaryUser(path); !why.empty()) return why;
            return ::chdir(path.c_str()) == 0 ? "" : "chdir: " + reason(errno);
        },
        [&] {
            Findings findings;
            writeFile("cal.txt", "0.7,0.3\r\n");
            Program program;
            program.form.Form_Load();
            fs::permissions(path, fs::perms::owner_read | fs::perms::owner_exec);
            const rlimit limit{5, 5};
            ::signal(SIGXFSZ, SIG_IGN);
            ::setrlimit(RLIMIT_FSIZE, &limit);
            program.form.SensorRatio = 0.51953125;
            program.form.clickRequested(ControlId::Command2);
            const auto& errors = program.view.errors();
            findings.expect(errors.size() == 1, "one message for the failed press");
            if (!errors.empty()) {
                findings.expect(
                    contains(errors[0], reason(EFBIG)) && contains(errors[0], "may be damaged") &&
                        contains(errors[0], "\n0.7,0.3\n") && !contains(errors[0], "unchanged"),
                    "the message says what became of the file: " + errors[0]);
            }
            findings.expect(readFile("cal.txt") != "0.7,0.3\r\n", "the limit cut nothing short");
            findings.expect(program.form.CalZero == 0.7, "the point in use changed");
            return findings.text();
        });
    if (result.outcome == ChildOutcome::CannotRun) GTEST_SKIP() << result.detail;
    EXPECT_EQ(result.outcome, ChildOutcome::Passed) << result.detail;
}

TEST_P(SpoiltStorage, StartWithoutCalTxtSaysWhyAndLeavesNothingBehind) {
    runCase(GetParam(), [](const Spoiler& spoiler) {
        Findings findings;
        const fs::path dir = fs::current_path();
        spoiler.spoil(dir);
        {
            Program program;
            try {
                program.form.Form_Load();
                findings.expect(false, "start-up succeeded without a way to create cal.txt");
            } catch (const CalibrationError& error) {
                findings.expect(
                    std::string(error.what()) ==
                        (dir / "cal.txt").string() + ": " + reason(spoiler.error),
                    std::string("the reason names the whole path and the cause: ") + error.what());
            }
        }
        // An empty or partial cal.txt here would stop every later start ("does not hold two
        // values") even after the cause is gone.
        findings.expect(!fs::exists(dir / "cal.txt"), "no cal.txt was left");
        findings.expect(entriesBesideCalTxt(dir) == 0, "nothing left beside cal.txt");

        spoiler.mend(dir);
        Program next;
        next.form.Form_Load();
        findings.expect(readFile("cal.txt") == "0.72,0.35\r\n", "the next start creates it");
        return findings.text();
    });
}

// Reading needs no room and no write access: a program whose directory is full or read-only
// starts with the calibration it has.
TEST_P(SpoiltStorage, StartWithCalTxtReadsIt) {
    runCase(GetParam(), [](const Spoiler& spoiler) {
        Findings findings;
        writeFile("cal.txt", "0.7,0.3\r\n");
        spoiler.spoil(fs::current_path());
        Program program;
        program.form.Form_Load();
        findings.expect(program.form.CalZero == 0.7 && program.form.CalHundred == 0.3,
                        "the points are read");
        findings.expect(program.view.errors().empty(), "no message");
        return findings.text();
    });
}

INSTANTIATE_TEST_SUITE_P(Rows, SpoiltStorage,
                         ::testing::Values(fullDisk(), readOnlyDirectory(),
                                           readOnlyFileAndFolder()),
                         rowName);

}  // namespace
}  // namespace thermo::reliability
