#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <variant>

#include "reader/threshold.h"

namespace thermo::reader {

// The program's exit statuses; --help lists them.
enum ExitStatus : int {
    ExitRead = 0,
    ExitUsage = 1,
    ExitNoThermometer = 2,
    ExitNoReport = 3,
    ExitCalibration = 4,
    ExitOutput = 5,
};

enum class Format { Plain, Json, Csv, Influx };

inline constexpr const char* kDefaultCalibrationFile = "cal.txt";

// --listen ADDRESS:PORT: where the HTTP exporter serves /metrics.
struct ListenAddress {
    std::string host;  // empty: every interface; an IPv6 address without its brackets
    std::uint16_t port = 0;
};

// --mqtt URL and the options that go with it.
struct MqttOptions {
    bool tls = false;  // mqtts://
    std::string host;
    std::uint16_t port = 0;                             // 0: the scheme's own (1883, 8883)
    std::optional<std::filesystem::path> ca;            // --mqtt-ca
    std::string user;                                   // --mqtt-user; empty: none
    std::optional<std::filesystem::path> passwordFile;  // --mqtt-password-file
    std::string discoveryPrefix = "homeassistant";
};

struct Options {
    bool list = false;
    std::optional<std::string> device;  // no value: the first thermometer found
    int count = 1;                      // readings written; 1 is one attempt; 0: until interrupted
    double intervalSeconds = 1;
    Format format = Format::Plain;
    std::optional<std::filesystem::path> prometheus;
    // No value: cal.txt of the working folder, with the default points standing in for it when
    // it does not exist. A file the user named has to be there.
    std::optional<std::filesystem::path> calibration;
    bool csvHeader = true;  // --no-header: never; otherwise unless the output holds data already
    bool quiet = false;     // notices left out; errors are still said
    // The probe's name in every output form (--name); empty when not given.
    std::string name;
    // One reading as a monitoring plugin: a line and the state's exit status (0 to 3).
    bool check = false;
    std::optional<ThresholdRange> warning;
    std::optional<ThresholdRange> critical;
    std::optional<ListenAddress> listen;
    std::optional<MqttOptions> mqtt;
};

// The options of a command line, or the status to exit with at once: after --help or
// --version (printed to `out`), or after a wrong command line (said on `err`; with --check,
// UNKNOWN on `out` and status 3, as a plugin's usage error).
std::variant<Options, int> parseOptions(int argc, const char* const* argv, std::ostream& out,
                                        std::ostream& err);

}  // namespace thermo::reader
