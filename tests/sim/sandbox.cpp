#include "tests/sim/sandbox.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace thermo::sim::test {

const Sandbox& Sandbox::get() {
    static const Sandbox sandbox;
    return sandbox;
}

fs::path Sandbox::freshFolder() const {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = test ? std::string(test->test_suite_name()) + "." + test->name() : "main";
    for (char& c : name)
        if (c == '/') c = '_';
    return scratch_.folder(name);
}

SimulatorConfig configIn(const fs::path& folder) {
    SimulatorConfig config;
    config.sysRoot = folder / "sys";
    config.devRoot = folder / "dev";
    config.thermometers = 0;
    return config;
}

}  // namespace thermo::sim::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Before RUN_ALL_TESTS: entering a mount namespace needs a process with one thread.
    thermo::sim::test::Sandbox::get();
    return RUN_ALL_TESTS();
}
