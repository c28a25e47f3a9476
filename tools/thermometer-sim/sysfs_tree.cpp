#include "tools/thermometer-sim/sysfs_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>
#include <system_error>

#include "tools/thermometer-sim/sys_error.h"

namespace fs = std::filesystem;

namespace thermo::sim {
namespace {

constexpr std::string_view kHostController = "devices/pci0000:00/0000:00:14.0/usb1";

std::string hex(unsigned value, int digits, bool upper) {
    char text[16];
    std::snprintf(text, sizeof text, upper ? "%0*X" : "%0*x", digits, value);
    return text;
}

// Writes a whole attribute file. A reader never sees it half written: the text goes to a
// temporary file first, which then replaces the old one.
void writeAttribute(const fs::path& path, std::string_view content) {
    fs::path temporary = path;
    temporary += ".new";
    os::UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0444));
    if (!fd) throwSysError("open", temporary.native());
    while (!content.empty()) {
        ssize_t written = ::write(fd.get(), content.data(), content.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            throwSysError("write", temporary.native());
        }
        content.remove_prefix(static_cast<std::size_t>(written));
    }
    fd.reset();
    if (::rename(temporary.c_str(), path.c_str()) != 0) throwSysError("rename", path.native());
}

void makeSymlink(const fs::path& target, const fs::path& link) {
    std::error_code ignored;
    fs::remove(link, ignored);
    fs::create_symlink(target, link);
}

std::string_view asText(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

std::string hidUevent(const HidIdentity& identity) {
    std::string bus = hex(identity.bus, 4, true);
    std::string vendor = hex(identity.vendor, 8, true);
    std::string product = hex(identity.product, 8, true);
    return "DRIVER=hid-generic\n"
           "HID_ID=" +
           bus + ":" + vendor + ":" + product + "\n" + "HID_NAME=" + identity.name + "\n" +
           "HID_PHYS=" + identity.phys + "\n" + "HID_UNIQ=" + identity.uniq + "\n" +
           "MODALIAS=hid:b" + bus + "g0001v" + vendor + "p" + product + "\n";
}

SysfsTree::SysfsTree(fs::path root) : root_(std::move(root)) {
    // The kernel makes the class folder when hidraw loads, before any device is there.
    fs::create_directories(root_ / "class/hidraw");
    fs::create_directories(root_ / kHostController);
}

std::string SysfsTree::portName(int port) { return "1-" + std::to_string(port); }

fs::path SysfsTree::usbDeviceDir(int port) const {
    return root_ / kHostController / portName(port);
}

fs::path SysfsTree::hidDeviceDir(const HidIdentity& identity, const SysfsPlacement& where) const {
    std::string port = portName(where.port);
    std::string hid = hex(identity.bus, 4, true) + ":" + hex(identity.vendor, 4, true) + ":" +
                      hex(identity.product, 4, true) + "." + hex(where.hidSequence, 4, true);
    return usbDeviceDir(where.port) / (port + ":1.0") / hid;
}

fs::path SysfsTree::classEntry(int minor) const {
    return root_ / "class/hidraw" / ("hidraw" + std::to_string(minor));
}

void SysfsTree::add(const HidIdentity& identity, const SysfsPlacement& where,
                    std::span<const std::uint8_t> descriptor) const {
    fs::path usb = usbDeviceDir(where.port);
    fs::path hid = hidDeviceDir(identity, where);
    std::string node = "hidraw" + std::to_string(where.minor);
    fs::path hidraw = hid / "hidraw" / node;
    fs::create_directories(hidraw);

    writeAttribute(usb / "idVendor", hex(identity.vendor, 4, false) + "\n");
    writeAttribute(usb / "idProduct", hex(identity.product, 4, false) + "\n");
    writeAttribute(usb / "bcdDevice", "0100\n");
    writeAttribute(usb / "product", identity.name + "\n");
    writeAttribute(usb / "busnum", "1\n");
    writeAttribute(usb / "devnum", std::to_string(where.port + 1) + "\n");
    writeAttribute(usb / "uevent", "DEVTYPE=usb_device\nPRODUCT=" + hex(identity.vendor, 1, false) +
                                       "/" + hex(identity.product, 1, false) + "/100\n");
    fs::path interface = hid.parent_path();
    writeAttribute(interface / "bInterfaceClass", "03\n");
    writeAttribute(interface / "bInterfaceNumber", "00\n");
    writeAttribute(interface / "uevent", "DEVTYPE=usb_interface\nINTERFACE=3/0/0\n");

    writeAttribute(hid / "uevent", hidUevent(identity));
    writeAttribute(hid / "report_descriptor", asText(descriptor));

    std::string minor = std::to_string(where.minor);
    writeAttribute(hidraw / "dev", std::to_string(kHidrawMajor) + ":" + minor + "\n");
    writeAttribute(hidraw / "uevent", "MAJOR=" + std::to_string(kHidrawMajor) + "\nMINOR=" + minor +
                                          "\nDEVNAME=" + node + "\n");
    makeSymlink(fs::path("../../..") / hid.filename(), hidraw / "device");
    makeSymlink(fs::relative(root_ / "class/hidraw", hidraw), hidraw / "subsystem");
    makeSymlink(fs::relative(hidraw, root_ / "class/hidraw"), classEntry(where.minor));
}

void SysfsTree::updateDescriptor(const HidIdentity& identity, const SysfsPlacement& where,
                                 std::span<const std::uint8_t> descriptor) const {
    writeAttribute(hidDeviceDir(identity, where) / "report_descriptor", asText(descriptor));
}

void SysfsTree::remove(const SysfsPlacement& where) const {
    std::error_code ignored;
    fs::remove(classEntry(where.minor), ignored);
    fs::remove_all(usbDeviceDir(where.port), ignored);
}

}  // namespace thermo::sim
