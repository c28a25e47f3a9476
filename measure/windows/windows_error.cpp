#include "measure/windows/windows_error.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>

namespace thermo {

namespace {

std::string toUtf8(std::wstring_view wide) {
    if (wide.empty()) {
        return {};
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(std::max(size, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size,
                          nullptr, nullptr);
    return utf8;
}

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
        const std::string utf8 = toUtf8(words);
        return (utf8.empty() ? "Unknown error" : utf8) + " (error " + std::to_string(error) + ")";
    }
};

}  // namespace

const std::error_category& windowsErrorCategory() {
    static const WindowsErrorCategory category;
    return category;
}

}  // namespace thermo
