#pragma once

// The thermometer, described once. The HID module, the read tool, the simulator and the test
// fakes take its ids and name from here, and the build reads this file to write the udev rule
// and the AppStream modalias (cmake/ThermometerDescription.cmake), so that no second spelling
// can drift from the first.

#include <cstddef>
#include <cstdint>
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

}  // namespace thermo::hid
