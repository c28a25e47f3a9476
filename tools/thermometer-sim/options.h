#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "tools/thermometer-sim/simulator.h"

namespace thermo::sim {

inline constexpr const char* kControlEnvironmentVariable = "USB_THERMOMETER_SIM_CONTROL";

// The simulator's command line: usb-thermometer-sim [OPTIONS] [--] COMMAND [ARGS...]
struct Options {
    SimulatorConfig simulator;
    std::optional<std::filesystem::path> control;  // --control
    bool userNamespace = false;                    // --userns
    bool verbose = false;
    std::vector<std::string> command;
};

// --help or --version: the text to print before exiting.
struct HelpRequested {
    std::string text;
};

// Parses argv[1..]; an error message when the line is wrong.
std::variant<Options, HelpRequested, std::string> parseOptions(
    const std::vector<std::string>& args);

}  // namespace thermo::sim
