#include "hid/linux/linux_platform.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "hid/report_descriptor.h"
#include "os/error_text.h"

namespace thermo::hid {

namespace fs = std::filesystem;

LinuxHandle::LinuxHandle(os::UniqueFd fd, std::string devicePath, fs::path sysDir,
                         bool usesReportIds)
    : fd_(std::move(fd)),
      devicePath_(std::move(devicePath)),
      sysDir_(std::move(sysDir)),
      usesReportIds_(usesReportIds) {}

namespace {

// Real uevent files hold a few hundred bytes; one far larger is not a device's.
constexpr std::size_t kMaxUeventSize = 8192;

// hidraw hands out at most one report per read, never longer than this.
constexpr std::size_t kScratchSize = static_cast<std::size_t>(kMaxReportBytes) + 64;

// hidraw queues at most 64 reports per handle; the bound only stops a device that reports
// faster than we read from holding us here.
constexpr int kMaxDrainReads = 256;

constexpr const char* kAccessHint =
    "install the udev rule 70-usb-thermometer.rules (see README) or run as a user with access";

std::string reason(int err) { return std::error_code(err, std::generic_category()).message(); }

// Reads the file, at most `maxBytes` of it; with `rejectLonger` a longer file is an error
// rather than cut short.
std::string readCapped(const fs::path& path, std::size_t maxBytes, bool rejectLonger) {
    os::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) throw PlatformError(os::callFailed("open", path.string(), reason(errno)));
    std::string data(maxBytes + 1, '\0');
    std::size_t total = 0;
    while (total < data.size()) {
        ssize_t got = ::read(fd.get(), data.data() + total, data.size() - total);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw PlatformError(os::callFailed("read", path.string(), reason(errno)));
        if (got == 0) break;
        total += static_cast<std::size_t>(got);
    }
    if (total > maxBytes) {
        if (rejectLonger) throw PlatformError(os::callFailed("read", path.string(), reason(EFBIG)));
        total = maxBytes;
    }
    data.resize(total);
    return data;
}

std::optional<std::uint32_t> parseHexField(std::string_view field) {
    if (field.empty() || field.size() > 8) return std::nullopt;
    std::uint32_t value = 0;
    auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value, 16);
    if (ec != std::errc() || end != field.data() + field.size()) return std::nullopt;
    return value;
}

// The number of a "hidrawN" entry, or nothing for any other name.
std::optional<unsigned long> hidrawNumber(const std::string& name) {
    constexpr std::string_view kPrefix = "hidraw";
    if (name.size() <= kPrefix.size() || name.size() > kPrefix.size() + 9 ||
        name.compare(0, kPrefix.size(), kPrefix) != 0) {
        return std::nullopt;
    }
    unsigned long number = 0;
    const char* first = name.data() + kPrefix.size();
    const char* last = name.data() + name.size();
    auto [end, ec] = std::from_chars(first, last, number, 10);
    if (ec != std::errc() || end != last) return std::nullopt;
    return number;
}

ReportDescriptorSummary readDescriptor(const LinuxHandle& handle) {
    std::string bytes = readCapped(handle.sysDir() / "device" / "report_descriptor",
                                   kMaxReportDescriptorSize, false);
    return parseReportDescriptor(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

DeviceIds readUeventIds(const fs::path& sysDir) {
    const fs::path path = sysDir / "device" / "uevent";
    std::optional<DeviceIds> ids = parseUeventIds(readCapped(path, kMaxUeventSize, true));
    if (!ids) throw PlatformError(os::callFailed("read", path.string(), "no usable HID_ID line"));
    return *ids;
}

// The value of `key` in uevent text ("DEVTYPE=usb_device"), or nothing without such a line.
std::optional<std::string_view> ueventValue(std::string_view uevent, std::string_view key) {
    while (!uevent.empty()) {
        const std::size_t eol = uevent.find('\n');
        const std::string_view line = uevent.substr(0, eol);
        uevent = eol == std::string_view::npos ? std::string_view{} : uevent.substr(eol + 1);
        if (line.size() > key.size() && line.substr(0, key.size()) == key &&
            line[key.size()] == '=') {
            return line.substr(key.size() + 1);
        }
    }
    return std::nullopt;
}

// What kind of device a sysfs folder stands for; empty when it says none or cannot be read.
std::string deviceType(const fs::path& dir) {
    try {
        const std::string uevent = readCapped(dir / "uevent", kMaxUeventSize, true);
        return std::string(ueventValue(uevent, "DEVTYPE").value_or(""));
    } catch (const PlatformError&) {
        return {};
    }
}

// The kernel's name of the USB device ("1-2", "3-1.4") whose interface ("1-2:1.0") the HID
// device below `classEntry` belongs to. The kernel puts a USB HID device right under its
// interface, and that right under the USB device; a HID device anywhere else (Bluetooth, uhid,
// I2C) has no USB port, and none is made up for it.
std::string usbPort(const fs::path& sysRoot, const fs::path& classEntry) {
    std::error_code ec;
    const fs::path hid = fs::canonical(classEntry / "device", ec);
    if (ec) return {};
    const fs::path interface = hid.parent_path();
    const fs::path usb = interface.parent_path();
    // A link that leads out of the tree describes nothing of this machine's USB.
    const fs::path devices = fs::canonical(sysRoot, ec) / "devices";
    if (ec || usb.native().compare(0, devices.native().size() + 1, devices.native() + "/") != 0) {
        return {};
    }
    if (deviceType(interface) != "usb_interface" || deviceType(usb) != "usb_device") return {};
    return usb.filename().string();
}

LinuxHandle& asLinux(Handle& handle) {
    auto* native = dynamic_cast<LinuxHandle*>(&handle);
    if (native == nullptr) throw std::invalid_argument("not a handle of the Linux platform");
    return *native;
}

class LinuxEvent : public WaitEvent {
  public:
    explicit LinuxEvent(os::UniqueFd fd) : fd_(std::move(fd)) {}

    // Never drained, so once woken every later wait ends at once too.
    void wake() override {
        const std::uint64_t one = 1;
        // EAGAIN means the counter is full: it is signalled already.
        ssize_t written = ::write(fd_.get(), &one, sizeof one);
        (void)written;
    }

    int fd() const { return fd_.get(); }

  private:
    os::UniqueFd fd_;
};

// hidraw keeps a ring of 64 slots with one always free. Once 63 reports wait, the kernel drops
// every new one, so the newest of a full queue may be far older than what the device sends now.
constexpr int kHidrawQueueCapacity = 63;

struct Drained {
    enum class Kind { Nothing, Report, Failed } kind = Kind::Nothing;
    std::size_t length = 0;  // of the newest report, in the handle's scratch
    std::string error;
    int reports = 0;  // how many were queued

    bool queueWasFull() const { return reports >= kHidrawQueueCapacity; }
};

// Reads everything queued on the handle; the newest report is left in its scratch. hidraw keeps
// up to 64 reports per handle and drops new ones when full, so reading one a second from a
// chattier device would fall further and further behind.
Drained drain(LinuxHandle& handle) {
    std::vector<std::uint8_t>& scratch = handle.scratch();
    if (scratch.size() < kScratchSize) scratch.resize(kScratchSize);
    Drained result;
    for (int i = 0; i < kMaxDrainReads; ++i) {
        ssize_t got = ::read(handle.fd(), scratch.data(), scratch.size());
        if (got > 0) {
            result = {Drained::Kind::Report, static_cast<std::size_t>(got), {}, result.reports + 1};
            continue;
        }
        const int err = got == 0 ? 0 : errno;
        if (err == EINTR) continue;
        if (err == EAGAIN || err == EWOULDBLOCK) return result;
        // hidraw hands out what was queued before an unplug and fails only after it; a failure
        // behind those reports still means the device is gone now, and its last report must not
        // make it look present for one more reading.
        const std::string why = err == 0 ? "end of file" : reason(err);
        return {Drained::Kind::Failed, 0, os::callFailed("read", handle.devicePath(), why)};
    }
    return result;
}

// hidraw signals an unplug with POLLHUP|POLLERR on every open file, also while reports sent
// before it are still queued there.
bool hungUp(short revents) { return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0; }

// Lays the report out as the Windows HID layer delivers it: report id first, 0 for a device
// without ids (hidraw then leaves the id out). Returns the bytes delivered.
std::size_t deliver(const LinuxHandle& handle, std::size_t length, std::span<std::uint8_t> buffer) {
    std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
    const std::size_t offset = handle.usesReportIds() ? 0 : 1;
    if (buffer.size() <= offset) return buffer.size();
    const std::size_t n = std::min(length, buffer.size() - offset);
    std::copy_n(handle.scratch().begin(), n, buffer.begin() + static_cast<std::ptrdiff_t>(offset));
    return offset + n;
}

}  // namespace

std::optional<DeviceIds> parseUeventIds(std::string_view uevent) {
    // The line looks like HID_ID=0003:000004D8:00000002 (bus:vendor:product, hex).
    constexpr std::string_view kKey = "HID_ID=";
    while (!uevent.empty()) {
        const std::size_t eol = uevent.find('\n');
        std::string_view line = uevent.substr(0, eol);
        uevent = eol == std::string_view::npos ? std::string_view{} : uevent.substr(eol + 1);
        if (line.substr(0, kKey.size()) != kKey) continue;

        line.remove_prefix(kKey.size());
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first == line.npos ? first : first + 1);
        if (first == line.npos || second == line.npos) return std::nullopt;
        auto bus = parseHexField(line.substr(0, first));
        auto vendor = parseHexField(line.substr(first + 1, second - first - 1));
        auto product = parseHexField(line.substr(second + 1));
        if (!bus || !vendor || !product || *vendor > 0xFFFF || *product > 0xFFFF) {
            return std::nullopt;
        }
        return DeviceIds{static_cast<std::uint16_t>(*vendor), static_cast<std::uint16_t>(*product)};
    }
    return std::nullopt;
}

LinuxPlatform::LinuxPlatform(fs::path sysRoot, fs::path devRoot)
    : sysRoot_(std::move(sysRoot)), devRoot_(std::move(devRoot)) {}

fs::path LinuxPlatform::classDir() const { return sysRoot_ / "class" / "hidraw"; }

std::vector<InterfaceEntry> LinuxPlatform::listInterfaces() {
    std::vector<std::pair<unsigned long, std::string>> nodes;
    std::error_code ec;
    // Without the hidraw driver there is no class directory, and no interface.
    for (fs::directory_iterator it(classDir(), ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (auto number = hidrawNumber(name)) nodes.emplace_back(*number, std::move(name));
    }
    // Directory order is arbitrary; hidraw2 comes before hidraw10.
    std::sort(nodes.begin(), nodes.end());

    std::vector<InterfaceEntry> entries;
    for (const auto& [number, name] : nodes) {
        try {
            const fs::path entry = classDir() / name;
            DeviceIds ids = readUeventIds(entry);
            // Only the thermometer's ancestry is walked: the cost of a discovery stays that of
            // one uevent an interface.
            std::string port = isThermometer(ids) ? usbPort(sysRoot_, entry) : std::string();
            entries.push_back({(devRoot_ / name).string(), ids, std::move(port)});
        } catch (const PlatformError&) {
            // An entry we cannot identify is left out rather than opened to find out.
        }
    }
    return entries;
}

std::unique_ptr<Handle> LinuxPlatform::open(const std::string& path, OpenMode mode) {
    const int flags = O_RDWR | O_CLOEXEC | (mode == OpenMode::ForReports ? O_NONBLOCK : 0);
    os::UniqueFd fd(::open(path.c_str(), flags));
    if (!fd) {
        const int err = errno;
        const bool access = err == EACCES || err == EPERM;
        throw PlatformError(os::callFailed("open", path, reason(err)), access ? kAccessHint : "");
    }
    auto handle =
        std::make_unique<LinuxHandle>(std::move(fd), path, classDir() / fs::path(path).filename());
    if (mode == OpenMode::ForReports) {
        handle->setUsesReportIds(readDescriptor(*handle).usesReportIds);
    }
    return handle;
}

DeviceIds LinuxPlatform::readIds(Handle& handle) { return readUeventIds(asLinux(handle).sysDir()); }

int LinuxPlatform::inputReportLength(Handle& handle) {
    LinuxHandle& native = asLinux(handle);
    ReportDescriptorSummary summary = readDescriptor(native);
    native.setUsesReportIds(summary.usesReportIds);
    return summary.inputReportLength;
}

std::unique_ptr<WaitEvent> LinuxPlatform::createReportEvent() {
    os::UniqueFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!fd) throw PlatformError(os::callFailed("eventfd", "", reason(errno)));
    return std::make_unique<LinuxEvent>(std::move(fd));
}

ReadResult LinuxPlatform::readReport(Handle& reportHandle, WaitEvent& event,
                                     std::span<std::uint8_t> buffer,
                                     std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    LinuxHandle& handle = asLinux(reportHandle);
    auto* linuxEvent = dynamic_cast<LinuxEvent*>(&event);
    if (linuxEvent == nullptr) throw std::invalid_argument("not an event of the Linux platform");

    const Clock::time_point deadline = Clock::now() + timeout;
    // The newest report of a full queue, held back while we wait for one the device sent after
    // the kernel stopped dropping; delivered only if no fresher one comes.
    std::optional<std::size_t> heldBack;
    // The first look does not wait: it only asks whether the device has hung up or reports are
    // queued, so that a hang-up wins over reports queued before it.
    bool waited = false;
    for (;;) {
        pollfd fds[2] = {{handle.fd(), POLLIN, 0}, {linuxEvent->fd(), POLLIN, 0}};
        int ready = 0;
        do {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            left =
                std::clamp(left, std::chrono::milliseconds{0}, std::chrono::milliseconds{INT_MAX});
            ready = ::poll(fds, 2, waited ? static_cast<int>(left.count()) : 0);
        } while (ready < 0 && errno == EINTR);

        if (ready < 0) {
            // A wait that fails in itself leaves nothing to wait for; the caller lets go too.
            return {ReadOutcome::Gone, 0,
                    os::callFailed("poll", handle.devicePath(), reason(errno))};
        }
        if (fds[1].revents != 0) return {ReadOutcome::Woken, 0, {}};
        if (hungUp(fds[0].revents)) {
            return {ReadOutcome::Gone, 0, os::callFailed("poll", handle.devicePath(), "hang-up")};
        }
        if (ready == 0 && waited) {
            if (heldBack) return {ReadOutcome::Report, deliver(handle, *heldBack, buffer), {}};
            return {ReadOutcome::TimedOut, 0, {}};
        }
        waited = true;

        // Don't rely on poll alone to say whether reports wait; the non-blocking reads tell.
        Drained drained = drain(handle);
        if (drained.kind == Drained::Kind::Failed) return {ReadOutcome::Gone, 0, drained.error};
        if (drained.kind == Drained::Kind::Report) {
            if (!drained.queueWasFull()) {
                return {ReadOutcome::Report, deliver(handle, drained.length, buffer), {}};
            }
            heldBack = drained.length;
        }
    }
}

std::unique_ptr<Platform> makeNativePlatform() { return std::make_unique<LinuxPlatform>(); }

}  // namespace thermo::hid
