#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "window/form1_view.h"
#include "window/scene.h"

namespace thermo {

// A window that only remembers, for the behaviour tests. Every call that changes something is
// recorded in order, as text:
//   "caption <control> <text>", "colour <control> 0x<RRGGBB in hex, upper case, no leading 0s>",
//   "tip <text>", "timer on", "timer off", "height <twips>", "top <twips>", "error <message>",
//   "background", "close window".
// Twips are written in the shortest form that reads back to the same float.
//
// The window's thread is the test's: tasks the tick's worker hands over wait in a queue until the
// test runs them (runWindowTasks), as the window's event loop would; each is recorded as
// "window task" as it runs.
class FakeView : public Form1View {
  public:
    FakeView();
    ~FakeView() override;
    FakeView(const FakeView&) = delete;
    FakeView& operator=(const FakeView&) = delete;

    // --- Arranging ---
    void setDecimalSeparator(std::string separator) { separator_ = std::move(separator); }
    // Every later call whose record starts with `prefix` throws std::runtime_error, as a toolkit
    // refusing a value would, and changes nothing.
    void failOn(std::string prefix) { failures_.push_back(std::move(prefix)); }
    // Drops every task handed to the window's thread from now on, as a full queue would.
    void dropWindowTasks();

    // --- The window's thread ---
    // Waits until a task has been handed over; false if none came within `timeout`.
    bool waitForWindowTask(std::chrono::milliseconds timeout);
    // Waits for a task as waitForWindowTask() does, then runs all that are waiting, in order.
    bool runWindowTasks(std::chrono::milliseconds timeout);

    // --- What happened ---
    const std::vector<std::string>& calls() const { return calls_; }
    void clearCalls() { calls_.clear(); }
    int count(std::string_view call) const;
    bool timerEnabled() const { return timerEnabled_; }
    std::optional<float> barHeight() const { return barHeight_; }
    std::optional<float> barTop() const { return barTop_; }
    const std::vector<std::string>& errors() const { return errors_; }
    // What a window would draw now.
    const WindowPicture& picture() const { return picture_; }

    // --- Form1View ---
    void setCaption(ControlId control, std::string_view text) override;
    std::string caption(ControlId control) const override;
    void setTextColour(ControlId control, ColourValue colour) override;
    void setStatusTip(std::string_view text) override;
    void setTimerEnabled(bool enabled) override;
    void setBarHeight(float twips) override;
    void setBarTop(float twips) override;
    std::string decimalSeparator() const override { return separator_; }
    void showError(std::string_view message) override;
    void closeWindow() override;
    void runOnWindowThread(std::function<void()> task) override;

  private:
    void record(std::string call);

    std::string separator_ = ".";
    std::vector<std::string> failures_;
    std::vector<std::string> calls_;
    std::map<ControlId, std::string> captions_;
    bool timerEnabled_ = false;
    std::optional<float> barHeight_;
    std::optional<float> barTop_;
    std::vector<std::string> errors_;
    WindowPicture picture_;

    // Filled by the worker's thread, emptied by the test's.
    std::mutex tasksLock_;
    std::condition_variable taskCame_;
    std::deque<std::function<void()>> tasks_;
    bool dropTasks_ = false;
};

// The control's name as the window's description spells it ("Label1", "cmdOn").
std::string controlName(ControlId control);

}  // namespace thermo
