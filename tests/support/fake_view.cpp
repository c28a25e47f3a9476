#include "tests/support/fake_view.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace thermo {

namespace {

// In the order of ControlId.
constexpr std::array<std::string_view, kControlCount> kControlNames = {
    "Timer1", "Frame1", "Command3", "Command2", "cmdOn",  "Label11", "Label10", "Label1", "Shape4",
    "Shape3", "Shape2", "Label5",   "Label3",   "Line1",  "Line2",   "Line3",   "Label4", "Label6",
    "Label7", "Line4",  "Label2",   "Line5",    "Label8", "Line6",   "Line7",   "Line8",  "Line9",
    "Line10", "Line11", "Line12",   "Line13",   "Line14", "Line15",  "Line16",  "Shape1",
};

std::string shortest(float value) {
    std::array<char, 32> text{};
    const auto result = std::to_chars(text.data(), text.data() + text.size(), value);
    return std::string(text.data(), result.ptr);
}

std::string hex(ColourValue colour) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "0x%X", static_cast<unsigned>(colour));
    return text.data();
}

}  // namespace

std::string controlName(ControlId control) {
    return std::string(kControlNames.at(static_cast<std::size_t>(control)));
}

FakeView::FakeView() { captions_[ControlId::cmdOn] = "START"; }

FakeView::~FakeView() = default;

void FakeView::record(std::string call) {
    const bool refused = std::any_of(failures_.begin(), failures_.end(),
                                     [&](const auto& prefix) { return call.starts_with(prefix); });
    if (refused) {
        throw std::runtime_error("refused: " + call);
    }
    calls_.push_back(std::move(call));
}

int FakeView::count(std::string_view call) const {
    return static_cast<int>(std::count(calls_.begin(), calls_.end(), call));
}

void FakeView::setCaption(ControlId control, std::string_view text) {
    record("caption " + controlName(control) + " " + std::string(text));
    captions_[control] = std::string(text);
    picture_.captions[static_cast<std::size_t>(control)] = std::string(text);
}

std::string FakeView::caption(ControlId control) const {
    const auto it = captions_.find(control);
    return it == captions_.end() ? std::string() : it->second;
}

void FakeView::setTextColour(ControlId control, ColourValue colour) {
    record("colour " + controlName(control) + " " + hex(colour));
    picture_.textColours[static_cast<std::size_t>(control)] = Paint::of(colour);
}

void FakeView::setStatusTip(std::string_view text) { record("tip " + std::string(text)); }

void FakeView::setTimerEnabled(bool enabled) {
    record(enabled ? "timer on" : "timer off");
    timerEnabled_ = enabled;
}

void FakeView::setBarHeight(float twips) {
    record("height " + shortest(twips));
    barHeight_ = twips;
    picture_.bar.height = twips;
}

void FakeView::setBarTop(float twips) {
    record("top " + shortest(twips));
    barTop_ = twips;
    picture_.bar.top = twips;
}

void FakeView::showError(std::string_view message) {
    record("error " + std::string(message));
    errors_.emplace_back(message);
}

void FakeView::closeWindow() { record("close window"); }

void FakeView::runOnWindowThread(std::function<void()> task) {
    {
        std::lock_guard lock(tasksLock_);
        if (dropTasks_) return;
        tasks_.push_back(std::move(task));
    }
    taskCame_.notify_all();
}

void FakeView::dropWindowTasks() {
    std::lock_guard lock(tasksLock_);
    dropTasks_ = true;
}

bool FakeView::waitForWindowTask(std::chrono::milliseconds timeout) {
    std::unique_lock lock(tasksLock_);
    return taskCame_.wait_for(lock, timeout, [this] { return !tasks_.empty(); });
}

bool FakeView::runWindowTasks(std::chrono::milliseconds timeout) {
    if (!waitForWindowTask(timeout)) return false;
    std::deque<std::function<void()>> waiting;
    {
        std::lock_guard lock(tasksLock_);
        waiting.swap(tasks_);
    }
    for (auto& task : waiting) {
        calls_.push_back("window task");  // never refused: the toolkit's own doing
        task();
    }
    return true;
}

}  // namespace thermo
