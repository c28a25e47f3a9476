#include "measure/conversion.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>

namespace thermo {

namespace {

constexpr double kFloatMax = std::numeric_limits<float>::max();

// A double that a float can hold without overflowing. Checked before the cast because a cast of
// an out-of-range double to float is undefined.
bool fitsFloat(double value) { return std::isfinite(value) && std::fabs(value) <= kFloatMax; }

// Fixed notation with no more fraction digits than it takes to read back as `value`:
// "54.180744", "-0.35". A float needs at most 39 integer and 45 fraction digits in this form.
std::string shortestFixed(float value) {
    std::array<char, 128> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                      std::chars_format::fixed);
    return std::string(buffer.data(), result.ptr);
}

// Adds one unit in the last place of a string of decimal digits, growing it on a carry out.
void incrementDigits(std::string& digits) {
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        if (*it != '9') {
            ++*it;
            return;
        }
        *it = '0';
    }
    digits.insert(digits.begin(), '1');
}

}  // namespace

std::optional<double> ratioFromReport(std::span<const std::uint8_t> report) {
    // Both bytes are checked before either is read: a report can be cut short.
    if (report.size() < 3) {
        return std::nullopt;
    }
    // @1: high byte of the measured value
    // @2: low byte of the measured value
    const int highByte = report[1];
    const int lowByte = report[2];
    return (highByte * 4 + lowByte / 64.0) / 1024;
}

std::optional<float> celsiusFromRatio(MaybeNumber ratio, MaybeNumber calZero,
                                      MaybeNumber calHundred) {
    const double sensor = ratio.value_or(0.0);
    const double zero = calZero.value_or(0.0);
    const double hundred = calHundred.value_or(0.0);
    // A point read from a hand-edited cal.txt may be NaN; an infinite one would otherwise let the
    // division produce a plausible-looking 100.
    if (!std::isfinite(sensor) || !std::isfinite(zero) || !std::isfinite(hundred)) {
        return std::nullopt;
    }
    const double d1 = sensor - hundred;
    const double d2 = d1 * 100;
    const double d3 = zero - hundred;
    // Points near the end of the double range can overflow on the way: 1.7969e308,-1.7e306 makes
    // d3 infinite and the result exactly 100 whatever the sensor reads, so it is refused like
    // equal points. (An overflow in d1 or d2 already makes d5 infinite or NaN.)
    if (d3 == 0 || !std::isfinite(d3)) {
        return std::nullopt;
    }
    const double d4 = d2 / d3;
    const double d5 = 100 - d4;
    if (!fitsFloat(d5)) {
        return std::nullopt;
    }
    return static_cast<float>(d5);
}

std::optional<float> fahrenheitFromCelsius(float celsius) {
    const double fahrenheit = static_cast<double>(celsius) * 9 / 5 + 32;
    if (!fitsFloat(fahrenheit)) {
        return std::nullopt;
    }
    return static_cast<float>(fahrenheit);
}

// The float's shortest decimal form is what the value "is" to a reader (54.180744, 0.35), so the
// one-decimal rounding is done on those digits, half away from zero, rather than on the binary
// value, where 0.35F lies just below the tie.
std::string formatReading(float value, DisplayPattern pattern, std::string_view decimalSeparator) {
    if (!std::isfinite(value)) {
        return shortestFixed(value);  // "nan", "inf" or "-inf"; never reached by a real reading
    }
    const std::string text = shortestFixed(value);
    const bool negative = text.front() == '-';
    const std::string_view unsignedText = std::string_view(text).substr(negative ? 1 : 0);
    const auto point = unsignedText.find('.');
    const std::string_view integerPart = unsignedText.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : unsignedText.substr(point + 1);

    // All digits kept, with one decimal: "54.180744" -> "541", then rounded on the next digit.
    std::string digits(integerPart);
    digits += fraction.empty() ? '0' : fraction[0];
    if (fraction.size() > 1 && fraction[1] >= '5') {
        incrementDigits(digits);
    }

    const std::size_t minIntegerDigits = pattern == DisplayPattern::TwoIntegerDigits ? 2 : 1;
    if (digits.size() < minIntegerDigits + 1) {
        digits.insert(0, minIntegerDigits + 1 - digits.size(), '0');
    }
    const bool roundsToZero = digits.find_first_not_of('0') == std::string::npos;

    std::string result;
    if (negative && !roundsToZero) {
        result += '-';
    }
    result.append(digits, 0, digits.size() - 1);
    result += decimalSeparator;
    result += digits.back();
    return result;
}

float clampForBar(float celsius) {
    if (!(celsius >= kBarMinCelsius)) {
        celsius = kBarMinCelsius;
    }
    if (celsius > kBarMaxCelsius) {
        celsius = kBarMaxCelsius;
    }
    return celsius;
}

BarGeometry barGeometry(float clampedCelsius) {
    // Clamping again costs nothing and keeps the float casts below in range for any input.
    const double celsius = clampForBar(clampedCelsius);
    return BarGeometry{
        .height = static_cast<float>(celsius * 20 + 800),
        .top = static_cast<float>(3080 - celsius * 20),
    };
}

}  // namespace thermo
