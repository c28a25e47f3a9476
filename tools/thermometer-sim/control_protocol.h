#pragma once

#include <string>
#include <string_view>

#include "tools/thermometer-sim/simulator.h"

namespace thermo::sim {

// The control protocol: the client sends one command line, the simulator answers and closes.
// The answer's first line is "ok", "error: WHY" or "timeout: WHY" (a wait that ran out); the
// lines after "ok" are the command's output (key=value lines for status).
struct ControlReply {
    enum class Kind { Ok, Error, TimedOut };
    Kind kind = Kind::Ok;
    std::string text;  // output for Ok, the reason otherwise
};

// Runs one command line, such as "celsius 25", "@1 unplug" or "wait open>=2 5000".
ControlReply executeCommand(Simulator& simulator, std::string_view line);

std::string encodeReply(const ControlReply& reply);
ControlReply decodeReply(std::string_view wire);

// The commands, one a line, for --help and the "help" command.
std::string_view controlHelp();

inline constexpr int kDefaultWaitMs = 10000;

}  // namespace thermo::sim
