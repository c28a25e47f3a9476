// The real program as it runs for a user: usb-thermometer in a private Xvfb server with the
// simulated thermometer, observed from outside through /proc: its peak memory, and the CPU time
// and wake-ups (context switches) of all its threads while stopped and while measuring, and of
// those the window's thread's and the tick's worker's. Each request of the program to the
// simulated hidraw node (a FUSE file) puts the calling thread to sleep until the simulator has
// answered it; a real hidraw node answers a poll, or a read of a queued report, in the caller's
// own time. Those round trips, counted by the simulator, are told apart from the program's own
// wake-ups, which are what a real thermometer would see.
#include <fstream>
#include <sstream>
#include <thread>

#include "bench/bench.h"
#include "tests/session/session.h"

namespace thermo::bench {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Usage {
    std::int64_t wallNs = 0;
    std::int64_t cpuNs = 0;           // time on a CPU, all threads
    std::int64_t windowCpuNs = 0;     // of it the window's thread's
    std::int64_t switches = 0;        // context switches, all threads: each sleep that ended is one
    std::int64_t windowSwitches = 0;  // of them the window's thread (the main thread)
    std::int64_t workerSwitches = 0;  // the tick's worker: the threads Qt did not name
    std::int64_t simRequests = 0;     // requests the simulated node answered, all the program's
};

// Every kind of request the simulated node counts; while measuring only polls and reads come.
std::int64_t simRequests(const e2e::SimControl& sim) {
    const e2e::SimStatus status = sim.status();
    std::int64_t n = 0;
    for (const char* key : {"opens", "opens_refused", "releases", "reads", "reads_eagain",
                            "reads_eio", "reads_eintr", "polls", "writes", "ioctls"}) {
        n += status.number(key);
    }
    return n;
}

std::int64_t statusField(const fs::path& status, const std::string& key) {
    std::ifstream in(status);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + ":", 0) == 0) return std::stoll(line.substr(key.size() + 1));
    }
    return 0;
}

Usage usage(pid_t pid, const e2e::SimControl& sim) {
    Usage u;
    u.simRequests = simRequests(sim);
    u.wallNs = monotonicNs();
    std::error_code ec;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/task", ec), end;
         !ec && it != end; it.increment(ec)) {
        std::ifstream schedstat(it->path() / "schedstat");
        std::int64_t onCpu = 0;
        if (schedstat >> onCpu) u.cpuNs += onCpu;
        const std::int64_t switches =
            statusField(it->path() / "status", "voluntary_ctxt_switches") +
            statusField(it->path() / "status", "nonvoluntary_ctxt_switches");
        u.switches += switches;
        std::string name;
        std::getline(std::ifstream(it->path() / "comm"), name);
        if (it->path().filename() == std::to_string(pid)) {
            u.windowSwitches += switches;
            u.windowCpuNs += onCpu;
        } else if (name == "usb-thermometer") {
            u.workerSwitches += switches;
        }
    }
    return u;
}

struct Window {
    double cpuPercent;
    double windowCpuPercent;
    double wakeupsPerSecond;
    double windowWakeupsPerSecond;
    double workerWakeupsPerSecond;
    double simRoundTripsPerSecond;
    double ownWakeupsPerSecond;  // without the round trips: what a real hidraw node would see
};

// The program left alone for `windows` spans of `span` each.
std::vector<Window> observe(pid_t pid, const e2e::SimControl& sim, int windows,
                            std::chrono::milliseconds span) {
    std::vector<Window> result;
    for (int i = 0; i < windows; ++i) {
        const Usage before = usage(pid, sim);
        std::this_thread::sleep_for(span);
        const Usage after = usage(pid, sim);
        const double wall = static_cast<double>(after.wallNs - before.wallNs);
        const auto perSecond = [&](std::int64_t n) { return static_cast<double>(n) * 1e9 / wall; };
        const auto percent = [&](std::int64_t ns) {
            return 100.0 * static_cast<double>(ns) / wall;
        };
        result.push_back({percent(after.cpuNs - before.cpuNs),
                          percent(after.windowCpuNs - before.windowCpuNs),
                          perSecond(after.switches - before.switches),
                          perSecond(after.windowSwitches - before.windowSwitches),
                          perSecond(after.workerSwitches - before.workerSwitches),
                          perSecond(after.simRequests - before.simRequests),
                          perSecond(after.switches - before.switches -
                                    (after.simRequests - before.simRequests))});
    }
    return result;
}

std::vector<double> figures(const std::vector<Window>& w, double Window::*which) {
    std::vector<double> v;
    for (const Window& x : w) v.push_back(x.*which);
    return v;
}

}  // namespace

std::vector<Row> programFigures(const Settings& settings) {
    const std::string rss = "peak resident memory (VmHWM)";
    const std::string stoppedCpu = "CPU while stopped";
    const std::string stoppedWake = "wake-ups while stopped";
    const std::string runningCpu = "CPU while measuring";
    const std::string windowCpu = "  of it the window's thread";
    const std::string runningWake = "wake-ups while measuring, real hidraw node";
    const std::string simWake = "  all, with the simulated node";
    const std::string tripWake = "  of them round trips to the simulator";
    const std::string windowWake = "  of them the window's thread";
    const std::string workerWake = "  of them the tick's worker";
    std::string why = settings.quick ? "left out of the quick run" : e2e::Session::whyCannotRun();
    if (!why.empty()) {
        return {skippedRow(rss, why, "-", "<= 40 MB"),
                skippedRow(stoppedCpu, why, "-", "0 %"),
                skippedRow(stoppedWake, why, "-", "0 /s (no timer)"),
                skippedRow(runningCpu, why, "-", "< 0.03 % of a core"),
                skippedRow(windowCpu, why, "-", "-"),
                skippedRow(runningWake, why, "-", "<= 4 /s"),
                skippedRow(simWake, why, "-", "-"),
                skippedRow(tripWake, why, "-", "-"),
                skippedRow(windowWake, why, "-", "-"),
                skippedRow(workerWake, why, "-", "-")};
    }
    e2e::Session session(e2e::SessionOptions{{"--celsius", "25"}, false});
    const pid_t pid = session.programPid();
    const auto stopped = observe(pid, session.sim(), 5, 2s);
    if (!session.pressStart()) throw std::runtime_error("START did not take");
    // Let the first ticks (and the worker thread's start) pass before measuring.
    std::this_thread::sleep_for(2500ms);
    const auto running = observe(pid, session.sim(), 5, 2s);
    const double peakMb =
        static_cast<double>(statusField("/proc/" + std::to_string(pid) + "/status", "VmHWM")) /
        1024.0;
    return {
        measuredRow(rss, {peakMb}, "MB", 1, "-", "<= 40 MB", [](double m) { return m <= 40.0; }),
        measuredRow(stoppedCpu, figures(stopped, &Window::cpuPercent), "%", 4, "-", "0 %",
                    [](double m) { return m <= 0.001; }),
        measuredRow(stoppedWake, figures(stopped, &Window::wakeupsPerSecond), "/s", 1, "-",
                    "0 /s (no timer)", [](double m) { return m == 0.0; }),
        measuredRow(runningCpu, figures(running, &Window::cpuPercent), "%", 4, "-",
                    "< 0.03 % of a core", [](double m) { return m < 0.03; }),
        measuredRow(windowCpu, figures(running, &Window::windowCpuPercent), "%", 4, "-", "-", {}),
        measuredRow(runningWake, figures(running, &Window::ownWakeupsPerSecond), "/s", 1, "-",
                    "<= 4 /s", [](double m) { return m <= 4.0; }),
        measuredRow(simWake, figures(running, &Window::wakeupsPerSecond), "/s", 1, "-", "-", {}),
        measuredRow(tripWake, figures(running, &Window::simRoundTripsPerSecond), "/s", 1, "-", "-",
                    {}),
        measuredRow(windowWake, figures(running, &Window::windowWakeupsPerSecond), "/s", 1, "-",
                    "-", {}),
        measuredRow(workerWake, figures(running, &Window::workerWakeupsPerSecond), "/s", 1, "-",
                    "-", {}),
    };
}

}  // namespace thermo::bench
