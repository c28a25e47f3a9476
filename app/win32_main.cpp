// The Windows program: the Win32 window, wired to the device module by runProgram().

// First: it brings <windows.h>, which <commctrl.h> needs before it.
#include "window/win32/win32_form1_window.h"

#include <commctrl.h>

#include <exception>
#include <string_view>

#include "app/program.h"

namespace {

void reportFatal(std::string_view message) {
    MessageBoxW(nullptr, thermo::os::widen(message).c_str(),
                thermo::os::widen(thermo::kWindowCaption).c_str(), MB_OK | MB_ICONERROR);
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
    thermo::win32::Win32Form1Window window(instance);
    return thermo::runProgram(window, window, reportFatal, [&window, showCommand] {
        window.show(showCommand);
        return runMessageLoop(window.handle());
    });
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
