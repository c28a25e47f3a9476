#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace thermo::sim {

// The two calibration points the program keeps in cal.txt: the sensor ratio read at 0 °C and at
// 100 °C. The defaults are the ones the program writes when cal.txt is missing.
struct Calibration {
    double zero = 0.72;
    double hundred = 0.35;
};

// The thermometer's measured value: a fraction of full scale in 16 bits.
//   @0 (or @1 with report ids): high byte of the value
//   @1 (or @2): low byte
struct ValueBytes {
    std::uint8_t high = 0;
    std::uint8_t low = 0;
    friend bool operator==(const ValueBytes&, const ValueBytes&) = default;
};

// The value a thermometer calibrated with `cal` reports at `celsius`: the ratio the program's
// conversion turns back into that temperature, rounded to 16 bits and clamped to full scale.
ValueBytes valueForCelsius(double celsius, const Calibration& cal);

// What the program shows for `value` with `cal`; no value when the two points coincide.
std::optional<double> celsiusForValue(ValueBytes value, const Calibration& cal);

inline constexpr std::uint8_t kThermometerReportId = 1;
inline constexpr int kMaxReportDataLength = 4096;

// How a device frames its input reports.
struct ReportShape {
    bool reportIds = false;  // with ids every report starts with kThermometerReportId
    int dataLength = 64;     // bytes of data in one report, the id not counted
    friend bool operator==(const ReportShape&, const ReportShape&) = default;
};

// A vendor-defined report descriptor with one input and one output report of
// shape.dataLength bytes, numbered 1 when shape.reportIds.
std::vector<std::uint8_t> reportDescriptor(const ReportShape& shape);

// One input report as hidraw delivers it: the id byte first only for a device with report ids.
std::vector<std::uint8_t> inputReport(const ReportShape& shape, ValueBytes value);

// Parses a byte given as decimal ("164") or hex ("0xa4"); no value when malformed or > 255.
std::optional<std::uint8_t> parseByte(std::string_view text);

// Parses "0.72,0.35"; no value unless both are finite numbers.
std::optional<Calibration> parseCalibration(std::string_view text);

// Parses a finite decimal number in the C locale.
std::optional<double> parseNumber(std::string_view text);

// Parses a whole number in [min, max].
std::optional<long> parseInteger(std::string_view text, long min, long max);

}  // namespace thermo::sim
