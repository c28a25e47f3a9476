// usb-thermometer-read end to end: the real program in the simulated thermometer's namespace,
// its standard output, standard error, exit status and files read back.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "tests/session/consumers.h"
#include "tests/session/process.h"
#include "tests/session/session.h"
#include "tests/support/plugin_output.h"
#include "tests/support/row_name.h"

namespace thermo::e2e {
namespace {

// Rows print by their names (tests/support/row_name.h).
using thermo::PrintTo;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

const std::string kReader = THERMO_READ_PROGRAM;
const std::string kWorkedLine = "54.2 \302\260C  129.5 \302\260F\n";
// Far more than any run here needs, on the most loaded machine.
constexpr milliseconds kPatience = 60s;

std::string whyCannotRun() {
    if (::geteuid() != 0) return "needs root: the simulated thermometer mounts FUSE files";
    if (::access("/dev/fuse", R_OK | W_OK) != 0) return "needs /dev/fuse for the simulated node";
    return {};
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

int occurrences(const std::string& text, const std::string& part) {
    int found = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
    return found;
}

// The simulator with `simArgs`, running the reader with `readArgs` in a folder of its own; the
// reader's standard error goes to err.txt there, its standard output to out.txt unless `stdoutTo`
// (a shell redirection of descriptor 1) says otherwise.
class ReadProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const std::string why = whyCannotRun(); !why.empty()) GTEST_SKIP() << why;
    }

    // `prelude`: shell commands run before the reader starts ("umask 077;").
    Spawn spawnOf(const std::vector<std::string>& simArgs, const std::vector<std::string>& readArgs,
                  const std::string& stdoutTo = ">out.txt", const std::string& prelude = "") const {
        std::vector<std::string> argv{builtPrograms().simulator.string()};
        argv.insert(argv.end(), simArgs.begin(), simArgs.end());
        argv.insert(argv.end(),
                    {"--control", socket().string(), "--", "sh", "-c",
                     prelude + "exec \"$0\" \"$@\" " + stdoutTo + " 2>err.txt", kReader});
        argv.insert(argv.end(), readArgs.begin(), readArgs.end());
        return Spawn{argv, {}, dir_.path(), dir_.path() / "sim.log"};
    }

    // Runs to the end; the status is the reader's (the simulator passes it on).
    int runToEnd(const std::vector<std::string>& simArgs, const std::vector<std::string>& readArgs,
                 const std::string& stdoutTo = ">out.txt") {
        Process process(spawnOf(simArgs, readArgs, stdoutTo));
        const auto status = process.waitFor(kPatience);
        if (!status) ADD_FAILURE() << "still running after " << kPatience.count() << " ms";
        return status.value_or(-1);
    }

    fs::path socket() const { return dir_.path() / "control.sock"; }
    fs::path file(const char* name) const { return dir_.path() / name; }
    std::string out() const { return readFile(file("out.txt")); }
    std::string err() const { return readFile(file("err.txt")); }

    TempDir dir_;
};

struct OutcomeRow {
    const char* name;
    std::vector<std::string> simArgs;
    std::vector<std::string> readArgs;
    const char* calContent;  // nullptr: no cal.txt
    int status;
    const char* outPattern;  // the whole standard output
    const char* errPart;     // in standard error
};

const OutcomeRow kOutcomes[] = {
    {"WorkedExamplePlain",
     {"--raw", "133,0", "--rate", "100"},
     {},
     nullptr,
     0,
     "54\\.2 \302\260C  129\\.5 \302\260F\n",
     "cal.txt not found; using the default points 0.72"},
    {"WorkedExampleJson",
     {"--raw", "133,0", "--rate", "100"},
     {"--json", "--name", "fridge"},
     nullptr,
     0,
     "\\{\"time\":\"20[0-9][0-9]-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{3}"
     "Z\","
     "\"device\":\"/dev/"
     "hidraw0\",\"port\":\"[-0-9.]*\",\"name\":\"fridge\",\"ratio\":0\\.51953125,\"celsius\":54\\."
     "180744,"
     "\"fahrenheit\":129\\.52534,\"celsius_shown\":\"54\\.2\",\"fahrenheit_shown\":\"129\\.5\","
     "\"cal_zero\":0\\.72,\"cal_hundred\":0\\.35\\}\n",
     "default points"},
    {"WorkedExampleCsv",
     {"--raw", "133,0", "--rate", "100"},
     {"--csv"},
     nullptr,
     0,
     "time,device,ratio,celsius,fahrenheit,celsius_shown,fahrenheit_shown,cal_zero,cal_hundred,"
     "port,name\n"
     "20[-0-9T:.]*Z,/dev/hidraw0,0\\.51953125,54\\.180744,129\\.52534,54\\.2,129\\.5,0\\.72,"
     "0\\.35,[-0-9.]*,\n",
     "default points"},
    {"WorkedExampleInflux",
     {"--raw", "133,0", "--rate", "100"},
     {"--influx", "--count", "2", "--interval", "0.05"},
     nullptr,
     0,
     "(usb_thermometer,port=[0-9]+-[0-9.]+ celsius=54\\.180744,fahrenheit=129\\.52534,"
     "ratio=0\\.51953125 1[0-9]{18}\n){2}",
     "default points"},
    {"OwnCalibrationFileIsUsed",
     {"--raw", "133,0", "--rate", "100"},
     {},
     "0.7,0.3\r\n",
     0,
     "45\\.1 \302\260C  113\\.2 \302\260F\n",
     ""},
    {"AfterTheDecoysTheThermometer",
     {"--raw", "133,0", "--decoys", "2"},
     {"--json"},
     nullptr,
     0,
     ".*\"device\":\"/dev/hidraw2\".*",
     ""},
    {"NoThermometerIsTwo",
     {"--absent", "--decoys", "1"},
     {},
     nullptr,
     2,
     "",
     "usb-thermometer-read: no thermometer found\n"},
    {"NotAThermometerAtThatPathIsTwo",
     {"--decoys", "1"},
     {"--device", "/dev/hidraw0"},
     nullptr,
     2,
     "",
     "no thermometer at /dev/hidraw0"},
    {"CalibrationWithOneValueIsFour",
     {},
     {},
     "0.72\r\n",
     4,
     "",
     "cal.txt: does not hold two calibration values"},
    {"CalibrationWithEqualPointsIsFour",
     {},
     {},
     "0.5,0.5\r\n",
     4,
     "",
     "cal.txt: its two points give no temperature"},
    {"CalibrationNamedByCalIsFourWhenUnreadable",
     {},
     {"--cal", "."},
     nullptr,
     4,
     "",
     ".: Is a directory"},
    {"CalibrationNamedByCalIsFourWhenMissing",
     {},
     {"--cal", "c.txt"},
     nullptr,
     4,
     "",
     "/c.txt: No such file or directory"},
    {"WrongCommandLineIsOne", {}, {"--count", "many"}, nullptr, 1, "", "--count"},
};

class ReadOutcome : public ReadProgram, public ::testing::WithParamInterface<OutcomeRow> {};

TEST_P(ReadOutcome, PrintsAndExitsAsDocumented) {
    const OutcomeRow& row = GetParam();
    if (row.calContent) std::ofstream(file("cal.txt"), std::ios::binary) << row.calContent;
    EXPECT_EQ(runToEnd(row.simArgs, row.readArgs), row.status) << err();
    EXPECT_THAT(out(), MatchesRegex(row.outPattern));
    EXPECT_THAT(err(), HasSubstr(row.errPart));
    // Never created, and never changed.
    if (row.calContent) {
        EXPECT_EQ(readFile(file("cal.txt")), row.calContent);
    } else {
        EXPECT_FALSE(fs::exists(file("cal.txt")));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ReadOutcome, ::testing::ValuesIn(kOutcomes), rowName);

// --check against the worked example (54.180744 °C, written 54.18): the guidelines' range forms
// at the value's own endpoints, and what leaves the state unknown. Its whole output is one line
// of the plugins' grammar, and nothing goes to standard error (Icinga 2 would show it).
struct CheckRow {
    const char* name;
    std::vector<std::string> simArgs;
    std::vector<std::string> readArgs;
    const char* calContent;  // nullptr: no cal.txt
    int status;
    const char* state;
    const char* textPart;  // in the text before the perfdata
};

const std::vector<std::string> kWorked = {"--raw", "133,0", "--rate", "100"};

const CheckRow kChecks[] = {
    {"NoRangesIsOk", kWorked, {"--check"}, nullptr, 0, "OK", "54.2 \302\260C"},
    {"UpperEndIsTheValue", kWorked, {"--check", "-w", "54.18"}, nullptr, 0, "OK", "54.2"},
    {"UpperEndJustBelow", kWorked, {"--check", "-w", "54.17"}, nullptr, 1, "WARNING", "54.2"},
    {"StartIsTheValue", kWorked, {"--check", "-c", "54.18:"}, nullptr, 0, "OK", "54.2"},
    {"StartJustAbove", kWorked, {"--check", "-c", "54.19:"}, nullptr, 2, "CRITICAL", "54.2"},
    {"NoStartAbove", kWorked, {"--check", "-w", "~:50", "-c", "~:60"}, nullptr, 1, "WARNING", ""},
    {"InsideIncludesEndpoint", kWorked, {"--check", "-c", "@54.18:60"}, nullptr, 2, "CRITICAL", ""},
    {"NegativeRangeCritical",
     kWorked,
     {"--check", "-w", "-30:-10", "-c", "-40:-5"},
     nullptr,
     2,
     "CRITICAL",
     ""},
    {"OwnCalibrationDecides", kWorked, {"--check", "-w", "~:50"}, "0.7,0.3\r\n", 0, "OK", "45.1"},
    {"NoThermometerIsUnknown",
     {"--absent"},
     {"--check"},
     nullptr,
     3,
     "UNKNOWN",
     "no thermometer found"},
    {"UnusableCalibrationIsUnknown",
     kWorked,
     {"--check"},
     "0.5,0.5\r\n",
     3,
     "UNKNOWN",
     "cal.txt: its two points give no temperature"},
    {"MissingNamedCalibrationIsUnknown",
     kWorked,
     {"--check", "--cal", "c.txt"},
     nullptr,
     3,
     "UNKNOWN",
     "c.txt: No such file"},
    {"InvalidRangeIsUnknown",
     kWorked,
     {"--check", "-w", "60:50"},
     nullptr,
     3,
     "UNKNOWN",
     "--warning: 60:50 is not a range"},
    {"SilentThermometerIsUnknown",
     {"--rate", "0"},
     {"--check"},
     nullptr,
     3,
     "UNKNOWN",
     "no report from /dev/hidraw0 within 6 s"},
};

class ReadCheck : public ReadProgram, public ::testing::WithParamInterface<CheckRow> {};

TEST_P(ReadCheck, OneLineOfThePluginGrammarAndItsState) {
    const CheckRow& row = GetParam();
    if (row.calContent) std::ofstream(file("cal.txt"), std::ios::binary) << row.calContent;
    EXPECT_EQ(runToEnd(row.simArgs, row.readArgs), row.status) << out();
    const auto line = thermo::testing::parsePluginLine(out());
    ASSERT_TRUE(line.has_value()) << out();
    EXPECT_EQ(line->service, "USB THERMOMETER");
    EXPECT_EQ(line->state, row.state);
    EXPECT_THAT(line->text, HasSubstr(row.textPart));
    EXPECT_EQ(line->hasPerfdata, row.status != 3) << out();
    if (line->hasPerfdata) {
        EXPECT_EQ(line->label, "temperature");
        EXPECT_EQ(line->unit, "");
        const auto given = [&](const char* option) {
            const auto at = std::find(row.readArgs.begin(), row.readArgs.end(), option);
            return at == row.readArgs.end() ? std::string() : *(at + 1);
        };
        EXPECT_EQ(line->warning, given("-w"));
        EXPECT_EQ(line->critical, given("-c"));
    }
    EXPECT_EQ(err(), "");
}

INSTANTIATE_TEST_SUITE_P(Rows, ReadCheck, ::testing::ValuesIn(kChecks), rowName);

TEST_F(ReadProgram, SilentThermometerIsThreeAfterTheSixSecondWait) {
    const auto start = Clock::now();
    EXPECT_EQ(runToEnd({"--rate", "0"}, {}), 3);
    // A lower bound only: the wait cannot end sooner, however loaded the machine.
    EXPECT_GE(Clock::now() - start, 6000ms);
    EXPECT_EQ(err(),
              "usb-thermometer-read: cal.txt not found; using the default points 0.72 and 0.35\n"
              "usb-thermometer-read: no report from /dev/hidraw0 within 6 s\n");
    EXPECT_EQ(out(), "");
}

// Output that never arrived is no success, in every form.
TEST_F(ReadProgram, OutputThatCannotBeWrittenIsFiveWithTheReason) {
    const std::vector<std::vector<std::string>> forms = {
        {}, {"--json"}, {"--csv", "--count", "2"}, {"--list"}, {"--help"}};
    for (const auto& args : forms) {
        EXPECT_EQ(runToEnd({"--raw", "133,0", "--rate", "100"}, args, ">/dev/full"), 5)
            << ::testing::PrintToString(args) << err();
        EXPECT_THAT(err(), HasSubstr("usb-thermometer-read: write standard output: No space left "
                                     "on device\n"));
    }
}

// Started with standard output closed, the reader must not take the thermometer's node for it.
TEST_F(ReadProgram, ClosedStandardOutputNeverReachesTheThermometer) {
    Process process(spawnOf({"--raw", "133,0", "--rate", "100"},
                            {"--count", "0", "--interval", "0.02"}, ">&-"));
    const SimControl sim(socket());
    sim.command("status", 10000);
    ASSERT_TRUE(sim.wait("reads>=5", kPatience)) << err();
    EXPECT_EQ(sim.status().number("writes"), 0);
    ::kill(process.pid(), SIGTERM);
    EXPECT_EQ(process.waitFor(kPatience), std::optional<int>(0)) << err();
}

// A report shorter than the device's own holds no measurement: no row, and a single reading of
// one has read nothing.
TEST_F(ReadProgram, ShortReportIsNoReadingAndThree) {
    Process process(spawnOf({"--raw", "133,0", "--rate", "0", "--length", "2"}, {}));
    const SimControl sim(socket());
    sim.command("status", 10000);  // once the simulator answers
    ASSERT_TRUE(sim.wait("open=2", kPatience)) << err();
    sim.command("inject 7");
    EXPECT_EQ(process.waitFor(kPatience), std::optional<int>(3)) << err();
    EXPECT_EQ(out(), "");
    EXPECT_THAT(err(), HasSubstr("usb-thermometer-read: /dev/hidraw0: a short report (2 of 3 "
                                 "bytes); no reading\n"));
}

// A log appended to gets one header per file; --no-header never writes one; --quiet leaves out
// the notice about the default points.
TEST_F(ReadProgram, CsvHeaderOncePerFileAndNeverWithNoHeader) {
    const std::vector<std::string> sim = {"--raw", "133,0", "--rate", "100"};
    for (int run = 0; run < 2; ++run) {
        EXPECT_EQ(runToEnd(sim, {"--csv", "--quiet"}, ">>out.txt"), 0) << err();
        EXPECT_EQ(err(), "");
    }
    const auto lines = linesOf(out());
    ASSERT_EQ(lines.size(), 3U) << out();
    EXPECT_EQ(lines[0].rfind("time,device,", 0), 0U) << lines[0];
    EXPECT_THAT(lines[1], HasSubstr(",54.2,129.5,"));
    EXPECT_THAT(lines[2], HasSubstr(",54.2,129.5,"));

    EXPECT_EQ(runToEnd(sim, {"--csv", "--no-header"}), 0) << err();
    ASSERT_EQ(linesOf(out()).size(), 1U) << out();
    EXPECT_THAT(out(), HasSubstr(",54.2,129.5,"));
    EXPECT_THAT(err(), HasSubstr("default points"));
}

// --count is the number of rows written: attempts while the thermometer is gone do not count.
// Reports come only when sent, so the rows are counted whatever the machine's speed.
TEST_F(ReadProgram, CountIsRowsWrittenAcrossAnUnplug) {
    Process process(spawnOf({"--raw", "133,0", "--rate", "0"},
                            {"--count", "4", "--interval", "0.05", "--csv", "--no-header"}));
    const SimControl sim(socket());
    sim.command("status", 10000);  // once the simulator answers
    const auto rowOnSend = [&](std::size_t rows) {
        ASSERT_TRUE(sim.wait("open=2", kPatience)) << err();
        sim.command("send");
        ASSERT_TRUE(pollUntil([&] { return linesOf(out()).size() >= rows; }, kPatience)) << err();
    };
    rowOnSend(1);
    rowOnSend(2);
    sim.command("unplug");
    ASSERT_TRUE(
        pollUntil([&] { return err().find("thermometer gone") != std::string::npos; }, kPatience))
        << err();
    sim.command("plug");
    rowOnSend(3);
    rowOnSend(4);
    EXPECT_EQ(process.waitFor(kPatience), std::optional<int>(0)) << err();
    EXPECT_EQ(linesOf(out()).size(), 4U) << out();
    EXPECT_THAT(err(), HasSubstr("thermometer back at"));
}

TEST_F(ReadProgram, CountAndIntervalGiveThatManyRows) {
    EXPECT_EQ(runToEnd({"--raw", "133,0", "--rate", "100"}, {"--interval", "0.2", "--count", "3"}),
              0);
    EXPECT_EQ(out(), kWorkedLine + kWorkedLine + kWorkedLine);
}

TEST_F(ReadProgram, ListShowsEveryThermometerAndDevicePicksOne) {
    const std::vector<std::string> sim = {"--decoys", "1", "--thermometers", "2", "--length", "8"};
    EXPECT_EQ(runToEnd(sim, {"--list"}), 0) << err();
    // The decoy sits in port 1-1, the thermometers in the ports after it.
    EXPECT_EQ(out(), "1-2\t/dev/hidraw1\t9\tok\n1-3\t/dev/hidraw2\t9\tok\n");
    EXPECT_EQ(runToEnd(sim, {"--list", "--json"}), 0) << err();
    EXPECT_EQ(
        out(),
        "{\"port\":\"1-2\",\"device\":\"/dev/hidraw1\",\"report_length\":9,\"usable\":true}\n"
        "{\"port\":\"1-3\",\"device\":\"/dev/hidraw2\",\"report_length\":9,\"usable\":true}\n");

    // Any spelling of the node, a link to it included, is that thermometer, named as listed.
    fs::create_symlink("/dev/hidraw2", file("link"));
    for (const char* spelling :
         {"1-3", "/dev/hidraw2", "/dev//hidraw2", "/dev/../dev/hidraw2", "link"}) {
        EXPECT_EQ(runToEnd(sim, {"--device", spelling, "--csv"}), 0) << spelling << err();
        EXPECT_THAT(linesOf(out()).back(), HasSubstr(",/dev/hidraw2,")) << spelling;
    }
}

// Two probes in two ports, each logged with its own calibration and name: every line carries its
// own port, name and temperature (0.51953125 is 54.180744 with 0.72,0.35 and 92.1875 with
// 0.75,0.5).
TEST_F(ReadProgram, TwoThermometersInTwoPortsEachWithItsOwnCalibrationAndName) {
    const std::vector<std::string> sim = {"--raw", "133,0", "--thermometers", "2"};
    std::ofstream(file("fridge.txt"), std::ios::binary) << "0.72,0.35\r\n";
    std::ofstream(file("freezer.txt"), std::ios::binary) << "0.75,0.5\r\n";
    struct Probe {
        const char* port;
        const char* cal;
        const char* name;
        const char* celsius;
    };
    for (const Probe& probe : {Probe{"1-1", "fridge.txt", "fridge", "54.180744"},
                               Probe{"1-2", "freezer.txt", "freezer", "92.1875"}}) {
        EXPECT_EQ(runToEnd(sim, {"--device", probe.port, "--cal", probe.cal, "--name", probe.name,
                                 "--json", "--count", "2", "--interval", "0.05"}),
                  0)
            << err();
        const auto lines = linesOf(out());
        EXPECT_EQ(lines.size(), 2u) << out();
        for (const std::string& line : lines) {
            EXPECT_THAT(line, HasSubstr(std::string("\"port\":\"") + probe.port + "\""));
            EXPECT_THAT(line, HasSubstr(std::string("\"name\":\"") + probe.name + "\""));
            EXPECT_THAT(line, HasSubstr(std::string("\"celsius\":") + probe.celsius + ","));
        }
    }
}

// Rows of a CSV log that a reader has written so far.
int csvRows(const std::string& text) {
    const auto lines = linesOf(text);
    return lines.empty() ? 0 : static_cast<int>(lines.size()) - 1;
}

// The device column of each row of a CSV log.
std::vector<std::string> csvDevices(const std::string& text) {
    std::vector<std::string> devices;
    const auto lines = linesOf(text);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto first = lines[i].find(',');
        devices.push_back(lines[i].substr(first + 1, lines[i].find(',', first + 1) - first - 1));
    }
    return devices;
}

struct FollowRow {
    const char* name;
    std::vector<std::string> readArgs;
};

class FollowsThePort : public ReadProgram, public ::testing::WithParamInterface<FollowRow> {};

// Two thermometers, in ports 1-1 (hidraw0) and 1-2 (hidraw1). The first is replugged into its
// port while a new device takes hidraw0, so it comes back as hidraw2: the log carries on with it
// and never with the probe that stayed plugged in.
TEST_P(FollowsThePort, AcrossAReplugOntoANewNumber) {
    std::vector<std::string> args{"--count", "0", "--interval", "0.05", "--csv"};
    args.insert(args.end(), GetParam().readArgs.begin(), GetParam().readArgs.end());
    Process process(spawnOf({"--raw", "133,0", "--rate", "100", "--thermometers", "2"}, args));
    const SimControl sim(socket());
    ASSERT_TRUE(pollUntil([&] { return csvRows(out()) >= 2; }, kPatience)) << err();
    ASSERT_EQ(sim.status(0).text("port"), "1-1");
    ASSERT_EQ(sim.status(1).text("port"), "1-2");

    sim.command("replug-renumbered 60000", 10000);
    ASSERT_EQ(sim.status(0).text("node"), "/dev/hidraw2");
    ASSERT_TRUE(pollUntil([&] { return err().find("back at /dev/hidraw2") != std::string::npos; },
                          kPatience))
        << err();
    const int rowsBack = csvRows(out());
    ASSERT_TRUE(pollUntil([&] { return csvRows(out()) >= rowsBack + 2; }, kPatience)) << err();
    ::kill(process.pid(), SIGTERM);
    EXPECT_EQ(process.waitFor(kPatience), std::optional<int>(0)) << err();

    const auto devices = csvDevices(out());
    EXPECT_EQ(devices.front(), "/dev/hidraw0");
    EXPECT_EQ(devices.back(), "/dev/hidraw2");
    EXPECT_EQ(std::count(devices.begin(), devices.end(), "/dev/hidraw1"), 0) << out();
}

INSTANTIATE_TEST_SUITE_P(Rows, FollowsThePort,
                         ::testing::Values(FollowRow{"NamedByDevice", {"--device", "1-1"}},
                                           FollowRow{"TheOneItStartedWith", {}}),
                         rowName);

TEST_F(ReadProgram, DevicePortWithNoThermometerInItIsTwo) {
    EXPECT_EQ(runToEnd({"--thermometers", "2"}, {"--device", "1-3"}), 2) << err();
    EXPECT_THAT(err(), HasSubstr("no thermometer at 1-3"));
}

TEST_F(ReadProgram, UnplugAndReplugLeaveAGapThenReadingsGoOnAndSigtermEndsTheRun) {
    Process process(spawnOf({"--raw", "133,0", "--rate", "100"},
                            {"--count", "0", "--interval", "0.05", "--csv"}));
    const SimControl sim(socket());
    ASSERT_TRUE(pollUntil([&] { return csvRows(out()) >= 2; }, kPatience)) << err();

    sim.command("unplug", 10000);
    ASSERT_TRUE(
        pollUntil([&] { return err().find("thermometer gone") != std::string::npos; }, kPatience))
        << err();
    const int rowsWhileGone = csvRows(out());
    sim.command("raw 140 0");
    sim.command("plug");
    ASSERT_TRUE(pollUntil([&] { return err().find("thermometer back at") != std::string::npos; },
                          kPatience))
        << err();
    ASSERT_TRUE(pollUntil([&] { return csvRows(out()) >= rowsWhileGone + 2; }, kPatience));

    ::kill(process.pid(), SIGTERM);  // the simulator passes it on
    const auto status = process.waitFor(kPatience);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0) << err();

    // One header, then whole rows only: the old value before the gap, the new one after it.
    const auto lines = linesOf(out());
    ASSERT_EQ(out().back(), '\n');
    EXPECT_EQ(std::count(lines.begin(), lines.end(), lines.front()), 1);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(std::count(lines[i].begin(), lines[i].end(), ','), 10) << lines[i];
    }
    EXPECT_THAT(lines[1], HasSubstr(",54.2,129.5,"));
    EXPECT_THAT(lines.back(), HasSubstr(",0.72,0.35,"));
    EXPECT_THAT(lines.back(), ::testing::Not(HasSubstr(",54.2,")));
    EXPECT_THAT(err(),
                MatchesRegex("(.|\n)*thermometer gone: /dev/hidraw0 was unplugged[^\n]*\n"
                             "usb-thermometer-read: thermometer back at /dev/hidraw[0-9]\n"));
}

// SIGTERM ends a report wait at once; a single reading cut short is no reading.
TEST_F(ReadProgram, SigtermDuringTheWaitOfASingleReadingIsThree) {
    Process process(spawnOf({"--rate", "0"}, {}));
    const SimControl sim(socket());
    sim.command("status", 10000);  // once the simulator answers
    ASSERT_TRUE(sim.wait("open=2 armed_polls>=1", kPatience)) << err();
    ::kill(process.pid(), SIGTERM);
    EXPECT_EQ(process.waitFor(kPatience), std::optional<int>(3)) << err();
    EXPECT_EQ(out(), "");
}

// A run started before the thermometer is plugged in keeps looking for it, says so once, and
// reads as soon as it is there.
TEST_F(ReadProgram, RepeatedRunWaitsForAThermometerPluggedInLater) {
    Process process(spawnOf({"--raw", "133,0", "--rate", "100", "--absent"},
                            {"--count", "0", "--interval", "0.05"}));
    const SimControl sim(socket());
    ASSERT_TRUE(pollUntil([&] { return err().find("no thermometer found\n") != std::string::npos; },
                          kPatience))
        << err();
    sim.command("plug", 10000);
    ASSERT_TRUE(pollUntil([&] { return out().find(kWorkedLine) != std::string::npos; }, kPatience))
        << err();
    ::kill(process.pid(), SIGTERM);
    EXPECT_EQ(process.waitFor(kPatience), std::optional<int>(0)) << err();
    EXPECT_THAT(err(), MatchesRegex("[^\n]*default points[^\n]*\n"
                                    "usb-thermometer-read: no thermometer found\n"
                                    "usb-thermometer-read: thermometer found at /dev/hidraw0\n"));
}

// A failing exposition file is said once while it fails, and again after it worked in between;
// the run's status says that readings went missing from it.
TEST_F(ReadProgram, PrometheusFailureIsSaidOncePerStreakAndTheRunEndsWithFive) {
    Process process(spawnOf({"--raw", "133,0", "--rate", "100"},
                            {"--count", "0", "--interval", "0.02", "--prometheus", "m/t.prom"}));
    const SimControl sim(socket());
    const std::string said = "usb-thermometer-read: m/t.prom: ";
    sim.command("status", 10000);
    ASSERT_TRUE(sim.wait("reads>=5", kPatience)) << err();
    EXPECT_EQ(occurrences(err(), said), 1) << err();
    fs::create_directory(file("m"));
    ASSERT_TRUE(pollUntil([&] { return fs::exists(file("m") / "t.prom"); }, kPatience)) << err();
    fs::rename(file("m"), file("away"));
    ASSERT_TRUE(pollUntil([&] { return occurrences(err(), said) == 2; }, kPatience)) << err();
    ::kill(process.pid(), SIGTERM);
    EXPECT_EQ(process.waitFor(kPatience), std::optional<int>(5)) << err();
}

// The collector runs as another user: the file is readable by all under any umask; a clean stop
// leaves it saying that the logger is down, without a temperature that would look current.
TEST_F(ReadProgram, PrometheusFileIsReadableByAllAndSaysDownAfterAStop) {
    Process process(spawnOf({"--raw", "133,0", "--rate", "100"},
                            {"--count", "0", "--interval", "0.05", "--prometheus", "t.prom"},
                            ">out.txt", "umask 077; "));
    ASSERT_TRUE(pollUntil(
        [&] {
            return fs::exists(file("t.prom")) &&
                   readFile(file("t.prom")).find("usb_thermometer_celsius") != std::string::npos;
        },
        kPatience))
        << err();
    EXPECT_EQ(fs::status(file("t.prom")).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);
    ::kill(process.pid(), SIGTERM);
    EXPECT_EQ(process.waitFor(kPatience), std::optional<int>(0)) << err();
    const std::string last = readFile(file("t.prom"));
    EXPECT_THAT(last, MatchesRegex("(.|\n)*\nusb_thermometer_up(\\{[^}]*\\})? 0\n(.|\n)*"));
    EXPECT_THAT(last, ::testing::Not(HasSubstr("usb_thermometer_celsius")));
    EXPECT_THAT(last, HasSubstr("usb_thermometer_last_reading_timestamp_seconds"));
}

// Every content of the exposition file a reader sees is a whole one: never empty, never cut.
TEST_F(ReadProgram, PrometheusFileIsNeverSeenHalfWritten) {
    // The port where the platform tells one, the name only when given.
    const std::string kLabels = "(\\{port=\"[-0-9.]+\"\\})?";
    Process process(spawnOf({"--raw", "133,0", "--rate", "200"},
                            {"--count", "0", "--interval", "0.002", "--prometheus", "t.prom"}));
    std::set<std::string> seen;
    const auto whole = [&](const std::string& text) {
        return text.rfind("# HELP usb_thermometer_up ", 0) == 0 &&
               ::testing::Value(text,
                                MatchesRegex("(.|\n)*\nusb_thermometer_up" + kLabels +
                                             " 1\n(.|\n)*\nusb_thermometer_celsius" + kLabels +
                                             " 54\\.180744\n(.|\n)*_timestamp_seconds" + kLabels +
                                             " [0-9]+\\.[0-9]{3}\n"));
    };
    std::string broken;
    // Until 200 different contents have been read, each one checked.
    pollUntil(
        [&] {
            if (!fs::exists(file("t.prom"))) return false;
            const std::string text = readFile(file("t.prom"));
            if (!whole(text)) broken = text;
            seen.insert(text);
            return !broken.empty() || seen.size() >= 200;
        },
        kPatience, 0ms);
    EXPECT_EQ(broken, "");
    EXPECT_GE(seen.size(), 200U);
    ::kill(process.pid(), SIGTERM);
    EXPECT_EQ(process.waitFor(kPatience), std::optional<int>(0)) << err();
}

}  // namespace
}  // namespace thermo::e2e

namespace thermo::e2e {
namespace {

// RFC 4180 rows, as InfluxDB's CSV replies have them: quoted fields, their quotes doubled.
std::vector<std::vector<std::string>> csvRowsOf(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                rows.back().back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                rows.back().back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            rows.back().emplace_back();
        } else if (c == '\n') {
            rows.emplace_back(1);
        } else if (c != '\r') {
            rows.back().back() += c;
        }
    }
    std::erase_if(rows, [](const auto& row) { return row.size() == 1 && row[0].empty(); });
    return rows;
}

// A line of ours taken apart at its two unescaped spaces: the fields and the timestamp.
std::map<std::string, std::string> fieldsOf(const std::string& line) {
    const auto timeAt = line.rfind(' ');
    const auto fieldsAt = line.rfind(' ', timeAt - 1);
    std::map<std::string, std::string> fields{{"time", line.substr(timeAt + 1)}};
    std::istringstream in(line.substr(fieldsAt + 1, timeAt - fieldsAt - 1));
    for (std::string field; std::getline(in, field, ',');) {
        fields[field.substr(0, field.find('='))] = field.substr(field.find('=') + 1);
    }
    // The port tag comes first and needs no escapes; a name's comma and equals sign are escaped.
    constexpr std::string_view kPortTag = ",port=";
    if (const auto portAt = line.find(kPortTag); portAt < fieldsAt) {
        const auto from = portAt + kPortTag.size();
        fields["port"] = line.substr(from, line.find_first_of(", ", from) - from);
    }
    return fields;
}

// The names a user may give, each escape of the line protocol among them, written by the real
// program to a real InfluxDB over /write and read back through /query: every value and tag as
// written.
TEST_F(ReadProgram, InfluxLinesAreStoredByInfluxDbAsWritten) {
    if (const std::string why = whyNoServer("influxd", "influxdb"); !why.empty())
        GTEST_SKIP() << why;
    fs::create_directory(file("influx"));
    const InfluxServer influx(file("influx"));
    influx.query("", "CREATE DATABASE thermo");
    const std::vector<std::string> names = {
        "fridge", "chest freezer", "left,door=1", "K\303\274hlschrank", "\"quoted\" 'too'", "c\\d"};
    std::map<std::string, std::map<std::string, std::string>> written;  // time: fields, name
    for (const std::string& name : names) {
        ASSERT_EQ(runToEnd({"--raw", "133,0", "--rate", "100"},
                           {"--influx", "--count", "2", "--interval", "0.05", "--name", name}),
                  0)
            << err();
        for (const std::string& line : linesOf(out())) {
            auto fields = fieldsOf(line);
            fields["name"] = name;
            written[fields["time"]] = fields;
        }
        const HttpReply reply =
            httpRequest(influx.url() + "/write?db=thermo&precision=ns",
                        {"-XPOST", "--data-binary", "@" + file("out.txt").string()});
        ASSERT_EQ(reply.status, 204) << reply.body << "\n" << out();
    }
    const HttpReply reply = httpRequest(
        influx.url() + "/query",
        {"-G", "-H", "Accept: application/csv", "--data-urlencode", "db=thermo", "--data-urlencode",
         "epoch=ns", "--data-urlencode", "q=SELECT * FROM usb_thermometer"});
    ASSERT_EQ(reply.status, 200) << reply.body;
    const auto rows = csvRowsOf(reply.body);
    ASSERT_FALSE(rows.empty()) << reply.body;
    // "name,tags,time,celsius,fahrenheit,name,port,ratio": the measurement's name comes first,
    // the tag of that name among the columns.
    const std::vector<std::string>& header = rows.front();
    const auto column = [&](const std::string& key, std::size_t from = 0) {
        const auto at =
            std::find(header.begin() + static_cast<std::ptrdiff_t>(from), header.end(), key);
        return at == header.end() ? std::string::npos
                                  : static_cast<std::size_t>(at - header.begin());
    };
    ASSERT_NE(column("time"), std::string::npos) << reply.body;
    EXPECT_EQ(rows.size() - 1, written.size()) << reply.body;
    for (std::size_t r = 1; r < rows.size(); ++r) {
        const auto& row = rows[r];
        ASSERT_EQ(row.size(), header.size()) << reply.body;
        const auto it = written.find(row[column("time")]);
        ASSERT_NE(it, written.end()) << "not written: " << row[column("time")];
        const auto& fields = it->second;
        EXPECT_EQ(row[0], "usb_thermometer");
        for (const char* key : {"celsius", "fahrenheit", "ratio"}) {
            EXPECT_EQ(std::stod(row[column(key)]), std::stod(fields.at(key))) << key;
        }
        EXPECT_EQ(row[column("name", column("time"))], fields.at("name"));
        // The simulator's thermometer is plugged into a port, and the tag keeps it.
        ASSERT_EQ(fields.count("port"), 1u) << "no port tag in the line";
        ASSERT_NE(column("port"), std::string::npos) << reply.body;
        EXPECT_EQ(row[column("port")], fields.at("port"));
    }
    EXPECT_EQ(std::stod(written.begin()->second.at("celsius")), 54.180744);
}

// The line of a series in a scrape: its name, its labels and its value.
std::string seriesLine(const std::string& scrape, const std::string& metric) {
    for (const std::string& line : linesOf(scrape)) {
        if (line.rfind(metric + "{", 0) == 0 || line.rfind(metric + " ", 0) == 0) return line;
    }
    return "no " + metric + " in the scrape";
}

// The exposition file as Prometheus' own checker and node_exporter's textfile collector take
// it: accepted while the logger reads, with the escaped name label, and after a clean stop.
TEST_F(ReadProgram, PrometheusFileIsTakenByPromtoolAndNodeExporter) {
    for (const auto& [program, package] :
         {std::pair{"promtool", "prometheus"},
          {"prometheus-node-exporter", "prometheus-node-exporter"}}) {
        if (const std::string why = whyNoServer(program, package); !why.empty())
            GTEST_SKIP() << why;
    }
    fs::create_directory(file("textfile"));
    const std::string name = "fridge \"left\" \\ 1";
    const std::string label = "name=\"fridge \\\"left\\\" \\\\ 1\"";
    Process reader(spawnOf({"--raw", "133,0", "--rate", "100"},
                           {"--count", "0", "--interval", "0.05", "--name", name, "--prometheus",
                            "textfile/usb_thermometer.prom"}));
    const fs::path prom = file("textfile") / "usb_thermometer.prom";
    ASSERT_TRUE(pollUntil(
        [&] { return fs::exists(prom) && readFile(prom).find("_celsius") != std::string::npos; },
        kPatience))
        << err();
    const auto promtool = [&] {
        return run(Spawn{{"sh", "-c", "exec promtool check metrics < \"$0\"", prom.string()}});
    };
    const RunResult running = promtool();
    EXPECT_EQ(running.status, 0) << running.output;
    EXPECT_EQ(running.output, "") << "promtool's lint";

    fs::create_directory(file("exporter"));
    const NodeExporter exporter(file("exporter"), file("textfile"));
    const HttpReply up = httpRequest(exporter.url() + "/metrics");
    ASSERT_EQ(up.status, 200);
    EXPECT_THAT(up.body, HasSubstr("\nnode_textfile_scrape_error 0\n"));
    EXPECT_THAT(seriesLine(up.body, "usb_thermometer_up"), HasSubstr(label));
    EXPECT_THAT(seriesLine(up.body, "usb_thermometer_up"), ::testing::EndsWith("} 1"));
    EXPECT_THAT(seriesLine(up.body, "usb_thermometer_celsius"), ::testing::EndsWith("} 54.180744"));

    ::kill(reader.pid(), SIGTERM);
    ASSERT_EQ(reader.waitFor(kPatience), std::optional<int>(0)) << err();
    const RunResult stopped = promtool();
    EXPECT_EQ(stopped.status, 0) << stopped.output;
    const HttpReply down = httpRequest(exporter.url() + "/metrics");
    ASSERT_EQ(down.status, 200);
    EXPECT_THAT(down.body, HasSubstr("\nnode_textfile_scrape_error 0\n"));
    EXPECT_THAT(seriesLine(down.body, "usb_thermometer_up"), ::testing::EndsWith("} 0"));
    EXPECT_THAT(down.body, ::testing::Not(HasSubstr("usb_thermometer_celsius")));
}

class ListenProgram : public ReadProgram {
  protected:
    void SetUp() override {
        ReadProgram::SetUp();
        if (IsSkipped()) return;
        if (!onPath("curl")) GTEST_SKIP() << "needs curl (Debian: curl) to scrape --listen";
    }
    // The reader with --listen on a free loopback port, once /metrics answers.
    void listen(const std::vector<std::string>& simArgs) {
        address_ = "127.0.0.1:" + std::to_string(freeLoopbackPort());
        url_ = "http://" + address_;
        reader_.emplace(
            spawnOf(simArgs, {"--listen", address_, "--interval", "0.05", "--name", "fridge"}));
        ASSERT_TRUE(
            pollUntil([&] { return httpRequest(url_ + "/metrics").status == 200; }, kPatience))
            << err();
    }
    HttpReply scrape(const std::vector<std::string>& args = {}) const {
        return httpRequest(url_ + "/metrics", args);
    }

    std::string address_;
    std::string url_;
    std::optional<Process> reader_;
};

// What a real Prometheus server stores from --listen, and Prometheus' own checker on the text.
TEST_F(ListenProgram, PrometheusScrapesTheTemperatureAndPromtoolTakesTheText) {
    for (const char* program : {"prometheus", "promtool"}) {
        if (const std::string why = whyNoServer(program, "prometheus"); !why.empty())
            GTEST_SKIP() << why;
    }
    listen({"--raw", "133,0", "--rate", "100"});
    ASSERT_TRUE(
        pollUntil([&] { return scrape().body.find("_celsius") != std::string::npos; }, kPatience))
        << err();
    std::ofstream(file("scraped.prom")) << scrape().body;
    const RunResult checked = run(
        Spawn{{"sh", "-c", "exec promtool check metrics < \"$0\"", file("scraped.prom").string()}});
    EXPECT_EQ(checked.status, 0) << checked.output;
    EXPECT_EQ(checked.output, "") << "promtool's lint";

    fs::create_directory(file("prometheus"));
    const PrometheusServer prometheus(file("prometheus"), address_);
    std::string stored;
    ASSERT_TRUE(pollUntil(
        [&] {
            stored = prometheus.query("usb_thermometer_celsius");
            return stored.find("\"value\"") != std::string::npos;
        },
        kPatience))
        << stored;
    EXPECT_THAT(stored, HasSubstr("\"name\":\"fridge\""));
    EXPECT_THAT(stored, MatchesRegex(".*\"port\":\"[-0-9.]+\".*"));
    EXPECT_THAT(stored, HasSubstr("\"54.180744\""));
    // A scrape that a loaded machine made Prometheus give up on says 0 until the next one.
    std::string up;
    EXPECT_TRUE(pollUntil(
        [&] {
            up = prometheus.query("up{job=\"usb_thermometer\"}");
            return up.find("\"1\"]") != std::string::npos;
        },
        kPatience))
        << up;
}

struct RequestRow {
    const char* name;
    std::vector<std::string> curlArgs;  // -D - puts the headers before the body
    const char* path;
    int status;
    const char* header;  // in the headers
    const char* body;    // in the body; "" for none at all
};

const RequestRow kRequests[] = {
    {"IndexLinksToMetrics", {"-D", "-"}, "/", 200, "Content-Type: text/html", "href=\"/metrics\""},
    {"MetricsAsTheFile",
     {"-D", "-"},
     "/metrics",
     200,
     "Content-Type: text/plain; version=0.0.4; charset=utf-8",
     "\nusb_thermometer_celsius{"},
    {"HeadHasNoBody", {"-I"}, "/metrics", 200, "Content-Type: text/plain; version=0.0.4", ""},
    {"UnknownPathIsNotFound", {"-D", "-"}, "/nope", 404, "HTTP/1.1 404", ""},
    {"PostIsNotAllowed",
     {"-D", "-", "-XPOST", "--data", "x=1"},
     "/metrics",
     405,
     "Allow: GET, HEAD",
     "GET or HEAD"},
    {"PostWithoutBodyIsNotAllowed",
     {"-D", "-", "-XPOST"},
     "/",
     405,
     "Allow: GET, HEAD",
     "GET or HEAD"},
    {"PostElsewhereIsNotFound", {"-D", "-", "-XPOST"}, "/nope", 404, "HTTP/1.1 404", ""},
};

// Each request and what it is answered with, from one reader; a second one on its address ends
// at once with status 1, naming it.
TEST_F(ListenProgram, RequestsAreAnsweredAsExportersDoAndTheAddressIsTaken) {
    listen({"--raw", "133,0", "--rate", "100"});
    ASSERT_TRUE(
        pollUntil([&] { return scrape().body.find("_celsius") != std::string::npos; }, kPatience))
        << err();
    for (const RequestRow& row : kRequests) {
        SCOPED_TRACE(row.name);
        const HttpReply reply = httpRequest(url_ + row.path, row.curlArgs);
        EXPECT_EQ(reply.status, row.status);
        const auto headersEnd = reply.body.find("\r\n\r\n");
        ASSERT_NE(headersEnd, std::string::npos) << reply.body;
        EXPECT_THAT(reply.body.substr(0, headersEnd), HasSubstr(row.header));
        const std::string body = reply.body.substr(headersEnd + 4);
        if (std::string(row.body).empty()) {
            EXPECT_EQ(body.find("usb_thermometer"), std::string::npos) << body;
        } else {
            EXPECT_THAT(body, HasSubstr(row.body));
        }
    }
    const RunResult second = run(Spawn{{kReader, "--listen", address_}, {}, dir_.path()});
    EXPECT_EQ(second.status, 1);
    EXPECT_THAT(second.output, HasSubstr("usb-thermometer-read: listen " + address_ +
                                         ": Address already in use\n"));
}

// A scrape while the reader waits its 6 s for a silent thermometer is answered from memory, with
// the last reading. Standard error tells the order, not a clock: the read's failure is said only
// after the scrape was answered. A machine so loaded that the scrape came after that leaves the
// try undecided (rightly without a temperature): one more report, and the next silent read.
TEST_F(ListenProgram, ScrapeDuringASilentReadIsAnsweredWithTheLastReading) {
    listen({"--raw", "133,0", "--rate", "0"});
    const SimControl sim(socket());
    ASSERT_TRUE(sim.wait("open=2", kPatience)) << err();
    const auto failures = [&] {
        const std::string text = err();
        std::size_t count = 0;
        for (auto at = text.find("within 6 s"); at != std::string::npos;
             at = text.find("within 6 s", at + 1)) {
            ++count;
        }
        return count;
    };
    std::optional<HttpReply> during;
    std::size_t failed = 0;
    for (int attempt = 0; attempt < 4 && !during; ++attempt) {
        failed = failures();
        sim.command("send");
        ASSERT_TRUE(pollUntil([&] { return scrape().body.find("_celsius") != std::string::npos; },
                              kPatience))
            << err();
        // The next attempt is now waiting for a report that does not come.
        ASSERT_TRUE(sim.wait("armed_polls>=1", kPatience)) << err();
        HttpReply reply = scrape({"--max-time", "60"});
        if (failures() == failed) during = std::move(reply);
    }
    ASSERT_TRUE(during) << "no scrape was answered before its silent read had ended\n" << err();
    EXPECT_EQ(during->status, 200);
    EXPECT_THAT(during->body, HasSubstr("\nusb_thermometer_celsius{"));
    EXPECT_THAT(during->body, HasSubstr("} 54.180744\n"));

    // Once that read has failed, the scrapes say so.
    ASSERT_TRUE(pollUntil([&] { return failures() > failed; }, kPatience));
    const HttpReply gone = scrape();
    EXPECT_THAT(gone.body, ::testing::Not(HasSubstr("usb_thermometer_celsius")));
    EXPECT_THAT(gone.body, HasSubstr("usb_thermometer_up{"));
    ::kill(reader_->pid(), SIGTERM);
    EXPECT_EQ(reader_->waitFor(kPatience), std::optional<int>(0)) << err();
}

}  // namespace
}  // namespace thermo::e2e

namespace thermo::e2e {
namespace {

// --mqtt against Debian's mosquitto, watched by a subscriber of its own; the simulator's
// thermometer is in port 1-1.
class ReadMqtt : public ReadProgram {
  protected:
    void SetUp() override {
        ReadProgram::SetUp();
        if (IsSkipped()) return;
        if (const std::string why = whyNoMosquitto(); !why.empty()) GTEST_SKIP() << why;
        for (const char* dir : {"broker", "sub"}) fs::create_directory(file(dir));
        broker_.emplace(file("broker"));
        subscriber_.emplace(*broker_, file("sub"));
    }

    Spawn reader(const std::string& key, std::vector<std::string> args = {},
                 bool withPassword = false) {
        key_ = "usb-thermometer/" + key + "/";
        args.insert(args.begin(), {"--mqtt", broker_->url(withPassword), "--interval", "0.05"});
        return spawnOf({"--raw", "133,0", "--rate", "100"}, args);
    }
    std::vector<std::string> seen(const char* kind) const {
        return subscriber_->payloads(key_ + kind);
    }
    bool availabilityIs(const char* what) const {
        const auto said = seen("availability");
        return !said.empty() && said.back() == what;
    }

    std::optional<MosquittoBroker> broker_;
    std::optional<MqttSubscriber> subscriber_;
    std::string key_;
};

std::vector<std::string> timesIn(const std::vector<std::string>& lines) {
    std::vector<std::string> times;
    for (const std::string& line : lines) {
        const auto at = line.find("\"time\":\"");
        if (at != std::string::npos)
            times.push_back(line.substr(at + 8, line.find('"', at + 8) - at - 8));
    }
    return times;
}

TEST_F(ReadMqtt, DiscoveryStatesAgainForHomeAssistantAndOfflineAfterAStop) {
    Process process(reader("1-1_fridge", {"--name", "fridge"}));
    const std::string config = "homeassistant/sensor/usb-thermometer-1-1_fridge/config";
    ASSERT_TRUE(pollUntil([&] { return seen("state").size() >= 3; }, kPatience)) << err();
    EXPECT_THAT(seen("state").back(),
                MatchesRegex("\\{\"celsius\":54\\.180744,\"fahrenheit\":129\\.52534,\"ratio\":"
                             "0\\.51953125,\"time\":\"20[-0-9T:.]*Z\",\"port\":\"1-1\",\"name\":"
                             "\"fridge\"\\}"));
    EXPECT_TRUE(availabilityIs("online"));
    // Gone while unplugged, back with it.
    const SimControl sim(socket());
    sim.command("unplug", 10000);
    ASSERT_TRUE(pollUntil([&] { return availabilityIs("offline"); }, kPatience)) << err();
    sim.command("plug", 10000);
    ASSERT_TRUE(pollUntil([&] { return availabilityIs("online"); }, kPatience)) << err();
    ASSERT_EQ(subscriber_->payloads(config).size(), 1u);
    mqttPublish(*broker_, "homeassistant/status", "online");
    ASSERT_TRUE(pollUntil([&] { return subscriber_->payloads(config).size() == 2; }, kPatience));

    ::kill(process.pid(), SIGTERM);
    EXPECT_EQ(process.waitFor(kPatience), std::optional<int>(0)) << err();
    ASSERT_TRUE(pollUntil([&] { return availabilityIs("offline"); }, kPatience));
    // What a Home Assistant started later gets: the retained config, and offline.
    fs::create_directory(file("later"));
    const MqttSubscriber later(*broker_, file("later"));
    ASSERT_TRUE(pollUntil([&] { return later.messages().size() >= 2; }, kPatience));
    EXPECT_EQ(later.payloads(key_ + "availability"), std::vector<std::string>{"offline"});
    ASSERT_EQ(later.payloads(config).size(), 1u);
    const std::string json = later.payloads(config).front();
    for (const std::string& field : std::vector<std::string>{
             "\"device_class\":\"temperature\"", "\"state_class\":\"measurement\"",
             "\"unit_of_measurement\":\"\302\260C\"",
             "\"value_template\":\"{{ value_json.celsius }}\"",
             "\"state_topic\":\"" + key_ + "state\"",
             "\"availability_topic\":\"" + key_ + "availability\"",
             "\"unique_id\":\"usb-thermometer-1-1_fridge\"",
             "\"device\":{\"identifiers\":[\"usb-thermometer-1-1_fridge\"],\"name\":\"USB "
             "Thermometer "
             "fridge\""}) {
        EXPECT_THAT(json, HasSubstr(field));
    }
    EXPECT_THAT(json, MatchesRegex(".*\"expire_after\":[1-9][0-9]*,.*"));
}

// A run of one reading waits for the broker to take it.
TEST_F(ReadMqtt, OneReadingIsDeliveredBeforeTheProgramEnds) {
    EXPECT_EQ(
        runToEnd({"--raw", "133,0", "--rate", "100"}, {"--mqtt", broker_->url(), "--count", "1"}),
        0)
        << err();
    ASSERT_TRUE(pollUntil(
        [&] { return subscriber_->payloads("usb-thermometer/1-1/state").size() == 1; }, kPatience));
}

TEST_F(ReadMqtt, TheWillSaysOfflineWhenTheProgramIsKilled) {
    Process process(reader("1-1"));
    ASSERT_TRUE(pollUntil([&] { return availabilityIs("online"); }, kPatience)) << err();
    const auto children = childrenOf(process.pid());
    ASSERT_EQ(children.size(), 1u);
    ::kill(children.front(), SIGKILL);
    ASSERT_TRUE(pollUntil([&] { return availabilityIs("offline"); }, kPatience));
    EXPECT_EQ(process.waitFor(kPatience), std::optional<int>(128 + SIGKILL));
}

TEST_F(ReadMqtt, PasswordListenerTakesTheFilesFirstLineAndSaysAWrongOne) {
    std::ofstream(file("password")) << MosquittoBroker::kPassword << "\nnot this line\n";
    std::ofstream(file("wrong")) << "wrong\n";
    const auto login = [&](const char* passwordFile) {
        return std::vector<std::string>{"--mqtt-user", MosquittoBroker::kUser,
                                        "--mqtt-password-file", passwordFile};
    };
    {
        Process process(reader("1-1", login("password"), true));
        ASSERT_TRUE(pollUntil([&] { return !seen("state").empty(); }, kPatience)) << err();
        ::kill(process.pid(), SIGTERM);
        EXPECT_EQ(process.waitFor(kPatience), std::optional<int>(0)) << err();
    }
    Process process(reader("1-1", login("wrong"), true));
    ASSERT_TRUE(
        pollUntil([&] { return err().find("not authorised") != std::string::npos; }, kPatience))
        << err();
    EXPECT_THAT(err(), HasSubstr(broker_->url(true) + ": cannot connect to the MQTT broker"));
    ::kill(process.pid(), SIGTERM);
    EXPECT_EQ(process.waitFor(kPatience), std::optional<int>(0)) << err();
    auto missing = login("missing");
    missing.insert(missing.begin(), {"--mqtt", broker_->url()});
    EXPECT_EQ(runToEnd({}, missing), 1);
    EXPECT_THAT(err(), HasSubstr("missing: No such file or directory"));
}

// Readings go on while the broker is away, and every one taken after it is back reaches the
// subscriber; the outage is said once each way.
TEST_F(ReadMqtt, ABrokerRestartLosesNoLaterReading) {
    Process process(reader("1-1", {"--json"}));
    ASSERT_TRUE(pollUntil([&] { return seen("state").size() >= 3; }, kPatience)) << err();
    broker_->restart();
    const std::size_t before = linesOf(out()).size();
    ASSERT_TRUE(pollUntil([&] { return linesOf(out()).size() >= before + 5; }, kPatience));
    ASSERT_TRUE(
        pollUntil([&] { return err().find("broker again") != std::string::npos; }, kPatience))
        << err();
    ::kill(process.pid(), SIGTERM);
    EXPECT_EQ(process.waitFor(kPatience), std::optional<int>(0)) << err();
    ASSERT_TRUE(pollUntil([&] { return availabilityIs("offline"); }, kPatience));

    const auto read = timesIn(linesOf(out()));
    const auto published = timesIn(seen("state"));
    const std::set<std::string> arrived(published.begin(), published.end());
    for (std::size_t i = before; i < read.size(); ++i) {
        EXPECT_EQ(arrived.count(read[i]), 1u) << "reading of " << read[i] << " never arrived";
    }
    EXPECT_EQ(occurrences(err(), ": connection to the MQTT broker lost ("), 1) << err();
    EXPECT_EQ(occurrences(err(), ": connected to the MQTT broker again"), 1) << err();
}

}  // namespace
}  // namespace thermo::e2e
