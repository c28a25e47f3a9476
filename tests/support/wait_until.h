#pragma once

// Waiting for a condition instead of sleeping: a test fails only when the condition never comes,
// not when a loaded machine is slow to bring it.

#include <chrono>
#include <thread>

namespace thermo::testing {

// How long a test waits for something that takes milliseconds on an idle machine.
inline constexpr std::chrono::milliseconds kPatience{30'000};

// Calls `condition` every `period` until it holds or `timeout` has passed; whether it held.
template <typename Condition>
bool pollUntil(Condition condition, std::chrono::milliseconds timeout = kPatience,
               std::chrono::milliseconds period = std::chrono::milliseconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(period);
    }
}

}  // namespace thermo::testing
