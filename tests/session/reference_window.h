#pragma once

#include <string_view>

#include "tests/session/x_display.h"
#include "window/layout.h"

namespace thermo::e2e {

// The control as the window draws it with `caption`, rendered here offscreen by the window's own
// code: a picture of the program's control that shows exactly this text, for telling from a
// picture of the running program what its label reads. Needs a QApplication on the offscreen
// platform (the tests' main makes one).
Image referenceCaption(ControlId control, std::string_view caption);

// Whether the control in a picture of the window reads `caption`.
bool readsCaption(const Image& window, ControlId control, std::string_view caption);

}  // namespace thermo::e2e
