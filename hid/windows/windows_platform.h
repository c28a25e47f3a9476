#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "hid/hid_platform.h"
#include "hid/windows/win32_api.h"
#include "os/windows/text.h"
#include "os/windows/unique_handle.h"

namespace thermo::hid {

// An open HID interface (or, in tests, anything ReadFile can read overlapped: a pipe end).
class WindowsHandle : public Handle {
  public:
    // Takes `handle` over; `path` names it in error texts.
    WindowsHandle(os::UniqueHandle handle, std::string path)
        : handle_(std::move(handle)), path_(std::move(path)) {}

    HANDLE get() const { return handle_.get(); }
    const std::string& path() const { return path_; }

  private:
    os::UniqueHandle handle_;
    std::string path_;
};

// The report event and the wake event a report wait waits on together.
class WindowsWaitEvent : public WaitEvent {
  public:
    // Throws PlatformError when an event cannot be created.
    WindowsWaitEvent();

    void wake() override;
    bool woken() const;

    // Manual-reset; signalled when a read completes, reset after every read.
    HANDLE reportEvent() const { return report_.get(); }
    HANDLE wakeEvent() const { return wake_.get(); }

  private:
    os::UniqueHandle report_;
    os::UniqueHandle wake_;
};

// The HID layer of Windows: interfaces from the device set-up service, ids and report length
// from the HID class library, reports through overlapped ReadFile.
class WindowsPlatform : public Platform {
  public:
    std::vector<InterfaceEntry> listInterfaces() override;
    std::unique_ptr<Handle> open(const std::string& path, OpenMode mode) override;
    DeviceIds readIds(Handle& handle) override;
    int inputReportLength(Handle& handle) override;
    std::unique_ptr<WaitEvent> createReportEvent() override;
    ReadResult readReport(Handle& reportHandle, WaitEvent& event, std::span<std::uint8_t> buffer,
                          std::chrono::milliseconds timeout) override;
};

// Reads the newest input report from a handle opened with FILE_FLAG_OVERLAPPED (the work of
// WindowsPlatform::readReport). Reports the driver has queued are read in turn while they
// complete at once, and only the last is kept; with none queued, waits at most `timeout` for the
// next. Returns only when no read is outstanding.
ReadResult readNewestReport(const WindowsHandle& handle, const WindowsWaitEvent& event,
                            std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout);

}  // namespace thermo::hid
