#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "hid/thermometer.h"

namespace thermo::hid {

// A failed platform operation. what() names the call, the object and the system's reason, as
// in "open /dev/hidraw3: Permission denied". Every operation below reports failure this way,
// except a report read, whose time-out and disconnection are ordinary outcomes (ReadOutcome).
// Where the user can fix the cause (access to a device node), hint() says how.
class PlatformError : public std::runtime_error {
  public:
    explicit PlatformError(const std::string& what, std::string hint = {})
        : std::runtime_error(what), hint_(std::move(hint)) {}

    const std::string& hint() const { return hint_; }

  private:
    std::string hint_;
};

struct DeviceIds {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    friend bool operator==(const DeviceIds&, const DeviceIds&) = default;
};

inline constexpr DeviceIds kThermometerIds{kThermometerVendorId, kThermometerProductId};

inline bool isThermometer(const DeviceIds& ids) { return ids == kThermometerIds; }

// One HID interface present now.
struct InterfaceEntry {
    std::string path;
    // Where the platform can tell the ids without opening the interface (Linux's sysfs), it does,
    // so that interfaces that are not ours are never opened; otherwise no value.
    std::optional<DeviceIds> ids;
    // The USB port the interface's device is plugged into, the one identity of a probe that
    // outlives a replug ("1-2", "3-1.4" on Linux; the location path on Windows). Empty where the
    // platform cannot tell, never a guess.
    std::string port;
};

// An open handle on a HID interface. Destroying it closes it.
class Handle {
  public:
    virtual ~Handle() = default;
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
};

// What a report wait is done with; created once per process. Besides waiting for reports it can
// be woken from another thread (wake()), which ends a pending read at once with
// ReadOutcome::Woken, and every later one too: used when the window closes during a read.
class WaitEvent {
  public:
    virtual ~WaitEvent() = default;
    WaitEvent() = default;
    WaitEvent(const WaitEvent&) = delete;
    WaitEvent& operator=(const WaitEvent&) = delete;

    // Thread-safe.
    virtual void wake() = 0;
};

enum class OpenMode {
    Plain,       // for the id and capability queries
    ForReports,  // for reads that can be waited on with a time-out and cancelled
};

enum class ReadOutcome {
    Report,    // a report is in the buffer
    TimedOut,  // nothing arrived within the time-out; the device is still there as far as we know
    Gone,      // the device has gone, or the read failed: treat the device as unplugged
    Woken,     // WaitEvent::wake() was called
};

struct ReadResult {
    ReadOutcome outcome = ReadOutcome::TimedOut;
    std::size_t bytes = 0;  // with Report: bytes delivered, report id byte included
    std::string error;      // with Gone: the call and the system's reason
};

// The operations the device module needs of a HID layer, and no more. One implementation per
// platform (hid/linux, hid/windows), picked by CMake; tests use a fake.
class Platform {
  public:
    virtual ~Platform() = default;

    // The HID interfaces present now, in the platform's enumeration order. Entries the platform
    // cannot make sense of are left out rather than reported.
    virtual std::vector<InterfaceEntry> listInterfaces() = 0;

    // Opens an interface by path for reading and writing, shared for both.
    virtual std::unique_ptr<Handle> open(const std::string& path, OpenMode mode) = 0;

    // The vendor and product ids of the open interface.
    virtual DeviceIds readIds(Handle& handle) = 0;

    // Bytes of one input report as the read delivers it, the report id byte included (so one
    // more than the longest input report when the device uses no report ids). 0 when the
    // device's description gives no usable input report.
    virtual int inputReportLength(Handle& handle) = 0;

    virtual std::unique_ptr<WaitEvent> createReportEvent() = 0;

    // Reads one input report into `buffer` (buffer.size() is the input report length), report id
    // byte at index 0: a device without report ids gets 0 there and its data from index 1. If
    // reports are already queued, the newest of them is delivered and the older ones dropped, so
    // the reading is never stale; otherwise waits at most `timeout`. On TimedOut or Gone nothing
    // is left pending. A pending read ends at once when the device goes (Gone), and a device
    // that has gone is Gone at once, whatever reports it queued before it went.
    virtual ReadResult readReport(Handle& reportHandle, WaitEvent& event,
                                  std::span<std::uint8_t> buffer,
                                  std::chrono::milliseconds timeout) = 0;
};

// The platform the program runs on (hid/linux or hid/windows, whichever CMake built).
std::unique_ptr<Platform> makeNativePlatform();

}  // namespace thermo::hid
