#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "tools/thermometer-sim/control_protocol.h"

namespace thermo::sim {

// Sends one command line to a running simulator and returns its answer. Waits up to
// `patienceMs` for the socket to appear. Throws SysError when it cannot reach the simulator.
ControlReply sendControlCommand(const std::filesystem::path& socket, std::string_view line,
                                int patienceMs = 0);

// "usb-thermometer-sim ctl [-w MS] SOCKET COMMAND [ARGS...]"; `args` starts after "ctl".
// Prints the output and returns 0, or prints why and returns 1 (refused) or 2 (timed out).
int runControlClient(const std::vector<std::string>& args);

}  // namespace thermo::sim
