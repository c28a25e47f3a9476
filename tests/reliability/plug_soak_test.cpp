// The short version of the plug soak (scripts/soak runs the long one): the whole program against
// the simulated thermometer through a few hundred plug cycles and two silences, in the simulator's
// private namespace. THERMO_PLUG_CYCLES changes the number of cycles.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "tests/reliability/reliability_support.h"

namespace thermo::reliability {
namespace {

TEST(PlugSoak, FileDescriptorsAndMemoryAreWhatTheyWereAfterHundredsOfPlugCycles) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root because the simulator mounts its FUSE nodes over /dev";
    }
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        GTEST_SKIP() << "needs /dev/fuse because the simulated thermometer is a FUSE node";
    }
    const char* cyclesSetting = std::getenv("THERMO_PLUG_CYCLES");
    const std::string cycles = cyclesSetting != nullptr ? cyclesSetting : "300";

    const TempDir dir("plug-soak");
    const std::string output = (dir.path() / "output.txt").string();
    const std::string command = std::string(THERMO_SIM_PROGRAM) + " --rate 50 -- " +
                                THERMO_PLUG_SOAK + " --cycles " + cycles +
                                " --interval-ms 20 --silence-every 150 --workdir " +
                                dir.path().string() + " >" + output + " 2>&1";
    const int status = std::system(command.c_str());
    const std::string figures = readFile(output);
    std::cout << figures;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << figures;
    EXPECT_NE(figures.find("verdict: ok"), std::string::npos) << figures;
}

}  // namespace
}  // namespace thermo::reliability
