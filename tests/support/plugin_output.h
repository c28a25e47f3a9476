#pragma once

// A monitoring plugin's line read by the Monitoring Plugins guidelines' grammar, independently of
// the program's own formatting: "SERVICE STATE - text |
// 'label'=value[UOM];[warn];[crit];[min];[max]".

#include <optional>
#include <string>

namespace thermo::testing {

struct PluginLine {
    std::string service;
    std::string state;  // OK, WARNING, CRITICAL or UNKNOWN
    std::string text;
    bool hasPerfdata = false;
    std::string label;  // unquoted, '' read as '
    double value = 0;
    std::string unit;
    std::string warning;
    std::string critical;
    std::string min;
    std::string max;
};

// No value when `line` is not one line of that grammar (a single perfdata item).
std::optional<PluginLine> parsePluginLine(const std::string& line);

}  // namespace thermo::testing
