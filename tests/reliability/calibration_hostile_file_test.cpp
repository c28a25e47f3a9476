// cal.txt is whatever the working directory holds under that name. Start-up must end, loading
// what the reading rules allow or saying why it cannot, and must never read the file without
// bound: the first two fields are all it needs. Each case starts the window behaviour in a child
// process, so that a start-up that never ends fails the case instead of hanging the suite.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "hid/hidusb.h"
#include "measure/calibration_file.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/fake_platform.h"
#include "tests/support/fake_view.h"
#include "tests/support/row_name.h"
#include "window/form1.h"

namespace thermo::reliability {
namespace {

using thermo::PrintTo;

namespace fs = std::filesystem;

// Far beyond any bound a reader of two numbers needs.
constexpr std::uintmax_t kHugeSize = 256ULL * 1024 * 1024;

// Peak resident memory of this process so far.
long peakResidentKib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

struct CalRow {
    const char* name;
    std::function<void(const fs::path&)> make;  // puts something at this path
    // "0.7 0.3" for the points that must load, or a part of the message start-up must fail with.
    std::string outcome;
};

class HostileCalTxt : public ::testing::TestWithParam<CalRow> {};

TEST_P(HostileCalTxt, StartUpEndsWithoutReadingItAll) {
    const CalRow& row = GetParam();
    const TempDir dir("hostile-cal");
    row.make(dir.path() / "cal.txt");
    const ChildResult result = runInChild(
        [&]() -> std::string {
            if (::chdir(dir.path().c_str()) != 0) {
                return "chdir failed";
            }
            hid::FakePlatform platform;
            hid::HIDusb device(platform);
            FakeView view;
            Form1 form(view, device, CalibrationFile("cal.txt"));
            const long peakBefore = peakResidentKib();
            std::string outcome;
            try {
                form.Form_Load();
                std::ostringstream points;
                points << form.CalZero.value_or(-1) << ' ' << form.CalHundred.value_or(-1);
                outcome = points.str();
            } catch (const CalibrationError& error) {
                outcome = error.what();
            }
            if (outcome.find(row.outcome) == std::string::npos) {
                return "start-up gave \"" + outcome + "\", not \"" + row.outcome + "\"";
            }
            // Reading what is needed takes kilobytes; a megabyte more means it read on.
            const long grownKib = peakResidentKib() - peakBefore;
            if (grownKib > 16 * 1024) {
                return "reading cal.txt took " + std::to_string(grownKib) + " KiB";
            }
            return {};
        },
        std::chrono::seconds(20));
    EXPECT_EQ(result.outcome, ChildOutcome::Passed) << result.detail;
}

void regularFile(const fs::path& path, const std::string& head, std::uintmax_t size) {
    writeFile(path, head);
    fs::resize_file(path, size);  // sparse: costs no disk
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HostileCalTxt,
    ::testing::Values(
        // The line first, then more than any memory should hold for it: the rest is ignored.
        CalRow{"HugeFileAfterTheLine",
               [](const fs::path& p) { regularFile(p, "0.7,0.3\r\n", kHugeSize); }, "0.7 0.3"},
        CalRow{"HugeFileAfterTwoLines",
               [](const fs::path& p) { regularFile(p, "0.7\n0.3\n", kHugeSize); }, "0.7 0.3"},
        // No end to it, and no field separator in it: it cannot hold two values.
        CalRow{"EndlessZeros", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); },
               "cal.txt: "},
        CalRow{"HugeFileWithoutSeparators",
               [](const fs::path& p) { regularFile(p, "0.7", kHugeSize); }, "cal.txt: "},
        // Two fields that do not end within the first MiB are not read to their end.
        CalRow{"SecondFieldRunsPastTheFirstMiB",
               [](const fs::path& p) { writeFile(p, "0.7," + std::string(1 << 20, '3') + "\r\n"); },
               "cal.txt: does not hold two calibration values in its first MiB"},
        // A pipe nobody writes to: waiting for a writer would hang the start for good.
        CalRow{"PipeWithoutWriter", [](const fs::path& p) { ::mkfifo(p.c_str(), 0600); },
               "cal.txt: "}),
    rowName);

}  // namespace
}  // namespace thermo::reliability
