// The real program end to end: usb-thermometer in a private Xvfb server, inside the simulated
// thermometer's namespace, clicked through xdotool and read back from the window's pixels (the
// bar's top row gives the temperature to the pixel; the status line's colour its text), from
// cal.txt and from the simulator's counters.
//
// Expected figures come from the published ones (the worked example's bar top at 1996.3851
// twips) or are worked out here: a report's °C from the default points 0.72 and 0.35, the bar's
// top at 3080 - 20 × °C twips, 15 twips a pixel.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/session/reference_window.h"
#include "tests/session/session.h"
#include "tests/support/row_name.h"

namespace thermo::e2e {
namespace {

using thermo::PrintTo;

using namespace std::chrono_literals;
using Status = StatusShown;

// A tick comes every second. What a tick or two bring is waited for generously: on a loaded
// machine ticks come late, and a test fails only when what it waits for never comes. How fast
// things happen is measured by the benchmarks (bench/), not here.
constexpr milliseconds kTick = 1000ms;
constexpr milliseconds kTickPatience = thermo::testing::kPatience;

// °C of a report's value bytes with the default calibration points, as the window's 32-bit float.
double celsiusOf(int b1, int b2) {
    const double ratio = (256.0 * b1 + b2) / 65536.0;
    return static_cast<float>(100.0 - (ratio - 0.35) * 100.0 / (0.72 - 0.35));
}

// The worked example: bytes 133 and 0 put the bar's top at 1996.3851 twips.
const int kWorkedExampleRow = pixelOf(1996.3851);
// An all-zero report reads 194.6 °C, which the bar shows clamped to 132.
const int kAllZeroRow = barRowFor(132.0);

// cal.txt as the program must write it: one line of two comma-separated fields, no spaces, CR LF.
// A field with nothing in it has no value. No line at all when the text is not of that form.
struct CalibrationLine {
    std::optional<double> zero;
    std::optional<double> hundred;
    friend bool operator==(const CalibrationLine&, const CalibrationLine&) = default;
};

std::optional<double> field(std::string_view text, bool& ok) {
    if (text.empty()) return std::nullopt;
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    ok = ok && error == std::errc() && end == text.data() + text.size();
    return value;
}

std::optional<CalibrationLine> calibrationLine(std::string_view text) {
    if (text.size() < 2 || text.substr(text.size() - 2) != "\r\n") return std::nullopt;
    text.remove_suffix(2);
    const std::size_t comma = text.find(',');
    if (comma == std::string_view::npos ||
        text.find_first_of(", \r\n", comma + 1) != std::string_view::npos ||
        text.find_first_of(" \r\n") != std::string_view::npos) {
        return std::nullopt;
    }
    bool ok = true;
    CalibrationLine line{field(text.substr(0, comma), ok), field(text.substr(comma + 1), ok)};
    return ok ? std::optional(line) : std::nullopt;
}

// What the four readout labels show.
struct Readout {
    const char* celsius;
    const char* fahrenheit;
};

// Whether the window's readout labels read these values with their units.
::testing::AssertionResult showsReadout(const Image& window, const Readout& readout) {
    const struct {
        ControlId control;
        const char* text;
    } labels[] = {{ControlId::Label5, readout.celsius},
                  {ControlId::Label3, " \302\260C"},
                  {ControlId::Label10, readout.fahrenheit},
                  {ControlId::Label11, " \302\260F"}};
    for (const auto& label : labels) {
        if (!readsCaption(window, label.control, label.text)) {
            return ::testing::AssertionFailure()
                   << controlSpec(label.control).name << " does not read \"" << label.text << "\"";
        }
    }
    return ::testing::AssertionSuccess();
}

std::int64_t msSince(std::int64_t ns) { return (monotonicNs() - ns) / 1'000'000; }

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const std::string why = Session::whyCannotRun(); !why.empty()) GTEST_SKIP() << why;
    }

    // Every case ends by closing the window as a user does; the program must then end cleanly.
    void TearDown() override {
        if (!session_ || closed_) return;
        session_->requestClose();
        const auto status = session_->waitForExit(10s);
        EXPECT_EQ(status, 0) << "closing the window must end the program normally\n"
                             << session_->log();
    }

    Session& start(std::vector<std::string> simArgs, bool watchListings = false) {
        session_.emplace(SessionOptions{std::move(simArgs), watchListings});
        return *session_;
    }

    std::optional<Session> session_;
    bool closed_ = false;
};

TEST_F(EndToEnd, ShowsTheThermometerAtStartAndReadsItOnlyWhileRunning) {
    Session& s = start({"--celsius", "25"});
    const Image first = s.shot();
    EXPECT_EQ(statusShown(first), Status::Detected);
    // No report is read at load: the bar keeps its design-time top of 480 twips.
    EXPECT_EQ(barTopRow(first), pixelOf(480));
    EXPECT_TRUE(showsReadout(first, {"130.0", "266.0"})) << "the design-time texts";
    const SimStatus loaded = s.sim().status();
    EXPECT_EQ(loaded.number("open"), 2) << "one handle for queries, one for reports";
    EXPECT_FALSE(s.sim().wait("reads>=1", 1500ms)) << "no report may be read before START";

    ASSERT_TRUE(s.pressStart());
    EXPECT_TRUE(s.waitForBarRow(barRowFor(25), kTickPatience));
    EXPECT_TRUE(showsReadout(s.shot(), {"25.0", "77.0"}));
    s.sim().command("celsius 75");
    EXPECT_TRUE(s.waitForBarRow(barRowFor(75), kTickPatience)) << "each tick shows a fresh report";
    EXPECT_EQ(statusShown(s.shot()), Status::Detected);

    ASSERT_TRUE(s.pressStop());
    const std::int64_t reads = s.sim().status().number("reads");
    EXPECT_FALSE(s.sim().wait("reads>" + std::to_string(reads), 1500ms))
        << "STOP must end the reads";
}

// The thermometer among other HID interfaces and in other framings: the bar shows its value.
struct Setup {
    const char* name;
    std::vector<std::string> simArgs;
    std::string node;  // where the thermometer taken sits
};

class ReadsTheThermometer : public EndToEnd, public ::testing::WithParamInterface<Setup> {};

TEST_P(ReadsTheThermometer, AndShowsTheWorkedExample) {
    std::vector<std::string> args = GetParam().simArgs;
    args.insert(args.end(), {"--raw", "133,0"});
    Session& s = start(args);
    EXPECT_EQ(statusShown(s.shot()), Status::Detected);
    const SimStatus taken = s.sim().status(0);
    EXPECT_EQ(taken.text("node"), GetParam().node);
    EXPECT_EQ(taken.number("open"), 2);
    const int thermometers = static_cast<int>(taken.number("thermometers"));
    if (thermometers > 1) {
        // The second one would read 152.4 °C, far from the first.
        s.sim().command("@1 raw 40 0");
        EXPECT_EQ(s.sim().status(1).number("opens"), 0) << "only the first thermometer is opened";
    }

    ASSERT_TRUE(s.pressStart());
    EXPECT_TRUE(s.waitForBarRow(kWorkedExampleRow, kTickPatience))
        << "bar top at row " << barTopRow(s.shot()).value_or(-1);
    EXPECT_TRUE(showsReadout(s.shot(), {"54.2", "129.5"}));
    EXPECT_GE(s.sim().status(0).number("reads"), 1);
    if (thermometers > 1) {
        EXPECT_EQ(s.sim().status(1).number("reads"), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Devices, ReadsTheThermometer,
    ::testing::Values(Setup{"Alone", {}, "/dev/hidraw0"},
                      Setup{"AfterThreeDecoys", {"--decoys", "3"}, "/dev/hidraw3"},
                      Setup{"WithReportIds", {"--report-ids"}, "/dev/hidraw0"},
                      Setup{"FirstOfTwoThermometers", {"--thermometers", "2"}, "/dev/hidraw0"}),
    rowName);

// Pulled out while measuring: the first read after the unplug finds it gone at once (no 6 s
// wait), whatever it queued before, and closes both handles; it received nothing, so the window
// keeps showing the last reading. The next tick shows red and every tick searches twice. Plugged
// back in (now sending zeros), the next tick's first search finds it and reads in the same tick;
// green comes a tick later.
TEST_F(EndToEnd, UnpluggedAndPluggedInAgainWhileRunning) {
    Session& s = start({"--raw", "133,0"}, true);
    ASSERT_TRUE(s.pressStart());
    ASSERT_TRUE(s.waitForBarRow(kWorkedExampleRow, kTickPatience));

    const std::int64_t unplugged = monotonicNs();
    s.sim().command("unplug");
    ASSERT_TRUE(s.sim().wait("stale_open=0", 2 * kTick + kTickPatience))
        << "no read closed the handles";
    RecordProperty("unplug_to_handles_closed_ms", std::to_string(msSince(unplugged)));

    ASSERT_TRUE(s.waitForStatus(Status::NotDetected, kTickPatience));
    RecordProperty("unplug_to_red_ms", std::to_string(msSince(unplugged)));
    const Image gone = s.shot();
    EXPECT_EQ(barTopRow(gone), kWorkedExampleRow) << "a read that got nothing moved the bar";
    EXPECT_TRUE(showsReadout(gone, {"54.2", "129.5"}));

    // Two full ticks while absent, each with its two searches: the fifth search is the third
    // tick's. Only ticks that find it absent search, so every search since the unplug is theirs.
    const auto listingsSinceUnplug = [&] {
        std::vector<std::int64_t> since;
        for (std::int64_t t : s.listings()) {
            if (t > unplugged) since.push_back(t);
        }
        return since;
    };
    ASSERT_TRUE(pollUntil([&] { return listingsSinceUnplug().size() >= 5; }, kTickPatience));
    std::vector<std::int64_t> absentListings = listingsSinceUnplug();
    absentListings.resize(4);

    s.sim().command("raw 0,0");
    const std::int64_t reads = s.sim().status().number("reads");
    const std::int64_t plugged = monotonicNs();
    s.sim().command("plug");
    ASSERT_TRUE(s.sim().wait("reads>" + std::to_string(reads), kTickPatience))
        << "no tick read the thermometer plugged in again";
    const std::int64_t readAgain = monotonicNs();
    const auto back =
        s.waitForShot([](const Image& i) { return barTopRow(i) == kAllZeroRow; }, kTickPatience);
    ASSERT_TRUE(back) << "the tick that found it again reads it";
    EXPECT_EQ(statusShown(*back), Status::NotDetected) << "green only from the next tick";
    EXPECT_TRUE(s.waitForStatus(Status::Detected, kTickPatience));

    // Searches come in ticks: a tick's two follow each other at once, the next tick's come a
    // second later, so half a tick apart tells them apart.
    std::vector<std::vector<std::int64_t>> ticks;
    for (std::int64_t t : absentListings) {
        if (ticks.empty() || t - ticks.back().back() > kTick.count() * 1'000'000 / 2)
            ticks.emplace_back();
        ticks.back().push_back(t);
    }
    const auto describeTicks = [&] {
        std::string text = "listings after the unplug (ms):";
        for (const auto& tick : ticks) {
            text += "\n ";
            for (std::int64_t t : tick) text += " " + std::to_string((t - unplugged) / 1'000'000);
        }
        return text;
    };
    EXPECT_EQ(ticks.size(), 2u) << describeTicks();
    for (const auto& tick : ticks) EXPECT_EQ(tick.size(), 2u) << describeTicks();
    std::vector<std::int64_t> finding;
    for (std::int64_t t : s.listings()) {
        if (t > plugged && t < readAgain) finding.push_back(t);
    }
    EXPECT_EQ(finding.size(), 1u) << "a first search that finds it needs no second one";
}

// Pulled out while streaming 10 reports a second, with reports queued that no tick has taken yet:
// they do not keep it present. Measuring is paused around the unplug so that the ticks count from
// START: the first finds it gone without taking a queued report, the second shows red.
TEST_F(EndToEnd, UnpluggedWithReportsQueuedIsRedAtTheSecondTick) {
    Session& s = start({"--raw", "133,0", "--rate", "10"});
    ASSERT_TRUE(s.pressStart());
    ASSERT_TRUE(s.waitForBarRow(kWorkedExampleRow, kTickPatience));
    ASSERT_TRUE(s.pressStop());
    const std::int64_t sent = s.sim().status().number("seq");
    ASSERT_TRUE(s.sim().wait("seq>=" + std::to_string(sent + 5), 10s)) << "no reports queued";
    s.sim().command("unplug");
    const std::int64_t reads = s.sim().status().number("reads");

    ASSERT_TRUE(s.pressStart());
    const std::int64_t started = monotonicNs();
    ASSERT_TRUE(s.waitForStatus(Status::NotDetected, 10s)) << "no tick found the thermometer gone";
    RecordProperty("start_to_red_ms", std::to_string(msSince(started)));
    EXPECT_EQ(barTopRow(s.shot()), kWorkedExampleRow) << "a read that got nothing moved the bar";
    EXPECT_EQ(s.sim().status().number("reads"), reads)
        << "the first tick took a report queued before the unplug";
    EXPECT_EQ(s.sim().status().number("stale_open"), 0);
}

// A read waiting for a silent thermometer ends the moment the thermometer is pulled out.
TEST_F(EndToEnd, UnplugEndsAPendingReadAtOnce) {
    Session& s = start({"--rate", "0"});
    ASSERT_TRUE(s.pressStart());
    ASSERT_TRUE(s.sim().wait("armed_polls>=1", kTickPatience)) << "no read began";
    const std::int64_t unplugged = monotonicNs();
    s.sim().command("unplug");
    ASSERT_TRUE(s.sim().wait("stale_open=0", kTickPatience));
    RecordProperty("unplug_to_handles_closed_ms", std::to_string(msSince(unplugged)));
    // That the hang-up, not the time-out, ended the wait is the Linux backend's own test (its
    // outcome is Gone, never TimedOut); from out here the two differ only in when they come.
    const auto zero =
        s.waitForShot([](const Image& i) { return barTopRow(i) == kAllZeroRow; }, kTickPatience);
    ASSERT_TRUE(zero);
    EXPECT_EQ(statusShown(*zero), Status::Detected);
    EXPECT_TRUE(s.waitForStatus(Status::NotDetected, kTickPatience));
}

// A thermometer that is there but sends nothing: the read gives up after 6000 ms. Meanwhile the
// window repaints (a button pressed during the wait shows pressed at once), and the STOP click
// made then is held until the tick has ended.
TEST_F(EndToEnd, ASilentThermometerTimesOutWhileTheWindowStaysLive) {
    Session& s = start({"--rate", "0"});
    ASSERT_TRUE(s.pressStart());
    ASSERT_TRUE(s.sim().wait("armed_polls>=1", kTickPatience)) << "no read began";
    const auto readBegan = Clock::now();

    // Shown while the read still waits (its handles open), not after the tick has ended.
    s.press(ControlId::cmdOn);
    const auto pressed = s.waitForShot(
        [&](const Image& i) { return !s.showsStop(i) && !s.showsStart(i); }, kTickPatience);
    EXPECT_TRUE(pressed) << "the window did not repaint the pressed button";
    EXPECT_EQ(s.sim().status().number("open"), 2) << "repainted only after the wait";
    s.release();
    EXPECT_TRUE(s.waitForShot([&](const Image& i) { return s.showsStop(i); }, kTickPatience))
        << "the click is held: the caption stays STOP while the tick waits";
    EXPECT_EQ(s.sim().status().number("open"), 2) << "still waiting";

    ASSERT_TRUE(s.sim().wait("open=0", kTickPatience)) << "the read never gave up";
    const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - readBegan);
    RecordProperty("read_wait_ms", std::to_string(waited.count()));
    EXPECT_EQ(s.sim().status().number("reads_eio"), 0) << "the read ended on an error";
    const auto stopped =
        s.waitForShot([&](const Image& i) { return s.showsStart(i); }, kTickPatience);
    ASSERT_TRUE(stopped) << "the held STOP was not carried out after the tick";
    EXPECT_EQ(barTopRow(*stopped), kAllZeroRow);
    EXPECT_EQ(statusShown(*stopped), Status::Detected) << "the status is the tick's start's";
}

// A device whose reports hold fewer than two value bytes: no ratio can be read from them, so the
// ratio stays empty (counted as 0 and written as an empty field) although reports arrive.
TEST_F(EndToEnd, AReportShorterThanThreeBytesGivesNoReading) {
    Session& s = start({"--raw", "133,0", "--length", "1"});
    EXPECT_EQ(statusShown(s.shot()), Status::Detected);
    ASSERT_TRUE(s.pressStart());
    ASSERT_TRUE(s.sim().wait("reads>=2", 2 * kTick + kTickPatience));
    EXPECT_TRUE(s.waitForBarRow(kAllZeroRow, kTickPatience));
    EXPECT_TRUE(showsReadout(s.shot(), {"194.6", "382.3"})) << "an empty ratio counts as 0";
    s.click(ControlId::Command3);
    const CalibrationLine expected{0.72, std::nullopt};
    EXPECT_TRUE(
        pollUntil([&] { return calibrationLine(s.calibrationFile()) == expected; }, kTickPatience))
        << "cal.txt: " << s.calibrationFile();
}

// At 100 reports a second the kernel's queue is full of old reports long before the next tick;
// the value shown is still the newest one.
TEST_F(EndToEnd, AStreamingThermometerShowsItsNewestReport) {
    Session& s = start({"--raw", "133,0", "--rate", "100"});
    ASSERT_TRUE(s.pressStart());
    ASSERT_TRUE(s.waitForBarRow(kWorkedExampleRow, kTickPatience));
    ASSERT_TRUE(s.sim().wait("queued_max>=63", kTickPatience)) << "the queue never filled";
    const std::int64_t delivered = s.sim().status().number("delivered_ns");
    s.sim().command("raw 100 0");
    const std::int64_t changed = monotonicNs();
    ASSERT_TRUE(s.sim().wait("delivered_ns>" + std::to_string(std::max(delivered, changed)),
                             kTickPatience));
    EXPECT_TRUE(s.waitForBarRow(barRowFor(celsiusOf(100, 0)), kTickPatience))
        << "the tick after the change shows row " << barTopRow(s.shot()).value_or(-1);
    EXPECT_GT(s.sim().status().number("dropped"), 0) << "the queue overflowed meanwhile";
}

// "0 °C" and "100 °C" while measuring store the latest tick's ratio in their field of cal.txt,
// one line ending CR LF, and the next ticks convert with it.
TEST_F(EndToEnd, CalibrationButtonsStoreTheLatestRatio) {
    Session& s = start({"--raw", "133,0"});
    ASSERT_TRUE(s.pressStart());
    ASSERT_TRUE(s.waitForBarRow(kWorkedExampleRow, kTickPatience));

    const double ratio133 = 133.0 * 256.0 / 65536.0;
    const double ratio100 = 100.0 * 256.0 / 65536.0;
    const auto fileHolds = [&](const CalibrationLine& expected) {
        return pollUntil([&] { return calibrationLine(s.calibrationFile()) == expected; },
                         kTickPatience);
    };
    ASSERT_TRUE(fileHolds({0.72, 0.35})) << "cal.txt: " << s.calibrationFile();

    s.click(ControlId::Command2);  // 0 °C: the ratio of bytes 133, 0 becomes the zero point
    EXPECT_TRUE(fileHolds({ratio133, 0.35})) << "cal.txt: " << s.calibrationFile();
    EXPECT_TRUE(s.waitForBarRow(barRowFor(0.0), kTickPatience)) << "the reading is now 0 \302\260C";
    EXPECT_TRUE(showsReadout(s.shot(), {"00.0", "32.0"}));

    s.sim().command("raw 100 0");
    const double between = 100.0 - (ratio100 - 0.35) * 100.0 / (ratio133 - 0.35);
    ASSERT_TRUE(s.waitForBarRow(barRowFor(static_cast<float>(between)), kTickPatience));
    s.click(ControlId::Command3);  // 100 °C: the ratio of bytes 100, 0 becomes the hundred point
    EXPECT_TRUE(fileHolds({ratio133, ratio100})) << "cal.txt: " << s.calibrationFile();
    EXPECT_TRUE(s.waitForBarRow(barRowFor(100.0), kTickPatience))
        << "the reading is now 100 \302\260C";
    EXPECT_TRUE(showsReadout(s.shot(), {"100.0", "212.0"}));
}

// Closing the window while a read waits for a silent thermometer ends the program at once.
TEST_F(EndToEnd, ClosingDuringAPendingReadEndsTheProgramPromptly) {
    Session& s = start({"--rate", "0"});
    ASSERT_TRUE(s.pressStart());
    ASSERT_TRUE(s.sim().wait("armed_polls>=1", kTickPatience)) << "no read began";
    const std::string calibration = s.calibrationFile();
    const auto asked = Clock::now();
    s.requestClose();
    // As generous as can be while still telling "at once" from "after the read's 6 s".
    const auto status = s.waitForExit(5s);
    closed_ = true;
    ASSERT_TRUE(status) << "the program did not end before its read would have timed out";
    EXPECT_EQ(*status, 0) << s.log();
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - asked);
    RecordProperty("close_to_exit_ms", std::to_string(took.count()));
    EXPECT_EQ(s.calibrationFile(), calibration) << "closing does not write cal.txt";
}

}  // namespace
}  // namespace thermo::e2e
