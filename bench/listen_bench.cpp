// usb-thermometer-read --listen: scrapes a second with many at once, and the latency of one
// scraper's requests, while the simulated thermometer is silent (every reading attempt waits its
// 6 s for a report that does not come), measured by wrk, a real HTTP client, over keep-alive
// connections on loopback.
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <string>

#include "bench/bench.h"
#include "tests/session/consumers.h"
#include "tests/session/process.h"
#include "tests/session/session.h"

namespace thermo::bench {

namespace {

using namespace std::chrono_literals;

// wrk's "Requests/sec:  12345.67", and its "--latency" lines " 99%  1.23ms" in microseconds.
struct WrkFigures {
    double perSecond = -1;
    double medianUs = -1;
    double p99Us = -1;
};

double microseconds(double value, const std::string& unit) {
    if (unit == "us") return value;
    if (unit == "ms") return value * 1e3;
    if (unit == "s") return value * 1e6;
    return -1;
}

WrkFigures readWrk(const std::string& output) {
    WrkFigures figures;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        double value = 0;
        char unit[8] = {};
        if (std::sscanf(line.c_str(), " Requests/sec: %lf", &value) == 1) figures.perSecond = value;
        if (std::sscanf(line.c_str(), " 50%% %lf%7s", &value, unit) == 2)
            figures.medianUs = microseconds(value, unit);
        if (std::sscanf(line.c_str(), " 99%% %lf%7s", &value, unit) == 2)
            figures.p99Us = microseconds(value, unit);
    }
    return figures;
}

// wrk against `url` with `threads` threads and `connections` connections for `seconds`.
WrkFigures wrk(const std::string& url, int threads, int connections, int seconds) {
    const e2e::RunResult result =
        e2e::run(e2e::Spawn{{"wrk", "--latency", "-t", std::to_string(threads), "-c",
                             std::to_string(connections), "-d", std::to_string(seconds) + "s", url},
                            {},
                            {},
                            {},
                            true},
                 std::chrono::milliseconds(20'000 + 1'000 * seconds));
    if (result.status != 0) throw std::runtime_error("wrk: " + result.output);
    const WrkFigures figures = readWrk(result.output);
    if (figures.perSecond < 0 || figures.medianUs < 0 || figures.p99Us < 0)
        throw std::runtime_error("wrk's figures not found in: " + result.output);
    return figures;
}

}  // namespace

std::vector<Row> listenFigures(const Settings& settings) {
    const std::string rateName = "listen: scrapes/s, wrk -t2 -c4 (silent probe)";
    const std::string medianName = "listen: scrape latency median, wrk -t1 -c1 (silent probe)";
    const std::string p99Name = "listen: scrape latency p99, wrk -t1 -c1 (silent probe)";
    std::string why = e2e::Session::whyCannotRun();
    if (why.empty() && !e2e::onPath("wrk")) why = "needs wrk (Debian: wrk)";
    if (!why.empty()) {
        return {skippedRow(rateName, why, "-", "> 5000/s"), skippedRow(medianName, why, "-", "-"),
                skippedRow(p99Name, why, "-", "< 2 ms")};
    }
    e2e::TempDir dir;
    const int port = e2e::freeLoopbackPort();
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/metrics";
    const auto socket = dir.path() / "control.sock";
    e2e::Process reader(
        e2e::Spawn{{e2e::builtPrograms().simulator.string(), "--rate", "0", "--raw", "133,0",
                    "--control", socket.string(), "--", THERMO_BENCH_READ_PROGRAM, "--quiet",
                    "--listen", "127.0.0.1:" + std::to_string(port), "--name", "fridge"},
                   {},
                   dir.path(),
                   dir.path() / "reader.log"});
    // One reading, so that the scrapes carry a temperature; then silence.
    const e2e::SimControl sim(socket);
    sim.command("status", 10000);
    if (!sim.wait("open=2", 60s)) throw std::runtime_error("the reader did not open the probe");
    sim.command("send");
    if (!e2e::pollUntil(
            [&] { return e2e::httpRequest(url).body.find("_celsius") != std::string::npos; }, 60s))
        throw std::runtime_error("no reading in the scrapes");

    const int runs = settings.quick ? 1 : 3;
    const int seconds = settings.quick ? 1 : 5;
    std::vector<double> rates;
    std::vector<double> medians;
    std::vector<double> p99s;
    for (int i = 0; i < runs; ++i) {
        rates.push_back(wrk(url, 2, 4, seconds).perSecond);
        const WrkFigures one = wrk(url, 1, 1, seconds);
        medians.push_back(one.medianUs / 1e3);
        p99s.push_back(one.p99Us / 1e3);
    }
    if (sim.status().number("reads") != 1) throw std::runtime_error("the probe was not silent");
    return {
        measuredRow(rateName, rates, "/s", 0, "-", "> 5000/s", [](double r) { return r > 5000; }),
        measuredRow(medianName, medians, "ms", 3, "-", "-", {}),
        measuredRow(p99Name, p99s, "ms", 3, "-", "< 2 ms", [](double ms) { return ms < 2.0; })};
}

}  // namespace thermo::bench
