#include "window/win32/win32_system.h"

#include <stdexcept>
#include <string>

#include "os/error_text.h"
#include "os/windows/text.h"
#include "window/win32/resources.h"

namespace thermo::win32 {

namespace {

// Functions of newer Windows versions are looked up, so that the program still starts on
// Windows 7 and 8, which lack them.
template <typename Function>
Function user32Function(const char* name) {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    FARPROC found = user32 != nullptr ? GetProcAddress(user32, name) : nullptr;
    // Through the generic function pointer type, which any function pointer may be cast to.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

// The program's own icon at the size Windows asks for; Windows' generic one in a program without
// it (the tests).
HICON programIcon(HINSTANCE instance, int widthMetric, int heightMetric) {
    // Shared: loaded once, never destroyed by the program.
    auto* icon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(THERMO_ICON_ID),
                                               IMAGE_ICON, GetSystemMetrics(widthMetric),
                                               GetSystemMetrics(heightMetric), LR_SHARED));
    return icon != nullptr ? icon : LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
}

}  // namespace

[[noreturn]] void throwSystemError(std::string_view call, std::string_view object, DWORD error) {
    throw std::runtime_error(os::callFailed(call, object, os::windowsError(error)));
}

int windowDpi(HWND hwnd, int screen) {
    const auto getDpiForWindow = user32Function<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
    const UINT dpi = getDpiForWindow != nullptr ? getDpiForWindow(hwnd) : 0;
    return dpi > 0 ? static_cast<int>(dpi) : screen;
}

RECT frameAround(const RECT& client, int dpi) {
    RECT frame = client;
    using AdjustForDpi = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    const auto adjustForDpi = user32Function<AdjustForDpi>("AdjustWindowRectExForDpi");
    if (adjustForDpi == nullptr ||
        !adjustForDpi(&frame, kWindowStyle, FALSE, 0, static_cast<UINT>(dpi))) {
        frame = client;
        AdjustWindowRectEx(&frame, kWindowStyle, FALSE, 0);
    }
    return frame;
}

void registerWindowClass(HINSTANCE instance, WNDPROC windowProc) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = windowProc;
    wc.hInstance = instance;
    wc.hIcon = programIcon(instance, SM_CXICON, SM_CYICON);
    wc.hIconSm = programIcon(instance, SM_CXSMICON, SM_CYSMICON);
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = nullptr;  // the window paints all of its client area
    wc.lpszClassName = kWindowClass;
    if (RegisterClassExW(&wc) == 0) {
        const DWORD error = GetLastError();
        if (error != ERROR_CLASS_ALREADY_EXISTS) {
            throwSystemError("RegisterClassExW", os::narrow(kWindowClass), error);
        }
    }
}

}  // namespace thermo::win32
