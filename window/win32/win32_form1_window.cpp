#include "window/win32/win32_form1_window.h"

#include <commctrl.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <utility>

#include "window/win32/win32_system.h"

namespace thermo::win32 {

namespace {

constexpr UINT_PTR kTimerId = 1;
// Button ids: clear of IDOK and IDCANCEL, which dialog navigation sends for Enter and Escape.
constexpr int kFirstButtonId = 100;
// Posted with a task for the window's thread (runOnWindowThread) in its LPARAM.
constexpr UINT kRunTaskMessage = WM_APP + 1;

std::size_t indexOf(ControlId id) { return static_cast<std::size_t>(id); }

RECT toRect(const PixelRect& r) { return {r.left, r.top, r.right(), r.bottom()}; }

}  // namespace

Win32Form1Window::Win32Form1Window(HINSTANCE instance) {
    registerWindowClass(instance, &Win32Form1Window::windowProc);
    dpi_ = screenDpi();
    fonts_ = WindowFonts(dpi_);

    const SIZE size = windowSizeFor(dpi_);
    const std::wstring title = widen(kWindowCaption);
    hwnd_ = CreateWindowExW(0, kWindowClass, title.c_str(), kWindowStyle, CW_USEDEFAULT,
                            CW_USEDEFAULT, size.cx, size.cy, nullptr, nullptr, instance, this);
    if (hwnd_ == nullptr) {
        const DWORD error = GetLastError();
        throwSystemError("CreateWindowExW", narrow(kWindowClass), error);
    }
    taskWindow_ = hwnd_;
    openTheme();
    createButtons();
    createStatusTip();
    // Opened on a monitor of another dpi than the main one's.
    const int dpi = windowDpi(hwnd_, dpi_);
    if (dpi != dpi_) applyDpi(dpi, nullptr);
}

SIZE Win32Form1Window::windowSizeFor(int dpi) const {
    const RECT frame = frameAround(
        {0, 0, twipsToDevice(kClientWidthTwips, dpi), twipsToDevice(kClientHeightTwips, dpi)}, dpi);
    return {frame.right - frame.left, frame.bottom - frame.top};
}

void Win32Form1Window::applyDpi(int dpi, const RECT* suggested) {
    dpi_ = dpi;
    // The controls keep using the old fonts until they have the new ones.
    const WindowFonts old = std::exchange(fonts_, WindowFonts(dpi));
    for (const ControlSpec& laidOut : layoutTable()) {
        HWND button = buttons_[indexOf(laidOut.id)];
        if (button == nullptr) continue;
        const PixelRect r = clientDeviceRect(laidOut.id, dpi_);
        SetWindowPos(button, nullptr, r.left, r.top, r.width, r.height,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_.defaultFont()), FALSE);
    }
    if (tooltip_ != nullptr) {
        TTTOOLINFOW tool{};
        tool.cbSize = TTTOOLINFOW_V2_SIZE;
        tool.hwnd = hwnd_;
        tool.uId = 1;
        tool.rect = toRect(clientDeviceRect(ControlId::Label1, dpi_));
        SendMessageW(tooltip_, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&tool));
        SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, scaled(400, dpi_));
    }
    openTheme();  // a theme's sizes are those of the dpi it was opened at
    if (suggested != nullptr) {
        SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top,
                     suggested->right - suggested->left, suggested->bottom - suggested->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    } else {
        const SIZE size = windowSizeFor(dpi_);
        SetWindowPos(hwnd_, nullptr, 0, 0, size.cx, size.cy,
                     SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
    }
    InvalidateRect(hwnd_, nullptr, TRUE);
}

void Win32Form1Window::openTheme() {
    buttonTheme_.reset(IsAppThemed() ? OpenThemeData(hwnd_, L"BUTTON") : nullptr);
}

Win32Form1Window::~Win32Form1Window() {
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

void Win32Form1Window::createButtons() {
    // Dialog navigation (Tab) follows the order in which the controls were created.
    const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hwnd_, GWLP_HINSTANCE));
    for (const ControlId stop : tabOrder()) {
        const ControlSpec& laidOut = controlSpec(stop);
        if (laidOut.kind != ControlKind::PushButton) continue;
        const PixelRect r = clientDeviceRect(laidOut.id, dpi_);
        const std::wstring text = widen(picture_.captions[indexOf(laidOut.id)]);
        const auto id = static_cast<INT_PTR>(kFirstButtonId + static_cast<int>(laidOut.id));
        HWND button = CreateWindowExW(
            0, L"BUTTON", text.c_str(),
            // BS_NOTIFY: the button says when it gets the focus, so that it can become the
            // default one.
            WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_CLIPSIBLINGS | BS_PUSHBUTTON | BS_NOTIFY,
            r.left, r.top, r.width, r.height, hwnd_, reinterpret_cast<HMENU>(id), instance,
            nullptr);
        if (button == nullptr) {
            const DWORD error = GetLastError();
            throwSystemError("CreateWindowExW BUTTON", laidOut.name, error);
        }
        SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_.defaultFont()), FALSE);
        buttons_[indexOf(laidOut.id)] = button;
    }
}

void Win32Form1Window::createStatusTip() {
    tooltip_ =
        CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                        WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, nullptr, nullptr);
    if (tooltip_ == nullptr) return;  // the status line works without its tip
    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;  // understood by every version of the common controls
    tool.uFlags = TTF_SUBCLASS;
    tool.hwnd = hwnd_;
    tool.uId = 1;
    tool.rect = toRect(clientDeviceRect(ControlId::Label1, dpi_));
    tool.lpszText = tipText_.data();
    SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, scaled(400, dpi_));
}

void Win32Form1Window::makeDefaultButton(HWND button) {
    if (button == nullptr || !IsChild(hwnd_, button)) return;
    for (HWND other : buttons_) {
        if (other != nullptr && other != button) {
            SendMessageW(other, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
        }
    }
    SendMessageW(button, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
    defaultButton_ = button;
}

// WM_NEXTDLGCTL: `byHandle` set, `which` is the control; otherwise the next control in the tab
// order, or the previous one when `which` is non-zero.
void Win32Form1Window::focusNextControl(WPARAM which, LPARAM byHandle) {
    HWND next = LOWORD(byHandle) != 0
                    ? reinterpret_cast<HWND>(which)
                    : GetNextDlgTabItem(hwnd_, GetFocus(), which != 0 ? TRUE : FALSE);
    if (next != nullptr && IsChild(hwnd_, next)) SetFocus(next);
}

void Win32Form1Window::show(int showCommand) {
    ShowWindow(hwnd_, showCommand);
    UpdateWindow(hwnd_);
    // The first control created is the first in the tab order.
    if (HWND first = GetNextDlgTabItem(hwnd_, nullptr, FALSE)) SetFocus(first);
}

// --- Form1View ---

// Form1 sets the readouts, the status line and the bar every tick, mostly to what they were:
// repainting them anyway would cost a paint each second for nothing.
void Win32Form1Window::setCaption(ControlId control, std::string_view text) {
    if (buttons_[indexOf(control)] == nullptr && picture_.captions[indexOf(control)] == text) {
        return;
    }
    picture_.captions[indexOf(control)] = std::string(text);
    if (HWND button = buttons_[indexOf(control)]) {
        SetWindowTextW(button, widen(text).c_str());
        return;
    }
    invalidate(clientDeviceRect(control, dpi_));
}

std::string Win32Form1Window::caption(ControlId control) const {
    if (HWND button = buttons_[indexOf(control)]) {
        std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(button)) + 1, L'\0');
        text.resize(static_cast<std::size_t>(
            GetWindowTextW(button, text.data(), static_cast<int>(text.size()))));
        return narrow(text);
    }
    return picture_.captions[indexOf(control)];
}

void Win32Form1Window::setTextColour(ControlId control, ColourValue colour) {
    if (picture_.textColours[indexOf(control)] == Paint::of(colour)) return;
    picture_.textColours[indexOf(control)] = Paint::of(colour);
    invalidate(clientDeviceRect(control, dpi_));
}

void Win32Form1Window::setStatusTip(std::string_view text) {
    tipText_ = widen(text);
    if (tooltip_ == nullptr) return;
    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = hwnd_;
    tool.uId = 1;
    tool.lpszText = tipText_.data();
    SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
    SendMessageW(tooltip_, TTM_ACTIVATE, tipText_.empty() ? FALSE : TRUE, 0);
}

void Win32Form1Window::setTimerEnabled(bool enabled) {
    if (enabled == timerOn_) return;  // switching on again must not restart the interval
    if (enabled) {
        const UINT interval = static_cast<UINT>(controlSpec(ControlId::Timer1).intervalMs);
        timerOn_ = SetTimer(hwnd_, kTimerId, interval, nullptr) != 0;
        if (!timerOn_) {
            const DWORD error = GetLastError();
            throwSystemError("SetTimer", controlSpec(ControlId::Timer1).name, error);
        }
    } else {
        KillTimer(hwnd_, kTimerId);
        timerOn_ = false;
    }
}

void Win32Form1Window::setBarHeight(float twips) { moveBar({twips, picture_.bar.top}); }

void Win32Form1Window::setBarTop(float twips) { moveBar({picture_.bar.height, twips}); }

void Win32Form1Window::moveBar(const BarTwips& bar) {
    if (bar == picture_.bar) return;
    invalidate(picture_.bar.device(dpi_));
    picture_.bar = bar;
    invalidate(picture_.bar.device(dpi_));
}

std::string Win32Form1Window::decimalSeparator() const {
    wchar_t separator[8] = {};
    const int length = GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, 8);
    if (length <= 1) return ".";
    return narrow(std::wstring_view(separator, static_cast<std::size_t>(length - 1)));
}

void Win32Form1Window::showError(std::string_view message) {
    MessageBoxW(hwnd_, widen(message).c_str(), widen(kWindowCaption).c_str(),
                MB_OK | MB_ICONWARNING);
}

void Win32Form1Window::runOnWindowThread(std::function<void()> task) {
    auto posted = std::make_unique<std::function<void()>>(std::move(task));
    // Refused when the queue is full or the window has gone; the task is then dropped.
    if (taskWindow_ != nullptr &&
        PostMessageW(taskWindow_, kRunTaskMessage, 0, reinterpret_cast<LPARAM>(posted.get()))) {
        posted.release();  // the message owns it now
    }
}

// The tasks a window that goes takes with it; they would act on what is going too.
void Win32Form1Window::dropWaitingTasks() {
    MSG message{};
    while (PeekMessageW(&message, hwnd_, kRunTaskMessage, kRunTaskMessage, PM_REMOVE)) {
        // PeekMessage hands out WM_QUIT whatever the filter, once nothing else is left.
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        delete reinterpret_cast<std::function<void()>*>(message.lParam);
    }
}

void Win32Form1Window::closeWindow() {
    allowClose();
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

void Win32Form1Window::onClose() {
    // closeWindow() may run inside closeRequested(); the window is then gone already.
    if (closeRequested() && hwnd_ != nullptr) DestroyWindow(hwnd_);
}

// --- Messages ---

LRESULT CALLBACK Win32Form1Window::windowProc(HWND hwnd, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
    auto* self = reinterpret_cast<Win32Form1Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == WM_NCCREATE) {
        self = static_cast<Win32Form1Window*>(
            reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    if (self == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
    // No exception may cross the system's frames. One that reaches here is a fault of the
    // program: say so and end, as a failed event handler ends the program.
    try {
        return self->handleMessage(message, wParam, lParam);
    } catch (const std::exception& error) {
        MessageBoxW(hwnd, widen(error.what()).c_str(), widen(kWindowCaption).c_str(),
                    MB_OK | MB_ICONERROR);
    } catch (...) {
        MessageBoxW(hwnd, L"Unexpected error", widen(kWindowCaption).c_str(), MB_OK | MB_ICONERROR);
    }
    self->allowClose();
    DestroyWindow(hwnd);
    return 0;
}

LRESULT Win32Form1Window::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND: {
            const int id = LOWORD(wParam) - kFirstButtonId;
            if (id < 0 || id >= kControlCount ||
                buttons_[static_cast<std::size_t>(id)] == nullptr) {
                return 0;  // IDOK and IDCANCEL from Enter and Escape have no button here
            }
            switch (HIWORD(wParam)) {
                case BN_CLICKED:
                // A BS_NOTIFY button reports the second click of a double click this way.
                case BN_DOUBLECLICKED:
                    sendClick(static_cast<ControlId>(id));
                    break;
                case BN_SETFOCUS:
                    makeDefaultButton(reinterpret_cast<HWND>(lParam));
                    break;
                default:
                    break;
            }
            return 0;
        }
        // Sent by IsDialogMessageW for the arrow keys (and Tab), which a plain window ignores.
        case WM_NEXTDLGCTL:
            focusNextControl(wParam, lParam);
            return 0;
        case DM_GETDEFID:
            if (defaultButton_ == nullptr) return 0;
            return MAKELRESULT(GetDlgCtrlID(defaultButton_), DC_HASDEFID);
        case DM_SETDEFID:
            makeDefaultButton(GetDlgItem(hwnd_, static_cast<int>(wParam)));
            return TRUE;
        case WM_PRINTCLIENT:
            // Themed buttons ask for the background behind their rounded corners this way.
            if ((lParam & PRF_CLIENT) != 0) {
                RECT client{};
                GetClientRect(hwnd_, &client);
                paint(reinterpret_cast<HDC>(wParam), client);
            }
            return 0;
        case WM_GETDPISCALEDSIZE: {
            // The client area at the new dpi is the layout's, not the old window scaled.
            *reinterpret_cast<SIZE*>(lParam) = windowSizeFor(LOWORD(wParam));
            return TRUE;
        }
        case WM_DPICHANGED:
            applyDpi(LOWORD(wParam), reinterpret_cast<const RECT*>(lParam));
            return 0;
        case WM_THEMECHANGED:
            openTheme();
            InvalidateRect(hwnd_, nullptr, FALSE);
            break;
        case WM_TIMER:
            if (wParam == kTimerId) sendTimer();
            return 0;
        case kRunTaskMessage: {
            const std::unique_ptr<std::function<void()>> task(
                reinterpret_cast<std::function<void()>*>(lParam));
            (*task)();
            return 0;
        }
        case WM_CLOSE:
            onClose();
            return 0;
        case WM_ERASEBKGND:
            return 1;  // WM_PAINT covers every pixel
        case WM_PAINT: {
            PAINTSTRUCT ps{};
            HDC dc = BeginPaint(hwnd_, &ps);
            // Painted off screen first, so that the bar never flickers as it moves.
            paintOffScreen(dc, ps.rcPaint, [&](HDC memory) { paint(memory, ps.rcPaint); });
            EndPaint(hwnd_, &ps);
            return 0;
        }
        case WM_ACTIVATE:
            if (LOWORD(wParam) == WA_INACTIVE) {
                HWND focus = GetFocus();
                if (focus != nullptr && IsChild(hwnd_, focus)) focus_ = focus;
            }
            break;
        case WM_SETFOCUS:
            // Give the focus back to the control that had it, as a dialog does.
            if (focus_ != nullptr && IsWindow(focus_)) {
                SetFocus(focus_);
            } else if (HWND first = GetNextDlgTabItem(hwnd_, nullptr, FALSE)) {
                SetFocus(first);
            }
            return 0;
        case WM_SYSCOLORCHANGE:
        case WM_SETTINGCHANGE:
            // System colours 2 and 14 follow the user's scheme.
            InvalidateRect(hwnd_, nullptr, FALSE);
            break;
        case WM_DESTROY:
            if (timerOn_) KillTimer(hwnd_, kTimerId);
            timerOn_ = false;
            PostQuitMessage(0);
            return 0;
        case WM_NCDESTROY:
            dropWaitingTasks();
            SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
            hwnd_ = nullptr;
            tooltip_ = nullptr;
            buttons_.fill(nullptr);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

void Win32Form1Window::invalidate(const PixelRect& rect) {
    if (hwnd_ == nullptr || rect.width <= 0 || rect.height <= 0) return;
    const RECT r = toRect(rect);
    InvalidateRect(hwnd_, &r, FALSE);
}

// --- Painting ---

void Win32Form1Window::paint(HDC dc, const RECT& area) const {
    fill(dc, area, GetSysColor(COLOR_BTNFACE));
    SetBkMode(dc, TRANSPARENT);
    paintScene(dc, scene(picture_), dpi_, fonts_);
    // In front of all, and overlapping nothing.
    paintGroupBox(dc, clientDeviceRect(ControlId::Frame1, dpi_),
                  widen(picture_.captions[indexOf(ControlId::Frame1)]), fonts_.defaultFont(),
                  buttonTheme_.get(), dpi_);
}

}  // namespace thermo::win32
