#include "hid/hidusb.h"

#include <algorithm>

namespace thermo::hid {

namespace {

// The platform counts the length as a signed 16-bit number; anything outside 1..32767 cannot be
// a report we could read.
constexpr int kMaxReportLength = 0x7FFF;

std::string describe(const PlatformError& error) {
    std::string text = error.what();
    if (!error.hint().empty()) text += " \u2014 " + error.hint();
    return text;
}

}  // namespace

HIDusb::HIDusb(Platform& platform) : platform_(platform) {}

bool HIDusb::FindThermometer() {
    DevicePresent = false;
    LastProblem.clear();
    // Callers only search while absent, but whatever is still held must not leak.
    ReleaseDevice();

    std::vector<InterfaceEntry> interfaces;
    try {
        interfaces = platform_.listInterfaces();
    } catch (const PlatformError& error) {
        // A list that cannot be had holds no thermometer: the search finds nothing, at start-up
        // as in a tick, and the next search tries again.
        NoteProblem(describe(error));
        return false;
    }
    for (const InterfaceEntry& entry : interfaces) {
        // Ids the listing already knows spare us opening other people's devices.
        if (entry.ids && !isThermometer(*entry.ids)) continue;
        if (TakeIfThermometer(entry)) break;
    }
    if (DevicePresent) LastProblem.clear();
    return DevicePresent;
}

// Opens the interface, identifies it by its own ids and, when it is the thermometer, makes it
// the device: both handles open, the report length known, the report event ready. Anything short
// of that leaves nothing open.
bool HIDusb::TakeIfThermometer(const InterfaceEntry& entry) {
    // Only a failure on an interface known to be ours is worth explaining; where the listing
    // cannot tell ids, every keyboard the system keeps to itself would fail to open too.
    const bool knownOurs = entry.ids.has_value();

    std::unique_ptr<Handle> device;
    try {
        device = platform_.open(entry.path, OpenMode::Plain);
    } catch (const PlatformError& error) {
        if (knownOurs) NoteProblem(describe(error));
        return false;
    }

    DeviceIds ids;
    try {
        ids = platform_.readIds(*device);
    } catch (const PlatformError& error) {
        if (knownOurs) NoteProblem(describe(error));
        return false;
    }
    if (!isThermometer(ids)) return false;

    DeviceHandle = std::move(device);
    try {
        ReadCapabilities();
    } catch (const PlatformError& error) {
        NoteProblem(describe(error));
        DeviceCaps = {};
    }
    const int n = DeviceCaps.InputReportByteLength;
    if (n <= 0 || n > kMaxReportLength) {
        NoteProblem(entry.path + ": its report description gives no usable input report");
        ReleaseDevice();
        return false;
    }

    try {
        ReportHandle = platform_.open(entry.path, OpenMode::ForReports);
    } catch (const PlatformError& error) {
        NoteProblem(describe(error));
        ReleaseDevice();
        return false;
    }

    try {
        PrepareReadEvent();
    } catch (...) {
        ReleaseDevice();
        throw;
    }
    DevicePath = entry.path;
    DevicePort = entry.port;
    DevicePresent = true;
    return true;
}

void HIDusb::ReadCapabilities() {
    DeviceCaps.InputReportByteLength = platform_.inputReportLength(*DeviceHandle);
}

void HIDusb::PrepareReadEvent() {
    std::lock_guard lock(wakeMutex_);
    if (ReportEvent) return;
    ReportEvent = platform_.createReportEvent();
    // A close that came while there was no event yet must still end the coming read.
    if (wakeRequested_) ReportEvent->wake();
}

void HIDusb::PollThermometer() {
    if (!DevicePresent) DevicePresent = FindThermometer();
    if (DevicePresent) ReadInputReport();
}

void HIDusb::ReadInputReport() {
    const int n = DeviceCaps.InputReportByteLength;
    ReportBuffer.reset();
    LastRead = {};
    if (n <= 0 || !ReportHandle || !ReportEvent) {
        // Not reachable through FindThermometer; never read without a device to read from.
        ReleaseDevice();
        return;
    }

    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(n), std::uint8_t{0});
    try {
        LastRead = platform_.readReport(*ReportHandle, *ReportEvent, buffer, ReadTimeout);
    } catch (const PlatformError& error) {
        // A wait that fails in itself says no more about the device than a time-out does.
        LastRead = {.outcome = ReadOutcome::Gone, .bytes = 0, .error = error.what()};
    }

    if (LastRead.outcome == ReadOutcome::Report) {
        // A real device always sends whole reports of its description's length; a short one
        // is a failed read, though the device is still there.
        if (LastRead.bytes >= buffer.size()) ReportBuffer = std::move(buffer);
        return;
    }
    // Timed out, gone or woken for closing: nothing of the read is kept, and the device is
    // given up until the next search.
    ReleaseDevice();
}

void HIDusb::CloseHandles() { ReleaseDevice(); }

void HIDusb::WakePendingRead() {
    std::lock_guard lock(wakeMutex_);
    wakeRequested_ = true;
    if (ReportEvent) ReportEvent->wake();
}

void HIDusb::ReleaseDevice() {
    DevicePresent = false;
    DeviceHandle.reset();
    ReportHandle.reset();
}

void HIDusb::NoteProblem(const std::string& problem) {
    if (!LastProblem.empty()) LastProblem += '\n';
    LastProblem += problem;
}

}  // namespace thermo::hid
