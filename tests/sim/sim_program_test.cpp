// The usb-thermometer-sim program as a user runs it.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/sim/sandbox.h"
#include "tools/thermometer-sim/control_client.h"

namespace thermo::sim::test {
namespace {

namespace fs = std::filesystem;

class SimProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!Sandbox::get().canMount()) GTEST_SKIP() << Sandbox::get().whyNot();
        folder_ = Sandbox::get().freshFolder();
    }

    struct Outcome {
        int status = -1;
        std::string output;
    };

    // Runs a shell command line, its output captured; status as a shell reports it.
    Outcome shell(const std::string& line) {
        fs::path output = folder_ / "output.txt";
        int raw = std::system((line + " >" + output.string() + " 2>&1").c_str());
        std::ifstream in(output);
        std::stringstream text;
        text << in.rdbuf();
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, text.str()};
    }

    fs::path folder_;
};

const std::string kSim = SIM_PROGRAM;
const std::string kProbe = SIM_PROBE;

TEST_F(SimProgram, RunsTheCommandWithTheThermometerAfterTheDecoysAndPassesOnItsStatus) {
    auto outcome = shell(kSim + " --raw 133,0 --rate 20 --decoys 2 -- " + kProbe + " --exit 7");
    EXPECT_EQ(outcome.status, 7) << outcome.output;
    EXPECT_EQ(outcome.output, "hidraw2 133 0\n");
}

TEST_F(SimProgram, TheCommandControlsTheSimulatorThroughTheSocketItIsGiven) {
    std::string inside = kSim + " ctl \"$USB_THERMOMETER_SIM_CONTROL\" celsius 54.1807432 && " +
                         kSim + " ctl \"$USB_THERMOMETER_SIM_CONTROL\" rate 20 && " + kProbe;
    auto outcome = shell(kSim + " --rate 0 -- sh -c '" + inside + "'");
    EXPECT_EQ(outcome.status, 0) << outcome.output;
    EXPECT_EQ(outcome.output, "hidraw0 133 0\n");
}

TEST_F(SimProgram, ReportIdsComeBeforeTheValue) {
    auto outcome = shell(kSim + " --raw 1,2 --report-ids --rate 20 -- " + kProbe);
    EXPECT_EQ(outcome.output, "hidraw0 1 1\n");
}

TEST_F(SimProgram, AMissingCommandIs127AndABadOption125) {
    EXPECT_EQ(shell(kSim + " -- /nonexistent/program").status, 127);
    EXPECT_EQ(shell(kSim + " --rate fast -- true").status, 125);
}

TEST_F(SimProgram, ForwardsSigtermToTheCommand) {
    fs::path socket = folder_ / "control.sock";
    std::vector<std::string> args = {kSim, "--control", socket.string(), "--", "sleep", "60"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t sim = 0;
    ASSERT_EQ(::posix_spawn(&sim, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    // Ready once the control socket answers.
    auto reply = sendControlCommand(socket, "wait plugged=1", 10000);
    EXPECT_EQ(reply.kind, ControlReply::Kind::Ok) << reply.text;
    ::kill(sim, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(sim, &status, 0), sim);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);  // sleep died of it, and we say so
    EXPECT_FALSE(fs::exists(socket));
}

}  // namespace
}  // namespace thermo::sim::test
