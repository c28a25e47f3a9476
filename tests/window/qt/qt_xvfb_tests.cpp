// The real program in a real X server: a private Xvfb display, the window found by its title,
// its client size and fixed border read back from the server, and START clicked through the
// server's input. Skipped where Xvfb and the X tools are not installed.
#include <locale.h>

#include <gtest/gtest.h>

#include <QImage>
#include <QRegularExpression>
#include <QString>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/session/process.h"
#include "tests/window/form1_fixture.h"
#include "window/scale_geometry.h"

namespace thermo::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

int field(const std::string& text, const char* pattern) {
    const auto m = QRegularExpression(pattern).match(QString::fromStdString(text));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

class RealWindow : public ::testing::Test {
  protected:
    void SetUp() override {
#if defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "not under ThreadSanitizer: on X11 the program's Qt starts a D-Bus thread, "
                        "and Qt, not built with the sanitizer, hands it events through locks the "
                        "sanitizer cannot see (the other builds run this test)";
#endif
        for (const char* tool : {"Xvfb", "xdotool", "xwininfo", "xprop", "import"}) {
            if (!e2e::onPath(tool)) {
                GTEST_SKIP() << "needs " << tool
                             << " (xvfb, xdotool, x11-utils, imagemagick) because this test "
                                "runs the program in a real X server";
            }
        }
        if (!std::filesystem::exists(THERMO_PROGRAM)) {
            GTEST_SKIP() << "needs the program built at " << THERMO_PROGRAM;
        }
        startServer();
    }

    void startServer() {
        try {
            server_.emplace(serverLog_.path());
        } catch (const std::exception& error) {
            FAIL() << error.what();
        }
        display_ = "DISPLAY=" + server_->display();
    }

    // Runs an X tool on the display to its end; what it printed, if it succeeded.
    std::optional<std::string> x(const std::vector<std::string>& argv,
                                 std::chrono::milliseconds timeout = 10s) {
        const auto result =
            e2e::run({.argv = argv, .env = {display_}, .dropErrors = true}, timeout);
        if (result.status != 0) return std::nullopt;
        return result.output;
    }

    // The window as the X server shows it now.
    std::optional<QImage> picture(const std::string& window) {
        const auto png = x({"import", "-window", window, "png:-"});
        if (!png) return std::nullopt;
        QImage image = QImage::fromData(reinterpret_cast<const uchar*>(png->data()),
                                        static_cast<int>(png->size()), "PNG");
        if (image.isNull()) return std::nullopt;
        return image.convertToFormat(QImage::Format_RGB32);
    }

    // The button's caption as the X server shows it now: the pixels exactly in the caption's
    // colour, the colour farthest from the button's face (its most common colour). The pointer
    // over the button and a press shade the whole face, and the caption's antialiased edges with
    // it, but not these; so one caption gives the same pixels whether or not the program has yet
    // seen the pointer leave. None while the button shows no caption.
    std::optional<std::vector<bool>> caption(const std::string& window) {
        const std::optional<QImage> shot = picture(window);
        if (!shot) return std::nullopt;
        const PixelRect r = clientRect(ControlId::cmdOn);
        const QImage button = shot->copy(r.left, r.top, r.width, r.height);
        std::map<QRgb, int> counts;
        for (int row = 0; row < button.height(); ++row) {
            for (int col = 0; col < button.width(); ++col) ++counts[button.pixel(col, row)];
        }
        if (counts.empty()) return std::nullopt;
        const QRgb face = std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) {
                              return a.second < b.second;
                          })->first;
        const auto distance = [face](QRgb c) {
            return std::abs(qRed(c) - qRed(face)) + std::abs(qGreen(c) - qGreen(face)) +
                   std::abs(qBlue(c) - qBlue(face));
        };
        QRgb ink = face;
        for (const auto& [colour, n] : counts) {
            if (distance(colour) > distance(ink)) ink = colour;
        }
        if (ink == face) return std::nullopt;
        std::vector<bool> pixels;
        for (int row = 0; row < button.height(); ++row) {
            for (int col = 0; col < button.width(); ++col) {
                pixels.push_back(button.pixel(col, row) == ink);
            }
        }
        return pixels;
    }

    // Waits for a caption other than `unlike` (none: any caption).
    std::optional<std::vector<bool>> captionOtherThan(const std::string& window,
                                                      const std::vector<bool>& unlike = {}) {
        std::optional<std::vector<bool>> now;
        if (!pollUntil([&] { return (now = caption(window)) && *now != unlike; })) {
            return std::nullopt;
        }
        return now;
    }

    // Clicks START/STOP, moves the pointer off it, and waits for the caption to change.
    std::optional<std::vector<bool>> clickForNewCaption(const std::string& window,
                                                        const std::vector<bool>& before) {
        const PixelRect r = clientRect(ControlId::cmdOn);
        const std::string cx = std::to_string(r.left + r.width / 2);
        const std::string cy = std::to_string(r.top + r.height / 2);
        if (!x({"xdotool", "mousemove", "--window", window, cx, cy, "click", "1", "mousemove",
                "--window", window, "30", "300"})) {
            return std::nullopt;
        }
        return captionOtherThan(window, before);
    }

    // The whole window once it has settled (two equal pictures in a row).
    std::optional<QImage> settledWindowImage(const std::string& window) {
        std::optional<QImage> last;
        const auto deadline = Clock::now() + 10s;
        while (Clock::now() < deadline) {
            std::optional<QImage> now = picture(window);
            if (!now) continue;
            if (last && *now == *last) return now;
            last = std::move(now);
        }
        return std::nullopt;
    }

    // The program's environment: this display, the X platform, and (for sanitizer builds) the
    // leak suppressions for the libraries Qt loads on X.
    std::vector<std::string> programEnv() const {
        std::string lsan = "LSAN_OPTIONS=";
        if (const char* given = std::getenv("LSAN_OPTIONS")) lsan += std::string(given) + ":";
        lsan += "suppressions=" THERMO_LSAN_SUPPRESSIONS;
        return {display_, "QT_QPA_PLATFORM=xcb", lsan};
    }

    TempDir serverLog_;
    std::optional<e2e::XServer> server_;
    std::string display_;
};

TEST_F(RealWindow, MapsAtTheFixedClientSizeAndStartTurnsToStop) {
    TempDir dir;
    e2e::Process program({.argv = {THERMO_PROGRAM}, .env = programEnv(), .dir = dir.path()});

    const auto found =
        x({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^USB Thermometer$"}, 30s);
    ASSERT_TRUE(found) << "the window did not appear";
    const std::string window = found->substr(0, found->find('\n'));

    const auto info = x({"xwininfo", "-id", window});
    ASSERT_TRUE(info);
    EXPECT_EQ(field(*info, R"(Width: (\d+))"), 260);
    EXPECT_EQ(field(*info, R"(Height: (\d+))"), 321);
    const auto hints = x({"xprop", "-id", window, "WM_NORMAL_HINTS"});
    ASSERT_TRUE(hints);
    EXPECT_EQ(field(*hints, R"(minimum size: (\d+) by 321)"), 260) << *hints;
    EXPECT_EQ(field(*hints, R"(maximum size: (\d+) by 321)"), 260) << *hints;
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "cal.txt")) << "start-up loads cal.txt";

    // START -> STOP -> START -> STOP: each click changes the caption, and the captions alternate.
    const auto start0 = captionOtherThan(window);
    ASSERT_TRUE(start0) << "the button shows no caption";
    const auto stop1 = clickForNewCaption(window, *start0);
    ASSERT_TRUE(stop1) << "the caption did not change after the first click";
    const auto start2 = clickForNewCaption(window, *stop1);
    ASSERT_TRUE(start2) << "the caption did not change after the second click";
    const auto stop3 = clickForNewCaption(window, *start2);
    ASSERT_TRUE(stop3) << "the caption did not change after the third click";
    EXPECT_EQ(*start0, *start2);
    EXPECT_EQ(*stop1, *stop3);
}

// The program reads no command line: Qt's own options must not reach Qt either, or -reverse
// would mirror the window and -style change its look.
TEST_F(RealWindow, QtOptionsOnTheCommandLineChangeNothing) {
    const std::vector<std::vector<std::string>> lines = {
        {THERMO_PROGRAM}, {THERMO_PROGRAM, "-reverse", "-style", "windows"}};
    std::vector<QImage> looks;
    for (const auto& line : lines) {
        TempDir dir;
        e2e::Process program({.argv = line, .env = programEnv(), .dir = dir.path()});
        const auto found =
            x({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^USB Thermometer$"}, 30s);
        ASSERT_TRUE(found) << "the window did not appear";
        const auto look = settledWindowImage(found->substr(0, found->find('\n')));
        ASSERT_TRUE(look) << "the window did not settle";
        looks.push_back(*look);
    }
    EXPECT_EQ(looks[0], looks[1]) << "-reverse -style windows changed the window";
}

// scripts/screenshot's tool reads its temperature whatever the user's locale: after QApplication
// has set a German one, std::stof would stop at the "." of "54.2".
TEST(ScreenshotTool, ReadsTheTemperatureInAGermanLocale) {
    if (locale_t german = ::newlocale(LC_ALL_MASK, "de_DE.UTF-8", locale_t{})) {
        ::freelocale(german);
    } else {
        GTEST_SKIP() << "needs the de_DE.UTF-8 locale (package locales) to run the tool in it";
    }
    TempDir dir;
    const auto out = dir.path() / "out.png";
    e2e::Process tool({.argv = {THERMO_SCREENSHOT, out.string(), "54.2"},
                       .env = {"LC_ALL=de_DE.UTF-8", "QT_QPA_PLATFORM=offscreen"},
                       .dir = dir.path()});
    const auto status = tool.waitFor(60s);
    ASSERT_TRUE(status) << "the tool did not end";
    EXPECT_EQ(*status, 0);
    EXPECT_FALSE(QImage(QString::fromStdString(out.string())).isNull()) << "no picture written";
}

// A cal.txt that does not hold two values ends the program at start-up: its message shows, the
// window never does, and the program ends with a failure once the message is dismissed.
TEST_F(RealWindow, StartUpFailureShowsTheMessageAndEndsWithoutTheWindow) {
    TempDir dir;
    { std::ofstream(dir.path() / "cal.txt", std::ios::binary) << "0.72\r\n"; }
    e2e::Process program({.argv = {THERMO_PROGRAM}, .env = programEnv(), .dir = dir.path()});

    const auto found =
        x({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^USB Thermometer$"}, 30s);
    ASSERT_TRUE(found) << "no message appeared";
    const std::string box = found->substr(0, found->find('\n'));
    EXPECT_EQ(found->find('\n'), found->size() - 1) << "only the message is on screen";
    const auto info = x({"xwininfo", "-id", box});
    ASSERT_TRUE(info);
    EXPECT_FALSE(field(*info, R"(Width: (\d+))") == 260 && field(*info, R"(Height: (\d+))") == 321)
        << "the main window showed";

    ASSERT_TRUE(x({"xdotool", "windowfocus", "--sync", box, "key", "Return"}));
    const auto status = program.waitFor(20s);
    ASSERT_TRUE(status) << "the program did not end";
    EXPECT_EQ(*status, 1) << "an exit code of 1, not a signal (128 + its number)";
    std::ifstream in(dir.path() / "cal.txt", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "0.72\r\n")
        << "cal.txt must stay as it was";
}

}  // namespace
}  // namespace thermo::testing
