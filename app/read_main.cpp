// usb-thermometer-read: the thermometer's readings for scripts, logs and monitoring, from the
// same device module and conversion as the window.
#include <exception>
#include <iostream>
#include <sstream>
#include <string>
#include <variant>

#include "hid/hid_platform.h"
#include "reader/console.h"
#include "reader/options.h"
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
    try {
        const Utf8Console console;
        StopRequest stop;
        const StopSignals signals(stop);  // before any other thread
        const std::unique_ptr<thermo::hid::Platform> platform = thermo::hid::makeNativePlatform();
        return runReader(std::get<Options>(parsed), *platform, stop, Streams{});
    } catch (const std::exception& error) {
        std::cerr << "usb-thermometer-read: " << error.what() << std::endl;
        return ExitNoThermometer;
    }
}
