#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "window/form1_view.h"

namespace thermo {

// A window that only remembers, for the behaviour tests. Every call that changes something is
// recorded in order, as text:
//   "caption <control> <text>", "colour <control> 0x<RRGGBB in hex, upper case, no leading 0s>",
//   "tip <text>", "timer on", "timer off", "height <twips>", "top <twips>", "error <message>",
//   "background", "close window".
// Twips are written in the shortest form that reads back to the same float.
//
// Background work runs in one of three ways:
//   Immediate — work, then done, inside runInBackground;
//   Held      — kept until the test calls runHeldWork() and runHeldDone();
//   Threaded  — work on a real thread; done runs on the test's thread in waitForDone(), which
//               plays the window's event loop.
class FakeView : public Form1View {
  public:
    enum class Background { Immediate, Held, Threaded };

    FakeView();
    ~FakeView() override;
    FakeView(const FakeView&) = delete;
    FakeView& operator=(const FakeView&) = delete;

    // --- Arranging ---
    void setBackground(Background mode) { mode_ = mode; }
    void setDecimalSeparator(std::string separator) { separator_ = std::move(separator); }
    // Every later call whose record starts with `prefix` throws std::runtime_error, as a toolkit
    // refusing a value would, and changes nothing. "background" makes runInBackground throw.
    void failOn(std::string prefix) { failures_.push_back(std::move(prefix)); }

    // --- Held and threaded background work ---
    bool hasHeldWork() const { return static_cast<bool>(heldWork_); }
    void runHeldWork();
    void runHeldDone();
    // Waits until the worker's `work` has returned, then runs `done` here. False on time-out.
    bool waitForDone(std::chrono::milliseconds timeout);

    // --- What happened ---
    const std::vector<std::string>& calls() const { return calls_; }
    void clearCalls() { calls_.clear(); }
    int count(std::string_view call) const;
    bool timerEnabled() const { return timerEnabled_; }
    std::optional<float> barHeight() const { return barHeight_; }
    std::optional<float> barTop() const { return barTop_; }
    const std::vector<std::string>& errors() const { return errors_; }

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
    void runInBackground(std::function<void()> work, std::function<void()> done) override;
    void endBackgroundWork() override;
    void closeWindow() override;

  private:
    void record(std::string call);
    void joinWorker();

    Background mode_ = Background::Immediate;
    std::string separator_ = ".";
    std::vector<std::string> failures_;
    std::vector<std::string> calls_;
    std::map<ControlId, std::string> captions_;
    bool timerEnabled_ = false;
    std::optional<float> barHeight_;
    std::optional<float> barTop_;
    std::vector<std::string> errors_;

    std::function<void()> heldWork_;
    std::function<void()> heldDone_;

    std::mutex mutex_;
    std::condition_variable workFinished_;
    bool workDone_ = false;
    std::thread worker_;
};

// The control's name as the window's description spells it ("Label1", "cmdOn").
std::string controlName(ControlId control);

}  // namespace thermo
