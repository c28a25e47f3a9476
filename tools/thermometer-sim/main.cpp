// usb-thermometer-sim: runs a command where /dev and /sys show a simulated USB thermometer.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "tools/thermometer-sim/child_process.h"
#include "tools/thermometer-sim/control_client.h"
#include "tools/thermometer-sim/control_server.h"
#include "tools/thermometer-sim/options.h"
#include "tools/thermometer-sim/sim_namespace.h"
#include "tools/thermometer-sim/simulator.h"

namespace {

// Failures of the simulator itself, as env(1) and timeout(1) report theirs.
constexpr int kOwnFailure = 125;

// The control socket the user asked for, or nothing for the default.
std::optional<std::filesystem::path> chosenControlPath(const thermo::sim::Options& options) {
    if (options.control) return *options.control;
    if (const char* fromEnvironment = std::getenv(thermo::sim::kControlEnvironmentVariable);
        fromEnvironment && *fromEnvironment)
        return fromEnvironment;
    return std::nullopt;
}

int simulate(const thermo::sim::Options& options) {
    using namespace thermo::sim;
    SignalRelay relay;  // before any thread
    enterPrivateSystemView({options.userNamespace || ::geteuid() != 0});
    Simulator simulator(options.simulator);
    std::optional<PrivateFolder> folder;
    std::optional<std::filesystem::path> control = chosenControlPath(options);
    if (!control) control = folder.emplace().path() / "control.sock";
    ControlServer server(simulator, *control);
    if (options.verbose) {
        for (int i = 0; i < simulator.thermometers(); ++i) {
            auto status = simulator.status(i);
            std::fprintf(stderr, "usb-thermometer-sim: thermometer %d at %s, port %s\n", i,
                         status.plugged ? status.node.c_str() : "(unplugged)", status.port.c_str());
        }
        std::fprintf(stderr, "usb-thermometer-sim: control socket %s\n", server.path().c_str());
    }
    if (options.command.empty()) return relay.waitForStop();
    return relay.run(options.command,
                     {std::string(kControlEnvironmentVariable) + "=" + server.path().string()});
}

}  // namespace

int main(int argc, char** argv) {
    using namespace thermo::sim;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "ctl") return runControlClient({args.begin() + 1, args.end()});

    auto parsed = parseOptions(args);
    if (auto* help = std::get_if<HelpRequested>(&parsed)) {
        std::fputs(help->text.c_str(), stdout);
        return 0;
    }
    if (auto* error = std::get_if<std::string>(&parsed)) {
        std::fprintf(stderr, "usb-thermometer-sim: %s (see --help)\n", error->c_str());
        return kOwnFailure;
    }
    try {
        return simulate(std::get<Options>(parsed));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "usb-thermometer-sim: %s\n", error.what());
        return kOwnFailure;
    }
}
