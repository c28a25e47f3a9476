// Events that arrive while a tick's device work is still running.

#include <algorithm>
#include <chrono>
#include <string>

#include "tests/window/form1_fixture.h"

namespace thermo::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;
using ::testing::StartsWith;

// Generous against a loaded machine, yet well short of the read time-out that an unwoken read
// would run into.
constexpr auto kPromptly = hid::ReadTimeout / 2;

class Form1DuringTick : public Form1Test {
  protected:
    void SetUp() override {
        writeCal(kDefaultCalLine);
        platform.addThermometer(kThermometer);
        running();
        platform.queueReport(kThermometer, {0, 133, 0});
        view.setBackground(FakeView::Background::Held);
        tick();
        ASSERT_TRUE(form().tickInProgress());
    }

    void finishTick() {
        view.runHeldWork();
        view.runHeldDone();
    }

    std::ptrdiff_t indexOf(const std::string& call) const {
        const auto& calls = view.calls();
        return std::find(calls.begin(), calls.end(), call) - calls.begin();
    }
};

TEST_F(Form1DuringTick, HeldClicksRunInOrderAfterTheTicksLastStep) {
    form().clickRequested(ControlId::Command2);
    form().clickRequested(ControlId::cmdOn);
    view.runHeldWork();

    EXPECT_EQ(readCal(), kDefaultCalLine);
    EXPECT_THAT(view.calls(), Not(Contains(StartsWith("caption cmdOn"))));

    view.runHeldDone();

    // "0 °C" stored the ratio this very tick produced: 133 * 256 / 65536.
    EXPECT_EQ(form().CalZero, 0.51953125);
    EXPECT_THAT(readCal(), ::testing::EndsWith(",0.35\r\n"));
    const auto& calls = view.calls();
    ASSERT_GE(calls.size(), 3U);
    EXPECT_THAT(calls[calls.size() - 3], StartsWith("top "));
    EXPECT_EQ(calls[calls.size() - 2], "caption cmdOn START");  // STOP, as it was running
    EXPECT_EQ(calls[calls.size() - 1], "timer off");
    EXPECT_FALSE(form().tickInProgress());
}

TEST_F(Form1DuringTick, TimerFiringDuringTickIsDropped) {
    tick();
    tick();
    EXPECT_EQ(view.count("background"), 1);

    finishTick();
    tick();

    EXPECT_EQ(view.count("background"), 2);
}

TEST_F(Form1DuringTick, CloseWaitsForTheTickThenUnloadsAndDropsHeldClicks) {
    EXPECT_FALSE(form().closeRequested());
    EXPECT_THAT(platform.calls(), Contains("wake"));
    form().clickRequested(ControlId::Command2);
    tick();
    EXPECT_EQ(platform.openHandleCount(), 2);  // no unload in the middle of a tick

    finishTick();

    EXPECT_EQ(view.count("close window"), 1);
    EXPECT_GT(indexOf("close window"), indexOf("caption Label11  \302\260F"));
    EXPECT_EQ(platform.openHandleCount(), 0);
    EXPECT_EQ(readCal(), kDefaultCalLine);
    EXPECT_EQ(view.count("background"), 1);

    // The close event that closeWindow() raises in the toolkit is simply granted.
    EXPECT_TRUE(form().closeRequested());
    EXPECT_EQ(view.count("close window"), 1);
}

TEST_F(Form1Test, TickOnAWorkerThreadShowsTheReading) {
    writeCal(kDefaultCalLine);
    platform.addThermometer(kThermometer);
    running();
    platform.queueReport(kThermometer, {0, 133, 0});
    view.setBackground(FakeView::Background::Threaded);

    tick();
    ASSERT_TRUE(view.waitForDone(kPromptly));

    EXPECT_EQ(captionOf(ControlId::Label5), "54.2");
    EXPECT_FALSE(form().tickInProgress());
}

TEST_F(Form1Test, CloseDuringPendingReadWakesItAndUnloads) {
    writeCal(kDefaultCalLine);
    platform.addThermometer(kThermometer);
    running();
    view.setBackground(FakeView::Background::Threaded);
    platform.setBlockingReads(true);

    tick();
    ASSERT_TRUE(platform.waitForReadsStarted(1, kPromptly));

    EXPECT_FALSE(form().closeRequested());
    ASSERT_TRUE(view.waitForDone(kPromptly)) << "the pending read was not woken";

    EXPECT_EQ(view.count("close window"), 1);
    EXPECT_EQ(platform.closeCount(kThermometer), 2);
    EXPECT_EQ(platform.openHandleCount(), 0);
    EXPECT_EQ(readCal(), kDefaultCalLine);
}

}  // namespace
}  // namespace thermo::testing
