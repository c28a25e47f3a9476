#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "hid/hidusb.h"
#include "measure/calibration_file.h"
#include "tests/support/fake_platform.h"
#include "tests/support/fake_view.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"
#include "tests/window/layout_support.h"
#include "window/form1.h"
#include "window/scene.h"

namespace thermo::testing {

inline constexpr const char* kThermometer = "/dev/hidraw0";
inline constexpr const char* kDefaultCalLine = "0.72,0.35\r\n";

// One window over a fake view, the in-memory HID layer and a cal.txt of its own.
class Form1Test : public ::testing::Test {
  protected:
    std::filesystem::path calPath() const { return dir_.path() / "cal.txt"; }

    void writeCal(const std::string& content) const {
        std::ofstream(calPath(), std::ios::binary) << content;
    }

    std::string readCal() const {
        std::ifstream in(calPath(), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    Form1& form() {
        if (!form_) {
            form_.emplace(view, device, CalibrationFile(calPath()), startThread);
        }
        return *form_;
    }

    // Start-up, then the view's and the platform's records cleared.
    Form1& loaded() {
        form().Form_Load();
        view.clearCalls();
        platform.clearCalls();
        return form();
    }

    // START, so that the timer would fire; the tests fire it themselves.
    Form1& running() {
        loaded().clickRequested(ControlId::cmdOn);
        view.clearCalls();
        return form();
    }

    // One timer event and the tick it starts, to its last step.
    void tick() {
        form().timerFired();
        finishTick();
    }

    // Plays the window's event loop until the tick in progress has ended.
    void finishTick() {
        while (form().tickInProgress()) {
            ASSERT_TRUE(view.runWindowTasks(kPatience)) << "the tick's worker never handed over";
        }
    }

    std::string captionOf(ControlId control) const { return view.caption(control); }

    // The control's item in the scene the window would draw now.
    DrawItem drawn(ControlId control) const {
        const std::vector<DrawItem> items = scene(view.picture());
        const DrawItem* item = findItem(items, control);
        if (item == nullptr) ADD_FAILURE() << "not in the scene: " << controlName(control);
        return item != nullptr ? *item : DrawItem{};
    }

    int platformCallCount(const std::string& call) const {
        const auto calls = platform.calls();
        return static_cast<int>(std::count(calls.begin(), calls.end(), call));
    }

    TempDir dir_;
    hid::FakePlatform platform;
    hid::HIDusb device{platform};
    FakeView view;
    TickWorker::ThreadStart startThread;  // for Form1: a plain thread unless a test sets one
    std::optional<Form1> form_;
};

}  // namespace thermo::testing
