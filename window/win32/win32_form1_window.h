#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>

#include "window/form1_events.h"
#include "window/form1_view.h"
#include "window/layout.h"
#include "window/scale_geometry.h"
#include "window/scene.h"
#include "window/win32/gdi.h"
#include "window/win32/gdi_painter.h"

namespace thermo::win32 {

// Form1 as a native Win32 window, built from the layout table at the screen's dpi. The push
// buttons are BUTTON controls; everything else (frame, labels, shapes, ticks) is painted by the
// window in the table's stacking order, back to front. Painting the labels rather than making
// them STATIC controls is what keeps the transparent ones transparent over the painted panel
// and lets the order of the table decide what covers what.
class Win32Form1Window final : public Form1View, public Form1EventSource {
  public:
    // Creates the window, hidden. Throws std::runtime_error when Windows refuses.
    explicit Win32Form1Window(HINSTANCE instance);
    ~Win32Form1Window() override;
    Win32Form1Window(const Win32Form1Window&) = delete;
    Win32Form1Window& operator=(const Win32Form1Window&) = delete;

    // Shows the window with the focus on the first control of the tab order.
    void show(int showCommand);
    HWND handle() const { return hwnd_; }
    int dpi() const { return dpi_; }

    // Form1View
    void setCaption(ControlId control, std::string_view text) override;
    std::string caption(ControlId control) const override;
    void setTextColour(ControlId control, ColourValue colour) override;
    void setStatusTip(std::string_view text) override;
    void setTimerEnabled(bool enabled) override;
    void setBarHeight(float twips) override;
    void setBarTop(float twips) override;
    std::string decimalSeparator() const override;
    void showError(std::string_view message) override;
    void closeWindow() override;
    // A posted message that carries the task: it runs in the message loop, or never if the window
    // goes first.
    void runOnWindowThread(std::function<void()> task) override;

  private:
    static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void onClose();
    void dropWaitingTasks();

    void createButtons();
    void createStatusTip();

    // Keyboard as in a dialog: the focused button is the default one, which Enter presses.
    void makeDefaultButton(HWND button);
    void focusNextControl(WPARAM which, LPARAM byHandle);

    // Lays the window out again for a screen of `dpi`, in `suggested` (screen coordinates) if
    // given, else keeping its top-left corner.
    void applyDpi(int dpi, const RECT* suggested);
    SIZE windowSizeFor(int dpi) const;
    void openTheme();

    void paint(HDC dc, const RECT& area) const;

    void invalidate(const PixelRect& rect);
    void moveBar(const BarTwips& bar);

    HWND hwnd_ = nullptr;
    // Where runOnWindowThread() posts, from any thread: set once, before any task can come, and
    // never cleared, so that it needs no lock. A post to it after the window has gone fails.
    HWND taskWindow_ = nullptr;
    int dpi_ = 96;
    std::array<HWND, kControlCount> buttons_{};  // child windows, destroyed with the window
    WindowPicture picture_;  // what the window shows, as laid out or as last set
    bool timerOn_ = false;
    HWND tooltip_ = nullptr;
    std::wstring tipText_;

    WindowFonts fonts_;
    HWND focus_ = nullptr;  // the control that had the focus when the window was deactivated
    HWND defaultButton_ = nullptr;
    Theme buttonTheme_;  // none while visual styles are off
};

}  // namespace thermo::win32
