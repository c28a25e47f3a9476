#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hid/hid_platform.h"
#include "hid/thermometer.h"

namespace thermo::hid {

inline constexpr std::chrono::milliseconds ReadTimeout{6000};

// The report length as the platform delivers it; only the input length is used.
struct HidCaps {
    int InputReportByteLength = 0;
};

// The device module: finds the thermometer, keeps it open and reads its reports. One instance
// lives as long as the program; its members are the module's state and start zero, empty or
// false. Not thread-safe: the window runs one operation at a time on it (possibly on a worker
// thread), and only WakePendingRead() may be called from elsewhere.
class HIDusb {
  public:
    explicit HIDusb(Platform& platform);

    // Searches the present interfaces for the thermometer; the first one whose own ids match is
    // opened twice (plainly and for reports) and taken. Returns DevicePresent. Only called while
    // DevicePresent is false.
    bool FindThermometer();

    // Searches again when the device is absent, then reads one report when it is present.
    void PollThermometer();

    // Closes both handles that are open (the window's unload). DevicePresent becomes false with
    // them: it is never true without both handles.
    void CloseHandles();

    // Wakes a read in progress from another thread; it and every later read end at once, also
    // when the report event does not exist yet. Thread-safe.
    void WakePendingRead();

    bool DevicePresent = false;
    std::unique_ptr<Handle> DeviceHandle;
    std::unique_ptr<Handle> ReportHandle;
    HidCaps DeviceCaps;
    // One input report, report id at index 0, of the device's input report length. No value
    // until a read has received a whole report, and none again after a read that received
    // nothing or less than a whole report: a buffer the read never filled holds no measurement,
    // and its zeros would convert to a confident temperature.
    std::optional<std::vector<std::uint8_t>> ReportBuffer;
    // How the last read ended (a Report with fewer bytes than the report length was cut short),
    // so that a caller can say why there is no report: unplugged, silent, or short.
    ReadResult LastRead;
    std::unique_ptr<WaitEvent> ReportEvent;
    // The path of the thermometer taken last; kept after it has gone, for messages.
    std::string DevicePath;
    // Its USB port (InterfaceEntry::port), kept the same way; empty where none is known.
    std::string DevicePort;

    // Why the last search did not take a thermometer that was there (it could not be opened,
    // or its description gives no input report), with the fix where there is one; empty when
    // there was nothing to explain.
    std::string LastProblem;

  private:
    bool TakeIfThermometer(const InterfaceEntry& entry);
    void ReadCapabilities();
    void PrepareReadEvent();
    void ReadInputReport();
    void ReleaseDevice();
    void NoteProblem(const std::string& problem);

    Platform& platform_;
    // Guards ReportEvent's creation against WakePendingRead from another thread.
    std::mutex wakeMutex_;
    bool wakeRequested_ = false;
};

}  // namespace thermo::hid
