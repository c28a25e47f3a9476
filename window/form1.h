#pragma once

#include <deque>
#include <optional>

#include "window/form1_view.h"
#include "hid/hidusb.h"
#include "measure/calibration_file.h"
#include "measure/conversion.h"

namespace thermo {

// The window's behaviour, written once for every front end. The front end forwards the
// toolkit's events to the *Requested / timerFired entry points; the handlers named after the
// control and event are the behaviour itself.
//
// A tick's device work (search and report wait, up to 6 s) runs away from the window's thread so
// that the window never freezes, yet everything happens in the order a single thread would give:
// ticks never overlap, and a click or close request made during a tick is held and handled right
// after the tick's last step.
class Form1 {
public:
    Form1(Form1View& view, hid::HIDusb& device, CalibrationFile calibration);

    // Start-up. Throws CalibrationError when cal.txt cannot be read; the front end then shows
    // the message and ends the program without showing the window.
    void Form_Load();

    // Entry points for the front end.
    void clickRequested(ControlId control);  // cmdOn, Command2 or Command3
    void timerFired();
    // Returns true when the window may close now (Form_Unload has run); otherwise the close
    // happens through Form1View::closeWindow() as soon as the tick in progress has ended, and a
    // pending report wait is woken so that this takes milliseconds, not seconds.
    bool closeRequested();

    // The handlers.
    void cmdOn_Click();
    void Command2_Click();
    void Command3_Click();
    void Timer1_Timer();
    void Form_Unload();

    bool tickInProgress() const { return tickInProgress_; }

    // Window state.
    MaybeNumber SensorRatio;
    MaybeNumber CalHundred;
    MaybeNumber CalZero;
    float Celsius = 0.0F;

private:
    void LoadCalibration();
    void storeCalibration(const CalibrationPoints& points);
    void showStatus();
    void finishTick();
    void runHeldEvents();

    Form1View& view_;
    hid::HIDusb& device_;
    CalibrationFile calibration_;
    bool tickInProgress_ = false;
    bool closePending_ = false;
    std::deque<ControlId> heldClicks_;
};

}  // namespace thermo
