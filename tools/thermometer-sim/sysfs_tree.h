#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace thermo::sim {

// What the kernel knows of a HID device and shows in sysfs and through the hidraw ioctls.
struct HidIdentity {
    std::uint32_t bus = 0x0003;  // BUS_USB
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::string name;  // HID_NAME: the USB manufacturer and product strings
    std::string phys;  // HID_PHYS: where it hangs on the bus
    std::string uniq;  // HID_UNIQ: the serial number, empty when the device has none
};

// Where one plugged-in device lives in sysfs. `port` picks the USB port (its folder stays the
// same over a replug), `hidSequence` is the kernel's running number of HID devices (a replug gets
// a new one), `minor` the hidraw node's number.
struct SysfsPlacement {
    int port = 1;
    unsigned hidSequence = 1;
    int minor = 0;
};

// Major number the simulated hidraw class uses in the `dev` attributes. The kernel picks one
// from the dynamic range; nothing reads it but tools that print it.
inline constexpr int kHidrawMajor = 242;

// The part of sysfs that the kernel builds for USB HID devices and their hidraw nodes, under a
// root that stands for /sys:
//   class/hidraw/hidrawN -> ../../devices/pci0000:00/0000:00:14.0/usb1/1-P/1-P:1.0/
//                           0003:VVVV:PPPP.SSSS/hidraw/hidrawN
// where hidrawN/device -> ../../../0003:VVVV:PPPP.SSSS holds `uevent` (HID_ID=0003:000004D8:
// 00000002, HID_NAME, HID_PHYS, ...) and `report_descriptor` (the raw bytes).
class SysfsTree {
  public:
    explicit SysfsTree(std::filesystem::path root);

    // Adds the USB device, its HID interface and the hidraw class device, as a plug-in does.
    void add(const HidIdentity& identity, const SysfsPlacement& where,
             std::span<const std::uint8_t> descriptor) const;
    // Replaces the HID device's report_descriptor (a device that now frames reports otherwise).
    void updateDescriptor(const HidIdentity& identity, const SysfsPlacement& where,
                          std::span<const std::uint8_t> descriptor) const;
    // Removes all that add() made, as an unplug does.
    void remove(const SysfsPlacement& where) const;

    std::filesystem::path hidDeviceDir(const HidIdentity& identity,
                                       const SysfsPlacement& where) const;
    std::filesystem::path classEntry(int minor) const;
    // The kernel's name of the USB device in `port` of the root hub: "1-P".
    static std::string portName(int port);

  private:
    std::filesystem::path usbDeviceDir(int port) const;

    std::filesystem::path root_;
};

// The uevent text of a HID device, one KEY=value line each, as the kernel writes it.
std::string hidUevent(const HidIdentity& identity);

}  // namespace thermo::sim
