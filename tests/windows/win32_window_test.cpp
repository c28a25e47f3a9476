// The Win32 window as Form1's view, driven directly: captions, the timer, background work and the
// deferred close. Its pixels and a whole run of the program are checked in Xvfb
// (desktop_test.cpp).

#include "window/win32/win32_form1_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

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

    std::wstring buttonText(ControlId id) const {
        HWND button = GetDlgItem(window_->handle(), 100 + static_cast<int>(id));
        wchar_t text[64] = {};
        GetWindowTextW(button, text, 64);
        return text;
    }

    std::unique_ptr<Win32Form1Window> window_;
    bool quit_ = false;
};

TEST_F(Win32WindowTest, OpensWithTheLaidOutCaptions) {
    EXPECT_EQ(window_->caption(ControlId::cmdOn), "START");
    EXPECT_EQ(window_->caption(ControlId::Command2), "0 \u00B0C");
    EXPECT_EQ(window_->caption(ControlId::Label5), "130.0");
    EXPECT_EQ(window_->caption(ControlId::Label11), " \u00B0F");
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

TEST_F(Win32WindowTest, BackgroundWorkRunsAwayFromTheWindowAndReportsBackOnIt) {
    const std::thread::id windowThread = std::this_thread::get_id();
    std::thread::id workThread;
    std::optional<std::thread::id> doneThread;
    window_->runInBackground([&] { workThread = std::this_thread::get_id(); },
                             [&] { doneThread = std::this_thread::get_id(); });
    ASSERT_TRUE(pumpUntil([&] { return doneThread.has_value(); }, thermo::testing::kPatience));
    EXPECT_NE(workThread, windowThread);
    EXPECT_EQ(*doneThread, windowThread);

    // The next job may start once the last has reported.
    bool again = false;
    window_->runInBackground([] {}, [&] { again = true; });
    EXPECT_TRUE(pumpUntil([&] { return again; }, thermo::testing::kPatience));
}

// A tick waits for the device up to 6 s; the window must go on painting meanwhile.
TEST_F(Win32WindowTest, WindowAnswersWhileWorkIsRunning) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool done = false;
    window_->runInBackground([release] { WaitForSingleObject(release, 10000); },
                             [&] { done = true; });
    DWORD_PTR result = 0;
    EXPECT_NE(
        SendMessageTimeoutW(window_->handle(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &result), 0);
    EXPECT_FALSE(done);
    SetEvent(release);
    EXPECT_TRUE(pumpUntil([&] { return done; }, thermo::testing::kPatience));
    CloseHandle(release);
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

}  // namespace
}  // namespace thermo::win32
