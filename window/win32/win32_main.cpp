// The Windows program: the native HID layer, the device module, cal.txt in the working
// directory, the Win32 window and the window's behaviour, wired together.

// First: it brings <windows.h>, which <commctrl.h> needs before it.
#include "window/win32/win32_form1_window.h"

#include <commctrl.h>

#include <exception>
#include <memory>

#include "hid/hid_platform.h"
#include "hid/hidusb.h"
#include "measure/calibration_file.h"
#include "window/form1.h"

namespace {

void reportFatal(const char* message) {
    MessageBoxW(nullptr, thermo::win32::widen(message).c_str(),
                thermo::win32::widen(thermo::kWindowCaption).c_str(), MB_OK | MB_ICONERROR);
}

// As in a dialog: Tab and the arrow keys move between the buttons, Enter presses the focused one.
int runMessageLoop(HWND window) {
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (IsWindow(window) && IsDialogMessageW(window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

int run(HINSTANCE instance, int showCommand) {
    const std::unique_ptr<thermo::hid::Platform> platform = thermo::hid::makeNativePlatform();
    thermo::hid::HIDusb device(*platform);
    thermo::win32::Win32Form1Window window(instance);
    thermo::Form1 form(window, device, thermo::CalibrationFile("cal.txt"));
    window.attach(form);
    try {
        form.Form_Load();
    } catch (const std::exception& error) {
        // Start-up failed (typically cal.txt cannot be read): say why, and never show the window.
        reportFatal(error.what());
        return 1;
    }
    window.show(showCommand);
    return runMessageLoop(window.handle());
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int showCommand) {
    // The manifest makes the program dpi aware per monitor: the window converts the layout to
    // pixels at its monitor's dpi, and Windows must not scale it a second time.
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    try {
        return run(instance, showCommand);
    } catch (const std::exception& error) {
        reportFatal(error.what());
        return 1;
    }
}
