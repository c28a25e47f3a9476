#pragma once

#include <functional>
#include <string_view>

#include "window/form1_events.h"
#include "window/form1_view.h"

namespace thermo {

// The program's wiring, the same for every front end: the native HID layer, the device module
// and Form1 over cal.txt in the working directory, attached to the front end's window (which
// outlives them). Starts Form1 (Form_Load), then `showAndRun` shows the window and runs the
// event loop until it ends, returning the exit status. When start-up fails (typically cal.txt
// cannot be read), `reportFatal` says why, the window is never shown, and the status is 1.
int runProgram(Form1View& view, Form1EventSource& events,
               const std::function<void(std::string_view)>& reportFatal,
               const std::function<int()>& showAndRun);

}  // namespace thermo
