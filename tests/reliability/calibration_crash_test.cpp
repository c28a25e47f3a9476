// The program may be killed at any moment, also while a calibration button rewrites cal.txt.
// A driver presses the buttons of the real window behaviour in a loop and is SIGKILLed at random
// moments; after every kill cal.txt must hold the line from before the press that was cut short
// or the line after it, complete, and nothing but temporary files of the documented pattern
// (cal.txt.usb-thermometer-, eight letters or digits, .tmp) may lie beside it: at most one for each
// save cut short since the last that completed, which removes them. After the kills, one clean save
// leaves none.
//
// THERMO_CALIBRATION_KILLS sets the number of kills (default 300; scripts/soak runs 1000s);
// THERMO_SEED repeats a run's kill moments.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "hid/hidusb.h"
#include "measure/calibration_file.h"
#include "measure/temporary_name.h"
#include "tests/reliability/calibration_presses.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/fake_platform.h"
#include "tests/support/fake_view.h"
#include "window/form1.h"

namespace thermo::reliability {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

long settingFromEnvironment(const char* name, long fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtol(text, nullptr, 10) : fallback;
}

// The points in cal.txt once press `last` has completed: each point comes from the latest press
// that stores it (presses -2 and -1 stand for the line the test starts with).
CalibrationPoints pointsAfterPress(long last) {
    const long lastZeroPress = pressStoresZeroPoint(last) ? last : last - 1;
    const long lastHundredPress = pressStoresZeroPoint(last) ? last - 1 : last;
    return {ratioForPress(lastZeroPress), ratioForPress(lastHundredPress)};
}

bool samePoints(const CalibrationPoints& a, const CalibrationPoints& b) {
    const auto bits = [](const MaybeNumber& n) {
        return n ? std::optional(std::bit_cast<std::uint64_t>(*n)) : std::nullopt;
    };
    return bits(a.zero) == bits(b.zero) && bits(a.hundred) == bits(b.hundred);
}

// Which press's line the file holds: `last` or the one before it. No value, and `why` says what
// is wrong, when it is neither (a torn, empty or foreign line).
std::optional<long> pressInFile(const std::string& content, long last, std::string& why) {
    const std::size_t lineEnd = content.find("\r\n");
    if (content.empty() || lineEnd + 2 != content.size() ||
        std::count(content.begin(), content.end(), ',') != 1) {
        why = "not one complete line: \"" + content + "\"";
        return std::nullopt;
    }
    const auto points = parseCalibration(content);
    for (const long press : {last, last - 1}) {
        if (points && samePoints(*points, pointsAfterPress(press))) {
            return press;
        }
    }
    why = "neither the line of press " + std::to_string(last - 1) + " nor of press " +
          std::to_string(last) + ": \"" + content + "\"";
    return std::nullopt;
}

bool isTemporaryName(const std::string& name) { return isTemporaryNameFor(name, "cal.txt"); }

// Every entry beside cal.txt must be a temporary file of the documented pattern; returns how
// many there are, or -1 (with `why`) when something else is there.
int leftoverTemporaries(const fs::path& dir, std::string& why) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name == "cal.txt") {
            continue;
        }
        if (!isTemporaryName(name) || !entry.is_regular_file()) {
            why = "unexpected entry " + name;
            return -1;
        }
        ++count;
    }
    return count;
}

// One run of the driver, from its start to its kill.
class DriverRun {
  public:
    DriverRun(const fs::path& calDir, long firstPress, const fs::path& log) {
        std::array<int, 2> pipe{};
        if (::pipe2(pipe.data(), O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe2 failed");
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            // The progress end must survive exec; nothing else of ours should.
            const int progress = ::fcntl(pipe[1], F_DUPFD, 10);
            const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(logFd, STDERR_FILENO);
            const std::string dirArg = calDir.string();
            const std::string firstArg = std::to_string(firstPress);
            const std::string fdArg = std::to_string(progress);
            ::execl(THERMO_KILL_DRIVER, THERMO_KILL_DRIVER, dirArg.c_str(), firstArg.c_str(),
                    fdArg.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(pipe[1]);
        progress_ = pipe[0];
        if (pid_ < 0) {
            throw std::runtime_error("fork failed");
        }
    }
    ~DriverRun() {
        if (pid_ > 0) {
            kill();
        }
        ::close(progress_);
    }
    DriverRun(const DriverRun&) = delete;
    DriverRun& operator=(const DriverRun&) = delete;

    // Reads progress until `count` presses of this run have started; false if the driver ended.
    bool waitForPresses(int count) {
        while (started_ < count) {
            if (!readProgress()) {
                return false;
            }
        }
        return true;
    }

    // SIGKILL, then everything the driver reported before it died. Returns its wait status.
    int kill() {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        while (readProgress()) {
        }
        return status;
    }

    int started() const { return started_; }
    std::optional<long> lastPress() const { return last_; }
    Clock::duration elapsedBetweenPresses() const { return latest_ - first_; }

  private:
    bool readProgress() {
        std::array<char, 256> buffer{};
        const ssize_t got = ::read(progress_, buffer.data(), buffer.size());
        if (got <= 0) {
            return false;
        }
        for (ssize_t i = 0; i < got; ++i) {
            if (buffer[static_cast<std::size_t>(i)] != '\n') {
                line_ += buffer[static_cast<std::size_t>(i)];
                continue;
            }
            last_ = std::stol(line_);
            line_.clear();
            latest_ = Clock::now();
            if (started_++ == 0) {
                first_ = latest_;
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    int progress_ = -1;
    std::string line_;
    int started_ = 0;
    std::optional<long> last_;
    Clock::time_point first_{};
    Clock::time_point latest_{};
};

TEST(CrashSafeCalibration, EveryKillLeavesTheOldOrTheNewCompleteLine) {
    const long kills = settingFromEnvironment("THERMO_CALIBRATION_KILLS", 300);
    const auto seed = static_cast<std::uint64_t>(
        settingFromEnvironment("THERMO_SEED", static_cast<long>(std::random_device()())));
    std::mt19937_64 random(seed);
    std::cout << "seed " << seed << " (THERMO_SEED repeats this run)\n";

    const TempDir calDir("calibration-kill");
    const TempDir logDir("calibration-kill-log");
    const fs::path calTxt = calDir.path() / "cal.txt";
    writeFile(calTxt, "1,0.5\r\n");  // presses -2 and -1: ratios 1/1 and 1/2
    long nextPress = 0;

    // Kills land anywhere in a press when the delay after a press has started spans a press or
    // two; the presses' pace is learnt as the runs go.
    double pressMicros = 2000;
    int cutShort = 0;
    int completed = 0;
    int temporaries = 0;
    int mostTemporaries = 0;
    for (long kill = 0; kill < kills; ++kill) {
        const fs::path log = logDir.path() / "driver.log";
        DriverRun run(calDir.path(), nextPress, log);
        const int pressesFirst = std::uniform_int_distribution<int>(1, 3)(random);
        const bool running = run.waitForPresses(pressesFirst);
        // A random moment, not a wait for anything: the point of the test is not to know it.
        std::this_thread::sleep_for(microseconds(
            static_cast<long>(std::uniform_real_distribution<double>(0, 2 * pressMicros)(random))));
        const int status = run.kill();
        ASSERT_TRUE(running && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "kill " << kill << ": the driver ended by itself (status " << status
            << "): " << readFile(log);
        ASSERT_TRUE(run.lastPress());
        if (run.started() > 1) {
            const double measured =
                std::chrono::duration<double, std::micro>(run.elapsedBetweenPresses()).count() /
                (run.started() - 1);
            pressMicros = 0.8 * pressMicros + 0.2 * measured;
        }

        const long last = *run.lastPress();
        std::string why;
        const std::optional<long> inFile = pressInFile(readFile(calTxt), last, why);
        ASSERT_TRUE(inFile) << "kill " << kill << " (seed " << seed << "): " << why;
        (*inFile == last ? completed : cutShort) += 1;
        // A press that started after another means that one completed, and with it the removal
        // of what earlier kills left; the press cut short leaves at most its own file.
        const int allowed = run.started() > 1 ? 1 : temporaries + 1;
        temporaries = leftoverTemporaries(calDir.path(), why);
        ASSERT_GE(temporaries, 0) << "kill " << kill << ": " << why;
        ASSERT_LE(temporaries, allowed) << "kill " << kill << " (seed " << seed << ")";
        mostTemporaries = std::max(mostTemporaries, temporaries);
        nextPress = *inFile + 1;
    }

    // What is left behind does not disturb the next save, which removes it all.
    const CalibrationPoints cleanLine = pointsAfterPress(nextPress);
    CalibrationFile(calTxt).write(cleanLine);
    std::string why;
    EXPECT_EQ(leftoverTemporaries(calDir.path(), why), 0) << why;
    EXPECT_EQ(readFile(calTxt), formatCalibrationLine(cleanLine));

    std::cout << kills << " kills: " << completed << " after the press being made had completed, "
              << cutShort << " with it cut short (the old line kept); at most " << mostTemporaries
              << " temporary files beside cal.txt at a time; about "
              << static_cast<long>(pressMicros) << " us a press\n";
    ::testing::Test::RecordProperty("kills", static_cast<int>(kills));
    ::testing::Test::RecordProperty("cut_short", cutShort);
    ::testing::Test::RecordProperty("most_temporaries", mostTemporaries);
}

// A process that dies in the middle of writing the new line (here the kernel kills it with
// SIGXFSZ at a file size limit, at a known point rather than a random one) must leave cal.txt as
// it was and nothing beside it: a file of the documented pattern would stay there for good,
// since nothing ever removes it.
TEST(CrashSafeCalibration, DeathInTheMiddleOfAWriteLeavesNothingBesideCalTxt) {
    const TempDir dir("calibration-death");
    writeFile(dir.path() / "cal.txt", "1,0.5\r\n");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Ten bytes: the old line can be read, the new one cannot be written whole.
        const rlimit noCore{0, 0};
        const rlimit tenBytes{10, 10};
        ::setrlimit(RLIMIT_CORE, &noCore);
        if (::chdir(dir.path().c_str()) != 0 || ::setrlimit(RLIMIT_FSIZE, &tenBytes) != 0) {
            ::_exit(2);
        }
        hid::FakePlatform platform;
        hid::HIDusb device(platform);
        FakeView view;
        Form1 form(view, device, CalibrationFile("cal.txt"));
        form.Form_Load();
        form.SensorRatio = 1.0 / 3.0;
        form.clickRequested(ControlId::Command2);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ)
        << "the press was not cut short (status " << status << ")";
    EXPECT_EQ(readFile(dir.path() / "cal.txt"), "1,0.5\r\n");
    std::vector<std::string> beside;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        if (entry.path().filename() != "cal.txt") {
            beside.push_back(entry.path().filename().string());
        }
    }
    EXPECT_TRUE(beside.empty()) << "left behind: " << ::testing::PrintToString(beside);
}

}  // namespace
}  // namespace thermo::reliability
