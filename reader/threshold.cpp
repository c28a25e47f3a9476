#include "reader/threshold.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace thermo::reader {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The characters the guidelines allow in perfdata numbers, [-0-9.], as one decimal number:
// so that a range repeated in the perfdata is valid there too. from_chars ignores the locale.
std::optional<double> decimal(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '-') digits.remove_prefix(1);
    const auto point = digits.find('.');
    const std::string_view whole = digits.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : digits.substr(point + 1);
    const auto allDigits = [](std::string_view part) {
        for (const char c : part) {
            if (!isDigit(c)) return false;
        }
        return true;
    };
    if (whole.empty() && fraction.empty()) return std::nullopt;
    if (!allDigits(whole) || !allDigits(fraction)) return std::nullopt;
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<ThresholdRange> parseThresholdRange(std::string_view text) {
    ThresholdRange range;
    range.text = std::string(text);
    if (!text.empty() && text.front() == '@') {
        range.alertInside = true;
        text.remove_prefix(1);
    }
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) {
        // "10": the start and its colon are left out when the start is 0.
        const auto end = decimal(text);
        if (!end) return std::nullopt;
        range.start = 0;
        range.end = *end;
    } else {
        const std::string_view start = text.substr(0, colon);
        const std::string_view end = text.substr(colon + 1);
        if (start == "~") {
            range.start = -kInfinity;
        } else if (const auto value = decimal(start)) {
            range.start = *value;
        } else {
            return std::nullopt;
        }
        if (end.empty()) {
            range.end = kInfinity;
        } else if (const auto value = decimal(end)) {
            range.end = *value;
        } else {
            return std::nullopt;
        }
    }
    if (range.start > range.end) return std::nullopt;
    return range;
}

bool alerts(const ThresholdRange& range, double value) {
    const bool inside = range.start <= value && value <= range.end;
    return inside == range.alertInside;
}

CheckState checkState(double value, const std::optional<ThresholdRange>& warning,
                      const std::optional<ThresholdRange>& critical) {
    if (critical && alerts(*critical, value)) return CheckState::Critical;
    if (warning && alerts(*warning, value)) return CheckState::Warning;
    return CheckState::Ok;
}

std::string_view checkStateWord(CheckState state) {
    switch (state) {
        case CheckState::Ok:
            return "OK";
        case CheckState::Warning:
            return "WARNING";
        case CheckState::Critical:
            return "CRITICAL";
        case CheckState::Unknown:
            break;
    }
    return "UNKNOWN";
}

}  // namespace thermo::reader
