#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "measure/calibration_file.h"
#include "reader/threshold.h"

namespace thermo::reader {

// One reading as every output form writes it: the report's ratio, the window's conversion of it
// with the points in use, and when and from where it came.
struct Reading {
    std::chrono::system_clock::time_point time;
    std::string device;
    std::string port;  // empty where the platform tells none
    std::string name;  // --name; empty when not given
    double ratio = 0;
    float celsius = 0;
    float fahrenheit = 0;
    CalibrationPoints points;
};

// The window's conversion of one report with the given points; no value when the report is too
// short or the points give no temperature for it.
std::optional<Reading> readingFromReport(std::span<const std::uint8_t> report,
                                         const CalibrationPoints& points);

// "2026-12-07T09:30:05.123Z": RFC 3339 in UTC, milliseconds.
std::string rfc3339(std::chrono::system_clock::time_point time);

// "54.2 °C  129.5 °F", the texts the window shows; "." whatever the locale, for scripts.
std::string plainLine(const Reading& reading);

// One JSON object on one line: the texts as the window shows them and the numbers at full
// precision (the ratio and the points as the shortest form that reads back to the same double,
// °C and °F as the shortest that reads back to the same float).
std::string jsonLine(const Reading& reading);

// A JSON string: quotes, backslashes and control characters escaped.
std::string jsonString(std::string_view text);
// A JSON number: the shortest text that reads back to the same value, always with a point or an
// exponent ("-25.0"), so that no consumer takes the field for an integer.
std::string jsonNumber(double value);
std::string jsonNumber(float value);

// InfluxDB's line protocol: "usb_thermometer,port=1-2,name=fridge celsius=54.180744,
// fahrenheit=129.52534,ratio=0.51953125 1796648320287000000" (nanoseconds since the epoch), an
// empty tag left out, keys and values escaped as the protocol asks.
std::string influxLine(const Reading& reading);
// Whether a tag value reads back as written. InfluxDB 1.x takes a backslash before a space, a
// comma or an equals sign for an escape, keeps two backslashes as two (the 2.x reference reads
// them as one), and a line whose tag value ends in one does not parse at all: so a backslash
// there, or next to another, has no spelling that every version reads the same.
bool lineProtocolCanCarry(std::string_view tagValue);

std::string csvHeader();
std::string csvLine(const Reading& reading);

// What node_exporter's textfile collector reads: usb_thermometer_up, and with a reading its
// temperature; the time of the last reading whenever there has been one. Every series is
// labelled by the stable identities, `port` and `name`, never by the node the kernel renames at
// each plug; an empty one is left out, as Prometheus takes an empty label for none.
struct ExpositionState {
    std::string port;
    std::string name;
    std::optional<Reading> reading;  // no value while the thermometer is gone
    std::optional<std::chrono::system_clock::time_point> lastReadingTime;
};
std::string prometheusText(const ExpositionState& state);

// --check's one line, as the Monitoring Plugins guidelines have a plugin print it:
// "USB THERMOMETER OK - 54.2 °C | temperature=54.18;~:-15;~:-10;;". The perfdata value is
// unitless degrees Celsius (the guidelines have no unit of temperature) in the C locale, and
// `state` is to be decided on checkValue() of the same reading, so that a consumer that
// re-evaluates the perfdata against the ranges comes to the same state.
std::string checkLine(CheckState state, const Reading& reading, std::string_view label,
                      const std::optional<ThresholdRange>& warning,
                      const std::optional<ThresholdRange>& critical);
// The temperature as the perfdata carries it: two decimals, no exponent.
double checkValue(const Reading& reading);
// "USB THERMOMETER UNKNOWN - no thermometer found": the reason on the same line, without what
// would end the line or start perfdata there.
std::string checkUnknownLine(std::string_view reason);

}  // namespace thermo::reader
