#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>

#include <future>
#include <thread>

#include "tests/sim/sandbox.h"
#include "tests/support/row_name.h"
#include "tools/thermometer-sim/control_client.h"
#include "tools/thermometer-sim/control_protocol.h"
#include "tools/thermometer-sim/control_server.h"
#include "tools/thermometer-sim/options.h"
#include "tools/thermometer-sim/status.h"

namespace thermo::sim {
namespace {

using thermo::PrintTo;

using Kind = ControlReply::Kind;

// A thermometer that starts unplugged needs no FUSE mount, so these run anywhere.
class ControlTest : public ::testing::Test {
  protected:
    ControlTest() {
        auto config = test::configIn(test::Sandbox::get().freshFolder());
        config.thermometers = 2;
        config.startUnplugged = true;
        simulator_ = std::make_unique<Simulator>(config);
    }
    ControlReply run(std::string_view line) { return executeCommand(*simulator_, line); }
    std::unique_ptr<Simulator> simulator_;
};

struct CommandRow {
    const char* name;
    const char* line;
    Kind kind;
};

class Commands : public ControlTest, public ::testing::WithParamInterface<CommandRow> {};

TEST_P(Commands, AreAcceptedOrRefusedWithAReason) {
    const auto& row = GetParam();
    auto reply = run(row.line);
    EXPECT_EQ(reply.kind, row.kind) << row.line << " -> " << reply.text;
    if (row.kind == Kind::Error) {
        EXPECT_FALSE(reply.text.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Commands,
    ::testing::Values(
        CommandRow{"celsius", "celsius 25", Kind::Ok},
        CommandRow{"celsius_needs_a_number", "celsius warm", Kind::Error},
        CommandRow{"cal_with_comma", "cal 0.7,0.3", Kind::Ok},
        CommandRow{"cal_with_space", "cal 0.7 0.3", Kind::Ok},
        CommandRow{"raw_hex_and_decimal", "raw 0x85 0", Kind::Ok},
        CommandRow{"raw_byte_out_of_range", "raw 256 0", Kind::Error},
        CommandRow{"rate_zero_is_silent", "rate 0", Kind::Ok},
        CommandRow{"negative_rate", "rate -1", Kind::Error},
        CommandRow{"report_ids_on", "report-ids on", Kind::Ok},
        CommandRow{"report_ids_bad_switch", "report-ids maybe", Kind::Error},
        CommandRow{"zero_length", "length 0", Kind::Error},
        CommandRow{"send_while_unplugged", "send", Kind::Error},
        CommandRow{"second_thermometer", "@1 celsius 30", Kind::Ok},
        CommandRow{"no_third_thermometer", "@2 celsius 30", Kind::Error},
        CommandRow{"unknown_command", "explode", Kind::Error},
        CommandRow{"empty_line", "   ", Kind::Error},
        CommandRow{"unplug_twice_is_harmless", "unplug", Kind::Ok},
        CommandRow{"renumbered_replug_while_unplugged", "replug-renumbered", Kind::Error},
        CommandRow{"renumbered_replug_bad_time", "replug-renumbered soon", Kind::Error},
        CommandRow{"wait_on_unknown_field", "wait colour=red 10", Kind::Error},
        CommandRow{"wait_already_true", "wait plugged=0 open=0 10", Kind::Ok},
        CommandRow{"wait_runs_out", "wait plugged=1 50", Kind::TimedOut}),
    rowName);

TEST_F(ControlTest, CelsiusGoesThroughTheThermometersCalibration) {
    ASSERT_EQ(run("@1 cal 0.8,0.2").kind, Kind::Ok);
    ASSERT_EQ(run("@1 celsius 50").kind, Kind::Ok);
    // 0.2 + 50 * 0.6 / 100 = 0.5 of full scale.
    EXPECT_EQ(simulator_->status(1).settings.value, (ValueBytes{0x80, 0x00}));
    EXPECT_EQ(simulator_->status(0).settings.value, DeviceSettings{}.value);
}

TEST_F(ControlTest, StatusListsKeyValueLines) {
    ASSERT_EQ(run("raw 133 0").kind, Kind::Ok);
    auto reply = run("status");
    ASSERT_EQ(reply.kind, Kind::Ok);
    EXPECT_NE(reply.text.find("plugged=0\n"), std::string::npos);
    EXPECT_NE(reply.text.find("b1=133\nb2=0\nvalue=0x8500\n"), std::string::npos);
    EXPECT_NE(reply.text.find("thermometers=2\n"), std::string::npos);
}

TEST_F(ControlTest, WaitReturnsOnceAnotherClientMakesItTrue) {
    auto waiting = std::async(std::launch::async, [&] { return run("wait rate=3 open=0 10000"); });
    ASSERT_EQ(run("rate 3").kind, Kind::Ok);
    EXPECT_EQ(waiting.get().kind, Kind::Ok);
}

TEST_F(ControlTest, ServesCommandsOverItsSocket) {
    auto socket = test::Sandbox::get().freshFolder() / "control.sock";
    ControlServer server(*simulator_, socket);
    auto reply = sendControlCommand(socket, "@1 raw 0x12 0x34");
    EXPECT_EQ(reply.kind, Kind::Ok) << reply.text;
    EXPECT_EQ(simulator_->status(1).settings.value, (ValueBytes{0x12, 0x34}));
    auto refused = sendControlCommand(socket, "raw 1");
    EXPECT_EQ(refused.kind, Kind::Error);
    EXPECT_NE(refused.text.find("usage"), std::string::npos);
}

TEST_F(ControlTest, StoppingTheServerEndsAWaitInProgress) {
    auto socket = test::Sandbox::get().freshFolder() / "control.sock";
    std::future<ControlReply> waiting;
    {
        ControlServer server(*simulator_, socket);
        waiting = std::async(std::launch::async,
                             [&] { return sendControlCommand(socket, "wait plugged=1 600000"); });
        // The wait has begun once the server has a connection to serve; only then stop it.
        ASSERT_EQ(sendControlCommand(socket, "status").kind, Kind::Ok);
        ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    }
    EXPECT_EQ(waiting.get().kind, Kind::TimedOut);
}

// What may be at --control PATH before the simulator starts: only a stale socket is replaced;
// anything else stays as it was, and the error names the path.
struct ControlPathRow {
    const char* name;
    void (*make)(const std::filesystem::path& path);
    bool served;
};

class ControlPaths : public ControlTest, public ::testing::WithParamInterface<ControlPathRow> {};

TEST_P(ControlPaths, OnlyAStaleSocketIsReplaced) {
    const auto path = test::Sandbox::get().freshFolder() / "control.sock";
    GetParam().make(path);
    struct stat before {};
    const bool existed = ::lstat(path.c_str(), &before) == 0;
    if (GetParam().served) {
        ControlServer server(*simulator_, path);
        EXPECT_EQ(sendControlCommand(path, "status").kind, Kind::Ok);
        struct stat socket {};
        ASSERT_EQ(::stat(path.c_str(), &socket), 0);
        EXPECT_TRUE(S_ISSOCK(socket.st_mode));
        EXPECT_EQ(socket.st_mode & 07777, 0600u) << "only its user may send commands";
        return;
    }
    try {
        ControlServer server(*simulator_, path);
        ADD_FAILURE() << "took over " << path;
    } catch (const SysError& error) {
        EXPECT_NE(std::string(error.what()).find(path.native()), std::string::npos) << error.what();
    }
    struct stat after {};
    ASSERT_TRUE(existed);
    ASSERT_EQ(::lstat(path.c_str(), &after), 0) << "removed";
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_ino, before.st_ino);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ControlPaths,
    ::testing::Values(
        ControlPathRow{"nothing_there", [](const std::filesystem::path&) {}, true},
        ControlPathRow{
            "stale_socket",
            [](const std::filesystem::path& path) {
                // A socket bound and closed: nobody answers there any more.
                sockaddr_un address{};
                address.sun_family = AF_UNIX;
                std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
                os::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
                ASSERT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address),
                          0);
            },
            true},
        ControlPathRow{"regular_file",
                       [](const std::filesystem::path& path) { std::ofstream(path) << "notes"; },
                       false},
        ControlPathRow{"symlink_to_a_file",
                       [](const std::filesystem::path& path) {
                           std::ofstream(path.native() + ".target") << "notes";
                           std::filesystem::create_symlink(path.native() + ".target", path);
                       },
                       false}),
    rowName);

TEST_F(ControlTest, ConnectionsBeyondTheBoundAreRefusedUntilOneEnds) {
    const auto path = test::Sandbox::get().freshFolder() / "control.sock";
    ControlServer server(*simulator_, path);
    std::vector<os::UniqueFd> idle;
    for (std::size_t i = 0; i < kMaxControlConnections; ++i)
        idle.push_back(connectControl(path, 0));
    // Accepted in order, so by the time this one is, the idle ones hold every slot.
    const auto refused = sendControlCommand(path, "status");
    EXPECT_EQ(refused.kind, Kind::Error);
    EXPECT_NE(refused.text.find("too many connections"), std::string::npos) << refused.text;

    idle.pop_back();
    ControlReply reply = refused;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (reply.kind != Kind::Ok && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        reply = sendControlCommand(path, "status");
    }
    EXPECT_EQ(reply.kind, Kind::Ok) << "a slot that came free was not used again: " << reply.text;
}

TEST(PrivateFolder, IsItsOwnersAloneUnderTheRuntimeDirAndGoesAway) {
    const auto runtime = test::Sandbox::get().freshFolder();
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string previous = saved ? saved : "";
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    std::filesystem::path made;
    {
        PrivateFolder folder;
        made = folder.path();
        struct stat info {};
        ASSERT_EQ(::stat(made.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0700u);
        EXPECT_EQ(made.parent_path(), runtime);
    }
    EXPECT_FALSE(std::filesystem::exists(made));
    saved ? ::setenv("XDG_RUNTIME_DIR", previous.c_str(), 1) : ::unsetenv("XDG_RUNTIME_DIR");
}

struct ConditionRow {
    const char* name;
    const char* condition;
    bool holds;
};

class Conditions : public ::testing::TestWithParam<ConditionRow> {};

TEST_P(Conditions, CompareNumbersAsNumbersAndTextAsText) {
    DeviceStatus status;
    status.plugged = true;
    status.node = "/dev/hidraw3";
    status.openFiles = 2;
    status.seqNs = 9'007'199'254'740'993;  // 2^53 + 1: lost in a double
    auto condition = parseCondition(GetParam().condition);
    ASSERT_TRUE(condition) << GetParam().condition;
    EXPECT_EQ(holds(*condition, statusFields(status)), GetParam().holds);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Conditions,
    ::testing::Values(ConditionRow{"greater_or_equal", "open>=2", true},
                      ConditionRow{"greater", "open>2", false},
                      ConditionRow{"less", "open<3", true},
                      ConditionRow{"not_equal", "open!=2", false},
                      ConditionRow{"number_not_text", "open=2.0", true},
                      ConditionRow{"text_equal", "node=/dev/hidraw3", true},
                      ConditionRow{"text_order_never_holds", "node>/dev/hidraw0", false},
                      ConditionRow{"exact_64_bit_times", "seq_ns>9007199254740992", true}),
    rowName);

TEST(ParseCondition, RefusesWhatIsNotAFieldComparison) {
    EXPECT_FALSE(parseCondition("open"));
    EXPECT_FALSE(parseCondition(">=2"));
    EXPECT_FALSE(parseCondition("open>="));
    EXPECT_FALSE(parseCondition("colour=red"));
}

TEST(Replies, SurviveTheWire) {
    for (auto reply : {ControlReply{Kind::Ok, "a=1\nb=2\n"}, ControlReply{Kind::Ok, ""},
                       ControlReply{Kind::Error, "no thermometer 3"},
                       ControlReply{Kind::TimedOut, "after 5 ms: open=0"}}) {
        auto back = decodeReply(encodeReply(reply));
        EXPECT_EQ(back.kind, reply.kind);
        EXPECT_EQ(back.text, reply.text);
    }
    EXPECT_EQ(decodeReply("").kind, Kind::Error);
}

struct OptionsRow {
    const char* name;
    std::vector<std::string> args;
    bool valid;
};

class OptionLines : public ::testing::TestWithParam<OptionsRow> {};

TEST_P(OptionLines, AreParsedOrRefused) {
    auto parsed = parseOptions(GetParam().args);
    EXPECT_EQ(std::holds_alternative<Options>(parsed), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OptionLines,
    ::testing::Values(
        OptionsRow{"plain_command", {"usb-thermometer"}, true},
        OptionsRow{"everything",
                   {"--celsius", "25", "--cal", "0.7,0.3", "--rate", "100", "--report-ids",
                    "--length", "2", "--decoys", "3", "--thermometers", "2", "--absent",
                    "--control", "/tmp/s", "--", "prog", "--celsius"},
                   true},
        OptionsRow{"no_command", {"--rate", "0"}, true},
        OptionsRow{"negative_celsius", {"--celsius", "-10", "prog"}, true},
        OptionsRow{"celsius_not_a_number", {"--celsius", "warm", "prog"}, false},
        OptionsRow{"rate_in_the_locales_notation", {"--rate", "2,5"}, false},
        OptionsRow{"missing_value", {"--rate"}, false},
        OptionsRow{"bad_raw", {"--raw", "1"}, false},
        OptionsRow{"too_many_devices", {"--decoys", "511", "--thermometers", "2"}, false},
        OptionsRow{"unknown_option", {"--colour", "red", "prog"}, false}),
    rowName);

TEST(Options, CelsiusUsesTheCalibrationGivenAfterIt) {
    auto parsed = parseOptions({"--celsius", "50", "--cal", "0.8,0.2", "--", "prog", "-x"});
    auto* options = std::get_if<Options>(&parsed);
    ASSERT_TRUE(options);
    EXPECT_EQ(options->simulator.settings.value, (ValueBytes{0x80, 0x00}));
    EXPECT_EQ(options->command, (std::vector<std::string>{"prog", "-x"}));
}

TEST(Options, EverythingFromTheCommandOnIsTheCommands) {
    auto parsed = parseOptions({"--rate", "5", "prog", "--rate", "x", "-v"});
    auto* options = std::get_if<Options>(&parsed);
    ASSERT_TRUE(options) << std::get<std::string>(parsed);
    EXPECT_EQ(options->simulator.settings.rateHz, 5.0);
    EXPECT_FALSE(options->verbose);
    EXPECT_EQ(options->command, (std::vector<std::string>{"prog", "--rate", "x", "-v"}));
}

// help2man makes the manual page from these two.
TEST(Options, HelpAndVersionAreAnsweredBeforeAnythingRuns) {
    auto help = parseOptions({"--rate", "5", "--help", "prog"});
    ASSERT_TRUE(std::holds_alternative<HelpRequested>(help));
    EXPECT_NE(std::get<HelpRequested>(help).text.find("ctl [-w MS] SOCKET"), std::string::npos);
    auto version = parseOptions({"--version"});
    ASSERT_TRUE(std::holds_alternative<HelpRequested>(version));
    EXPECT_EQ(std::get<HelpRequested>(version).text.rfind("usb-thermometer-sim ", 0), 0u);
}

TEST(Options, RawReplacesAnEarlierCelsius) {
    auto parsed = parseOptions({"--celsius", "50", "--raw", "0x12,34"});
    auto* options = std::get_if<Options>(&parsed);
    ASSERT_TRUE(options);
    EXPECT_EQ(options->simulator.settings.value, (ValueBytes{0x12, 34}));
}

}  // namespace
}  // namespace thermo::sim
