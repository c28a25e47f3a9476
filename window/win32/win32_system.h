#pragma once

// What the window asks of Windows beyond its controls: its class and icons, the dpi of its
// monitor, the frame around its client area, and a failed call as an exception.

#include "os/windows/windows.h"

#include <string_view>

namespace thermo::win32 {

inline constexpr wchar_t kWindowClass[] = L"UsbThermometerForm1";
inline constexpr DWORD kWindowStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;

// Callers take GetLastError() first, before anything that builds the object's name can change
// the thread's last error.
[[noreturn]] void throwSystemError(std::string_view call, std::string_view object, DWORD error);

// The dpi of the monitor the window is on (Windows 10 1607 and later), else the screen's.
int windowDpi(HWND hwnd, int screen);

// The window's outer rectangle for a client area, at `dpi`.
RECT frameAround(const RECT& client, int dpi);

// Registers kWindowClass with the program's icons; once registered, again is no error.
void registerWindowClass(HINSTANCE instance, WNDPROC windowProc);

}  // namespace thermo::win32
