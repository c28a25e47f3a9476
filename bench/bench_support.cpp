#include <sched.h>
#include <sys/mount.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

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

std::int64_t monotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

Scratch::Scratch() {
    char pattern[] = "/tmp/thermo-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        whyNot_ = std::string("mkdtemp: ") + std::strerror(errno);
        return;
    }
    root_ = pattern;
    if (::geteuid() != 0) {
        whyNot_ = "needs root (the simulated thermometer mounts FUSE files)";
    } else if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        whyNot_ = "needs /dev/fuse";
    } else if (::unshare(CLONE_NEWNS) != 0 ||
               ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        whyNot_ = std::string("needs a private mount namespace: ") + std::strerror(errno);
    } else if (::mount("tmpfs", root_.c_str(), "tmpfs", 0, "mode=0755") != 0) {
        whyNot_ = std::string("needs a tmpfs: ") + std::strerror(errno);
    } else {
        mounted_ = true;
    }
}

Scratch::~Scratch() {
    std::error_code ignored;
    if (mounted_) ::umount2(root_.c_str(), MNT_DETACH);
    fs::remove_all(root_, ignored);
}

fs::path Scratch::folder(const std::string& name) const {
    const fs::path folder = root_ / name;
    fs::remove_all(folder);
    fs::create_directories(folder / "sys");
    fs::create_directories(folder / "dev");
    return folder;
}

}  // namespace thermo::bench
