// The Windows program as a user meets it, under wine in a private Xvfb display: its window
// photographed and checked against the layout's own figures, clicked through the X server, and,
// inside the simulated thermometer's namespace, reading the thermometer end to end. The HID layer
// is also run against the simulated thermometer on its own (windows_hid_device_tests.exe).
//
// Figures are at 96 dpi (15 twips a pixel), wine's default. Colours: wine-run gives the prefix a
// scheme in which system colour 2 is rgb(10,20,200) and system colour 14 rgb(250,240,5).

#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/wine/desktop_session.h"

namespace thermo::desktop {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using e2e::readFile;

constexpr Rgb kRed{255, 0, 0};
constexpr Rgb kDarkRed{192, 0, 0};
constexpr Rgb kBlue{0, 0, 255};
constexpr Rgb kGreen{0, 128, 0};
constexpr Rgb kSystemColour2{10, 20, 200};
constexpr Rgb kSystemColour14{250, 240, 5};

// Twips to pixels at 96 dpi, the nearest pixel.
int px(double twips) { return static_cast<int>(std::floor(twips / 15.0 + 0.5)); }

// A rectangle in twips, as laid out, turned into pixel bounds [x0, x1) × [y0, y1).
struct Box {
    int x0, y0, x1, y1;
};
Box box(int left, int top, int width, int height) {
    return {px(left), px(top), px(left + width), px(top + height)};
}

const Box kLabel1 = box(2280, 3360, 1335, 495);
const Box kLabel5 = box(2040, 120, 1095, 495);
const Box kLabel10 = box(2160, 720, 975, 375);
const Box kCmdOn = box(2280, 3960, 1335, 372);
const Box kCommand2 = box(2280 + 240, 1440 + 360, 855, 255);
constexpr int kBarColumn = 73;  // the middle of the bar, x 990 to 1200 twips

// Another GoogleTest program's output, fit to quote: its "[  SKIPPED ]" lines would make ctest
// take this test for skipped, also when it failed.
std::string quoted(std::string output) {
    const std::string skipped = "[  SKIPPED ]";
    for (auto at = output.find(skipped); at != std::string::npos; at = output.find(skipped, at)) {
        output.replace(at, skipped.size(), "[  skipped ]");
    }
    return output;
}

// The row of the bar's top edge for a temperature, from the layout's 3080 - 20 × T twips.
int barTopRow(double celsius) { return px(3080 - 20 * celsius); }

class DesktopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"Xvfb", "xdotool", "xwininfo", "import"}) {
            if (!e2e::onPath(tool)) {
                GTEST_SKIP() << "needs " << tool
                             << " (packages xvfb, xdotool, x11-utils, imagemagick) to show and "
                                "look at the window";
            }
        }
        char pattern[] = "/tmp/thermo-desktop-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        x_.emplace(dir_);
        screen_.emplace(x_->display());
        stopWine();
    }

    void TearDown() override {
        if (program_ && !program_->poll()) {
            std::cout << "--- the program's output ---\n" << quoted(readFile(dir_ / "program.log"));
        }
        program_.reset();
        stopWine();
        if (!dir_.empty() && !HasFailure()) fs::remove_all(dir_);
        if (HasFailure()) std::cout << "kept for inspection: " << dir_ << "\n";
    }

    static void stopWine() { run({THERMO_WINE_RUN, THERMO_WINE_PREFIX, "--stop"}); }

    bool simulatorUsable(std::string& why) const {
        if (std::string(THERMO_SIM).empty()) {
            why = "needs the simulator (tools/thermometer-sim, built with libfuse3)";
        } else if (::geteuid() != 0) {
            why = "needs root: wine's HID bus runs inside the simulator's mount namespace";
        } else if (::access("/dev/fuse", R_OK | W_OK) != 0) {
            why = "needs /dev/fuse for the simulated device node";
        }
        return why.empty();
    }

    // Starts the program in the working directory, with the simulated thermometer when
    // `simOptions` has a value, and waits for its window.
    void launch(std::optional<std::vector<std::string>> simOptions = std::nullopt) {
        std::vector<std::string> argv;
        std::vector<std::string> env{"WINE_RUN_DISPLAY=" + x_->display()};
        if (simOptions) {
            argv = {THERMO_SIM, "--control", (dir_ / "sim.sock").string()};
            argv.insert(argv.end(), simOptions->begin(), simOptions->end());
            argv.insert(argv.end(), {"--", THERMO_IN_SIM});
            env.push_back(std::string("THERMO_SIM_PROGRAM=") + THERMO_SIM);
        }
        argv.insert(argv.end(), {THERMO_WINE_RUN, THERMO_WINE_PREFIX, THERMO_WINDOWS_PROGRAM});
        program_.emplace(Spawn{
            .argv = argv, .env = env, .dir = dir_, .log = dir_ / "program.log", .ownGroup = true});
        // The window, or the end of the program, which then never shows one.
        pollUntil(
            [&] {
                return (window_ = screen_->findWindow("USB Thermometer")) ||
                       program_->poll().has_value();
            },
            180s);
        // A program still running has its output shown by TearDown.
        if (!window_) {
            const std::optional<int> status = program_->poll();
            if (!status) FAIL() << "no window within 180 s";
            FAIL() << "the program ended with status " << *status << "; its output:\n"
                   << quoted(readFile(dir_ / "program.log"));
        }
        const auto geometry = screen_->geometry(*window_);
        ASSERT_TRUE(geometry.has_value());
        // 3900 × 4815 twips at 96 dpi; wine maps the client area to the X window.
        ASSERT_EQ(geometry->width, 260);
        ASSERT_EQ(geometry->height, 321);
    }

    Image shot() {
        std::optional<Image> image = screen_->grab(*window_);
        if (!image) {
            ADD_FAILURE() << "no screenshot";
            return Image{};
        }
        return *image;
    }

    // Waits until the screen shows what `condition` looks for.
    template <typename Condition>
    bool waitForScreen(Condition condition, std::chrono::milliseconds timeout) {
        return pollUntil(
            [&] {
                const std::optional<Image> image = screen_->grab(*window_);
                return image && image->width == 260 && condition(*image);
            },
            timeout);
    }

    void click(const Box& b) { screen_->click(*window_, (b.x0 + b.x1) / 2, (b.y0 + b.y1) / 2); }

    // Closes the window as a user does: Alt+F4 on the focused window.
    void requestClose() {
        screen_->click(*window_, 20, 20);  // the focus, on the panel where a click does nothing
        screen_->key("alt+F4");
    }

    // Closes the window and waits for the program (and what runs it) to end.
    std::optional<int> closeProgram(std::chrono::milliseconds timeout) {
        requestClose();
        return program_->waitFor(timeout);
    }

    static bool barTopIsAt(const Image& image, int row) {
        return image.at(kBarColumn, row) == kRed && image.at(kBarColumn, row - 1) != kRed;
    }

    static bool statusShows(const Image& image, const Rgb& colour) {
        return image.count(colour, kLabel1.x0, kLabel1.y0, kLabel1.x1, kLabel1.y1) > 20;
    }

    void simCtl(const std::vector<std::string>& command) {
        std::vector<std::string> argv{THERMO_SIM, "ctl", "-w", "5000",
                                      (dir_ / "sim.sock").string()};
        argv.insert(argv.end(), command.begin(), command.end());
        const RunResult result = run(argv);
        ASSERT_EQ(result.status, 0) << result.output;
    }

    fs::path dir_;
    std::optional<XServer> x_;
    std::optional<Screen> screen_;
    std::optional<Process> program_;
    std::optional<std::string> window_;
};

// --- The window as laid out, before any tick ---

TEST_F(DesktopTest, OpensLaidOutAt130DegreesWithTheStatusInRed) {
    ASSERT_NO_FATAL_FAILURE(launch());
    ASSERT_TRUE(waitForScreen([](const Image& i) { return statusShows(i, kRed); }, 20s))
        << "DEVICE NOT DETECTED in red";
    const Image image = shot();

    // The mercury bar at 130 °C: top 480, foot 3880 twips, columns 990 to 1200.
    EXPECT_TRUE(barTopIsAt(image, barTopRow(130)));
    EXPECT_EQ(image.count(kRed, px(990), px(480), px(1200), px(3880)),
              (px(1200) - px(990)) * (px(3880) - px(480)));

    // The tube's outline, 3 pixels in system colour 2, centred on its border pixels: the left
    // edge at 960 twips, the right at 1215 (the bar covers the innermost column on the right).
    for (int x : {px(960) - 1, px(960), px(960) + 1, px(1215) - 1, px(1215)}) {
        EXPECT_EQ(image.at(x, 150), kSystemColour2) << "column " << x;
    }
    // The bulb: red inside, outlined in system colour 2 at its left, 720 twips.
    EXPECT_EQ(image.at(px(1087), px(4087)), kRed);
    EXPECT_EQ(image.at(px(720), px(4087)), kSystemColour2);

    // The ticks start at the tube's right edge and end at 1320 or (0, 50, 100 °C) 1380 twips.
    const std::vector<std::pair<int, bool>> ticks{
        {480, false},  {675, false},  {885, false},  {1080, true},  {1275, false}, {1485, false},
        {1680, false}, {1875, false}, {2085, true},  {2280, false}, {2475, false}, {2685, false},
        {2880, false}, {3075, true},  {3285, false}, {3480, false}};
    const Rgb tick = image.at(px(1290), px(3075));
    EXPECT_NE(tick, image.at(px(1290), px(3075) + 3)) << "a tick stands out from the panel";
    for (const auto& [y, longTick] : ticks) {
        const int end = px(longTick ? 1380 : 1320);
        EXPECT_EQ(image.count(tick, px(1215) + 1, px(y), end, px(y) + 1), end - px(1215) - 1)
            << "tick at y " << y;
        EXPECT_NE(image.at(end + 1, px(y)), tick) << "tick at y " << y << " ends at " << end;
    }

    // "130" and "-20" stand on system colour 14; the other scale numbers are transparent.
    EXPECT_EQ(image.at(px(1440 + 375) - 1, px(360) + 1), kSystemColour14);
    EXPECT_EQ(image.at(px(1440 + 375) - 1, px(3375) + 1), kSystemColour14);
    EXPECT_NE(image.at(px(1440 + 375) - 1, px(1995) + 1), kSystemColour14);

    // The panel is filled, and is not the window's background.
    EXPECT_NE(image.at(px(300), px(4200)), image.at(px(3800), px(4500)));

    // The readouts in their colours: "130.0" dark red, "266.0" blue.
    EXPECT_GT(image.count(kDarkRed, kLabel5.x0, kLabel5.y0, kLabel5.x1, kLabel5.y1), 50);
    EXPECT_GT(image.count(kBlue, kLabel10.x0, kLabel10.y0, kLabel10.x1, kLabel10.y1), 30);

    // "DEVICE NOT DETECTED" whole, on two lines: red in both halves of the status line.
    const int middle = (kLabel1.y0 + kLabel1.y1) / 2;
    EXPECT_GT(image.count(kRed, kLabel1.x0, kLabel1.y0, kLabel1.x1, middle), 20);
    EXPECT_GT(image.count(kRed, kLabel1.x0, middle, kLabel1.x1, kLabel1.y1), 20);
}

// --- Without a thermometer ---

// Every tick reads the empty ratio: 194.6 °C with the default points, the bar clamped to 132.
TEST_F(DesktopTest, StartWithoutThermometerStandsTheBarAt132ThenClosesCleanly) {
    ASSERT_NO_FATAL_FAILURE(launch());
    click(kCmdOn);
    EXPECT_TRUE(waitForScreen([](const Image& i) { return barTopIsAt(i, barTopRow(132)); }, 15s))
        << "bar at 132 \302\260C";
    EXPECT_TRUE(statusShows(shot(), kRed));

    const auto status = closeProgram(15s);
    ASSERT_TRUE(status.has_value()) << "still running after Alt+F4";
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(readFile(dir_ / "cal.txt"), "0.72,0.35\r\n") << "closing must not touch cal.txt";
}

// Before any reading "0 °C" has no ratio to store: the zero point is written as an empty field.
TEST_F(DesktopTest, ZeroButtonBeforeAnyReadingStoresAnEmptyZeroPoint) {
    ASSERT_NO_FATAL_FAILURE(launch());
    EXPECT_TRUE(pollUntil([&] { return readFile(dir_ / "cal.txt") == "0.72,0.35\r\n"; }, 10s));
    click(kCommand2);
    EXPECT_TRUE(pollUntil([&] { return readFile(dir_ / "cal.txt") == ",0.35\r\n"; }, 10s))
        << readFile(dir_ / "cal.txt");
}

// The keyboard as in a dialog: the arrows and Tab move between the buttons, Enter and Space press
// the focused one. Each press is seen by what the button does: "0 °C" and "100 °C" write cal.txt,
// START makes the ticks move the bar.
TEST_F(DesktopTest, KeyboardMovesBetweenAndPressesTheButtonsAsInADialog) {
    ASSERT_NO_FATAL_FAILURE(launch());
    ASSERT_TRUE(pollUntil([&] { return readFile(dir_ / "cal.txt") == "0.72,0.35\r\n"; }, 10s));
    screen_->click(*window_, 20, 20);  // the keyboard to the window; START has the focus

    screen_->key("Right");
    screen_->key("Return");
    EXPECT_TRUE(pollUntil([&] { return readFile(dir_ / "cal.txt") == ",0.35\r\n"; }, 10s))
        << "Right, Enter: \"0 \302\260C\" stores the empty ratio: " << readFile(dir_ / "cal.txt");

    screen_->key("Tab");
    screen_->key("Tab");
    screen_->key("Return");
    // With the zero point empty (0), the empty ratio reads 100 - (0 - 0.35) * 100 / (0 - 0.35).
    EXPECT_TRUE(waitForScreen([](const Image& i) { return barTopIsAt(i, barTopRow(0)); }, 15s))
        << "Tab, Tab, Enter: START, and the ticks stand the bar at 0 \302\260C";

    // Left from START wraps round to "100 °C"; with no reading yet its point is empty too.
    screen_->key("Left");
    screen_->key("space");
    EXPECT_TRUE(pollUntil([&] { return readFile(dir_ / "cal.txt") == ",\r\n"; }, 10s))
        << "Left, Space: \"100 \302\260C\" stores the empty ratio: " << readFile(dir_ / "cal.txt");

    const auto status = closeProgram(15s);
    ASSERT_TRUE(status.has_value()) << "still running after Alt+F4";
    EXPECT_EQ(*status, 0);
}

// --- With the simulated thermometer ---

// The worked example: value bytes 133, 0 read 54.180744 °C with the default points; the bar's top
// then stands at 1996.3851 twips, and "0 °C" stores the ratio 0.51953125.
TEST_F(DesktopTest, WorkedExampleFromTheThermometerToTheBarAndCalTxt) {
    std::string why;
    if (!simulatorUsable(why)) GTEST_SKIP() << why;
    ASSERT_NO_FATAL_FAILURE(launch(std::vector<std::string>{"--raw", "133,0", "--rate", "10"}));
    ASSERT_TRUE(waitForScreen([](const Image& i) { return statusShows(i, kGreen); }, 20s))
        << "DEVICE DETECTED in green at start-up";

    click(kCmdOn);
    EXPECT_TRUE(waitForScreen([](const Image& i) { return barTopIsAt(i, px(1996.3851)); }, 15s))
        << "bar at the worked example's height";
    EXPECT_TRUE(statusShows(shot(), kGreen));

    click(kCommand2);
    EXPECT_TRUE(pollUntil([&] { return readFile(dir_ / "cal.txt") == "0.51953125,0.35\r\n"; }, 10s))
        << readFile(dir_ / "cal.txt");

    // The worked example is now the zero point itself: the ticks after the press read 0 °C.
    EXPECT_TRUE(waitForScreen([](const Image& i) { return barTopIsAt(i, barTopRow(0)); }, 15s))
        << "bar at 0 \302\260C with the reading as the zero point";

    // Unplugged: the next read fails at once and receives nothing, so the bar keeps the last
    // reading; the tick after it says the thermometer is gone.
    simCtl({"unplug"});
    EXPECT_TRUE(waitForScreen([](const Image& i) { return statusShows(i, kRed); }, 10s))
        << "DEVICE NOT DETECTED after the unplug";
    EXPECT_TRUE(barTopIsAt(shot(), barTopRow(0))) << "a read that got nothing moved the bar";

    // Plugged in again: a tick's search finds it and reads it, and the status follows. Its
    // reading is now the zero point itself: 0 °C.
    simCtl({"plug"});
    EXPECT_TRUE(waitForScreen(
        [](const Image& i) { return statusShows(i, kGreen) && barTopIsAt(i, barTopRow(0)); }, 10s))
        << "DEVICE DETECTED and 0 \302\260C after plugging in";

    const auto status = closeProgram(15s);
    ASSERT_TRUE(status.has_value()) << "still running after Alt+F4";
    EXPECT_EQ(*status, 0);
}

// A silent thermometer holds a tick for 6 s; closing meanwhile must not wait for it.
TEST_F(DesktopTest, CloseDuringASilentWaitEndsPromptly) {
    std::string why;
    if (!simulatorUsable(why)) GTEST_SKIP() << why;
    ASSERT_NO_FATAL_FAILURE(launch(std::vector<std::string>{"--raw", "133,0", "--rate", "0"}));
    ASSERT_TRUE(waitForScreen([](const Image& i) { return statusShows(i, kGreen); }, 20s));
    click(kCmdOn);
    // The first tick comes 1000 ms after START and then waits 6000 ms for a report that never
    // comes, so from the click on the window would stand for 7 s if the close waited for it.
    // The close goes in early in that wait, and everything after it has until then: the program's
    // own time-out is the only clock that tells a prompt close from one that waited.
    const auto clicked = std::chrono::steady_clock::now();
    std::this_thread::sleep_until(clicked + 1500ms);
    requestClose();
    const auto waitEnds = clicked + 1000ms + 6000ms;
    EXPECT_TRUE(pollUntil([&] { return !screen_->findWindow("USB Thermometer"); },
                          std::chrono::duration_cast<std::chrono::milliseconds>(
                              waitEnds - 500ms - std::chrono::steady_clock::now())))
        << "the close waited for the report";
    const auto status = program_->waitFor(15s);
    ASSERT_TRUE(status.has_value()) << "still running after Alt+F4";
    EXPECT_EQ(*status, 0);
}

// The HID layer on its own against the thermometer: listing, ids, report length, the id byte,
// the drained queue, and an unplug that ends a pending read (windows_hid_device_tests.exe).
TEST_F(DesktopTest, HidLayerReadsTheSimulatedThermometer) {
    std::string why;
    if (!simulatorUsable(why)) GTEST_SKIP() << why;
    const std::vector<std::string> expectations{
        "THERMO_SIM_REPORT_LENGTH=65", "THERMO_SIM_VALUE=133,0", "THERMO_SIM_RATE=10",
        "THERMO_SIM_UNPLUG_MARKER=" + (dir_ / "unplug").string(),
        std::string("THERMO_SIM_PROGRAM=") + THERMO_SIM};
    const RunResult result = run(
        {THERMO_SIM, "--control", (dir_ / "sim.sock").string(), "--raw", "133,0", "--rate", "10",
         "--", THERMO_IN_SIM, THERMO_WINE_RUN, THERMO_WINE_PREFIX, THERMO_WINDOWS_DEVICE_TESTS},
        expectations);
    EXPECT_EQ(result.status, 0) << quoted(result.output);
    EXPECT_NE(result.output.find("[  PASSED  ] 4 tests."), std::string::npos)
        << "every test that needs a reporting thermometer must have run:\n"
        << quoted(result.output);
}

TEST_F(DesktopTest, HidLayerTimesOutOnASilentThermometer) {
    std::string why;
    if (!simulatorUsable(why)) GTEST_SKIP() << why;
    const RunResult result =
        run({THERMO_SIM, "--control", (dir_ / "sim.sock").string(), "--raw", "133,0", "--rate", "0",
             "--", THERMO_IN_SIM, THERMO_WINE_RUN, THERMO_WINE_PREFIX, THERMO_WINDOWS_DEVICE_TESTS,
             "--gtest_filter=*Silent*"},
            {"THERMO_SIM_REPORT_LENGTH=65", "THERMO_SIM_VALUE=133,0", "THERMO_SIM_RATE=0"});
    EXPECT_EQ(result.status, 0) << quoted(result.output);
    EXPECT_NE(result.output.find("[  PASSED  ] 2 tests."), std::string::npos)
        << quoted(result.output);
}

// usb-thermometer-read.exe against the same thermometer. Wine's HID bus may announce the
// thermometer a moment after the program has started, so the reading is repeated: the first
// rows may be missing, the last attempt must have read, and every row is the worked example.
TEST_F(DesktopTest, ReadProgramPrintsTheWorkedExampleAndNamesAMissingThermometer) {
    std::string why;
    if (!simulatorUsable(why)) GTEST_SKIP() << why;
    const auto reader = [&](const std::vector<std::string>& simOptions,
                            const std::vector<std::string>& args) {
        std::vector<std::string> argv{THERMO_SIM, "--control", (dir_ / "sim.sock").string()};
        argv.insert(argv.end(), simOptions.begin(), simOptions.end());
        argv.insert(argv.end(), {"--", THERMO_IN_SIM, THERMO_WINE_RUN, THERMO_WINE_PREFIX,
                                 THERMO_WINDOWS_READ_PROGRAM});
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv);
    };

    const RunResult read =
        reader({"--raw", "133,0", "--rate", "100"}, {"--count", "10", "--interval", "0.5"});
    EXPECT_EQ(read.status, 0) << quoted(read.output);
    EXPECT_NE(read.output.find("54.2 \302\260C  129.5 \302\260F\n"), std::string::npos)
        << quoted(read.output);

    const RunResult json = reader({"--raw", "133,0", "--rate", "100"},
                                  {"--json", "--count", "10", "--interval", "0.5"});
    EXPECT_EQ(json.status, 0) << quoted(json.output);
    EXPECT_NE(json.output.find("\"ratio\":0.51953125,\"celsius\":54.180744,\"fahrenheit\":"
                               "129.52534,\"celsius_shown\":\"54.2\""),
              std::string::npos)
        << quoted(json.output);
    EXPECT_NE(json.output.find("vid_04d8&pid_0002"), std::string::npos) << quoted(json.output);

    const RunResult absent = reader({"--absent"}, {});
    EXPECT_EQ(absent.status, 2) << quoted(absent.output);
    EXPECT_NE(absent.output.find("usb-thermometer-read: no thermometer found"), std::string::npos)
        << quoted(absent.output);

    // The line protocol and the name, which are pure code, the same under Windows.
    const RunResult influx =
        reader({"--raw", "133,0", "--rate", "100"},
               {"--influx", "--name", "chest freezer", "--count", "10", "--interval", "0.5"});
    EXPECT_EQ(influx.status, 0) << quoted(influx.output);
    EXPECT_NE(influx.output.find("usb_thermometer,"), std::string::npos) << quoted(influx.output);
    EXPECT_NE(influx.output.find("name=chest\\ freezer celsius=54.180744,fahrenheit=129.52534,"
                                 "ratio=0.51953125 "),
              std::string::npos)
        << quoted(influx.output);

    // --check is one attempt, so it is repeated until wine's HID bus has announced the
    // thermometer; UNKNOWN is what comes before.
    RunResult check;
    pollUntil(
        [&] {
            check = reader({"--raw", "133,0", "--rate", "100"},
                           {"--check", "-w", "~:50", "-c", "~:60", "--name", "fridge"});
            return check.status != 3;
        },
        std::chrono::minutes(3), std::chrono::milliseconds(0));
    EXPECT_EQ(check.status, 1) << quoted(check.output);
    EXPECT_NE(check.output.find("USB THERMOMETER WARNING - 54.2 \302\260C | "
                                "fridge=54.18;~:50;~:60;;"),
              std::string::npos)
        << quoted(check.output);

    // --list too is one look: repeated until both thermometers are announced. Wine's HID bus
    // gives no USB location, so the port is "-". Lines of wine's own are no thermometers.
    const auto thermometersListed = [](const std::string& output) {
        std::istringstream lines(output);
        int listed = 0;
        for (std::string line; std::getline(lines, line);) {
            if (line.ends_with('\r')) line.pop_back();
            listed +=
                line.starts_with("-\t\\\\?\\hid#vid_04d8&pid_0002") && line.ends_with("\t65\tok")
                    ? 1
                    : 0;
        }
        return listed;
    };
    RunResult list;
    pollUntil(
        [&] {
            list = reader({"--thermometers", "2"}, {"--list"});
            return thermometersListed(list.output) >= 2;
        },
        std::chrono::minutes(3), std::chrono::milliseconds(0));
    EXPECT_EQ(list.status, 0) << quoted(list.output);
    EXPECT_EQ(thermometersListed(list.output), 2) << quoted(list.output);

    const RunResult checkAbsent = reader({"--absent"}, {"--check"});
    EXPECT_EQ(checkAbsent.status, 3) << quoted(checkAbsent.output);
    EXPECT_NE(checkAbsent.output.find("USB THERMOMETER UNKNOWN - no thermometer found"),
              std::string::npos)
        << quoted(checkAbsent.output);
}

}  // namespace
}  // namespace thermo::desktop
