#pragma once

#include <filesystem>
#include <string>

#include "tests/support/private_mounts.h"
#include "tools/thermometer-sim/simulator.h"

namespace thermo::sim::test {

// Where the simulator's tests run: this process in a mount namespace of its own, with a tmpfs
// scratch folder, so that the FUSE nodes and sysfs trees the tests make never show outside it.
// Made once in main(), before any thread starts; read-only afterwards.
class Sandbox {
  public:
    static const Sandbox& get();

    // Whether FUSE nodes can be mounted here (root, /dev/fuse, a private mount namespace);
    // whyNot() says what is missing otherwise.
    bool canMount() const { return scratch_.usable(); }
    const std::string& whyNot() const { return scratch_.whyNot(); }

    // A new empty folder for the running test, with sys/ and dev/ in it.
    std::filesystem::path freshFolder() const;

    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

  private:
    Sandbox() = default;

    thermo::testing::FuseScratch scratch_{"thermo-sim-tests"};
};

// A configuration whose sysfs and /dev roots are in `folder`, with no device yet.
SimulatorConfig configIn(const std::filesystem::path& folder);

}  // namespace thermo::sim::test
