#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "hid/thermometer.h"
#include "tools/thermometer-sim/hidraw_node.h"
#include "tools/thermometer-sim/report_format.h"
#include "tools/thermometer-sim/sysfs_tree.h"

namespace thermo::sim {

class FuseLoop;
class ReportClock;

inline constexpr std::uint16_t kThermometerVendor = hid::kThermometerVendorId;
inline constexpr std::uint16_t kThermometerProduct = hid::kThermometerProductId;
// Decoys plus thermometers. The kernel stops at 64 hidraw nodes; more are allowed here for
// benchmarks of discovery over many interfaces.
inline constexpr int kMaxDevices = 512;

// How one thermometer behaves.
struct DeviceSettings {
    ValueBytes value = valueForCelsius(21.0, Calibration{});
    Calibration calibration;  // used by setCelsius() and to show the value as °C
    double rateHz = 10.0;     // reports per second; 0: present but silent
    ReportShape shape;
};

struct SimulatorConfig {
    std::filesystem::path sysRoot = "/sys";
    std::filesystem::path devRoot = "/dev";
    std::filesystem::path fuseDevice = "/dev/fuse";
    int thermometers = 1;
    int decoys = 0;  // HID interfaces of other devices, plugged in before the thermometers
    bool startUnplugged = false;
    DeviceSettings settings;  // for every thermometer
};

// A snapshot of one thermometer and of what its nodes have seen.
struct DeviceStatus {
    int device = 0;
    bool plugged = false;
    std::string node;  // its /dev path while plugged
    std::string port;  // the kernel's name of its USB device ("1-2"); the same over replugs
    int minor = -1;
    std::size_t openFiles = 0;        // on the present node
    std::size_t staleOpenFiles = 0;   // still open on nodes of earlier plug-ins
    std::vector<std::size_t> queued;  // reports waiting, per open file of the present node
    std::size_t pendingReads = 0;     // blocked reads waiting for a report
    std::size_t armedPolls = 0;       // open files someone is polling
    NodeCounters counters;
    DeviceSettings settings;
    std::uint64_t seq = 0;   // sequence number of the last report sent (0: none yet)
    std::int64_t seqNs = 0;  // when it was queued, CLOCK_MONOTONIC
    std::int64_t nowNs = 0;
    int thermometers = 0;
    int decoys = 0;
    std::size_t nodes = 0;  // hidraw nodes alive, stale ones included
};

// Simulated USB thermometers (and decoy HID devices) as the kernel shows them: sysfs entries
// under sysRoot and hidraw nodes under devRoot. Thermometers are numbered from 0 in the order
// they were first plugged in. Every method is thread-safe.
class Simulator {
  public:
    explicit Simulator(SimulatorConfig config);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    int thermometers() const;

    void setValue(int device, ValueBytes value);
    void setCelsius(int device, double celsius);
    void setCalibration(int device, const Calibration& calibration);
    void setRate(int device, double hertz);
    void setReportShape(int device, const ReportShape& shape);

    void unplug(int device);  // no-op when unplugged
    void plug(int device);    // no-op when plugged
    void replug(int device);  // unplug (when plugged), then plug
    // A replug into the same port after another device (a new decoy) has taken the node's number,
    // as when something else is plugged in while the thermometer is out: the thermometer comes
    // back under a new hidraw number. Waits until `deadline` for programs to close the old node,
    // which keeps its number until then; throws if they do not.
    void replugRenumbered(int device, std::chrono::steady_clock::time_point deadline);
    void setDecoys(int count);

    // Sends reports now, besides the paced ones: `count` of the present value, or one report of
    // exactly `bytes`. Throws when the device is unplugged.
    void send(int device, int count);
    void inject(int device, std::vector<std::uint8_t> bytes);

    DeviceStatus status(int device) const;

    // Waits until `condition` holds for the device's status; false when the deadline passed
    // first or the waits were cancelled.
    bool waitUntil(int device, const std::function<bool(const DeviceStatus&)>& condition,
                   std::chrono::steady_clock::time_point deadline);
    // Ends every wait, now and later (shutting down).
    void cancelWaits();

  private:
    struct Device;
    struct LiveNode {
        HidrawNode* node;
        Device* device;
    };

    Device& thermometer(int device) const;
    std::unique_ptr<Device> makeDecoy(int index);
    NodeDescription describe(const Device& device) const;
    void plugLocked(Device& device);
    std::filesystem::path unplugLocked(Device& device);
    // Every node out of the file system, then the FUSE loop stopped: a failed start and the end.
    // With `controlMutex_` held, or while no other thread can reach the simulator.
    void unplugAllAndStop();
    void deliverLocked(Device& device, std::span<const std::uint8_t> report);
    void emitReport(int device);
    void nodeEnded(HidrawNode& node);
    DeviceStatus statusLocked(int device) const;
    int lowestFreeMinor() const;
    bool minorTaken(int minor) const;

    SimulatorConfig config_;
    SysfsTree sysfs_;
    std::mutex controlMutex_;   // one plug, unplug or decoy change at a time
    mutable std::mutex mutex_;  // all device and node state
    std::condition_variable changed_;
    std::vector<std::unique_ptr<Device>> thermometers_;
    std::vector<std::unique_ptr<Device>> decoys_;
    int activeDecoys_ = 0;
    std::vector<LiveNode> live_;
    unsigned hidSequence_ = 0;
    int nextPort_ = 1;
    bool waitsCancelled_ = false;
    std::unique_ptr<FuseLoop> loop_;
    std::unique_ptr<ReportClock> clock_;
};

}  // namespace thermo::sim
