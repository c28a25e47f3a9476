#include "reader/options.h"

#include <CLI/CLI.hpp>
#if THERMO_NETWORK_OUTPUTS
#include <arpa/inet.h>
#include <netinet/in.h>
#endif
#include <cctype>
#include <charconv>
#include <limits>
#include <ostream>
#include <string_view>
#include <utility>

#include "hid/thermometer.h"
#include "reader/output.h"
#include "reader/probe_name.h"

namespace thermo::reader {

namespace {

const std::string kDescription =
    "Reads the USB thermometer (vendor " + hid::idText(hid::kThermometerVendorId) + ", product " +
    hid::idText(hid::kThermometerProductId) + ") and prints the temperature as the " +
    std::string(hid::kThermometerName) +
    " window shows it, once or at an interval, as text, JSON, CSV or InfluxDB's line protocol, "
    "and optionally into a file for node_exporter's textfile collector" +
    std::string(THERMO_NETWORK_OUTPUTS != 0
                    ? ", at /metrics over HTTP for Prometheus (--listen) and to an MQTT broker "
                      "with Home Assistant's discovery (--mqtt)"
                    : "") +
    "; or once as a monitoring plugin (--check).";

const std::string kFooter =
    "Calibration:\n"
    "  The two points come from the calibration file the window keeps (cal.txt in the working\n"
    "  folder unless --cal names another). This program never creates or writes it; without\n"
    "  cal.txt it uses the window's default points 0.72 and 0.35 and says so on standard\n"
    "  error. A file named with --cal has to be there and readable (exit status 4 otherwise).\n"
    "\n"
    "Repeated readings:\n"
    "  While the thermometer is gone (unplugged, no report within 6 s, or reports shorter\n"
    "  than its own) no row is written; standard error says when it went and when it is\n"
    "  back. SIGINT and SIGTERM end the run after the line being written. A run without\n"
    "  --device stays with the USB port of the thermometer it started with; with --device\n"
    "  PORT it carries on with the thermometer plugged back into that port, whatever its\n"
    "  node is called then.\n"
    "\n"
    "Exit status (--check has the plugins' own, 0 to 3, below):\n"
    "  0  the last attempt gave a reading, or SIGINT or SIGTERM ended a repeated run\n"
    "     (--list: a thermometer that can be read is attached)\n"
    "  1  wrong command line\n"
    "  2  no thermometer found (or the one found cannot be opened; --list: none can be read)\n"
    "  3  no report from the thermometer: none within 6 s, a short one, or it was unplugged\n"
    "     (or SIGINT or SIGTERM came first)\n"
    "  4  the calibration file is unreadable or its points give no temperature\n"
    "  5  the output could not be written: standard output (the run ends there), or the\n"
    "     --prometheus file at any time of the run (2, 3 and 4 come first)\n"
    "\n"
    "Monitoring check (--check):\n"
    "  One reading, one line and the exit status of a monitoring plugin, as the Monitoring\n"
    "  Plugins development guidelines have them: the state and the temperature as the window\n"
    "  shows it, then the perfdata:\n"
    "    USB THERMOMETER OK - 54.2 \302\260C | temperature=54.18;~:-15;~:-10;;\n"
    "  0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (no thermometer, no report within 6 s, an\n"
    "  unusable calibration file, or a wrong command line: the reason is on the line).\n"
    "  RANGE is the guidelines' [@]start:end: 10 alerts outside 0..10, 10: below 10, ~:10\n"
    "  above 10, 10:20 outside 10..20, @10:20 inside 10..20 (endpoints included); numbers\n"
    "  may be negative and have decimals (a freezer: -w ~:-15 -c ~:-10). CRITICAL is\n"
    "  checked first. The perfdata value is in degrees Celsius, unitless since the\n"
    "  guidelines have no unit of temperature, with a point whatever the locale; the\n"
    "  ranges are compared with that value, two decimals.\n";

// Whether a command line asks for --check, so that even a wrong one is answered as a plugin is.
bool asksForCheck(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") return false;
        if (arg == "--check") return true;
    }
    return false;
}

const CLI::Validator kThresholdRange(
    [](const std::string& text) -> std::string {
        if (parseThresholdRange(text)) return {};
        return text + " is not a range ([@]start:end, e.g. 10, 10:, ~:10, 10:20, @10:20)";
    },
    "", "RANGE");

const CLI::Validator kProbeName(
    [](const std::string& text) -> std::string {
        const std::string why = whyNotAProbeName(text);
        return why.empty() ? why : "not a name: " + why;
    },
    "", "NAME");

// Numbers on the command line are decimal: CLI11 alone reads "010" as eight and "0x10" as
// sixteen (strtoll with base 0), and takes "nan" and "inf" for an interval, which no range check
// catches (NaN compares false with both ends).
class DecimalText {
  public:
    explicit DecimalText(std::string_view text) : text_(text), signLength_(take("+-") ? 1 : 0) {}

    std::size_t signLength() const { return signLength_; }

    std::size_t digits() {
        const std::size_t from = at_;
        while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_])) != 0) {
            ++at_;
        }
        return at_ - from;
    }
    bool take(std::string_view oneOf) {
        if (at_ == text_.size() || oneOf.find(text_[at_]) == std::string_view::npos) return false;
        ++at_;
        return true;
    }
    bool atEnd() const { return at_ == text_.size(); }

  private:
    std::string_view text_;
    std::size_t at_ = 0;
    std::size_t signLength_;
};

// A sign and digits; leading zeros are dropped, so that CLI11 reads ten in "010".
const CLI::Validator kDecimalInteger(
    [](std::string& text) -> std::string {
        DecimalText scan(text);
        const std::size_t sign = scan.signLength();
        if (scan.digits() == 0 || !scan.atEnd()) return text + " is not a whole decimal number";
        const std::size_t first = text.find_first_not_of('0', sign);
        text.erase(sign, (first == std::string::npos ? text.size() - 1 : first) - sign);
        return {};
    },
    "", "DECIMAL");

// A sign, digits with a point among or after them ("0.2", ".5", "2."), an exponent ("1e-3").
const CLI::Validator kDecimalReal(
    [](std::string& text) -> std::string {
        DecimalText scan(text);
        std::size_t digits = scan.digits();
        if (scan.take(".")) digits += scan.digits();
        bool exponentOk = true;
        if (scan.take("eE")) {
            scan.take("+-");
            exponentOk = scan.digits() > 0;
        }
        if (digits == 0 || !exponentOk || !scan.atEnd()) return text + " is not a decimal number";
        return {};
    },
    "", "DECIMAL");

#ifndef _WIN32
// mqtt://HOST[:PORT] or mqtts://HOST[:PORT], an IPv6 host in brackets; what is wrong otherwise.
std::string parseMqttUrl(std::string_view text, MqttOptions& mqtt) {
    const std::string whole(text);
    for (const auto& [scheme, tls] : {std::pair{"mqtt://", false}, {"mqtts://", true}}) {
        if (text.starts_with(scheme)) {
            mqtt.tls = tls;
            text.remove_prefix(std::string_view(scheme).size());
            break;
        }
        if (!tls) continue;
        return whole + " is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    }
    if (text.find('@') != std::string_view::npos) {
        return whole + ": a user goes in --mqtt-user, a password in --mqtt-password-file";
    }
    std::string_view rest;
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string_view::npos || close == 1) return whole + ": no IPv6 address in []";
        mqtt.host = std::string(text.substr(1, close - 1));
        rest = text.substr(close + 1);
    } else {
        const auto end = text.find_first_of(":/");
        mqtt.host = std::string(text.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : text.substr(end);
        if (mqtt.host.empty()) return whole + ": no host";
    }
    if (rest.ends_with('/')) rest.remove_suffix(1);
    if (rest.empty()) return {};
    if (!rest.starts_with(':')) return whole + ": nothing may follow the host but :PORT";
    rest.remove_prefix(1);
    unsigned port = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), port);
    if (error != std::errc() || end != rest.data() + rest.size() || port == 0 || port > 65535 ||
        !std::isdigit(static_cast<unsigned char>(rest.front()))) {
        return whole + ": the port is not a number from 1 to 65535";
    }
    mqtt.port = static_cast<std::uint16_t>(port);
    return {};
}
#endif

#if THERMO_NETWORK_OUTPUTS
// Whether `text` is an address of `family` as the system reads one (IPv4 as four decimal
// numbers without leading zeros; IPv6 in RFC 4291's forms, "::ffff:192.0.2.1" too).
bool isAddress(int family, const std::string& text) {
    in6_addr bytes{};
    return ::inet_pton(family, text.c_str(), &bytes) == 1;
}

// ADDRESS:PORT with ADDRESS empty, IPv4 or a bracketed IPv6 address; the reason otherwise.
std::variant<ListenAddress, std::string> parseListenAddress(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || text.back() == ']') {
        return "no :PORT (ADDRESS:PORT, e.g. :9999)";
    }
    std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    const bool digits = !port.empty() && port.size() <= 5 &&
                        port.find_first_not_of("0123456789") == std::string_view::npos;
    const int number = digits ? std::stoi(std::string(port)) : 0;
    if (number < 1 || number > 65535) return "the port is a decimal number from 1 to 65535";
    ListenAddress address;
    address.port = static_cast<std::uint16_t>(number);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        if (!isAddress(AF_INET6, std::string(host))) {
            return std::string(host) + " is not an IPv6 address";
        }
    } else if (!host.empty() && !isAddress(AF_INET, std::string(host))) {
        return std::string(host) +
               " is not an IPv4 address (an IPv6 one is written in brackets, [::1]:9999)";
    }
    address.host = host;
    return address;
}

const CLI::Validator kListenAddress(
    [](const std::string& text) -> std::string {
        const auto parsed = parseListenAddress(text);
        const std::string* why = std::get_if<std::string>(&parsed);
        return why ? text + ": " + *why : std::string();
    },
    "", "ADDRESS:PORT");
#endif

// The network outputs are built on Linux only: Debian has their libraries (libmicrohttpd,
// libmosquitto) for it alone.
constexpr bool kNetworkOutputs = THERMO_NETWORK_OUTPUTS != 0;

const std::string kExporterFooter =
    kNetworkOutputs
        ? "\n"
          "Prometheus exporter (--listen):\n"
          "  GET /metrics answers from the last reading in memory (the --prometheus text,\n"
          "  Content-Type text/plain; version=0.0.4), so a silent or unplugged thermometer\n"
          "  never slows a scrape; GET / links to it. The packaged service listens on port " +
              std::to_string(THERMO_EXPORTER_PORT) +
              ",\n"
              "  outside 9100-9999, which Prometheus' list of exporters' default ports has all\n"
              "  taken, and below the ephemeral ports (32768 up) that outgoing connections\n"
              "  hold. An address that cannot be bound (in use, not permitted) is exit status 1.\n"
        : "\n"
          "Network outputs:\n"
          "  --listen (a Prometheus exporter) and --mqtt with the --mqtt-* options (an MQTT\n"
          "  client) are built on Linux only: this Windows program has neither.\n";

}  // namespace

std::variant<Options, int> parseOptions(int argc, const char* const* argv, std::ostream& out,
                                        std::ostream& err) {
    Options options;
    CLI::App app(kDescription, "usb-thermometer-read");
    app.set_version_flag("--version", std::string("usb-thermometer-read ") + THERMO_VERSION);
    app.footer(kFooter + kExporterFooter);

    auto* list = app.add_flag(
        "--list", options.list,
        "List every attached thermometer, one a line of tab-separated fields: its USB port (- "
        "when unknown), device path, report length in bytes, and ok; one that cannot be opened "
        "is listed with - and why (refused: the udev rule is the fix). With --json, one JSON "
        "object a line");
    auto* device =
        app.add_option("--device", options.device,
                       "Read the thermometer in this USB port (as --list shows it, e.g. 1-2) or at "
                       "this device path (or a link to it) rather than the first one found")
            ->type_name("PORT|PATH");
    auto* count =
        app.add_option("--count", options.count,
                       "Readings to write; 0 reads until interrupted. With 1, one attempt: its "
                       "failure is the exit status. With more, failed attempts are not counted")
            ->type_name("N")
            ->transform(kDecimalInteger)
            ->check(CLI::Range(0, std::numeric_limits<int>::max()).description(""))
            ->capture_default_str();
    auto* interval = app.add_option("--interval", options.intervalSeconds,
                                    "Seconds from one reading to the next (fractions allowed)")
                         ->type_name("SECONDS")
                         ->transform(kDecimalReal)
                         ->check(CLI::Range(0.001, 31'536'000.0).description(""))
                         ->capture_default_str();
    auto* json = app.add_flag_callback(
        "--json", [&] { options.format = Format::Json; },
        "One JSON object a line: time (RFC 3339, UTC), device, port (empty when not known), "
        "name (when given), ratio, celsius, fahrenheit, the texts the window shows, the "
        "calibration points; numbers are always written with a point (-25.0)");
    auto* csv = app.add_flag_callback(
        "--csv", [&] { options.format = Format::Csv; },
        "A header line, then the JSON's fields with port and name last; the header is left out "
        "when standard output is a regular file that already holds data (a log appended to)");
    auto* noHeader =
        app.add_flag_callback(
               "--no-header", [&] { options.csvHeader = false; }, "With --csv: never a header")
            ->needs(csv);
    auto* quiet = app.add_flag("--quiet,-q", options.quiet,
                               "Leave out notices (the default points in use, a thermometer found "
                               "or back); errors are still said");
    auto* influx = app.add_flag_callback(
        "--influx", [&] { options.format = Format::Influx; },
        "InfluxDB's line protocol, one line a reading: measurement usb_thermometer, tags port "
        "and name (left out when empty), fields celsius, fahrenheit and ratio, a timestamp in "
        "nanoseconds (for Telegraf's exec and execd inputs, or InfluxDB's /write)");
    json->excludes(csv);
    influx->excludes(json)->excludes(csv);
    auto* name = app.add_option("--name", options.name,
                                "A name for the probe (UTF-8, no control characters): JSON's "
                                "name, CSV's name column, the Prometheus and InfluxDB name label, "
                                "--check's perfdata label")
                     ->type_name("NAME")
                     ->check(kProbeName);
    auto* check = app.add_flag("--check", options.check,
                               "Take one reading as a monitoring plugin (Nagios, Icinga, Naemon): "
                               "one line with OK, WARNING, CRITICAL or UNKNOWN and perfdata, exit "
                               "status 0 to 3; see below");
    const auto addRange = [&](const char* names, std::optional<ThresholdRange>& range,
                              const char* help) {
        return app
            .add_option_function<std::string>(
                names, [&range](const std::string& text) { range = parseThresholdRange(text); },
                help)
            ->type_name("RANGE")
            ->check(kThresholdRange)
            ->needs(check);
    };
    addRange("-w,--warning", options.warning, "With --check: WARNING when the value alerts");
    addRange("-c,--critical", options.critical, "With --check: CRITICAL when the value alerts");
    auto* prometheus =
        app.add_option("--prometheus", options.prometheus,
                       "After every reading, replace this file atomically with the readings in "
                       "Prometheus' text format (for node_exporter's textfile collector); combines "
                       "with the other formats")
            ->type_name("FILE");
    CLI::Option* listen = nullptr;
#if THERMO_NETWORK_OUTPUTS
    {
        listen =
            app.add_option_function<std::string>(
                   "--listen",
                   [&](const std::string& text) {
                       options.listen = std::get<ListenAddress>(parseListenAddress(text));
                   },
                   std::string("Serve the readings at http://ADDRESS:PORT/metrics for a "
                               "Prometheus server to scrape, as --prometheus writes them; "
                               "ADDRESS empty for every interface, an IPv4 or a bracketed "
                               "IPv6 address ([::1]:") +
                       std::to_string(THERMO_EXPORTER_PORT) + "). Implies --count 0; see below")
                ->type_name("ADDRESS:PORT")
                ->check(kListenAddress);
    }
#endif
    auto* cal = app.add_option("--cal", options.calibration,
                               std::string("Calibration file, never written (default: ") +
                                   kDefaultCalibrationFile + ")")
                    ->type_name("FILE");

    // The MQTT client. Debian has no libmosquitto for mingw, so the Windows program has none.
#ifdef _WIN32
    CLI::Option* mqttUrl = nullptr;
#else
    MqttOptions mqtt;
    auto* mqttUrl =
        app.add_option_function<std::string>(
               "--mqtt", [](const std::string&) {},
               "Publish every reading to this MQTT broker, mqtt://HOST[:PORT] (1883) or "
               "mqtts://HOST[:PORT] (TLS, 8883), with Home Assistant's discovery; reads until "
               "interrupted unless --count is given")
            ->type_name("URL")
            ->check(CLI::Validator(
                [&mqtt](const std::string& text) { return parseMqttUrl(text, mqtt); }, "", "URL"));
    auto* mqttCa = app.add_option("--mqtt-ca", mqtt.ca,
                                  "With mqtts://: the certificate authorities to trust (PEM) "
                                  "instead of the system's")
                       ->type_name("FILE");
    auto* mqttUser =
        app.add_option("--mqtt-user", mqtt.user, "The user name to log in to the broker with")
            ->type_name("NAME");
    auto* mqttPassword = app.add_option("--mqtt-password-file", mqtt.passwordFile,
                                        "The password to log in with: this file's first line "
                                        "(never on the command line, where ps shows it)")
                             ->type_name("FILE");
    auto* mqttPrefix =
        app.add_option("--mqtt-discovery-prefix", mqtt.discoveryPrefix,
                       "The topic under which Home Assistant looks for discovery configs")
            ->type_name("PREFIX")
            ->capture_default_str();
    mqttPassword->needs(mqttUser);
    for (CLI::Option* setting : {mqttCa, mqttUser, mqttPassword, mqttPrefix}) {
        setting->needs(mqttUrl);
    }
    for (CLI::Option* option : {mqttUrl, mqttCa, mqttUser, mqttPassword, mqttPrefix}) {
        check->excludes(option);
        list->excludes(option);
    }
#endif

    // A check is one reading into one line, and a listing reads nothing: what does not apply
    // to them is refused rather than silently ignored.
    for (CLI::Option* other :
         {count, interval, json, csv, influx, noHeader, prometheus, quiet, list}) {
        check->excludes(other);
    }
    for (CLI::Option* other :
         {device, count, interval, csv, influx, noHeader, prometheus, cal, quiet, name}) {
        list->excludes(other);
    }
    if (listen) {
        check->excludes(listen);
        list->excludes(listen);
    }

    try {
        app.parse(argc, argv);
        if (options.format == Format::Influx && !lineProtocolCanCarry(options.name)) {
            throw CLI::ValidationError(name->get_name(),
                                       "with --influx a backslash cannot end the name or stand "
                                       "before a space, comma, equals sign or backslash");
        }
        if (mqttUrl != nullptr && mqttUrl->count() > 0) {
#ifndef _WIN32
            if (mqtt.ca && !mqtt.tls) {
                throw CLI::ValidationError(mqttCa->get_name(), "needs an mqtts:// URL");
            }
            // The broker refuses a topic that is not UTF-8 or holds a wildcard, and every
            // discovery would then be lost without a word.
            if (!whyNotAProbeName(mqtt.discoveryPrefix).empty() ||
                mqtt.discoveryPrefix.find_first_of("#+") != std::string::npos) {
                throw CLI::ValidationError(mqttPrefix->get_name(),
                                           "must be a topic: not empty, UTF-8 without control "
                                           "characters, no # or +");
            }
            options.mqtt = mqtt;
#endif
        }
        // A network output serves for as long as the program runs: without --count it reads
        // until it is stopped.
        if ((options.listen || options.mqtt) && count->count() == 0) options.count = 0;
        // The perfdata label has no spelling for an equals sign (the guidelines).
        if (options.check && options.name.find('=') != std::string::npos) {
            throw CLI::ValidationError(name->get_name(),
                                       "with --check a name cannot hold \"=\" (a perfdata label)");
        }
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() != 0 && asksForCheck(argc, argv)) {
            out << checkUnknownLine(error.what());
            return static_cast<int>(CheckState::Unknown);
        }
        const int status = app.exit(error, out, err);
        return status == 0 ? ExitRead : ExitUsage;
    }
    return options;
}

}  // namespace thermo::reader
