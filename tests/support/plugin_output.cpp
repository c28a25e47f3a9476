#include "tests/support/plugin_output.h"

#include <regex>

namespace thermo::testing {

std::optional<PluginLine> parsePluginLine(const std::string& line) {
    // Numbers in perfdata are of the class [-0-9.]; warn and crit are ranges, [@]start:end.
    static const std::string number = "-?(?:[0-9]+(?:\\.[0-9]*)?|\\.[0-9]+)";
    static const std::string range = "@?(?:(?:~|" + number + "):)?(?:" + number + ")?";
    static const std::regex grammar(
        "([A-Z][A-Z ]*[A-Z]) (OK|WARNING|CRITICAL|UNKNOWN) - ([^|\n]*?)"
        "(?: \\| ('(?:[^'=]|'')+'|[^' =]+)=(" +
        number + ")(s|ms|us|%|B|KB|MB|TB|c)?;(" + range + ");(" + range + ");(" + number + ")?;(" +
        number + ")?)?\n");
    std::smatch match;
    if (!std::regex_match(line, match, grammar)) return std::nullopt;
    PluginLine parsed;
    parsed.service = match[1];
    parsed.state = match[2];
    parsed.text = match[3];
    parsed.hasPerfdata = match[4].matched;
    if (parsed.hasPerfdata) {
        std::string label = match[4];
        if (label.front() == '\'') {
            label = std::regex_replace(label.substr(1, label.size() - 2), std::regex("''"), "'");
        }
        parsed.label = label;
        parsed.value = std::stod(match[5]);
        parsed.unit = match[6];
        parsed.warning = match[7];
        parsed.critical = match[8];
        parsed.min = match[9];
        parsed.max = match[10];
    }
    return parsed;
}

}  // namespace thermo::testing
