// The tick's worker, and events that arrive while a tick's device work is still running.

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/window/form1_fixture.h"
#include "window/tick_worker.h"

namespace thermo::testing {
namespace {

using ::testing::Contains;
using ::testing::Not;
using ::testing::StartsWith;

// Generous against a loaded machine, yet well short of the read time-out that an unwoken read
// would run into.
constexpr auto kPromptly = hid::ReadTimeout / 2;

// The thermometer is silent: the tick's read waits until the test lets it go.
class Form1DuringTick : public Form1Test {
  protected:
    void SetUp() override {
        writeCal(kDefaultCalLine);
        platform.addThermometer(kThermometer);
        running();
        platform.queueReport(kThermometer, {0, 133, 0});
        platform.setBlockingReads(true);
        form().timerFired();
        ASSERT_TRUE(platform.waitForReadsStarted(1, kPromptly));
        ASSERT_TRUE(form().tickInProgress());
    }

    // The read gets its report; its tick then ends on the window's thread.
    void endTheRead() {
        platform.setBlockingReads(false);
        finishTick();
    }

    std::ptrdiff_t indexOf(const std::string& call) const {
        const auto& calls = view.calls();
        return std::find(calls.begin(), calls.end(), call) - calls.begin();
    }
};

TEST_F(Form1DuringTick, HeldClicksRunInOrderAfterTheTicksLastStep) {
    form().clickRequested(ControlId::Command2);
    form().clickRequested(ControlId::cmdOn);
    platform.releaseRead();
    ASSERT_TRUE(view.waitForWindowTask(kPromptly));  // the work has ended, its last steps wait

    EXPECT_EQ(readCal(), kDefaultCalLine);
    EXPECT_THAT(view.calls(), Not(Contains(StartsWith("caption cmdOn"))));

    ASSERT_TRUE(view.runWindowTasks(kPromptly));

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
    form().timerFired();
    form().timerFired();
    EXPECT_EQ(view.count("caption Label1 DEVICE DETECTED"), 1);

    endTheRead();
    platform.queueReport(kThermometer, {0, 133, 0});
    tick();

    EXPECT_EQ(view.count("caption Label1 DEVICE DETECTED"), 2);
}

TEST_F(Form1DuringTick, CloseWaitsForTheTickThenUnloadsAndDropsHeldClicks) {
    EXPECT_FALSE(form().closeRequested());
    EXPECT_THAT(platform.calls(), Contains("wake"));
    form().clickRequested(ControlId::Command2);
    ASSERT_TRUE(view.waitForWindowTask(kPromptly)) << "the pending read was not woken";
    EXPECT_EQ(view.count("close window"), 0) << "closed in the middle of a tick";

    finishTick();

    EXPECT_EQ(view.count("close window"), 1);
    EXPECT_GT(indexOf("close window"), indexOf("caption Label11  \302\260F"));
    EXPECT_EQ(platform.closeCount(kThermometer), 2);
    EXPECT_EQ(platform.openHandleCount(), 0);
    EXPECT_EQ(readCal(), kDefaultCalLine);
    form().timerFired();
    EXPECT_EQ(view.count("caption Label1 DEVICE DETECTED"), 1) << "a tick after the unload";

    // The close event that closeWindow() raises in the toolkit is simply granted.
    EXPECT_TRUE(form().closeRequested());
    EXPECT_EQ(view.count("close window"), 1);
}

// The program can end while a silent thermometer holds a tick (the event loop was left); Form1
// then goes before the window. The read must end with it, and the tick's last steps, still
// waiting in the window's queue, must not run on what is gone.
TEST_F(Form1DuringTick, GoingDuringASilentReadEndsTheReadAndNeverRunsTheTicksEnd) {
    form_.reset();

    EXPECT_EQ(platform.readsInProgress(), 0) << "the read outlived Form1";
    view.clearCalls();
    view.runWindowTasks(std::chrono::milliseconds(0));
    EXPECT_THAT(view.calls(), Not(Contains(StartsWith("caption")))) << "the tick ended after Form1";
}

// A window whose queue refused the worker's task (a full one) still hears of the job's end: the
// next timer event finishes the tick, and starts none of its own.
TEST_F(Form1Test, HandOverTheWindowNeverGotIsMadeAtTheNextTimerEvent) {
    writeCal(kDefaultCalLine);
    platform.addThermometer(kThermometer);
    running();
    platform.queueReport(kThermometer, {0, 133, 0});
    view.dropWindowTasks();

    form().timerFired();
    ASSERT_TRUE(pollUntil([&] {
        form().timerFired();
        return !form().tickInProgress();
    }));

    EXPECT_EQ(captionOf(ControlId::Label5), "54.2");
    EXPECT_EQ(view.count("caption Label1 DEVICE DETECTED"), 1);
    EXPECT_EQ(platform.readCount(), 1);
}

// --- The worker on its own ---

TEST(TickWorker, WorkRunsOnItsOwnThreadWhileTheWindowGoesOnAndDoneOnTheWindowsThread) {
    FakeView window;
    TickWorker worker(window);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::thread::id workThread;
    std::optional<std::thread::id> doneThread;

    worker.start(
        [&] {
            workThread = std::this_thread::get_id();
            released.wait();
        },
        [&] { doneThread = std::this_thread::get_id(); });
    // start() has returned while the work waits: the window's thread is free.
    EXPECT_FALSE(window.waitForWindowTask(std::chrono::milliseconds(0)));
    EXPECT_FALSE(worker.handOver()) << "handed over before the work ended";

    release.set_value();
    ASSERT_TRUE(window.runWindowTasks(kPatience));
    ASSERT_TRUE(doneThread.has_value());
    EXPECT_EQ(*doneThread, std::this_thread::get_id());
    EXPECT_NE(workThread, std::this_thread::get_id());
    EXPECT_FALSE(worker.handOver()) << "done ran twice";
}

TEST(TickWorker, RunsOneJobAtATimeOnOneThread) {
    FakeView window;
    TickWorker worker(window);
    std::vector<std::thread::id> threads;
    int done = 0;
    for (int job = 0; job < 3; ++job) {
        worker.start([&] { threads.push_back(std::this_thread::get_id()); }, [&] { ++done; });
        EXPECT_THROW(worker.start([] {}, [] {}), std::logic_error) << "job " << job;
        ASSERT_TRUE(window.runWindowTasks(kPatience));
        EXPECT_EQ(done, job + 1);
    }
    EXPECT_EQ(std::count(threads.begin(), threads.end(), threads.front()), 3);
}

TEST(TickWorker, DoneNeverRunsOnceTheWorkerHasGone) {
    FakeView window;
    bool done = false;
    {
        TickWorker worker(window);
        worker.start([] {}, [&] { done = true; });
        ASSERT_TRUE(window.waitForWindowTask(kPatience));
    }
    EXPECT_TRUE(window.runWindowTasks(std::chrono::milliseconds(0)));
    EXPECT_FALSE(done);
}

TEST(TickWorker, WorkThatThrowsStillEndsItsJob) {
    FakeView window;
    TickWorker worker(window);
    bool done = false;
    worker.start([] { throw std::runtime_error("broken"); }, [&] { done = true; });
    ASSERT_TRUE(window.runWindowTasks(kPatience));
    EXPECT_TRUE(done);
}

}  // namespace
}  // namespace thermo::testing
