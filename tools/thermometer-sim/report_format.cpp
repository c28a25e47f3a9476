#include "tools/thermometer-sim/report_format.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace thermo::sim {

ValueBytes valueForCelsius(double celsius, const Calibration& cal) {
    // The program computes Celsius = 100 - (ratio - hundred) * 100 / (zero - hundred); solved
    // for the ratio this needs no division, so coinciding points just give `hundred`.
    double ratio = cal.hundred + (100.0 - celsius) * (cal.zero - cal.hundred) / 100.0;
    double scaled = std::round(ratio * 65536.0);
    auto value = static_cast<std::uint16_t>(std::clamp(scaled, 0.0, 65535.0));
    return {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value & 0xFF)};
}

std::optional<double> celsiusForValue(ValueBytes value, const Calibration& cal) {
    if (cal.zero == cal.hundred) return std::nullopt;
    double ratio = (value.high * 256.0 + value.low) / 65536.0;
    return 100.0 - (ratio - cal.hundred) * 100.0 / (cal.zero - cal.hundred);
}

namespace {

void appendReportCount(std::vector<std::uint8_t>& out, int count) {
    if (count <= 0xFF) {
        out.insert(out.end(), {0x95, static_cast<std::uint8_t>(count)});
    } else {
        out.insert(out.end(), {0x96, static_cast<std::uint8_t>(count & 0xFF),
                               static_cast<std::uint8_t>(count >> 8)});
    }
}

}  // namespace

std::vector<std::uint8_t> reportDescriptor(const ReportShape& shape) {
    int count = std::clamp(shape.dataLength, 1, kMaxReportDataLength);
    std::vector<std::uint8_t> d = {
        0x06, 0x00, 0xFF,  // Usage Page (Vendor Defined 0xFF00)
        0x09, 0x01,        // Usage (0x01)
        0xA1, 0x01,        // Collection (Application)
    };
    if (shape.reportIds) d.insert(d.end(), {0x85, kThermometerReportId});  // Report ID
    d.insert(d.end(), {
                          0x15, 0x00,        // Logical Minimum (0)
                          0x26, 0xFF, 0x00,  // Logical Maximum (255)
                          0x75, 0x08,        // Report Size (8)
                      });
    appendReportCount(d, count);
    d.insert(d.end(), {0x09, 0x01, 0x81, 0x02});  // Usage (0x01), Input (Data,Var,Abs)
    appendReportCount(d, count);
    d.insert(d.end(), {0x09, 0x01, 0x91, 0x02});  // Usage (0x01), Output (Data,Var,Abs)
    d.push_back(0xC0);                            // End Collection
    return d;
}

std::vector<std::uint8_t> inputReport(const ReportShape& shape, ValueBytes value) {
    auto length = static_cast<std::size_t>(std::clamp(shape.dataLength, 1, kMaxReportDataLength));
    std::vector<std::uint8_t> data(length, 0);
    data[0] = value.high;
    if (length > 1) data[1] = value.low;
    if (shape.reportIds) data.insert(data.begin(), kThermometerReportId);
    return data;
}

std::optional<std::uint8_t> parseByte(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    unsigned value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size() || text.empty() || value > 255)
        return std::nullopt;
    return static_cast<std::uint8_t>(value);
}

std::optional<double> parseNumber(std::string_view text) {
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty() ||
        !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<long> parseInteger(std::string_view text, long min, long max) {
    long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty() || value < min ||
        value > max)
        return std::nullopt;
    return value;
}

std::optional<Calibration> parseCalibration(std::string_view text) {
    auto comma = text.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    auto zero = parseNumber(text.substr(0, comma));
    auto hundred = parseNumber(text.substr(comma + 1));
    if (!zero || !hundred) return std::nullopt;
    return Calibration{*zero, *hundred};
}

}  // namespace thermo::sim
