#include "reader/output.h"

#include <array>
#include <charconv>
#include <cstdio>

#include "measure/conversion.h"

namespace thermo::reader {

namespace {

using namespace std::chrono;

// Machine-readable forms never depend on the user's locale.
constexpr std::string_view kPoint = ".";

// The shortest text that reads back to the same value ("0.51953125", "54.180744").
template <typename Number>
std::string shortest(Number value) {
    std::array<char, 64> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return std::string(buffer.data(), result.ptr);
}

std::string celsiusShown(const Reading& reading) {
    return formatReading(reading.celsius, DisplayPattern::TwoIntegerDigits, kPoint);
}

std::string fahrenheitShown(const Reading& reading) {
    return formatReading(reading.fahrenheit, DisplayPattern::OneIntegerDigit, kPoint);
}

// JSON has one number type, but a consumer that fixes a field's type from its first line takes
// "-25" for an integer: a whole value is written "-25.0", as every other is with a point.
template <typename Number>
std::string withPoint(Number value) {
    std::string text = shortest(value);
    if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
    return text;
}

// A point without a value counts as 0 in the conversion, so 0 is the point in use.
std::string pointText(const MaybeNumber& point) { return shortest(point.value_or(0.0)); }
std::string jsonPoint(const MaybeNumber& point) { return withPoint(point.value_or(0.0)); }

// RFC 4180: a field holding a comma, quote or line end is quoted, its quotes doubled.
std::string csvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

// Label values escape backslash, quote and line feed.
std::string labelValue(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

// The line protocol's escapes: a backslash before each of `special` in a measurement, a tag
// key or value, or a field key (commas and spaces; equals signs too but in the measurement).
std::string lineProtocolName(std::string_view text, std::string_view special) {
    std::string escaped;
    for (const char c : text) {
        if (special.find(c) != std::string_view::npos) escaped += '\\';
        escaped += c;
    }
    return escaped;
}

void appendTag(std::string& line, std::string_view key, std::string_view value) {
    if (value.empty()) return;  // the protocol has no empty tag value
    line.append(",").append(lineProtocolName(key, ", =")).append("=");
    line.append(lineProtocolName(value, ", ="));
}

// Seconds since the epoch with milliseconds: "1765100000.123".
std::string epochSeconds(system_clock::time_point time) {
    const auto ms = floor<milliseconds>(time).time_since_epoch().count();
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%lld.%03lld", static_cast<long long>(ms / 1000),
                  static_cast<long long>(ms % 1000));
    return text.data();
}

// `{port="1-2",name="fridge"}`, without the empty ones; nothing at all when both are.
std::string labelSet(const ExpositionState& state) {
    std::string labels;
    for (const auto& [key, value] :
         {std::pair<std::string_view, std::string_view>{"port", state.port},
          {"name", state.name}}) {
        if (value.empty()) continue;
        labels.append(labels.empty() ? "{" : ",").append(key).append("=\"");
        labels.append(labelValue(value)).append("\"");
    }
    return labels.empty() ? labels : labels + "}";
}

void appendGauge(std::string& text, std::string_view name, std::string_view help,
                 std::string_view labels, std::string_view value) {
    text.append("# HELP ").append(name).append(" ").append(help).append("\n");
    text.append("# TYPE ").append(name).append(" gauge\n");
    text.append(name).append(labels).append(" ").append(value).append("\n");
}

constexpr std::string_view kCheckService = "USB THERMOMETER ";

std::string perfdataNumber(float celsius) {
    std::array<char, 64> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), celsius,
                                      std::chars_format::fixed, 2);
    return std::string(buffer.data(), result.ptr);
}

// The guidelines' label: quoted when it holds more than letters, digits and "_.-", a quote in it
// doubled. An equals sign has no spelling there; the options refuse it.
std::string perfdataLabel(std::string_view label) {
    const bool plain = !label.empty() && label.find_first_not_of(
                                             "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                             "0123456789_.-") == std::string_view::npos;
    if (plain) return std::string(label);
    std::string quoted = "'";
    for (const char c : label) {
        if (c == '\'') quoted += '\'';
        quoted += c;
    }
    return quoted + "'";
}

}  // namespace

std::string jsonString(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            std::array<char, 8> escape{};
            std::snprintf(escape.data(), escape.size(), "\\u%04x", static_cast<unsigned>(c));
            quoted += escape.data();
        } else {
            quoted += c;
        }
    }
    return quoted + '"';
}

std::string jsonNumber(double value) { return withPoint(value); }
std::string jsonNumber(float value) { return withPoint(value); }

std::optional<Reading> readingFromReport(std::span<const std::uint8_t> report,
                                         const CalibrationPoints& points) {
    const auto ratio = ratioFromReport(report);
    if (!ratio) return std::nullopt;
    const auto celsius = celsiusFromRatio(ratio, points.zero, points.hundred);
    if (!celsius) return std::nullopt;
    const auto fahrenheit = fahrenheitFromCelsius(*celsius);
    if (!fahrenheit) return std::nullopt;
    Reading reading;
    reading.ratio = *ratio;
    reading.celsius = *celsius;
    reading.fahrenheit = *fahrenheit;
    reading.points = points;
    return reading;
}

std::string rfc3339(system_clock::time_point time) {
    const auto ms = floor<milliseconds>(time);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss clock{ms - day};
    std::array<char, 40> text{};
    std::snprintf(text.data(), text.size(), "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()),
                  static_cast<int>(clock.subseconds().count()));
    return text.data();
}

std::string plainLine(const Reading& reading) {
    return celsiusShown(reading) + std::string(kCelsiusUnit) + "  " + fahrenheitShown(reading) +
           std::string(kFahrenheitUnit) + "\n";
}

std::string jsonLine(const Reading& reading) {
    return "{\"time\":" + jsonString(rfc3339(reading.time)) +
           ",\"device\":" + jsonString(reading.device) + ",\"port\":" + jsonString(reading.port) +
           (reading.name.empty() ? "" : ",\"name\":" + jsonString(reading.name)) +
           ",\"ratio\":" + jsonNumber(reading.ratio) +
           ",\"celsius\":" + jsonNumber(reading.celsius) +
           ",\"fahrenheit\":" + jsonNumber(reading.fahrenheit) +
           ",\"celsius_shown\":" + jsonString(celsiusShown(reading)) +
           ",\"fahrenheit_shown\":" + jsonString(fahrenheitShown(reading)) +
           ",\"cal_zero\":" + jsonPoint(reading.points.zero) +
           ",\"cal_hundred\":" + jsonPoint(reading.points.hundred) + "}\n";
}

std::string influxLine(const Reading& reading) {
    std::string line = lineProtocolName("usb_thermometer", ", ");
    appendTag(line, "port", reading.port);
    appendTag(line, "name", reading.name);
    const auto ns = duration_cast<nanoseconds>(reading.time.time_since_epoch()).count();
    return line + " celsius=" + shortest(reading.celsius) +
           ",fahrenheit=" + shortest(reading.fahrenheit) + ",ratio=" + shortest(reading.ratio) +
           " " + std::to_string(ns) + "\n";
}

bool lineProtocolCanCarry(std::string_view tagValue) {
    for (std::size_t at = tagValue.find('\\'); at != std::string_view::npos;
         at = tagValue.find('\\', at + 1)) {
        if (at + 1 == tagValue.size() ||
            std::string_view(", =\\").find(tagValue[at + 1]) != std::string_view::npos) {
            return false;
        }
    }
    return true;
}

std::string csvHeader() {
    return "time,device,ratio,celsius,fahrenheit,celsius_shown,fahrenheit_shown,cal_zero,"
           "cal_hundred,port,name\n";
}

std::string csvLine(const Reading& reading) {
    return rfc3339(reading.time) + "," + csvField(reading.device) + "," + shortest(reading.ratio) +
           "," + shortest(reading.celsius) + "," + shortest(reading.fahrenheit) + "," +
           celsiusShown(reading) + "," + fahrenheitShown(reading) + "," +
           pointText(reading.points.zero) + "," + pointText(reading.points.hundred) + "," +
           csvField(reading.port) + "," + csvField(reading.name) + "\n";
}

std::string prometheusText(const ExpositionState& state) {
    const std::string label = labelSet(state);
    std::string text;
    appendGauge(text, "usb_thermometer_up",
                "Whether the last reading attempt got a report from the thermometer.", label,
                state.reading ? "1" : "0");
    if (state.reading) {
        appendGauge(text, "usb_thermometer_celsius",
                    "Temperature of the last reading, in degrees Celsius.", label,
                    shortest(state.reading->celsius));
    }
    if (state.lastReadingTime) {
        appendGauge(text, "usb_thermometer_last_reading_timestamp_seconds",
                    "When the last reading was taken, in seconds since the epoch.", label,
                    epochSeconds(*state.lastReadingTime));
    }
    return text;
}

double checkValue(const Reading& reading) {
    const std::string text = perfdataNumber(reading.celsius);
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

std::string checkLine(CheckState state, const Reading& reading, std::string_view label,
                      const std::optional<ThresholdRange>& warning,
                      const std::optional<ThresholdRange>& critical) {
    return std::string(kCheckService) + std::string(checkStateWord(state)) + " - " +
           celsiusShown(reading) + std::string(kCelsiusUnit) + " | " + perfdataLabel(label) + "=" +
           perfdataNumber(reading.celsius) + ";" + (warning ? warning->text : "") + ";" +
           (critical ? critical->text : "") + ";;\n";
}

std::string checkUnknownLine(std::string_view reason) {
    std::string line = std::string(kCheckService) + "UNKNOWN - ";
    for (const char c : reason) {
        line += (c == '|' || static_cast<unsigned char>(c) < 0x20) ? ' ' : c;
    }
    return line + "\n";
}

}  // namespace thermo::reader
