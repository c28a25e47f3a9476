// The device module with the real Linux HID layer against simulated thermometers mounted in
// this process's namespace: how fast an unplug is noticed, and what one discovery costs.
#include <chrono>
#include <stdexcept>
#include <thread>

#include "bench/bench.h"
#include "hid/hidusb.h"
#include "hid/linux/linux_platform.h"
#include "tools/thermometer-sim/simulator.h"

namespace thermo::bench {

namespace {

using namespace std::chrono_literals;

sim::SimulatorConfig silentConfig(const std::filesystem::path& folder, int decoys) {
    sim::SimulatorConfig config;
    config.sysRoot = folder / "sys";
    config.devRoot = folder / "dev";
    config.decoys = decoys;
    config.settings.rateHz = 0;
    return config;
}

void waitFor(sim::Simulator& simulator, const std::function<bool(const sim::DeviceStatus&)>& ok) {
    if (!simulator.waitUntil(0, ok, std::chrono::steady_clock::now() + 10s)) {
        throw std::runtime_error("the simulated thermometer never reached the expected state");
    }
}

// A read waits for a silent thermometer; the thermometer is pulled out; the read returns and
// DevicePresent is False. Milliseconds from the unplug to PollThermometer's return.
std::vector<double> unplugToAbsent(const std::filesystem::path& folder, int runs) {
    const sim::SimulatorConfig config = silentConfig(folder, 0);
    sim::Simulator simulator(config);
    hid::LinuxPlatform platform(config.sysRoot, config.devRoot);
    hid::HIDusb module(platform);
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        if (!module.FindThermometer()) throw std::runtime_error("no thermometer found");
        std::int64_t returned = 0;
        std::thread reader([&] {
            module.PollThermometer();
            returned = monotonicNs();
        });
        waitFor(simulator, [](const sim::DeviceStatus& s) { return s.armedPolls >= 1; });
        const std::int64_t unplugged = monotonicNs();
        simulator.unplug(0);
        reader.join();
        if (module.DevicePresent) throw std::runtime_error("still present after the unplug");
        samples.push_back(static_cast<double>(returned - unplugged) / 1e6);
        waitFor(simulator, [](const sim::DeviceStatus& s) { return s.staleOpenFiles == 0; });
        simulator.plug(0);
    }
    return samples;
}

// FindThermometer with `interfaces` HID interfaces present, the thermometer the last of them.
std::vector<double> discovery(const std::filesystem::path& folder, int interfaces, int runs) {
    const sim::SimulatorConfig config = silentConfig(folder, interfaces - 1);
    sim::Simulator simulator(config);
    hid::LinuxPlatform platform(config.sysRoot, config.devRoot);
    hid::HIDusb module(platform);
    std::vector<double> samples;
    for (int i = 0; i <= runs; ++i) {
        const std::int64_t began = monotonicNs();
        const bool found = module.FindThermometer();
        const std::int64_t ended = monotonicNs();
        if (!found) throw std::runtime_error("no thermometer found: " + module.LastProblem);
        module.CloseHandles();
        if (i > 0) samples.push_back(static_cast<double>(ended - began) / 1e6);  // 0: warm-up
    }
    return samples;
}

}  // namespace

std::vector<Row> deviceFigures(const Scratch& scratch, const Settings& settings) {
    const std::string unplugName = "unplug during a read -> DevicePresent False";
    const std::string discoveryName = "one discovery, 1 / 16 / 256 HID interfaces";
    if (!scratch.usable()) {
        return {skippedRow(unplugName, scratch.whyNot(), "6000 ms", "<= 20 ms"),
                skippedRow(discoveryName, scratch.whyNot(), "-", "linear, <= 5 ms at 256")};
    }
    std::vector<Row> rows;
    const int runs = settings.quick ? 3 : 21;
    rows.push_back(measuredRow(unplugName, unplugToAbsent(scratch.folder("unplug"), runs), "ms", 2,
                               "6000 ms", "<= 20 ms", [](double m) { return m <= 20.0; }));

    const int sizes[] = {1, 16, 256};
    double medians[3] = {};
    std::string spreads;
    for (int i = 0; i < 3; ++i) {
        const auto samples = discovery(scratch.folder("discovery" + std::to_string(sizes[i])),
                                       sizes[i], settings.quick ? 3 : 31);
        medians[i] = median(samples);
        spreads += (i > 0 ? "; " : "") + describeSpread(samples, "ms", 3);
    }
    // Linear: the cost of each interface beyond the first is about the same at 256 as at 16
    // (within a factor of 2, and 10 µs for the noise of small figures).
    const double perInterface16 = (medians[1] - medians[0]) / 15.0;
    const double perInterface256 = (medians[2] - medians[0]) / 255.0;
    const bool linear = perInterface256 <= 2.0 * perInterface16 + 0.010;
    char median[160];
    std::snprintf(median, sizeof median, "%.3f / %.3f / %.3f ms (%.1f us per interface)",
                  medians[0], medians[1], medians[2], perInterface256 * 1000.0);
    rows.push_back({discoveryName, median, spreads, "-", "linear, <= 5 ms at 256",
                    linear && medians[2] <= 5.0});
    return rows;
}

}  // namespace thermo::bench
