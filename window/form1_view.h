#pragma once

#include <string>
#include <string_view>

#include "window/layout.h"
#include "window/tick_worker.h"

namespace thermo {

// What the window's behaviour needs of its controls, and of the window's thread (WindowThread:
// the tick's worker hands its result back through it). Each front end (Qt, Win32) implements it;
// the behaviour tests use a fake. Texts are UTF-8, colours 0x00BBGGRR, geometry in twips.
class Form1View : public WindowThread {
  public:
    virtual void setCaption(ControlId control, std::string_view text) = 0;
    virtual std::string caption(ControlId control) const = 0;
    virtual void setTextColour(ControlId control, ColourValue colour) = 0;
    // The status line's tooltip: why the thermometer was not taken, or empty.
    virtual void setStatusTip(std::string_view text) = 0;
    virtual void setTimerEnabled(bool enabled) = 0;
    virtual void setBarHeight(float twips) = 0;
    virtual void setBarTop(float twips) = 0;

    // The decimal separator of the user's locale, UTF-8.
    virtual std::string decimalSeparator() const = 0;

    // A clear message in a message box; the program goes on.
    virtual void showError(std::string_view message) = 0;

    // Closes the window for good (after a close request that had to wait for a tick). Form_Unload
    // has run by then, so a close event this raises gets true from Form1::closeRequested().
    virtual void closeWindow() = 0;
};

}  // namespace thermo
