// The Win32 window as Form1's view, driven directly: captions, the timer, the window's thread and
// the deferred close. Its pixels and a whole run of the program are checked in Xvfb
// (desktop_test.cpp).

#include "window/win32/win32_form1_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/support/fake_view.h"
#include "window/scale_geometry.h"
#include "window/win32/resources.h"

#include "tests/support/wait_until.h"

namespace thermo::win32 {
namespace {

using Clock = std::chrono::steady_clock;

class Win32WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        try {
            window_ = std::make_unique<Win32Form1Window>(GetModuleHandleW(nullptr));
        } catch (const std::runtime_error& error) {
            GTEST_SKIP() << "needs a window station that can create windows: " << error.what();
        }
    }

    // Plays the program's message loop until `done` holds or the time is up.
    template <typename Condition>
    bool pumpUntil(Condition done, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (!done()) {
            if (Clock::now() > deadline) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
            MSG message{};
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                if (message.message == WM_QUIT) {
                    quit_ = true;
                    continue;
                }
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        return true;
    }

    HWND button(ControlId id) const {
        return GetDlgItem(window_->handle(), 100 + static_cast<int>(id));
    }

    // The message IsDialogMessageW gets for a key pressed on the focused control.
    bool pressKey(WPARAM key) {
        MSG message{};
        message.hwnd = GetFocus();
        message.message = WM_KEYDOWN;
        message.wParam = key;
        message.lParam = 1;  // pressed once
        return IsDialogMessageW(window_->handle(), &message) != FALSE;
    }

    std::wstring buttonText(ControlId id) const {
        HWND button = this->button(id);
        wchar_t text[64] = {};
        GetWindowTextW(button, text, 64);
        return text;
    }

    std::unique_ptr<Win32Form1Window> window_;
    bool quit_ = false;
};

TEST_F(Win32WindowTest, OpensWithTheLaidOutCaptions) {
    EXPECT_EQ(window_->caption(ControlId::cmdOn), "START");
    EXPECT_EQ(window_->caption(ControlId::Command2), "0 \302\260C");
    EXPECT_EQ(window_->caption(ControlId::Label5), "130.0");
    EXPECT_EQ(window_->caption(ControlId::Label11), " \302\260F");
    EXPECT_EQ(buttonText(ControlId::Command3), L"100 \u00B0C");

    wchar_t title[64] = {};
    GetWindowTextW(window_->handle(), title, 64);
    EXPECT_STREQ(title, L"USB Thermometer");
}

TEST_F(Win32WindowTest, ClientAreaIsTheLaidOutSizeAtTheScreensDpi) {
    RECT client{};
    GetClientRect(window_->handle(), &client);
    EXPECT_EQ(client.right, MulDiv(3900, window_->dpi(), 1440));
    EXPECT_EQ(client.bottom, MulDiv(4815, window_->dpi(), 1440));
    const LONG style = GetWindowLongW(window_->handle(), GWL_STYLE);
    EXPECT_EQ(style & WS_THICKFRAME, 0) << "the border must be fixed";
    EXPECT_EQ(style & WS_MAXIMIZEBOX, 0);
}

TEST_F(Win32WindowTest, ButtonCaptionsAreWhatTheButtonShows) {
    window_->setCaption(ControlId::cmdOn, "STOP");
    EXPECT_EQ(window_->caption(ControlId::cmdOn), "STOP");
    EXPECT_EQ(buttonText(ControlId::cmdOn), L"STOP");
}

TEST_F(Win32WindowTest, ButtonsComeInTheLaidOutTabOrder) {
    HWND hwnd = window_->handle();
    HWND first = GetNextDlgTabItem(hwnd, nullptr, FALSE);
    HWND second = GetNextDlgTabItem(hwnd, first, FALSE);
    HWND third = GetNextDlgTabItem(hwnd, second, FALSE);
    EXPECT_EQ(GetDlgCtrlID(first), 100 + static_cast<int>(ControlId::cmdOn));
    EXPECT_EQ(GetDlgCtrlID(second), 100 + static_cast<int>(ControlId::Command2));
    EXPECT_EQ(GetDlgCtrlID(third), 100 + static_cast<int>(ControlId::Command3));
    EXPECT_EQ(GetNextDlgTabItem(hwnd, third, FALSE), first);
}

TEST_F(Win32WindowTest, ClickReachesTheBehaviourWithTheControl) {
    std::optional<ControlId> clicked;
    window_->setEvents({[&](ControlId id) { clicked = id; }, {}, {}});
    HWND button = GetDlgItem(window_->handle(), 100 + static_cast<int>(ControlId::Command3));
    SendMessageW(button, BM_CLICK, 0, 0);
    ASSERT_TRUE(clicked.has_value());
    EXPECT_EQ(*clicked, ControlId::Command3);
}

// The buttons report focus changes (BS_NOTIFY), which turns the second click of a double click
// into BN_DOUBLECLICKED; it is still a click.
TEST_F(Win32WindowTest, DoubleClickIsTwoClicks) {
    int clicks = 0;
    window_->setEvents({[&](ControlId) { ++clicks; }, {}, {}});
    window_->show(SW_SHOW);
    HWND start = button(ControlId::cmdOn);
    for (UINT down : {WM_LBUTTONDOWN, WM_LBUTTONDBLCLK}) {
        SendMessageW(start, down, MK_LBUTTON, MAKELPARAM(2, 2));
        SendMessageW(start, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
    }
    EXPECT_EQ(clicks, 2);
}

TEST_F(Win32WindowTest, TimerTicksOnlyWhileEnabled) {
    int ticks = 0;
    window_->setEvents({{}, [&] { ++ticks; }, {}});
    window_->setTimerEnabled(true);
    const auto start = Clock::now();
    ASSERT_TRUE(pumpUntil([&] { return ticks >= 1; }, thermo::testing::kPatience));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900)) << "interval is 1000 ms";

    window_->setTimerEnabled(false);
    const int seen = ticks;
    pumpUntil([] { return false; }, std::chrono::milliseconds(1300));
    EXPECT_EQ(ticks, seen);
}

// The tick's worker hands its result back through this: a task from another thread runs later,
// in the message loop.
TEST_F(Win32WindowTest, TaskFromAnotherThreadRunsInTheMessageLoop) {
    std::optional<std::thread::id> ranOn;
    std::thread([&] {
        window_->runOnWindowThread([&] { ranOn = std::this_thread::get_id(); });
    }).join();
    EXPECT_FALSE(ranOn.has_value()) << "ran inside the call";
    ASSERT_TRUE(pumpUntil([&] { return ranOn.has_value(); }, thermo::testing::kPatience));
    EXPECT_EQ(*ranOn, std::this_thread::get_id());
}

TEST_F(Win32WindowTest, TaskStillWaitingWhenTheWindowGoesNeverRuns) {
    bool ran = false;
    window_->runOnWindowThread([&] { ran = true; });
    window_->closeWindow();
    window_->runOnWindowThread([&] { ran = true; });  // refused: the window has gone
    pumpUntil([&] { return quit_; }, thermo::testing::kPatience);
    EXPECT_FALSE(ran);
}

TEST_F(Win32WindowTest, CloseWaitsForTheBehavioursConsent) {
    bool allow = false;
    int asked = 0;
    window_->setEvents({{}, {}, [&] {
                            ++asked;
                            return allow;
                        }});
    SendMessageW(window_->handle(), WM_CLOSE, 0, 0);
    EXPECT_EQ(asked, 1);
    EXPECT_NE(window_->handle(), nullptr) << "closed while the behaviour held it open";

    // As after a tick that held the close: the behaviour closes the window itself.
    window_->closeWindow();
    EXPECT_EQ(window_->handle(), nullptr);
    EXPECT_TRUE(pumpUntil([&] { return quit_; }, thermo::testing::kPatience));
}

TEST_F(Win32WindowTest, CloseAllowedAtOnceEndsTheProgram) {
    window_->setEvents({{}, {}, [] { return true; }});
    SendMessageW(window_->handle(), WM_CLOSE, 0, 0);
    EXPECT_EQ(window_->handle(), nullptr);
    EXPECT_TRUE(pumpUntil([&] { return quit_; }, thermo::testing::kPatience));
}

TEST_F(Win32WindowTest, DecimalSeparatorIsTheLocales) {
    wchar_t expected[8] = {};
    GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, expected, 8);
    EXPECT_EQ(widen(window_->decimalSeparator()), std::wstring(expected));
}

// --- Keyboard, as in a dialog ---

class KeyboardTest : public Win32WindowTest, public ::testing::WithParamInterface<ControlId> {};

// Wherever the focus goes, that button becomes the default one and draws the default outline;
// the others give it up.
TEST_P(KeyboardTest, FocusedButtonIsTheDefaultOneAndEnterPressesIt) {
    std::vector<ControlId> clicked;
    window_->setEvents({[&](ControlId id) { clicked.push_back(id); }, {}, {}});
    window_->show(SW_SHOW);
    SetFocus(button(GetParam()));
    ASSERT_EQ(GetFocus(), button(GetParam()));

    const LRESULT defId = SendMessageW(window_->handle(), DM_GETDEFID, 0, 0);
    EXPECT_EQ(HIWORD(defId), DC_HASDEFID);
    EXPECT_EQ(LOWORD(defId), GetDlgCtrlID(button(GetParam())));
    for (ControlId id : {ControlId::cmdOn, ControlId::Command2, ControlId::Command3}) {
        const LONG type = GetWindowLongW(button(id), GWL_STYLE) & BS_TYPEMASK;
        EXPECT_EQ(type, id == GetParam() ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON)
            << "button " << static_cast<int>(id);
    }

    EXPECT_TRUE(pressKey(VK_RETURN));
    EXPECT_EQ(clicked, std::vector<ControlId>{GetParam()});
}

INSTANTIATE_TEST_SUITE_P(EachButton, KeyboardTest,
                         ::testing::Values(ControlId::cmdOn, ControlId::Command2,
                                           ControlId::Command3),
                         [](const auto& info) { return controlName(info.param); });

// --- Icon, painting for themed controls, dpi ---

// The test program carries the program's icon under the same id (test_icon.rc).
TEST_F(Win32WindowTest, WindowClassUsesTheProgramsIcon) {
    const auto classIcon = reinterpret_cast<HICON>(GetClassLongPtrW(window_->handle(), GCLP_HICON));
    const auto ownIcon = static_cast<HICON>(
        LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(THERMO_ICON_ID), IMAGE_ICON,
                   GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), LR_SHARED));
    ASSERT_NE(ownIcon, nullptr);
    EXPECT_EQ(classIcon, ownIcon);
    EXPECT_NE(GetClassLongPtrW(window_->handle(), GCLP_HICONSM), 0U);
}

// A themed button paints the window behind its rounded corners through WM_PRINTCLIENT.
TEST_F(Win32WindowTest, PrintClientPaintsTheWindowIntoTheGivenDc) {
    RECT client{};
    GetClientRect(window_->handle(), &client);
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, client.right, client.bottom);
    ReleaseDC(nullptr, screen);
    HGDIOBJ previous = SelectObject(dc, bitmap);
    RECT all{0, 0, client.right, client.bottom};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));

    SendMessageW(window_->handle(), WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
    const PixelRect bar = clientDeviceRect(ControlId::Shape4, window_->dpi());
    const PixelRect cmdOn = clientDeviceRect(ControlId::cmdOn, window_->dpi());
    const COLORREF inBar = GetPixel(dc, bar.left + bar.width / 2, bar.top + bar.height / 2);
    const COLORREF besideButton = GetPixel(dc, cmdOn.left - 1, cmdOn.top + cmdOn.height / 2);
    SelectObject(dc, previous);
    DeleteObject(bitmap);
    DeleteDC(dc);

    EXPECT_EQ(inBar, RGB(255, 0, 0)) << "the mercury bar";
    EXPECT_EQ(besideButton, GetSysColor(COLOR_BTNFACE)) << "the window's background";
}

// Moved to a monitor of another dpi: Windows sends WM_DPICHANGED with the rectangle to take.
// Wine has one dpi for all screens and never sends it, so the test does.
class DpiChangeTest : public Win32WindowTest, public ::testing::WithParamInterface<int> {};

TEST_P(DpiChangeTest, LaysTheWindowOutAgainAtTheNewDpi) {
    const int dpi = GetParam();
    HWND hwnd = window_->handle();
    const int dpiBefore = window_->dpi();
    RECT before{};
    GetWindowRect(hwnd, &before);
    const HFONT fontBefore =
        reinterpret_cast<HFONT>(SendMessageW(button(ControlId::cmdOn), WM_GETFONT, 0, 0));
    LOGFONTW logFontBefore{};
    ASSERT_NE(GetObjectW(fontBefore, sizeof(logFontBefore), &logFontBefore), 0);

    // The window asks for the frame around the layout's client area at the new dpi...
    SIZE size{};
    ASSERT_TRUE(SendMessageW(hwnd, WM_GETDPISCALEDSIZE, static_cast<WPARAM>(dpi),
                             reinterpret_cast<LPARAM>(&size)));
    RECT frame{0, 0, twipsToDevice(kClientWidthTwips, dpi), twipsToDevice(kClientHeightTwips, dpi)};
    ASSERT_TRUE(AdjustWindowRectExForDpi(&frame, GetWindowLongW(hwnd, GWL_STYLE), FALSE,
                                         GetWindowLongW(hwnd, GWL_EXSTYLE), dpi));
    EXPECT_EQ(size.cx, frame.right - frame.left);
    EXPECT_EQ(size.cy, frame.bottom - frame.top);
    // ...and Windows suggests a rectangle of that size.
    RECT suggested{before.left + 7, before.top + 5, before.left + 7 + size.cx,
                   before.top + 5 + size.cy};
    SendMessageW(hwnd, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));

    EXPECT_EQ(window_->dpi(), dpi);
    RECT after{};
    GetWindowRect(hwnd, &after);
    EXPECT_TRUE(EqualRect(&after, &suggested)) << "the suggested rectangle is taken";
    for (ControlId id : {ControlId::cmdOn, ControlId::Command2, ControlId::Command3}) {
        RECT r{};
        GetWindowRect(button(id), &r);
        MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&r), 2);
        const PixelRect expected = clientDeviceRect(id, dpi);
        EXPECT_EQ((PixelRect{r.left, r.top, r.right - r.left, r.bottom - r.top}), expected)
            << "button " << static_cast<int>(id);
    }
    // The buttons' font is made again for the new dpi: larger on a denser screen.
    const HFONT font =
        reinterpret_cast<HFONT>(SendMessageW(button(ControlId::cmdOn), WM_GETFONT, 0, 0));
    LOGFONTW logFont{};
    ASSERT_NE(GetObjectW(font, sizeof(logFont), &logFont), 0);
    const int heightBefore = std::abs(logFontBefore.lfHeight);
    const int height = std::abs(logFont.lfHeight);
    if (dpi > dpiBefore) {
        EXPECT_GT(height, heightBefore);
    } else if (dpi == dpiBefore) {
        EXPECT_EQ(height, heightBefore);
    }
}

INSTANTIATE_TEST_SUITE_P(Dpi, DpiChangeTest, ::testing::Values(120, 144, 192, 96));

}  // namespace
}  // namespace thermo::win32
