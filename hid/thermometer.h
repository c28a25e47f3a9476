#pragma once

// The thermometer, described once. The HID module, the read tool, the simulator and the test
// fakes take its ids and name from here, and the build reads this file to write the udev rule
// and the AppStream modalias (cmake/ThermometerDescription.cmake), so that no second spelling
// can drift from the first.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace thermo::hid {

inline constexpr std::uint16_t kThermometerVendorId = 0x04D8;
inline constexpr std::uint16_t kThermometerProductId = 0x0002;
inline constexpr std::string_view kThermometerName = "USB Thermometer";

// A report as the device module delivers it, report id byte at index 0:
//   @1: high byte of the 16-bit value
//   @2: low byte
inline constexpr std::size_t kValueHighByte = 1;
inline constexpr std::size_t kValueLowByte = 2;

// An id as sysfs, lsusb and udev rules write it: four lower-case hex digits ("04d8").
inline std::string idText(std::uint16_t id) {
    constexpr std::string_view kDigits = "0123456789abcdef";
    std::string text(4, '0');
    for (std::size_t i = text.size(); i-- > 0; id = static_cast<std::uint16_t>(id >> 4)) {
        text[i] = kDigits[id & 0xFu];
    }
    return text;
}

// "04d8:0002", as lsusb shows the thermometer.
inline std::string thermometerIdsText() {
    return idText(kThermometerVendorId) + ":" + idText(kThermometerProductId);
}

}  // namespace thermo::hid
