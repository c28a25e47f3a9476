#include <algorithm>
#include <cmath>
#include <cstdio>

#include "bench/bench.h"

namespace thermo::bench {

namespace fs = std::filesystem;

double median(std::vector<double> samples) {
    if (samples.empty()) return NAN;
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    return n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
}

std::string formatValue(double value, const char* unit, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f %s", decimals, value, unit);
    return text;
}

std::string describeSpread(const std::vector<double>& samples, const char* unit, int decimals) {
    if (samples.empty()) return "-";
    const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
    char text[128];
    if (samples.size() == 1) {
        std::snprintf(text, sizeof text, "1 run");
    } else {
        std::snprintf(text, sizeof text, "%zu runs, %.*f..%.*f %s", samples.size(), decimals, *low,
                      decimals, *high, unit);
    }
    return text;
}

Row measuredRow(std::string figure, const std::vector<double>& samples, const char* unit,
                int decimals, std::string published, std::string goal,
                const std::function<bool(double)>& meets) {
    const double m = median(samples);
    std::optional<bool> met;
    if (meets) met = meets(m);
    return {std::move(figure),
            formatValue(m, unit, decimals),
            describeSpread(samples, unit, decimals),
            std::move(published),
            std::move(goal),
            met};
}

Row skippedRow(std::string figure, std::string why, std::string published, std::string goal) {
    return {std::move(figure),    "not measured: " + why, "-",
            std::move(published), std::move(goal),        std::nullopt};
}

Row failedRow(std::string figure, const std::exception& error) {
    Row row{std::move(figure), std::string("measurement failed: ") + error.what(), "-", "-", "-",
            std::nullopt};
    row.failed = true;
    return row;
}

Row guarded(const std::string& figure, const std::function<Row()>& measure) {
    try {
        return measure();
    } catch (const std::exception& error) {
        return failedRow(figure, error);
    }
}

}  // namespace thermo::bench
