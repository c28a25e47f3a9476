// usb-thermometer-read: the thermometer's readings for scripts, logs and monitoring, from the
// same device module and conversion as the window.
#include <exception>
#include <iostream>
#include <sstream>
#include <string>
#include <variant>

#include "exporter/publishers.h"
#include "hid/hid_platform.h"
#include "reader/console.h"
#include "reader/options.h"
#include "reader/output.h"
#include "reader/reader.h"

int main(int argc, char* argv[]) {
    using namespace thermo::reader;
    if (const std::string why = openClosedStandardStreams(); !why.empty()) {
        std::cerr << "usb-thermometer-read: " << why << std::endl;
        return ExitOutput;
    }
    // Through a string, so that a failed write of --help says why, as a reading's does.
    std::ostringstream printed;
    const auto parsed = parseOptions(argc, argv, printed, std::cerr);
    if (const int* status = std::get_if<int>(&parsed)) {
        return writeOutput(printed.str(), *status, Streams{});
    }
    const Options& options = std::get<Options>(parsed);
    try {
        const Utf8Console console;
        StopRequest stop;
        const StopSignals signals(stop);  // before any other thread
        const std::unique_ptr<thermo::hid::Platform> platform = thermo::hid::makeNativePlatform();
        return runReader(options, *platform, stop, Streams{}, thermo::exporter::startPublishers);
    } catch (const std::exception& error) {
        // A plugin's failure to run at all is UNKNOWN; 2 would read as CRITICAL.
        if (options.check) {
            // Unknown either way, said or not: a plugin's statuses end at 3.
            (void)writeOutput(checkUnknownLine(error.what()), 0, Streams{});
            return static_cast<int>(CheckState::Unknown);
        }
        std::cerr << "usb-thermometer-read: " << error.what() << std::endl;
        return ExitNoThermometer;
    }
}
