#pragma once

// The Windows headers the HID layer needs, in the order they must come, and small owners for
// the handles they hand out.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// clang-format off: setupapi.h needs windows.h first.
#include <setupapi.h>
// clang-format on

// mingw-w64's HID headers declare their functions without C linkage.
extern "C" {
#include <hidsdi.h>
}

#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

namespace thermo::hid::win32 {

// The system's text for an error code, as UTF-8 without the trailing period and line break, with
// the number after it: "Access is denied (error 5)".
std::string systemMessage(DWORD error);

// "<call> <object>: <system message>", the form every error of this layer takes.
std::string callFailed(std::string_view call, std::string_view object, DWORD error);

// Owns a kernel handle (file, event); closes it once.
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE release() {
        HANDLE h = handle_;
        handle_ = nullptr;
        return h;
    }
    void reset(HANDLE handle = nullptr) {
        if (*this) {
            CloseHandle(handle_);
        }
        handle_ = handle;
    }

  private:
    HANDLE handle_ = nullptr;
};

struct DeviceInfoListDeleter {
    void operator()(void* set) const { SetupDiDestroyDeviceInfoList(set); }
};
// HDEVINFO is a plain pointer; the set is destroyed with SetupDiDestroyDeviceInfoList.
using UniqueDeviceInfoList =
    std::unique_ptr<std::remove_pointer_t<HDEVINFO>, DeviceInfoListDeleter>;

struct PreparsedDataDeleter {
    void operator()(PHIDP_PREPARSED_DATA data) const { HidD_FreePreparsedData(data); }
};
using UniquePreparsedData =
    std::unique_ptr<std::remove_pointer_t<PHIDP_PREPARSED_DATA>, PreparsedDataDeleter>;

// Security attributes for every handle this layer creates: default security, and not inherited
// by child processes (the program starts none, and a device handle has no business in one).
inline SECURITY_ATTRIBUTES nonInheritable() {
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof(sa);
    sa.lpSecurityDescriptor = nullptr;
    sa.bInheritHandle = FALSE;
    return sa;
}

}  // namespace thermo::hid::win32
