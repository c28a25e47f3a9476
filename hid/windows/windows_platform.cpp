#include "hid/windows/windows_platform.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <optional>

namespace thermo::hid {

namespace {

using os::callFailed;

const WindowsHandle& asWindows(const Handle& handle) {
    return dynamic_cast<const WindowsHandle&>(handle);
}

// The path of the interface at `index` of the set, or no value when it cannot be had (it went
// between the enumeration and the query).
std::optional<std::string> interfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData,
                                         SP_DEVINFO_DATA& device) {
    DWORD required = 0;
    // Asked without a buffer, the call fails by design and reports the size it needs.
    SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &required, nullptr);
    constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    if (required <= kPathOffset) {
        return std::nullopt;
    }
    // DWORD elements keep the record's size field aligned.
    std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD) + 1, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
    // The size of the record's fixed part as this process's ABI lays it out (8 in a 64-bit
    // process), not the size of the buffer.
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    device.cbSize = sizeof(device);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, required, nullptr,
                                          &device)) {
        return std::nullopt;
    }
    const std::size_t room = required - kPathOffset;
    std::string path(detail->DevicePath, strnlen(detail->DevicePath, room));
    if (path.empty()) {
        return std::nullopt;
    }
    return path;
}

// The node's device instance id, upper-cased ("USB\VID_04D8&PID_0002\5&1A2B3C4D&0&2"); empty
// when it cannot be had.
std::string deviceId(DEVINST node) {
    char id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Device_IDA(node, id, sizeof(id), 0) != CR_SUCCESS) return {};
    std::string text(id, strnlen(id, sizeof(id)));
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::optional<DEVINST> parentOnUsb(DEVINST node) {
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return std::nullopt;
    if (deviceId(parent).rfind("USB\\", 0) != 0) return std::nullopt;
    return parent;
}

// The USB device a HID collection belongs to: its parent, or, for one interface of a composite
// device (USB\VID_...&PID_...&MI_00), that interface's parent. No value off USB.
std::optional<DEVINST> usbDevice(DEVINST hidCollection) {
    std::optional<DEVINST> parent = parentOnUsb(hidCollection);
    if (parent && deviceId(*parent).find("&MI_") != std::string::npos)
        parent = parentOnUsb(*parent);
    return parent;
}

// The first of the node's location paths ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)"), the one
// name of a USB port that outlives a replug; empty where the system keeps none.
std::string locationPath(DEVINST node) {
    ULONG type = 0;
    ULONG size = 0;
    if (CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_LOCATION_PATHS, &type, nullptr, &size, 0) !=
            CR_BUFFER_SMALL ||
        size == 0) {
        return {};
    }
    std::vector<char> paths(size, '\0');
    if (CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_LOCATION_PATHS, &type, paths.data(), &size,
                                          0) != CR_SUCCESS ||
        type != REG_MULTI_SZ) {
        return {};
    }
    return std::string(paths.data(),
                       strnlen(paths.data(), std::min<std::size_t>(size, paths.size())));
}

std::string usbPort(const SP_DEVINFO_DATA& hidCollection) {
    const std::optional<DEVINST> usb = usbDevice(hidCollection.DevInst);
    return usb ? locationPath(*usb) : std::string();
}

// HidP_ calls answer with an NTSTATUS of their own, which FormatMessage does not know.
std::string hidpStatusText(NTSTATUS status) {
    char hex[16];
    std::snprintf(hex, sizeof(hex), "%08lX", static_cast<unsigned long>(status));
    return std::string("HIDP status 0x") + hex;
}

}  // namespace

std::vector<InterfaceEntry> WindowsPlatform::listInterfaces() {
    GUID hidClass{};
    HidD_GetHidGuid(&hidClass);

    win32::UniqueDeviceInfoList set(
        SetupDiGetClassDevsA(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (set.get() == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        set.release();
        throw PlatformError(callFailed("SetupDiGetClassDevsA", "HID interfaces", error));
    }

    std::vector<InterfaceEntry> entries;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof(interfaceData);
        // Any failure ends the list, not only ERROR_NO_MORE_ITEMS: a set that cannot be walked
        // further has nothing more to offer.
        if (!SetupDiEnumDeviceInterfaces(set.get(), nullptr, &hidClass, index, &interfaceData)) {
            break;
        }
        SP_DEVINFO_DATA device{};
        if (auto path = interfacePath(set.get(), interfaceData, device)) {
            // The interface path carries no promise about its format, so the ids are asked of
            // the device itself.
            entries.push_back(InterfaceEntry{std::move(*path), std::nullopt, usbPort(device)});
        }
    }
    return entries;
}

std::unique_ptr<Handle> WindowsPlatform::open(const std::string& path, OpenMode mode) {
    SECURITY_ATTRIBUTES security = win32::nonInheritable();
    const DWORD flags = mode == OpenMode::ForReports ? FILE_FLAG_OVERLAPPED : 0;
    os::UniqueHandle handle(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, &security,
                                        OPEN_EXISTING, flags, nullptr));
    if (!handle) {
        throw PlatformError(callFailed("CreateFileA", path, GetLastError()));
    }
    return std::make_unique<WindowsHandle>(std::move(handle), path);
}

DeviceIds WindowsPlatform::readIds(Handle& handle) {
    const WindowsHandle& h = asWindows(handle);
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof(attributes);
    if (!HidD_GetAttributes(h.get(), &attributes)) {
        throw PlatformError(callFailed("HidD_GetAttributes", h.path(), GetLastError()));
    }
    return DeviceIds{attributes.VendorID, attributes.ProductID};
}

int WindowsPlatform::inputReportLength(Handle& handle) {
    const WindowsHandle& h = asWindows(handle);
    PHIDP_PREPARSED_DATA raw = nullptr;
    if (!HidD_GetPreparsedData(h.get(), &raw)) {
        throw PlatformError(callFailed("HidD_GetPreparsedData", h.path(), GetLastError()));
    }
    win32::UniquePreparsedData preparsed(raw);
    HIDP_CAPS caps{};
    const NTSTATUS status = HidP_GetCaps(preparsed.get(), &caps);
    if (status != HIDP_STATUS_SUCCESS) {
        throw PlatformError(callFailed("HidP_GetCaps", h.path(), hidpStatusText(status)));
    }
    // The HID class driver counts the report id byte in, also for a device without ids (it then
    // puts 0 there), which is the length the read delivers.
    return caps.InputReportByteLength;
}

WindowsWaitEvent::WindowsWaitEvent() {
    SECURITY_ATTRIBUTES security = win32::nonInheritable();
    // Manual reset, created signalled, unnamed.
    report_.reset(CreateEventA(&security, TRUE, TRUE, nullptr));
    if (!report_) {
        throw PlatformError(callFailed("CreateEventA", "report event", GetLastError()));
    }
    wake_.reset(CreateEventA(&security, TRUE, FALSE, nullptr));
    if (!wake_) {
        throw PlatformError(callFailed("CreateEventA", "wake event", GetLastError()));
    }
}

void WindowsWaitEvent::wake() { SetEvent(wake_.get()); }

bool WindowsWaitEvent::woken() const {
    return WaitForSingleObject(wake_.get(), 0) == WAIT_OBJECT_0;
}

std::unique_ptr<WaitEvent> WindowsPlatform::createReportEvent() {
    return std::make_unique<WindowsWaitEvent>();
}

ReadResult WindowsPlatform::readReport(Handle& reportHandle, WaitEvent& event,
                                       std::span<std::uint8_t> buffer,
                                       std::chrono::milliseconds timeout) {
    return readNewestReport(asWindows(reportHandle), dynamic_cast<WindowsWaitEvent&>(event), buffer,
                            timeout);
}

std::unique_ptr<Platform> makeNativePlatform() { return std::make_unique<WindowsPlatform>(); }

}  // namespace thermo::hid
