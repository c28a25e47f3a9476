// The Qt window as Form1's view: clicks, the timer, closing, the window's thread, and a real
// Form1 driving it.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTimer>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hid/hidusb.h"
#include "measure/calibration_file.h"
#include "tests/support/fake_platform.h"
#include "tests/support/row_name.h"
#include "tests/window/form1_fixture.h"
#include "tests/window/qt/qt_window_support.h"
#include "window/form1.h"

namespace thermo::testing {
namespace {

using thermo::PrintTo;

// What the window reported, standing in for Form1.
struct Recorder {
    std::vector<ControlId> clicks;
    int ticks = 0;
    int closeRequests = 0;
    bool allowClose = true;

    Form1Events events() {
        return {[this](ControlId id) { clicks.push_back(id); }, [this] { ++ticks; },
                [this] {
                    ++closeRequests;
                    return allowClose;
                }};
    }
};

void click(QtForm1Window& window, const char* name) {
    auto* button = window.findChild<QPushButton*>(name);
    ASSERT_NE(button, nullptr) << name;
    QTest::mouseClick(button, Qt::LeftButton);
}

struct ButtonCase {
    const char* name;
    ControlId id;
};

class ButtonClick : public ::testing::TestWithParam<ButtonCase> {};

TEST_P(ButtonClick, ReachesTheBehaviourAsThatControl) {
    const auto window = shownWindow();
    Recorder recorder;
    window->setEvents(recorder.events());
    click(*window, GetParam().name);
    EXPECT_EQ(recorder.clicks, std::vector<ControlId>{GetParam().id});
}

INSTANTIATE_TEST_SUITE_P(Behaviour, ButtonClick,
                         ::testing::Values(ButtonCase{"cmdOn", ControlId::cmdOn},
                                           ButtonCase{"Command2", ControlId::Command2},
                                           ButtonCase{"Command3", ControlId::Command3}),
                         rowName);

TEST(Captions, RoundTripAsUtf8OnLabelsButtonsAndTheFrame) {
    const auto window = shownWindow();
    for (const ControlId id : {ControlId::Label3, ControlId::Command3, ControlId::Frame1}) {
        window->setCaption(id, " 100 \302\260C");
        EXPECT_EQ(window->caption(id), " 100 \302\260C") << controlSpec(id).name;
    }
    EXPECT_EQ(window->findChild<QLabel*>("Label3")->text(), QString::fromUtf8(" 100 \302\260C"));
}

TEST(StatusTip, IsTheStatusLinesToolTip) {
    const auto window = shownWindow();
    window->setStatusTip("open /dev/hidraw3: Permission denied");
    EXPECT_EQ(window->findChild<QLabel*>("Label1")->toolTip(),
              QString("open /dev/hidraw3: Permission denied"));
}

TEST(Timer, FiresTicksOnceASecondWhileOnAndNotWhenOff) {
    const auto window = shownWindow();
    Recorder recorder;
    window->setEvents(recorder.events());
    auto* timer = window->findChild<QTimer*>("Timer1");
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(timer->interval(), 1000);
    window->setTimerEnabled(false);
    EXPECT_FALSE(timer->isActive());
    window->setTimerEnabled(true);
    EXPECT_TRUE(timer->isActive());
    ASSERT_TRUE(waitUntil([&] { return recorder.ticks >= 1; }));
    window->setTimerEnabled(false);
    EXPECT_FALSE(timer->isActive());
}

TEST(Closing, WaitsWhenTheBehaviourSaysNotYetAndHappensOnCloseWindow) {
    const auto window = shownWindow();
    Recorder recorder;
    recorder.allowClose = false;
    window->setEvents(recorder.events());
    EXPECT_FALSE(window->close());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(recorder.closeRequests, 1);
    window->closeWindow();
    EXPECT_FALSE(window->isVisible());
}

TEST(Closing, HappensAtOnceWhenTheBehaviourAllowsIt) {
    const auto window = shownWindow();
    Recorder recorder;
    window->setEvents(recorder.events());
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(window->isVisible());
}

TEST(Closing, HappensWhenTheBehaviourClosesTheWindowFromWithinTheRequest) {
    const auto window = shownWindow();
    QtForm1Window* raw = window.get();
    window->setEvents({{}, {}, [raw] {
                           raw->closeWindow();
                           return false;
                       }});
    window->close();
    EXPECT_FALSE(window->isVisible());
}

TEST(DecimalSeparator, IsTheUsersLocales) {
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const auto window = shownWindow();
    EXPECT_EQ(window->decimalSeparator(), ",");
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(window->decimalSeparator(), ".");
    QLocale::setDefault(saved);
}

// The tick's worker hands its result back through this: a task from another thread runs later,
// in the window's event loop.
TEST(WindowThread, RunsATaskFromAnotherThreadInTheEventLoop) {
    const auto window = shownWindow();
    std::optional<std::thread::id> ranOn;
    std::thread([&] {
        window->runOnWindowThread([&] { ranOn = std::this_thread::get_id(); });
    }).join();
    EXPECT_FALSE(ranOn.has_value()) << "ran inside the call";
    ASSERT_TRUE(waitUntil([&] { return ranOn.has_value(); }));
    EXPECT_EQ(*ranOn, std::this_thread::get_id());
}

// --- With the real behaviour -------------------------------------------------------------------

class WithForm1 : public ::testing::Test {
  protected:
    void start() {
        window.setPalette(distinctPalette());
        form.emplace(window, device, CalibrationFile(dir.path() / "cal.txt"));
        window.attach(*form);
        form->Form_Load();
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }

    TempDir dir;
    hid::FakePlatform platform;
    hid::HIDusb device{platform};
    QtForm1Window window;
    std::optional<Form1> form;
};

TEST_F(WithForm1, StartClickTurnsTheCaptionToStopAndSwitchesTheTimer) {
    start();
    auto* timer = window.findChild<QTimer*>("Timer1");
    EXPECT_FALSE(timer->isActive()) << "start-up switches the timer off";
    EXPECT_EQ(window.caption(ControlId::Label1), "DEVICE NOT DETECTED");

    click(window, "cmdOn");
    EXPECT_EQ(window.findChild<QPushButton*>("cmdOn")->text(), QString("STOP"));
    EXPECT_TRUE(timer->isActive());

    click(window, "cmdOn");
    EXPECT_EQ(window.findChild<QPushButton*>("cmdOn")->text(), QString("START"));
    EXPECT_FALSE(timer->isActive());
}

// One tick through the worker and the window's thread: b1 = 133, b2 = 0 with the default points is
// 54.180744 °C, shown as 54.2 and 129.5, the bar's top at 1996.3851 twips (row 133).
TEST_F(WithForm1, TickShowsTheReadingAndMovesTheBar) {
    platform.addThermometer("/dev/hidraw0");
    platform.queueReport("/dev/hidraw0", {0, 133, 0});
    start();
    EXPECT_EQ(window.caption(ControlId::Label1), "DEVICE DETECTED");
    click(window, "cmdOn");
    form->timerFired();
    EXPECT_TRUE(waitUntil([&] {
        return window.findChild<QLabel*>("Label5")->text() ==
               QString("54") + QLocale().decimalPoint() + "2";
    }));
    EXPECT_TRUE(waitUntil([&] { return window.barRect().top == 133; }));
    EXPECT_EQ(window.barRect().bottom(), expectedPixels(3880));
    const QImage image = rendered(window);
    EXPECT_EQ(pixelAt(image, 72, 133), kRed);
    EXPECT_NE(pixelAt(image, 72, 132), kRed);
}

}  // namespace
}  // namespace thermo::testing
