#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "os/error_text.h"
#include "os/windows/windows.h"

namespace thermo::os {

// UTF-8, the program's own encoding, to the UTF-16 of the wide API.
inline std::wstring widen(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int size =
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(size, 0)), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                          size);
    return wide;
}

// UTF-16 from the wide API to UTF-8.
inline std::string narrow(std::wstring_view wide) {
    if (wide.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(std::max(size, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size,
                          nullptr, nullptr);
    return utf8;
}

// Windows error numbers in the system's own words, in the user's language, as UTF-8, without the
// trailing period and line break, and with the number: "Accès refusé (error 5)". The standard
// library's system_category builds its texts in the ANSI code page instead, which garbles every
// letter beyond ASCII in a window that shows UTF-8.
class WindowsErrorCategory : public std::error_category {
  public:
    const char* name() const noexcept override { return "windows"; }
    std::string message(int error) const override {
        wchar_t* text = nullptr;
        const DWORD length = ::FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        const std::unique_ptr<wchar_t, decltype(&::LocalFree)> owner(text, &::LocalFree);
        std::wstring_view words(text, length);
        while (!words.empty() && (words.back() == L'\r' || words.back() == L'\n' ||
                                  words.back() == L' ' || words.back() == L'.')) {
            words.remove_suffix(1);
        }
        const std::string utf8 = narrow(words);
        // Shown as the DWORD it is, so that a number with the top bit set does not turn negative.
        return (utf8.empty() ? "Unknown error" : utf8) + " (error " +
               std::to_string(static_cast<DWORD>(error)) + ")";
    }
};

inline const std::error_category& windowsErrorCategory() {
    static const WindowsErrorCategory category;
    return category;
}

// An error code (GetLastError, a HRESULT-free Win32 number) in that category.
inline std::error_code windowsError(DWORD error) {
    return {static_cast<int>(error), windowsErrorCategory()};
}

// "<call> <object>: <reason>" for a Windows error number (GetLastError): "CreateEventA report
// event: Access is denied (error 5)".
inline std::string callFailed(std::string_view call, std::string_view object, DWORD error) {
    return callFailed(call, object, windowsError(error));
}

}  // namespace thermo::os
