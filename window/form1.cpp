#include "window/form1.h"

#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace thermo {

namespace {

constexpr std::string_view kDetected = "DEVICE DETECTED";
constexpr std::string_view kNotDetected = "DEVICE NOT DETECTED";
constexpr std::string_view kStart = "START";
constexpr std::string_view kStop = "STOP";

// A tick never stops at a failing step: the step leaves its destination as it was and the tick
// goes on with the next one. Platform errors derive from std::exception too.
template <typename Step>
void tickStep(Step&& step) {
    try {
        std::forward<Step>(step)();
    } catch (const std::exception&) {
        // Nothing is shown or logged; the next tick starts afresh.
    }
}

// The line as the user would type it back, without its line end.
std::string heldLine(std::string held) {
    while (!held.empty() && (held.back() == '\n' || held.back() == '\r')) held.pop_back();
    return held;
}

std::string notSavedMessage(const CalibrationFile& file, const CalibrationError& error) {
    const std::string name = file.path().filename().string();
    std::string text =
        "The calibration point could not be saved in " + name + ".\n\n" + error.what() + "\n\n";
    const auto& damaged = error.damaged();
    if (!damaged) return text + "The file and the calibration in use are unchanged.";
    text += "The file may be damaged: it was being rewritten in place when the failure came. ";
    text += damaged->held ? "Before the save it held:\n\n" + heldLine(*damaged->held) +
                                "\n\nPut that line back to restore it. "
                          : std::string("What it held before could not be read. ");
    return text + "The calibration in use stays as it was.";
}

std::string notReadBackMessage(const CalibrationFile& file, const CalibrationError& error) {
    return "The calibration point was saved in " + file.path().filename().string() +
           ", but the file could not be read back.\n\n" + error.what() +
           "\n\nThe calibration in use is unchanged until the file can be read.";
}

}  // namespace

Form1::Form1(Form1View& view, hid::HIDusb& device, CalibrationFile calibration,
             TickWorker::ThreadStart startThread)
    : view_(view),
      device_(device),
      calibration_(std::move(calibration)),
      worker_(view, std::move(startThread)) {}

// The worker, destroyed right after this, waits for the job; the wake makes that milliseconds.
Form1::~Form1() {
    if (tickInProgress_) device_.WakePendingRead();
}

// --- Start-up, START/STOP, shutdown ---

void Form1::Form_Load() {
    view_.setTimerEnabled(false);
    LoadCalibration();
    device_.FindThermometer();
    const bool present = device_.DevicePresent;
    showStatusCaption(present);
    showStatusColour(present);
    showStatusTip(present);
}

void Form1::cmdOn_Click() {
    if (view_.caption(ControlId::cmdOn) == kStart) {
        view_.setCaption(ControlId::cmdOn, kStop);
        view_.setTimerEnabled(true);
    } else {
        view_.setCaption(ControlId::cmdOn, kStart);
        view_.setTimerEnabled(false);
    }
}

void Form1::Form_Unload() {
    device_.CloseHandles();
    unloaded_ = true;
}

// --- Calibration ---

void Form1::LoadCalibration() {
    const CalibrationPoints points = calibration_.load();
    CalZero = points.zero;
    CalHundred = points.hundred;
}

void Form1::Command2_Click() { storeCalibration({SensorRatio, CalHundred}); }

void Form1::Command3_Click() { storeCalibration({CalZero, SensorRatio}); }

// A file that cannot be written must not end the program and lose the readings: the user is
// told, and both the file and the points in use stay as they were.
void Form1::storeCalibration(const CalibrationPoints& points) {
    if (writeCalibration(points)) {
        reloadCalibration();
    }
}

bool Form1::writeCalibration(const CalibrationPoints& points) {
    try {
        calibration_.write(points);
        return true;
    } catch (const CalibrationError& error) {
        view_.showError(notSavedMessage(calibration_, error));
        return false;
    }
}

void Form1::reloadCalibration() {
    try {
        LoadCalibration();
    } catch (const CalibrationError& error) {
        view_.showError(notReadBackMessage(calibration_, error));
    }
}

// --- Status line ---

void Form1::showStatusCaption(bool present) {
    view_.setCaption(ControlId::Label1, present ? kDetected : kNotDetected);
}

void Form1::showStatusColour(bool present) {
    view_.setTextColour(ControlId::Label1, present ? kStatusGreen : kStatusRed);
}

void Form1::showStatusTip(bool present) {
    view_.setStatusTip(present ? std::string() : device_.LastProblem);
}

// --- Events from the front end ---

void Form1::clickRequested(ControlId control) {
    if (closePending_ || unloaded_) {
        return;
    }
    if (tickInProgress_) {
        heldClicks_.push_back(control);
        return;
    }
    dispatchClick(control);
}

void Form1::timerFired() {
    if (tickInProgress_) {
        worker_.handOver();  // in case the window could not be given the job's end
        return;
    }
    if (closePending_ || unloaded_) {
        return;
    }
    Timer1_Timer();
}

bool Form1::closeRequested() {
    if (unloaded_) {
        return true;
    }
    if (tickInProgress_) {
        // A click held until now would act on a reading that the wake has cut short ("0 °C"
        // could store the ratio of an all-zero buffer), and START/STOP end with the window.
        closePending_ = true;
        heldClicks_.clear();
        device_.WakePendingRead();
        return false;
    }
    Form_Unload();
    return true;
}

void Form1::dispatchClick(ControlId control) {
    switch (control) {
        case ControlId::cmdOn:
            cmdOn_Click();
            break;
        case ControlId::Command2:
            Command2_Click();
            break;
        case ControlId::Command3:
            Command3_Click();
            break;
        default:
            break;
    }
}

// A held click may start something that waits (a message box runs its own event loop, where the
// next tick can begin); the clicks after it then wait for that tick in turn.
void Form1::runHeldClicks() {
    while (!heldClicks_.empty() && !tickInProgress_ && !closePending_ && !unloaded_) {
        const ControlId control = heldClicks_.front();
        heldClicks_.pop_front();
        dispatchClick(control);
    }
}

// --- The measurement tick ---

void Form1::Timer1_Timer() {
    tickInProgress_ = true;
    const bool present = device_.DevicePresent;
    showTickStatus(present);
    startDeviceWork(present);
}

// The status shows the device as it was when the tick began, before this tick's search or read.
void Form1::showTickStatus(bool present) {
    tickStep([&] { showStatusCaption(present); });
    tickStep([&] { showStatusColour(present); });
    tickStep([&] { showStatusTip(present); });
}

void Form1::startDeviceWork(bool presentAtStart) {
    try {
        worker_.start([this, presentAtStart] { deviceWork(presentAtStart); },
                      [this] { finishTick(); });
    } catch (const std::exception&) {
        // No worker: the search and read are the steps that fail; the rest of the tick runs.
        finishTick();
    }
}

// On the worker's thread; touches nothing but the device module.
void Form1::deviceWork(bool presentAtStart) {
    if (!presentAtStart) {
        tickStep([this] { device_.FindThermometer(); });
    }
    tickStep([this] { device_.PollThermometer(); });
}

void Form1::finishTick() {
    tickStep([this] { readSensorRatio(); });
    tickStep([this] { computeCelsius(); });
    showReading();
    endTick();
}

void Form1::showReading() {
    tickStep([this] { showCelsius(); });
    tickStep([this] { view_.setCaption(ControlId::Label3, kCelsiusUnit); });
    tickStep([this] { showFahrenheit(); });
    tickStep([this] { view_.setCaption(ControlId::Label11, kFahrenheitUnit); });
    // The labels show this tick's own value; the bar, and a later tick whose conversion fails,
    // the clamped one.
    Celsius = clampForBar(Celsius);
    showBar();
}

void Form1::readSensorRatio() {
    const auto& buffer = device_.ReportBuffer;
    const std::span<const std::uint8_t> report =
        buffer ? std::span<const std::uint8_t>(*buffer) : std::span<const std::uint8_t>();
    if (const auto ratio = ratioFromReport(report)) {
        SensorRatio = *ratio;
    }
}

void Form1::computeCelsius() {
    if (const auto celsius = celsiusFromRatio(SensorRatio, CalZero, CalHundred)) {
        Celsius = *celsius;
    }
}

void Form1::showCelsius() {
    view_.setCaption(ControlId::Label5, formatReading(Celsius, DisplayPattern::TwoIntegerDigits,
                                                      view_.decimalSeparator()));
}

void Form1::showFahrenheit() {
    if (const auto fahrenheit = fahrenheitFromCelsius(Celsius)) {
        view_.setCaption(
            ControlId::Label10,
            formatReading(*fahrenheit, DisplayPattern::OneIntegerDigit, view_.decimalSeparator()));
    }
}

void Form1::showBar() {
    const BarGeometry bar = barGeometry(Celsius);
    tickStep([&] { view_.setBarHeight(bar.height); });
    tickStep([&] { view_.setBarTop(bar.top); });
}

void Form1::endTick() {
    tickInProgress_ = false;
    if (closePending_) {
        Form_Unload();
        view_.closeWindow();
        return;
    }
    runHeldClicks();
}

}  // namespace thermo
