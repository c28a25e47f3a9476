// usb-thermometer-bench: measures the figures of docs/performance.md and prints them as one
// table. Needs root and /dev/fuse (simulated thermometers), Xvfb and xdotool (the real program's
// window); figures that cannot be measured here say why.
//
//   usb-thermometer-bench [--quick] [--only device|window|startup|program|read|listen]
//
// --quick measures only the fast figures, a few runs each: a check that they still work.
// --only measures one group of figures.
// Exit status: 0 when every measured figure meets its goal (with --quick: when the measurements
// worked), 1 otherwise; 77 when nothing could be measured.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "bench/bench.h"
#include "bench/timed_application.h"

namespace {

using thermo::bench::Row;

std::string resultText(const Row& row) {
    if (row.failed) return "ERROR";
    if (!row.met) return row.median.rfind("not measured", 0) == 0 ? "skipped" : "-";
    return *row.met ? "pass" : "FAIL";
}

void printTable(const std::vector<Row>& rows) {
    const char* headings[] = {"Figure", "Median", "Runs", "Specified", "Goal", "Result"};
    std::vector<std::array<std::string, 6>> cells;
    for (const Row& r : rows) {
        cells.push_back({r.figure, r.median, r.spread, r.published, r.goal, resultText(r)});
    }
    std::size_t width[6];
    for (int c = 0; c < 6; ++c) {
        width[c] = std::strlen(headings[c]);
        for (const auto& line : cells) width[c] = std::max(width[c], line[c].size());
    }
    const auto printLine = [&](const auto& line) {
        std::printf("|");
        for (int c = 0; c < 6; ++c) {
            std::printf(" %-*s |", static_cast<int>(width[c]), std::string(line[c]).c_str());
        }
        std::printf("\n");
    };
    printLine(headings);
    std::printf("|");
    for (int c = 0; c < 6; ++c) std::printf("%s|", std::string(width[c] + 2, '-').c_str());
    std::printf("\n");
    for (const auto& line : cells) printLine(line);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace thermo::bench;
    Settings settings;
    std::string only;
    settings.self = std::filesystem::canonical("/proc/self/exe");
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--startup-launcher") return runStartupLauncher(settings.self);
        if (arg == "--startup-child" && i + 1 < argc)
            return runStartupChild(std::atoll(argv[i + 1]));
        if (arg == "--read-launcher" && i + 3 < argc)
            return runReadLauncher(argv[i + 1], std::atoi(argv[i + 2]), std::atoi(argv[i + 3]));
        if (arg == "--quick") {
            settings.quick = true;
        } else if (arg == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: %s [--quick] [--only device|window|startup|program|read|listen]\n",
                         argv[0]);
            return 2;
        }
    }

    // The mount namespace must be entered while this process has one thread.
    const Scratch scratch("thermo-bench");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TimedApplication app(argc, argv);

    std::vector<Row> rows;
    const auto add = [&](std::vector<Row> more) {
        rows.insert(rows.end(), std::make_move_iterator(more.begin()),
                    std::make_move_iterator(more.end()));
    };
    const auto measure = [&](const char* group, const char* what,
                             const std::function<std::vector<Row>()>& figures) {
        if (!only.empty() && only != group) return;
        std::fprintf(stderr, "measuring %s...\n", what);
        try {
            add(figures());
        } catch (const std::exception& error) {
            rows.push_back(failedRow(what, error));
        }
    };
    measure("device", "the device module", [&] { return deviceFigures(scratch, settings); });
    measure("window", "the window", [&] { return windowFigures(scratch, settings); });
    measure("startup", "start-up", [&] { return startupFigures(settings); });
    measure("program", "the running program", [&] { return programFigures(settings); });
    measure("read", "usb-thermometer-read", [&] { return readFigures(settings); });
    measure("listen", "usb-thermometer-read --listen", [&] { return listenFigures(settings); });
    printTable(rows);

    const auto any = [&](const auto& test) { return std::any_of(rows.begin(), rows.end(), test); };
    if (any([](const Row& r) { return r.failed; })) return 1;
    if (!any([](const Row& r) { return r.met.has_value(); })) return 77;
    // The quick run only shows that the measurements work; its few runs are no figures.
    if (settings.quick) return 0;
    return any([](const Row& r) { return r.met == false; }) ? 1 : 0;
}
