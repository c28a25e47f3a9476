// A hidraw node's sysfs entry, as the Linux backend reads it: the uevent file that claims the
// ids and the report descriptor that gives the report length. The input is the uevent text, a
// 0xFF byte, then the descriptor (no 0xFF: no descriptor file at all). Both files are written to
// a private tree, listed and opened through the real backend and the device module; the outcome
// must be what the two files allow, read no further than the backend's limits.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include "fuzz/fuzz_check.h"
#include "hid/hidusb.h"
#include "hid/linux/linux_platform.h"
#include "hid/report_descriptor.h"

namespace {

namespace fs = std::filesystem;
using thermo::fuzz::require;
using thermo::hid::DeviceIds;

// The backend's limits: a longer uevent is refused, a longer descriptor is cut.
constexpr std::size_t kUeventLimit = 8192;

// Memory rather than disk where there is a tmpfs for it: a disk file system makes each rewrite
// of a file wait for the last one to reach the disk, a hundred times slower.
fs::path scratchDirectory() {
    std::error_code ec;
    if (fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0) {
        return "/dev/shm";
    }
    return fs::temp_directory_path();
}

// One hidraw node's tree, made once per process (libFuzzer calls the entry point per input) and
// removed when the process ends.
class SysfsTree {
  public:
    SysfsTree() {
        std::string pattern = (scratchDirectory() / "sysfs-fuzz-XXXXXX").string();
        require(::mkdtemp(pattern.data()) != nullptr, "a private directory can be made");
        root_ = pattern;
        fs::create_directories(device());
        fs::create_directories(root_ / "dev");
        std::ofstream(root_ / "dev" / "hidraw0").flush();  // stands in for the device node
    }
    ~SysfsTree() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    SysfsTree(const SysfsTree&) = delete;
    SysfsTree& operator=(const SysfsTree&) = delete;

    fs::path sys() const { return root_ / "sys"; }
    fs::path dev() const { return root_ / "dev"; }
    fs::path device() const { return sys() / "class" / "hidraw" / "hidraw0" / "device"; }

    void put(const std::string& name, std::optional<std::string_view> content) const {
        const fs::path path = device() / name;
        if (!content) {
            std::error_code ec;
            fs::remove(path, ec);
            return;
        }
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(content->data(), static_cast<std::streamsize>(content->size()));
        require(out.good(), "the tree can be written");
    }

  private:
    fs::path root_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const SysfsTree tree;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\xFF');
    const std::string_view uevent = input.substr(0, split);
    std::optional<std::string_view> descriptor;
    if (split != std::string_view::npos) {
        descriptor = input.substr(split + 1);
    }
    tree.put("uevent", uevent);
    tree.put("report_descriptor", descriptor);

    // The ids the uevent text claims, when the backend may read all of it.
    std::optional<DeviceIds> claimed;
    if (uevent.size() <= kUeventLimit) {
        claimed = thermo::hid::parseUeventIds(uevent);
    }

    thermo::hid::LinuxPlatform platform(tree.sys(), tree.dev());
    const auto entries = platform.listInterfaces();
    require(entries.size() == (claimed ? 1U : 0U), "listed exactly when the uevent gives ids");
    if (!entries.empty()) {
        require(entries[0].ids == claimed, "listed with the ids the uevent gives");
    }

    int expectedLength = 0;
    if (descriptor) {
        const std::string_view head = descriptor->substr(0, thermo::hid::kMaxReportDescriptorSize);
        expectedLength =
            thermo::hid::parseReportDescriptor(
                std::span(reinterpret_cast<const std::uint8_t*>(head.data()), head.size()))
                .inputReportLength;
    }

    thermo::hid::HIDusb device(platform);
    const bool found = device.FindThermometer();
    const bool expected = claimed && isThermometer(*claimed) && expectedLength > 0;
    require(found == expected, "taken exactly when the ids match and the length is usable");
    if (found) {
        require(device.DeviceCaps.InputReportByteLength == expectedLength,
                "the length is the descriptor's");
        // The stand-in node holds no reports: the read must end, and let the device go.
        device.PollThermometer();
        require(!device.DevicePresent, "a node that ends is given up");
        require(!device.ReportBuffer, "a failed read leaves no report to convert");
    } else if (claimed && isThermometer(*claimed)) {
        require(!device.LastProblem.empty(), "a thermometer passed over is explained");
    }
    return 0;
}
