#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace thermo::reader {

// A threshold range as the Monitoring Plugins guidelines write it, `[@]start:end`: "10" is 0..10,
// "10:" is 10..∞, "~:10" is −∞..10, "10:20" is 10..20. A value outside the range (endpoints
// included in it) alerts; with "@" a value inside it does.
struct ThresholdRange {
    double start = 0;
    double end = 0;
    bool alertInside = false;
    std::string text;  // as given: what the perfdata repeats
};

// No value when `text` is not a range: numbers are decimal ("-15", "0.5"), start no greater than
// end, "~" only as the start.
std::optional<ThresholdRange> parseThresholdRange(std::string_view text);

bool alerts(const ThresholdRange& range, double value);

// The guidelines' service states, numbered as their exit statuses.
enum class CheckState : int { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

// Critical before warning, as the guidelines order them; no range: that state never comes.
CheckState checkState(double value, const std::optional<ThresholdRange>& warning,
                      const std::optional<ThresholdRange>& critical);

std::string_view checkStateWord(CheckState state);

}  // namespace thermo::reader
