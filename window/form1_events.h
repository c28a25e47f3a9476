#pragma once

#include <functional>
#include <utility>

#include "window/form1.h"
#include "window/layout.h"

namespace thermo {

// Where a window sends what the user does: Form1 in the program, a stand-in in tests.
struct Form1Events {
    std::function<void(ControlId)> click;  // cmdOn, Command2 or Command3
    std::function<void()> timer;
    std::function<bool()> close;  // true: the window may close now
};

// A window's side of its events, the same for every front end: it forwards clicks and timer
// ticks, and decides whether a request to close may close the window.
class Form1EventSource {
  public:
    void setEvents(Form1Events events) { events_ = std::move(events); }
    void attach(Form1& form) {
        setEvents({[&form](ControlId id) { form.clickRequested(id); },
                   [&form] { form.timerFired(); }, [&form] { return form.closeRequested(); }});
    }

  protected:
    void sendClick(ControlId control) const {
        if (events_.click) events_.click(control);
    }
    void sendTimer() const {
        if (events_.timer) events_.timer();
    }
    // True when the window may close now: the behaviour agrees, or the window has been closed for
    // good (allowClose(), which may be called from within the behaviour's answer).
    bool closeRequested() {
        if (!events_.close || events_.close()) closeAllowed_ = true;
        return closeAllowed_;
    }
    // The window closes for good: every later request to close is granted.
    void allowClose() { closeAllowed_ = true; }

  private:
    Form1Events events_;
    bool closeAllowed_ = false;
};

}  // namespace thermo
