#pragma once

#include <deque>
#include <optional>
#include <string>

#include "hid/hidusb.h"
#include "measure/calibration_file.h"
#include "measure/conversion.h"
#include "window/form1_view.h"
#include "window/tick_worker.h"

namespace thermo {

// The window's behaviour, written once for every front end. The front end forwards the
// toolkit's events to the *Requested / timerFired entry points; the handlers named after the
// control and event are the behaviour itself.
//
// A tick's device work (search and report wait, up to 6 s) runs on the tick's worker so that the
// window never freezes, yet everything happens in the order a single thread would give: ticks
// never overlap, a click made during a tick is held and handled right after the tick's last step,
// and a timer event during a tick is dropped (as a busy window's timer messages coalesce).
class Form1 {
  public:
    // `startThread` makes the tick worker's thread (TickWorker); the default is a plain one.
    Form1(Form1View& view, hid::HIDusb& device, CalibrationFile calibration,
          TickWorker::ThreadStart startThread = {});
    // Ends a tick's device work that is still running (its report wait is woken first), so
    // that the work never runs on a Form1 that is gone. The view and the device outlive Form1:
    // it is made from them.
    ~Form1();
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;

    // Start-up. Throws CalibrationError when cal.txt cannot be read; the front end then shows
    // the message and ends the program without showing the window.
    void Form_Load();

    // Entry points for the front end, all on the window's thread.
    void clickRequested(ControlId control);  // cmdOn, Command2 or Command3
    void timerFired();
    // Returns true when the window may close now (Form_Unload has run, now or before); otherwise
    // a tick is in progress: its pending report wait is woken, so that it ends in milliseconds,
    // and once its last step has run Form_Unload runs and Form1View::closeWindow() is called.
    // Clicks still held then are dropped: the program is ending.
    bool closeRequested();

    // The handlers.
    void cmdOn_Click();
    void Command2_Click();
    void Command3_Click();
    void Timer1_Timer();
    void Form_Unload();

    bool tickInProgress() const { return tickInProgress_; }

    // A tick's display steps, which the screenshot tool drives too: the status line for a
    // device present or not, and Celsius on both readouts with their units and on the bar.
    void showTickStatus(bool present);
    void showReading();

    // Window state.
    MaybeNumber SensorRatio;
    MaybeNumber CalHundred;
    MaybeNumber CalZero;
    float Celsius = 0.0F;

  private:
    void LoadCalibration();
    void storeCalibration(const CalibrationPoints& points);
    bool writeCalibration(const CalibrationPoints& points);
    void reloadCalibration();

    // Status line.
    void showStatusCaption(bool present);
    void showStatusColour(bool present);
    void showStatusTip(bool present);

    // The tick, in its order.
    void startDeviceWork(bool presentAtStart);
    void deviceWork(bool presentAtStart);
    void finishTick();
    void readSensorRatio();
    void computeCelsius();
    void showCelsius();
    void showFahrenheit();
    void showBar();
    void endTick();

    void dispatchClick(ControlId control);
    void runHeldClicks();

    Form1View& view_;
    hid::HIDusb& device_;
    CalibrationFile calibration_;
    bool tickInProgress_ = false;
    bool closePending_ = false;
    bool unloaded_ = false;
    std::deque<ControlId> heldClicks_;
    // Last: it goes first, so that its thread has ended before anything it works on goes.
    TickWorker worker_;
};

}  // namespace thermo
