#include <gtest/gtest.h>

#include <ostream>

#include <future>
#include <thread>

#include "tests/sim/sandbox.h"
#include "tools/thermometer-sim/control_client.h"
#include "tools/thermometer-sim/control_protocol.h"
#include "tools/thermometer-sim/control_server.h"
#include "tools/thermometer-sim/options.h"
#include "tools/thermometer-sim/status.h"

namespace thermo::sim {
namespace {

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
    const char* guards;
    const char* line;
    Kind kind;
};

void PrintTo(const CommandRow& row, std::ostream* out) { *out << row.guards; }

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
    ::testing::Values(CommandRow{"celsius", "celsius 25", Kind::Ok},
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
                      CommandRow{"wait_on_unknown_field", "wait colour=red 10", Kind::Error},
                      CommandRow{"wait_already_true", "wait plugged=0 open=0 10", Kind::Ok},
                      CommandRow{"wait_runs_out", "wait plugged=1 50", Kind::TimedOut}),
    [](const auto& info) { return std::string(info.param.guards); });

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

struct ConditionRow {
    const char* guards;
    const char* condition;
    bool holds;
};

void PrintTo(const ConditionRow& row, std::ostream* out) { *out << row.guards; }

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
    [](const auto& info) { return std::string(info.param.guards); });

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
    const char* guards;
    std::vector<std::string> args;
    bool valid;
};

void PrintTo(const OptionsRow& row, std::ostream* out) { *out << row.guards; }

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
        OptionsRow{"missing_value", {"--rate"}, false},
        OptionsRow{"bad_raw", {"--raw", "1"}, false},
        OptionsRow{"too_many_devices", {"--decoys", "511", "--thermometers", "2"}, false},
        OptionsRow{"unknown_option", {"--colour", "red", "prog"}, false}),
    [](const auto& info) { return std::string(info.param.guards); });

TEST(Options, CelsiusUsesTheCalibrationGivenAfterIt) {
    auto parsed = parseOptions({"--celsius", "50", "--cal", "0.8,0.2", "--", "prog", "-x"});
    auto* options = std::get_if<Options>(&parsed);
    ASSERT_TRUE(options);
    EXPECT_EQ(options->simulator.settings.value, (ValueBytes{0x80, 0x00}));
    EXPECT_EQ(options->command, (std::vector<std::string>{"prog", "-x"}));
}

TEST(Options, RawReplacesAnEarlierCelsius) {
    auto parsed = parseOptions({"--celsius", "50", "--raw", "0x12,34"});
    auto* options = std::get_if<Options>(&parsed);
    ASSERT_TRUE(options);
    EXPECT_EQ(options->simulator.settings.value, (ValueBytes{0x12, 34}));
}

}  // namespace
}  // namespace thermo::sim
