#include "tools/thermometer-sim/options.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <utility>

#include "hid/thermometer.h"
#include "tools/thermometer-sim/control_protocol.h"

namespace thermo::sim {

namespace {

const std::string kEnvironment = kControlEnvironmentVariable;

const std::string kDescription =
    "Runs COMMAND (normally usb-thermometer) in a private mount namespace where /sys and /dev\n"
    "show a simulated USB HID thermometer (" +
    hid::thermometerIdsText() +
    ") as /dev/hidrawN, and exits with\n"
    "COMMAND's status: 128 + N when signal N ended it, 127 when it could not be found, 126\n"
    "when it could not be run, 125 when the simulator itself failed (a wrong option too).\n"
    "Without COMMAND it runs until SIGINT, SIGTERM, SIGHUP or SIGQUIT. Put -- before COMMAND\n"
    "when COMMAND or its arguments start with -.";

const std::string kFooter =
    "Controlling a running simulator:\n"
    "  usb-thermometer-sim ctl [-w MS] SOCKET COMMAND [ARGS...]\n"
    "sends one command to the simulator listening on SOCKET and prints its answer; -w waits up\n"
    "to MS ms for the socket to appear. Exit status 0: done, 1: refused, 2: a wait timed out.\n"
    "COMMAND finds SOCKET in $" +
    kEnvironment + ".\n\n" + std::string(controlHelp());

// What the command line sets beyond Options: --celsius is turned into a value only once the
// calibration is known, whichever order the two came in, and only if no later --raw replaced it.
struct Pending {
    double celsius = 0.0;
    bool celsiusGiven = false;
};

// An option whose text our own parser reads: CLI11 would read numbers with strtold, which
// follows the locale.
CLI::Option* addParsed(CLI::App& app, const std::string& name, const std::string& typeName,
                       const std::string& help, std::function<bool(const std::string&)> take) {
    auto callback = [name, take = std::move(take)](const std::string& text) {
        if (!take(text)) throw CLI::ValidationError(name, "bad value " + text);
    };
    return app.add_option_function<std::string>(name, callback, help)
        ->type_name(typeName)
        ->trigger_on_parse();
}

template <typename Number>
std::function<bool(const std::string&)> integerInto(Number& target, long min, long max) {
    return [&target, min, max](const std::string& text) {
        const auto value = parseInteger(text, min, max);
        if (value) target = static_cast<Number>(*value);
        return value.has_value();
    };
}

// The command line's grammar, writing into `options` and `pending` as it is parsed.
void describe(CLI::App& app, Options& options, Pending& pending) {
    app.description(kDescription);
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("usb-thermometer-sim ") + THERMO_VERSION);
    app.get_formatter()->column_width(24);

    SimulatorConfig& sim = options.simulator;
    addParsed(app, "--celsius", "C", "report the value that reads C (default 21)",
              [&pending](const std::string& text) {
                  const auto number = parseNumber(text);
                  if (number) pending = {*number, true};
                  return number.has_value();
              });
    addParsed(app, "--cal", "ZERO,HUNDRED",
              "calibration for --celsius (default 0.72,0.35, the program's defaults)",
              [&sim](const std::string& text) {
                  const auto cal = parseCalibration(text);
                  if (cal) sim.settings.calibration = *cal;
                  return cal.has_value();
              });
    addParsed(app, "--raw", "B1,B2", "report these value bytes instead (decimal or 0x..)",
              [&sim, &pending](const std::string& text) {
                  const std::size_t comma = text.find(',');
                  if (comma == std::string::npos) return false;
                  const auto high = parseByte(std::string_view(text).substr(0, comma));
                  const auto low = parseByte(std::string_view(text).substr(comma + 1));
                  if (!high || !low) return false;
                  sim.settings.value = {*high, *low};
                  pending.celsiusGiven = false;
                  return true;
              });
    addParsed(app, "--rate", "HZ", "reports a second, 0 for a silent device (default 10)",
              [&sim](const std::string& text) {
                  const auto rate = parseNumber(text);
                  if (!rate || *rate < 0 || *rate > 10000) return false;
                  sim.settings.rateHz = *rate;
                  return true;
              });
    app.add_flag("--report-ids", sim.settings.shape.reportIds,
                 "number reports: report id 1, then the data");
    addParsed(app, "--length", "N", "data bytes per report (default 64)",
              integerInto(sim.settings.shape.dataLength, 1, kMaxReportDataLength));
    addParsed(app, "--decoys", "N", "other HID interfaces, before the thermometer (default 0)",
              integerInto(sim.decoys, 0, kMaxDevices - 1));
    addParsed(app, "--thermometers", "N", "thermometers (default 1)",
              integerInto(sim.thermometers, 0, kMaxDevices));
    app.add_flag("--absent", sim.startUnplugged, "start with the thermometers unplugged");
    addParsed(app, "--control", "PATH",
              "control socket (default $" + kEnvironment + ", else one in a private folder)",
              [&options](const std::string& text) {
                  if (text.empty()) return false;
                  options.control = text;
                  return true;
              });
    app.add_flag("--userns", options.userNamespace,
                 "enter a user namespace too (automatic when not root)");
    app.add_flag("-v,--verbose", options.verbose, "say where the thermometers and the socket are");
    app.add_option("COMMAND", options.command, "the command to run, and its arguments");
    // The command's own options are its business: everything from COMMAND on is passed on.
    app.positionals_at_end();
}

}  // namespace

std::variant<Options, HelpRequested, std::string> parseOptions(
    const std::vector<std::string>& args) {
    Options options;
    Pending pending;
    CLI::App app("", "usb-thermometer-sim");
    describe(app, options, pending);
    try {
        // CLI11 takes the arguments last first.
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        return HelpRequested{app.help()};
    } catch (const CLI::CallForVersion& version) {
        return HelpRequested{std::string(version.what()) + "\n"};
    } catch (const CLI::ParseError& error) {
        return std::string(error.what());
    }
    const SimulatorConfig& sim = options.simulator;
    if (sim.thermometers + sim.decoys > kMaxDevices)
        return "at most " + std::to_string(kMaxDevices) + " devices can be simulated";
    if (pending.celsiusGiven)
        options.simulator.settings.value =
            valueForCelsius(pending.celsius, options.simulator.settings.calibration);
    return options;
}

}  // namespace thermo::sim
