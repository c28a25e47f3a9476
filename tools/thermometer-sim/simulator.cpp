#include "tools/thermometer-sim/simulator.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <stdexcept>

#include "tools/thermometer-sim/fuse_loop.h"
#include "tools/thermometer-sim/monotonic.h"
#include "tools/thermometer-sim/report_clock.h"
#include "tools/thermometer-sim/sys_error.h"

namespace fs = std::filesystem;

namespace thermo::sim {

struct Simulator::Device {
    HidIdentity identity;
    int port = 0;
    DeviceSettings settings;
    NodeCounters counters;
    HidrawNode* node = nullptr;  // the present node; none while unplugged
    SysfsPlacement placement;
    std::uint64_t seq = 0;
    std::int64_t seqNs = 0;
};

namespace {

std::string physFor(int port) { return "usb-0000:00:14.0-" + std::to_string(port) + "/input0"; }

// Decoys are the HID interfaces a discovery must pass over: the thermometer's vendor with
// another product, another vendor with the thermometer's product, then unrelated devices.
HidIdentity decoyIdentity(int index, int port) {
    HidIdentity id;
    if (index == 0) {
        id.vendor = kThermometerVendor;
        id.product = 0x000A;
    } else if (index == 1) {
        id.vendor = 0x1A2B;
        id.product = kThermometerProduct;
    } else {
        id.vendor = static_cast<std::uint16_t>(0x2000 + index);
        id.product = static_cast<std::uint16_t>(0x0100 + index);
    }
    id.name = "Simulated HID decoy " + std::to_string(index);
    id.phys = physFor(port);
    return id;
}

void createEmptyFile(const fs::path& path) {
    // A leftover of an earlier run would make the mount fail; the tree is ours to manage.
    ::unlink(path.c_str());
    os::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd) throwSysError("create", path.native());
}

}  // namespace

Simulator::Simulator(SimulatorConfig config) : config_(std::move(config)), sysfs_(config_.sysRoot) {
    if (config_.thermometers < 0 || config_.decoys < 0 ||
        config_.thermometers + config_.decoys > kMaxDevices)
        throw std::invalid_argument("at most " + std::to_string(kMaxDevices) +
                                    " devices can be simulated");
    loop_ = std::make_unique<FuseLoop>([this](HidrawNode& node) { nodeEnded(node); });
    try {
        setDecoys(config_.decoys);
        std::lock_guard control(controlMutex_);
        std::lock_guard guard(mutex_);
        for (int i = 0; i < config_.thermometers; ++i) {
            auto device = std::make_unique<Device>();
            device->port = nextPort_++;
            device->identity.vendor = kThermometerVendor;
            device->identity.product = kThermometerProduct;
            device->identity.name = "Simulated " + std::string(hid::kThermometerName);
            device->identity.phys = physFor(device->port);
            device->settings = config_.settings;
            thermometers_.push_back(std::move(device));
            if (!config_.startUnplugged) plugLocked(*thermometers_.back());
        }
    } catch (...) {
        cancelWaits();
        unplugAllAndStop();
        throw;
    }
    clock_ = std::make_unique<ReportClock>([this](int device) { emitReport(device); });
    for (int i = 0; i < config_.thermometers; ++i) clock_->setRate(i, config_.settings.rateHz);
}

Simulator::~Simulator() {
    cancelWaits();
    clock_.reset();
    std::lock_guard control(controlMutex_);
    unplugAllAndStop();
}

void Simulator::unplugAllAndStop() {
    std::vector<fs::path> paths;
    {
        std::lock_guard guard(mutex_);
        for (auto& d : thermometers_)
            if (d->node) paths.push_back(unplugLocked(*d));
        for (auto& d : decoys_)
            if (d->node) paths.push_back(unplugLocked(*d));
    }
    for (const auto& path : paths) HidrawNode::detach(path);
    loop_->stop();
}

int Simulator::thermometers() const {
    std::lock_guard guard(mutex_);
    return static_cast<int>(thermometers_.size());
}

Simulator::Device& Simulator::thermometer(int device) const {
    if (device < 0 || device >= static_cast<int>(thermometers_.size()))
        throw std::out_of_range("no thermometer " + std::to_string(device) + " (there are " +
                                std::to_string(thermometers_.size()) + ")");
    return *thermometers_[static_cast<std::size_t>(device)];
}

NodeDescription Simulator::describe(const Device& device) const {
    return {device.identity, reportDescriptor(device.settings.shape)};
}

int Simulator::lowestFreeMinor() const {
    // Like hidraw: the lowest minor no node holds. A node unplugged while a file on it is still
    // open keeps its minor until that file is closed.
    std::set<int> taken;
    for (const auto& live : live_) taken.insert(live.node->minor());
    int minor = 0;
    while (taken.count(minor)) ++minor;
    return minor;
}

void Simulator::plugLocked(Device& device) {
    int minor = lowestFreeMinor();
    fs::path path = config_.devRoot / ("hidraw" + std::to_string(minor));
    createEmptyFile(path);
    std::unique_ptr<HidrawNode> node;
    try {
        node = std::make_unique<HidrawNode>(mutex_, changed_, device.counters, describe(device),
                                            minor, path, config_.fuseDevice);
    } catch (...) {
        ::unlink(path.c_str());
        throw;
    }
    SysfsPlacement placement{device.port, ++hidSequence_, minor};
    try {
        sysfs_.add(device.identity, placement, reportDescriptor(device.settings.shape));
    } catch (...) {
        sysfs_.remove(placement);
        node.reset();
        HidrawNode::detach(path);
        throw;
    }
    device.placement = placement;
    device.node = &loop_->adopt(std::move(node));
    live_.push_back({device.node, &device});
    changed_.notify_all();
}

fs::path Simulator::unplugLocked(Device& device) {
    HidrawNode* node = device.node;
    device.node = nullptr;
    node->disconnect();
    sysfs_.remove(device.placement);
    changed_.notify_all();
    return node->path();
}

void Simulator::nodeEnded(HidrawNode& node) {
    std::lock_guard guard(mutex_);
    auto found = std::find_if(live_.begin(), live_.end(),
                              [&](const LiveNode& live) { return live.node == &node; });
    if (found == live_.end()) return;
    Device& device = *found->device;
    live_.erase(found);
    if (device.node == &node) {
        // The connection ended under a plugged device (aborted from outside): count it as an
        // unplug so nothing points at the node any more.
        device.node = nullptr;
        sysfs_.remove(device.placement);
    }
    changed_.notify_all();
}

void Simulator::setValue(int device, ValueBytes value) {
    std::lock_guard guard(mutex_);
    thermometer(device).settings.value = value;
    changed_.notify_all();
}

void Simulator::setCelsius(int device, double celsius) {
    std::lock_guard guard(mutex_);
    Device& d = thermometer(device);
    d.settings.value = valueForCelsius(celsius, d.settings.calibration);
    changed_.notify_all();
}

void Simulator::setCalibration(int device, const Calibration& calibration) {
    std::lock_guard guard(mutex_);
    thermometer(device).settings.calibration = calibration;
    changed_.notify_all();
}

void Simulator::setRate(int device, double hertz) {
    if (!(hertz >= 0)) throw std::invalid_argument("the rate must be 0 or more reports a second");
    {
        std::lock_guard guard(mutex_);
        thermometer(device).settings.rateHz = hertz;
        changed_.notify_all();
    }
    clock_->setRate(device, hertz);
}

void Simulator::setReportShape(int device, const ReportShape& shape) {
    if (shape.dataLength < 1 || shape.dataLength > kMaxReportDataLength)
        throw std::invalid_argument("the report length must be 1 to " +
                                    std::to_string(kMaxReportDataLength) + " bytes");
    std::lock_guard guard(mutex_);
    Device& d = thermometer(device);
    d.settings.shape = shape;
    if (d.node) {
        d.node->describe(describe(d));
        sysfs_.updateDescriptor(d.identity, d.placement, reportDescriptor(shape));
    }
    changed_.notify_all();
}

void Simulator::unplug(int device) {
    std::lock_guard control(controlMutex_);
    fs::path path;
    {
        std::lock_guard guard(mutex_);
        Device& d = thermometer(device);
        if (!d.node) return;
        path = unplugLocked(d);
    }
    // Outside mutex_: the serving thread must stay free to answer the node's requests while the
    // kernel takes the mount down.
    HidrawNode::detach(path);
}

void Simulator::plug(int device) {
    std::lock_guard control(controlMutex_);
    std::lock_guard guard(mutex_);
    Device& d = thermometer(device);
    if (d.node) return;
    if (static_cast<int>(live_.size()) >= kMaxDevices)
        throw std::runtime_error("too many hidraw nodes alive");
    plugLocked(d);
}

void Simulator::replug(int device) {
    unplug(device);
    plug(device);
}

bool Simulator::minorTaken(int minor) const {
    return std::any_of(live_.begin(), live_.end(),
                       [&](const LiveNode& live) { return live.node->minor() == minor; });
}

void Simulator::replugRenumbered(int device, std::chrono::steady_clock::time_point deadline) {
    int oldMinor = -1;
    {
        std::lock_guard guard(mutex_);
        const Device& d = thermometer(device);
        if (!d.node)
            throw std::runtime_error("thermometer " + std::to_string(device) + " is unplugged");
        oldMinor = d.node->minor();
    }
    unplug(device);
    {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_until(lock, deadline, [&] { return !minorTaken(oldMinor); }))
            throw std::runtime_error("hidraw" + std::to_string(oldMinor) +
                                     " is still held open; its number cannot be taken");
    }
    // New decoys take the lowest free numbers; as many as it takes for one to land on the old one.
    for (;;) {
        int decoys = 0;
        {
            std::lock_guard guard(mutex_);
            if (minorTaken(oldMinor)) break;
            decoys = activeDecoys_;
        }
        setDecoys(decoys + 1);
    }
    plug(device);
}

std::unique_ptr<Simulator::Device> Simulator::makeDecoy(int index) {
    auto device = std::make_unique<Device>();
    device->port = nextPort_++;
    device->identity = decoyIdentity(index, device->port);
    device->settings.rateHz = 0;  // decoys never report
    device->settings.shape.dataLength = 8;
    return device;
}

void Simulator::setDecoys(int count) {
    std::lock_guard control(controlMutex_);
    std::vector<fs::path> paths;
    {
        std::lock_guard guard(mutex_);
        if (count < 0 || count + static_cast<int>(thermometers_.size()) > kMaxDevices)
            throw std::invalid_argument("at most " + std::to_string(kMaxDevices) +
                                        " devices can be simulated");
        while (activeDecoys_ > count) {
            Device& d = *decoys_[static_cast<std::size_t>(--activeDecoys_)];
            if (d.node) paths.push_back(unplugLocked(d));
        }
        while (activeDecoys_ < count) {
            if (static_cast<int>(decoys_.size()) == activeDecoys_)
                decoys_.push_back(makeDecoy(activeDecoys_));
            plugLocked(*decoys_[static_cast<std::size_t>(activeDecoys_)]);
            ++activeDecoys_;
        }
    }
    for (const auto& path : paths) HidrawNode::detach(path);
}

void Simulator::deliverLocked(Device& device, std::span<const std::uint8_t> report) {
    ++device.seq;
    device.seqNs = monotonicNs();
    device.node->deliver(report, device.seq);
}

void Simulator::emitReport(int device) {
    std::lock_guard guard(mutex_);
    if (device >= static_cast<int>(thermometers_.size())) return;
    Device& d = *thermometers_[static_cast<std::size_t>(device)];
    if (d.node) deliverLocked(d, inputReport(d.settings.shape, d.settings.value));
}

void Simulator::send(int device, int count) {
    std::lock_guard guard(mutex_);
    Device& d = thermometer(device);
    if (!d.node)
        throw std::runtime_error("thermometer " + std::to_string(device) + " is unplugged");
    auto report = inputReport(d.settings.shape, d.settings.value);
    for (int i = 0; i < count; ++i) deliverLocked(d, report);
}

void Simulator::inject(int device, std::vector<std::uint8_t> bytes) {
    if (bytes.empty()) throw std::invalid_argument("a report has at least one byte");
    std::lock_guard guard(mutex_);
    Device& d = thermometer(device);
    if (!d.node)
        throw std::runtime_error("thermometer " + std::to_string(device) + " is unplugged");
    deliverLocked(d, bytes);
}

DeviceStatus Simulator::statusLocked(int device) const {
    const Device& d = thermometer(device);
    DeviceStatus s;
    s.device = device;
    s.plugged = d.node != nullptr;
    s.port = SysfsTree::portName(d.port);
    if (d.node) {
        s.node = d.node->path().string();
        s.minor = d.node->minor();
        s.openFiles = d.node->openFiles();
        s.queued = d.node->queueLengths();
        s.pendingReads = d.node->pendingReads();
        s.armedPolls = d.node->armedPolls();
    }
    for (const auto& live : live_)
        if (live.device == &d && live.node != d.node) s.staleOpenFiles += live.node->openFiles();
    s.counters = d.counters;
    s.settings = d.settings;
    s.seq = d.seq;
    s.seqNs = d.seqNs;
    s.nowNs = monotonicNs();
    s.thermometers = static_cast<int>(thermometers_.size());
    s.decoys = activeDecoys_;
    s.nodes = live_.size();
    return s;
}

DeviceStatus Simulator::status(int device) const {
    std::lock_guard guard(mutex_);
    return statusLocked(device);
}

bool Simulator::waitUntil(int device, const std::function<bool(const DeviceStatus&)>& condition,
                          std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    while (true) {
        if (condition(statusLocked(device))) return true;
        if (waitsCancelled_) return false;
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout)
            return condition(statusLocked(device));
    }
}

void Simulator::cancelWaits() {
    std::lock_guard guard(mutex_);
    waitsCancelled_ = true;
    changed_.notify_all();
}

}  // namespace thermo::sim
