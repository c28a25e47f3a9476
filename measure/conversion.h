#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace thermo {

// A number that may hold no value. No value counts as 0 wherever it takes part in arithmetic,
// and is written to cal.txt as an empty field.
using MaybeNumber = std::optional<double>;

// Fraction of full scale from one input report laid out report id first:
//   @0: report id (not used)
//   @1: high byte of the measured value
//   @2: low byte of the measured value
// The result is exactly (256 * b1 + b2) / 65536. No value when the report is shorter than three
// bytes (or there is no report yet: an empty span).
std::optional<double> ratioFromReport(std::span<const std::uint8_t> report);

// Two-point calibration. Each step is a double operation in this order, and only the result is
// rounded to a 32-bit float, so the readings match the thermometer's published worked examples
// to the last bit. No value when the points are equal, a point is not a number, a step overflows
// the double range, or the result does not fit a float.
std::optional<float> celsiusFromRatio(MaybeNumber ratio, MaybeNumber calZero,
                                      MaybeNumber calHundred);

// Celsius * 9 / 5 + 32 in double, rounded once to float. No value when it does not fit a float.
std::optional<float> fahrenheitFromCelsius(float celsius);

// The units as the window and the read tool show them after a reading ("54.2 °C"). Every degree
// sign in the program's UTF-8 strings is spelt as its bytes in octal, "\302\260", never as a
// "\u" escape or the character itself: the bytes are then the same whatever source or execution
// character set a compiler assumes. (Only a wide, UTF-16 string for the Windows API spells it
// L"\u00B0".)
inline constexpr std::string_view kCelsiusUnit = " \302\260C";
inline constexpr std::string_view kFahrenheitUnit = " \302\260F";

// The two display patterns: "00.0" for Celsius, "0.0" for Fahrenheit.
enum class DisplayPattern { TwoIntegerDigits, OneIntegerDigit };

// Formats the float itself (not a widened double) with one decimal, no digit grouping, and the
// given decimal separator (the user's locale's, UTF-8); the digits never depend on the C locale.
// The float's shortest decimal form is rounded half away from zero, so 0.35F shows as 0.4 and
// 0.25F as 0.3. A negative value that rounds to zero is shown without its minus sign.
std::string formatReading(float value, DisplayPattern pattern, std::string_view decimalSeparator);

// The bar stops a little beyond the scale's ends (-20 .. 130) so that it still shows "off scale".
inline constexpr float kBarMinCelsius = -22.0F;
inline constexpr float kBarMaxCelsius = 132.0F;

// Limits Celsius for the bar; NaN counts as below the range.
float clampForBar(float celsius);

// Mercury bar in twips: 20 twips per degree, its foot fixed at y 3880.
struct BarGeometry {
    float height;
    float top;
};
BarGeometry barGeometry(float clampedCelsius);

}  // namespace thermo
