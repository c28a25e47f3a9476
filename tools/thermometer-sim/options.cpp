#include "tools/thermometer-sim/options.h"

#include <algorithm>

#include "tools/thermometer-sim/control_protocol.h"

namespace thermo::sim {

std::string usageText() {
    return "usage: usb-thermometer-sim [OPTIONS] [--] COMMAND [ARGS...]\n"
           "       usb-thermometer-sim ctl [-w MS] SOCKET COMMAND [ARGS...]\n"
           "\n"
           "Runs COMMAND (normally usb-thermometer) in a private mount namespace where /sys and\n"
           "/dev show a simulated USB HID thermometer (04d8:0002) as /dev/hidrawN, and exits with\n"
           "COMMAND's status. Without COMMAND it runs until SIGINT or SIGTERM.\n"
           "\n"
           "options:\n"
           "  --celsius C          report the value that reads C (default 21)\n"
           "  --cal ZERO,HUNDRED   calibration for --celsius (default 0.72,0.35)\n"
           "  --raw B1,B2          report these value bytes instead\n"
           "  --rate HZ            reports a second, 0 for a silent device (default 10)\n"
           "  --report-ids         number reports: id 1, then the data\n"
           "  --length N           data bytes per report (default 64)\n"
           "  --decoys N           other HID interfaces, before the thermometer (default 0)\n"
           "  --thermometers N     thermometers (default 1)\n"
           "  --absent             start with the thermometers unplugged\n"
           "  --control PATH       control socket (default $" +
           std::string(ControlEnvironmentVariable) +
           ", else /tmp/usb-thermometer-sim.PID.sock);\n"
           "                       COMMAND finds it in $" +
           std::string(ControlEnvironmentVariable) +
           "\n"
           "  --userns             use a user namespace too (automatic when not root)\n"
           "  -v, --verbose        say where the thermometer and the socket are\n"
           "\n"
           "ctl sends one command to a running simulator; -w waits up to MS ms for its socket.\n"
           "Exit status 0: done, 1: refused, 2: a wait timed out.\n" +
           std::string(controlHelp());
}

std::variant<Options, HelpRequested, std::string> parseOptions(
    const std::vector<std::string>& args) {
    Options options;
    // A flag beside a plain number: with std::optional GCC's -O2 flow analysis warns that the
    // value may be used unset.
    double celsius = 0.0;
    bool celsiusGiven = false;
    std::size_t i = 0;
    auto value = [&]() -> std::optional<std::string> {
        if (i + 1 >= args.size()) return std::nullopt;
        return args[++i];
    };
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.empty() || arg[0] != '-') break;
        if (arg == "-h" || arg == "--help") return HelpRequested{};
        if (arg == "-v" || arg == "--verbose") {
            options.verbose = true;
            continue;
        }
        if (arg == "--report-ids") {
            options.simulator.settings.shape.reportIds = true;
            continue;
        }
        if (arg == "--absent") {
            options.simulator.startUnplugged = true;
            continue;
        }
        if (arg == "--userns") {
            options.userNamespace = true;
            continue;
        }
        auto text = value();
        if (!text) return arg + " needs a value";
        auto bad = [&] { return "bad value for " + arg + ": " + *text; };
        if (arg == "--celsius") {
            auto number = parseNumber(*text);
            if (!number) return bad();
            celsius = *number;
            celsiusGiven = true;
        } else if (arg == "--cal") {
            auto cal = parseCalibration(*text);
            if (!cal) return bad();
            options.simulator.settings.calibration = *cal;
        } else if (arg == "--raw") {
            auto comma = text->find(',');
            if (comma == std::string::npos) return bad();
            auto high = parseByte(std::string_view(*text).substr(0, comma));
            auto low = parseByte(std::string_view(*text).substr(comma + 1));
            if (!high || !low) return bad();
            options.simulator.settings.value = {*high, *low};
            celsiusGiven = false;
        } else if (arg == "--rate") {
            auto rate = parseNumber(*text);
            if (!rate || *rate < 0 || *rate > 10000) return bad();
            options.simulator.settings.rateHz = *rate;
        } else if (arg == "--length") {
            auto length = parseInteger(*text, 1, MaxReportDataLength);
            if (!length) return bad();
            options.simulator.settings.shape.dataLength = static_cast<int>(*length);
        } else if (arg == "--decoys") {
            auto count = parseInteger(*text, 0, MaxDevices - 1);
            if (!count) return bad();
            options.simulator.decoys = static_cast<int>(*count);
        } else if (arg == "--thermometers") {
            auto count = parseInteger(*text, 0, MaxDevices);
            if (!count) return bad();
            options.simulator.thermometers = static_cast<int>(*count);
        } else if (arg == "--control") {
            if (text->empty()) return bad();
            options.control = *text;
        } else {
            return "unknown option " + arg;
        }
    }
    if (options.simulator.thermometers + options.simulator.decoys > MaxDevices)
        return "at most " + std::to_string(MaxDevices) + " devices can be simulated";
    // The temperature goes through the calibration, whichever order the two came in.
    if (celsiusGiven)
        options.simulator.settings.value =
            valueForCelsius(celsius, options.simulator.settings.calibration);
    options.command.assign(args.begin() + static_cast<std::ptrdiff_t>(std::min(i, args.size())),
                           args.end());
    return options;
}

}  // namespace thermo::sim
