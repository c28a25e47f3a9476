#pragma once

#include <time.h>

#include <cstdint>

namespace thermo::sim {

// Nanoseconds on CLOCK_MONOTONIC: one clock for every process of the machine, so that a test or
// a benchmark can compare its own readings with the times the simulator reports.
inline std::int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

}  // namespace thermo::sim
