#pragma once

// Shared by the calibration kill driver and the test that kills it: the sensor ratio that press
// number k stores. Press k is "0 °C" (Command2) when k is even and "100 °C" (Command3) when odd.
// Ratios with all seventeen digits in use, so that a line cut short could never read back as a
// complete one.
namespace thermo::reliability {

inline double ratioForPress(long press) { return 1.0 / static_cast<double>(press + 3); }

inline bool pressStoresZeroPoint(long press) { return press % 2 == 0; }

}  // namespace thermo::reliability
