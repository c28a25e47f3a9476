#pragma once

// The Windows headers the HID layer needs, in the order they must come, and small owners for
// the handles of the set-up service and the HID class library (kernel handles: os::UniqueHandle).

#include "os/windows/windows.h"
// clang-format off: setupapi.h needs windows.h first.
#include <cfgmgr32.h>
#include <setupapi.h>
// clang-format on

// mingw-w64's HID headers declare their functions without C linkage.
extern "C" {
#include <hidsdi.h>
}

#include <memory>
#include <type_traits>

namespace thermo::hid::win32 {

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
