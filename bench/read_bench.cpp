// usb-thermometer-read: process start to its first line on standard output, and the processor
// time one reading costs when it reads once a second, both with the simulated thermometer
// sending 100 reports a second.
//
// The benchmark starts usb-thermometer-sim with this program as its command (--read-launcher);
// in the simulator's namespace the launcher starts the reader, notes the time at the start and
// at the first line it reads from the reader's pipe, and takes the reader's processor time from
// wait4() when it has ended.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "bench/bench.h"
#include "tests/session/process.h"
#include "tests/session/session.h"

extern char** environ;

namespace thermo::bench {

namespace {

using namespace std::chrono_literals;

constexpr const char* kReports = "100";

double milliseconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
}

struct LauncherRun {
    bool ok = false;
    std::vector<double> firstLineMs;
    std::vector<double> cpuMs;
};

// Runs the launcher in the simulator's namespace: `runs` readers of `count` readings each.
LauncherRun launch(const Settings& settings, int runs, int count) {
    e2e::TempDir dir;
    const e2e::RunResult result = e2e::run(
        e2e::Spawn{{e2e::builtPrograms().simulator.string(), "--rate", kReports, "--raw", "133,0",
                    "--", settings.self.string(), "--read-launcher", THERMO_BENCH_READ_PROGRAM,
                    std::to_string(runs), std::to_string(count)},
                   {},
                   dir.path(),
                   {}},
        std::chrono::milliseconds(30'000 + 2'000 * runs * count));
    LauncherRun run;
    std::istringstream lines(result.output);
    double first = 0;
    double cpu = 0;
    for (std::string line; std::getline(lines, line);) {
        if (std::sscanf(line.c_str(), "%lf %lf", &first, &cpu) == 2) {
            run.firstLineMs.push_back(first);
            run.cpuMs.push_back(cpu);
        }
    }
    run.ok = result.status == 0 && static_cast<int>(run.firstLineMs.size()) == runs;
    return run;
}

}  // namespace

int runReadLauncher(const std::string& reader, int runs, int count) {
    const std::string countText = std::to_string(count);
    for (int i = 0; i < runs; ++i) {
        int pipeEnds[2];
        if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return 125;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        std::string path = reader;
        std::string countFlag = "--count";
        std::string intervalFlag = "--interval";
        std::string second = "1";
        std::string countValue = countText;
        char* argv[] = {path.data(),         countFlag.data(), countValue.data(),
                        intervalFlag.data(), second.data(),    nullptr};
        const std::int64_t started = monotonicNs();
        pid_t child = 0;
        const int spawned = ::posix_spawn(&child, argv[0], &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeEnds[1]);
        if (spawned != 0) return 126;
        std::int64_t firstLine = 0;
        char buffer[512];
        for (ssize_t got; (got = ::read(pipeEnds[0], buffer, sizeof buffer)) != 0;) {
            if (got < 0) continue;
            if (firstLine == 0 && std::string_view(buffer, got).find('\n') != std::string::npos)
                firstLine = monotonicNs();
        }
        ::close(pipeEnds[0]);
        int status = 0;
        rusage usage{};
        if (::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0 || firstLine == 0)
            return 1;
        std::printf("%.3f %.3f\n", static_cast<double>(firstLine - started) / 1e6,
                    milliseconds(usage.ru_utime) + milliseconds(usage.ru_stime));
    }
    return 0;
}

std::vector<Row> readFigures(const Settings& settings) {
    const std::string startName = "read: start -> first line (100 reports/s)";
    const std::string cpuName = "read: CPU per reading at --interval 1 (100 reports/s)";
    if (const std::string why = e2e::Session::whyCannotRun(); !why.empty()) {
        return {skippedRow(startName, why, "-", "<= 15 ms"), skippedRow(cpuName, why, "-", "-")};
    }
    std::vector<Row> rows;
    const LauncherRun starts = launch(settings, settings.quick ? 2 : 21, 1);
    rows.push_back(
        starts.ok ? measuredRow(startName, starts.firstLineMs, "ms", 2, "-", "<= 15 ms",
                                [](double ms) { return ms <= 15.0; })
                  : skippedRow(startName, "the reader did not print its reading", "-", "<= 15 ms"));
    // Processor time of whole runs, start-up included, spread over their readings.
    const int readings = settings.quick ? 2 : 20;
    const LauncherRun paced = launch(settings, settings.quick ? 1 : 3, readings);
    std::vector<double> perReading;
    for (const double cpu : paced.cpuMs) perReading.push_back(cpu / readings);
    rows.push_back(paced.ok ? measuredRow(cpuName, perReading, "ms", 3, "-", "-", {})
                            : skippedRow(cpuName, "the reader did not end well", "-", "-"));
    return rows;
}

}  // namespace thermo::bench
