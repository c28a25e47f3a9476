#pragma once

#include <sstream>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "reader/options.h"

namespace thermo::testing {

// parseOptions over "usb-thermometer-read ARGS", with what it wrote to each stream.
struct ParsedCommandLine {
    std::variant<reader::Options, int> parsed;
    std::string out;
    std::string err;
};

inline ParsedCommandLine parseCommandLine(const std::vector<const char*>& args) {
    std::vector<const char*> argv = {"usb-thermometer-read"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::ostringstream out;
    std::ostringstream err;
    auto parsed = reader::parseOptions(static_cast<int>(argv.size()), argv.data(), out, err);
    return {std::move(parsed), out.str(), err.str()};
}

}  // namespace thermo::testing
