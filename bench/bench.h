#pragma once

// The benchmarks of usb-thermometer: each figure measured several times, its median set beside
// the published figure where there is one and beside the project's goal.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/session/process.h"
#include "tests/support/private_mounts.h"

namespace thermo::bench {

struct Row {
    std::string figure;
    std::string median;     // with its unit, or why it was not measured
    std::string spread;     // runs and range
    std::string published;  // the specified behaviour's figure, "-" where there is none
    std::string goal;
    std::optional<bool> met;  // no value: not measured, or shown for information
    bool failed = false;      // the measurement went wrong (not merely impossible here)
};

double median(std::vector<double> samples);
std::string describeSpread(const std::vector<double>& samples, const char* unit, int decimals);
std::string formatValue(double value, const char* unit, int decimals);

// A measured figure: its samples and the goal as a predicate on the median (none: a figure
// shown for information).
Row measuredRow(std::string figure, const std::vector<double>& samples, const char* unit,
                int decimals, std::string published, std::string goal,
                const std::function<bool(double)>& meets);
Row skippedRow(std::string figure, std::string why, std::string published, std::string goal);
// The row of a figure whose measurement threw.
Row failedRow(std::string figure, const std::exception& error);

// `measure()`, or the failed row when it throws.
Row guarded(const std::string& figure, const std::function<Row()>& measure);

// CLOCK_MONOTONIC in nanoseconds, as the session and the simulator take it.
using e2e::monotonicNs;

struct Settings {
    bool quick = false;          // one or a few runs of the fast figures only, to keep them working
    std::filesystem::path self;  // this program, for the start-up measurement's child
};

// Scratch space in a private mount namespace, where simulated thermometers can be mounted
// for the in-process figures. Made before any thread starts.
using Scratch = thermo::testing::FuseScratch;

// The figures, by where they are measured.
std::vector<Row> deviceFigures(const Scratch& scratch, const Settings& settings);
std::vector<Row> windowFigures(const Scratch& scratch, const Settings& settings);
std::vector<Row> startupFigures(const Settings& settings);
std::vector<Row> programFigures(const Settings& settings);
std::vector<Row> readFigures(const Settings& settings);
std::vector<Row> listenFigures(const Settings& settings);

// The start-up measurement's two helpers (see startup_bench.cpp).
int runStartupLauncher(const std::filesystem::path& self);
int runStartupChild(std::int64_t launchedNs);
// usb-thermometer-read's helper (see read_bench.cpp): `runs` readers of `count` readings each.
int runReadLauncher(const std::string& reader, int runs, int count);

}  // namespace thermo::bench
