// What usb-thermometer-read prints for a report: the window's own texts for the same report and
// points, and the full-precision fields of the machine-readable forms.

#include <gmock/gmock.h>

#include <chrono>
#include <sstream>

#include "reader/options.h"
#include "reader/output.h"
#include "tests/reader/command_line.h"
#include "tests/support/row_name.h"
#include "tests/window/form1_fixture.h"

namespace thermo::testing {
namespace {

// Rows print by their names (tests/support/row_name.h).
using thermo::PrintTo;

using namespace std::chrono;
using ::testing::HasSubstr;

struct ReportRow {
    const char* name;
    std::uint8_t b1;
    std::uint8_t b2;
    const char* calLine;
};

// Reports across the scale and beyond it, with the default points and with others.
const ReportRow kReports[] = {
    {"WorkedExample", 133, 0, "0.72,0.35\r\n"},
    {"ZeroValueFarAboveScale", 0, 0, "0.72,0.35\r\n"},
    {"FullValueFarBelowScale", 255, 255, "0.72,0.35\r\n"},
    {"JustBelowZero", 184, 82, "0.72,0.35\r\n"},
    {"SingleDigitNeedsLeadingZero", 177, 0, "0.72,0.35\r\n"},
    {"OwnPointsRisingRatio", 90, 17, "0.3,0.7\r\n"},
    {"MissingZeroPointCountsAsZero", 40, 200, ",0.35\r\n"},
};

class SameAsWindow : public Form1Test, public ::testing::WithParamInterface<ReportRow> {};

TEST_P(SameAsWindow, PlainLineAndShownFieldsAreTheWindowsTexts) {
    const ReportRow& row = GetParam();
    writeCal(row.calLine);
    platform.addThermometer(kThermometer);
    running();
    const std::vector<std::uint8_t> report = {0, row.b1, row.b2};
    platform.queueReport(kThermometer, report);
    tick();
    const std::string celsius = captionOf(ControlId::Label5);
    const std::string fahrenheit = captionOf(ControlId::Label10);

    const auto points = CalibrationFile(calPath()).loadIfPresent();
    ASSERT_TRUE(points.has_value());
    const auto reading = reader::readingFromReport(report, *points);
    ASSERT_TRUE(reading.has_value());
    EXPECT_EQ(reader::plainLine(*reading), celsius + captionOf(ControlId::Label3) + "  " +
                                               fahrenheit + captionOf(ControlId::Label11) + "\n");
    EXPECT_THAT(reader::jsonLine(*reading),
                HasSubstr("\"celsius_shown\":\"" + celsius + "\",\"fahrenheit_shown\":\"" +
                          fahrenheit + "\""));
    EXPECT_THAT(reader::csvLine(*reading), HasSubstr("," + celsius + "," + fahrenheit + ","));
}

INSTANTIATE_TEST_SUITE_P(Reports, SameAsWindow, ::testing::ValuesIn(kReports), rowName);

reader::Reading workedExample() {
    auto reading = reader::readingFromReport(std::vector<std::uint8_t>{0, 133, 0},
                                             {.zero = 0.72, .hundred = 0.35});
    reading->time = sys_days{2026y / 12 / 7} + 9h + 30min + 5s + 123ms;
    reading->device = "/dev/hidraw0";
    return *reading;
}

// The published worked example: ratio 0.51953125, 54.180744 °C shown 54.2, 129.52534 °F shown
// 129.5; the numbers at full precision so that a log can be re-calibrated later.
TEST(ReaderOutput, WorkedExampleInEveryForm) {
    const reader::Reading reading = workedExample();
    EXPECT_EQ(reader::plainLine(reading), "54.2 \302\260C  129.5 \302\260F\n");
    EXPECT_EQ(reader::jsonLine(reading),
              "{\"time\":\"2026-12-07T09:30:05.123Z\",\"device\":\"/dev/hidraw0\",\"port\":\"\","
              "\"ratio\":0.51953125,\"celsius\":54.180744,\"fahrenheit\":129.52534,"
              "\"celsius_shown\":\"54.2\",\"fahrenheit_shown\":\"129.5\",\"cal_zero\":0.72,"
              "\"cal_hundred\":0.35}\n");
    EXPECT_EQ(reader::csvHeader() + reader::csvLine(reading),
              "time,device,ratio,celsius,fahrenheit,celsius_shown,fahrenheit_shown,cal_zero,"
              "cal_hundred,port,name\n"
              "2026-12-07T09:30:05.123Z,/dev/hidraw0,0.51953125,54.180744,129.52534,54.2,129.5,"
              "0.72,0.35,,\n");
}

// The port and the name come after the fields that older logs have, so that their parsers
// keep working; the name only when given.
TEST(ReaderOutput, PortAndNameAreAddedAfterTheOlderFields) {
    reader::Reading reading = workedExample();
    reading.port = "3-1.4";
    reading.name = "K\303\274hlschrank 2";
    EXPECT_THAT(reader::jsonLine(reading),
                HasSubstr("\"device\":\"/dev/hidraw0\",\"port\":\"3-1.4\",\"name\":"
                          "\"K\303\274hlschrank 2\",\"ratio\":"));
    EXPECT_THAT(reader::csvLine(reading),
                ::testing::EndsWith(",0.72,0.35,3-1.4,K\303\274hlschrank 2\n"));
}

// A consumer that fixes a field's type from the first line must not take it for an integer.
TEST(ReaderOutput, WholeNumbersInJsonKeepAPoint) {
    reader::Reading reading = workedExample();
    reading.ratio = 1;
    reading.celsius = -25.0F;
    reading.fahrenheit = -13.0F;
    reading.points = {.zero = 1.0, .hundred = std::nullopt};
    EXPECT_THAT(reader::jsonLine(reading),
                HasSubstr("\"ratio\":1.0,\"celsius\":-25.0,\"fahrenheit\":-13.0,"));
    EXPECT_THAT(reader::jsonLine(reading), HasSubstr("\"cal_zero\":1.0,\"cal_hundred\":0.0}"));
    // CSV has no types: its numbers stay as they were.
    EXPECT_THAT(reader::csvLine(reading), HasSubstr(",1,-25,-13,"));
}

TEST(ReaderOutput, WorkedExampleAsLineProtocol) {
    reader::Reading reading = workedExample();
    reading.port = "1-2";
    reading.name = "fridge";
    EXPECT_EQ(reader::influxLine(reading),
              "usb_thermometer,port=1-2,name=fridge celsius=54.180744,fahrenheit=129.52534,"
              "ratio=0.51953125 1796635805123000000\n");
}

struct TagRow {
    const char* name;
    const char* port;
    const char* probe;
    const char* measurementAndTags;  // the line up to its first unescaped space
};

// The line protocol escapes commas, spaces and equals signs in tag values; an empty tag is left
// out, since the protocol has no empty value.
const TagRow kTags[] = {
    {"NoPortNoName", "", "", "usb_thermometer"},
    {"PortOnly", "3-1.4", "", "usb_thermometer,port=3-1.4"},
    {"NameOnly", "", "fridge", "usb_thermometer,name=fridge"},
    {"SpaceCommaEquals", "1-2", "left fridge,door=1",
     "usb_thermometer,port=1-2,name=left\\ fridge\\,door\\=1"},
    {"QuotesStayAsTheyAre", "", "\"cold\" 'box'", "usb_thermometer,name=\"cold\"\\ 'box'"},
    {"Utf8StaysAsItIs", "", "K\303\274hlschrank", "usb_thermometer,name=K\303\274hlschrank"},
};

class LineProtocolTags : public ::testing::TestWithParam<TagRow> {};

TEST_P(LineProtocolTags, AreEscapedOrLeftOut) {
    const TagRow& row = GetParam();
    reader::Reading reading = workedExample();
    reading.port = row.port;
    reading.name = row.probe;
    EXPECT_EQ(reader::influxLine(reading),
              std::string(row.measurementAndTags) +
                  " celsius=54.180744,fahrenheit=129.52534,ratio=0.51953125 1796635805123000000\n");
}

INSTANTIATE_TEST_SUITE_P(Rows, LineProtocolTags, ::testing::ValuesIn(kTags), rowName);

TEST(ReaderOutput, ReportWithoutBothValueBytesGivesNoReading) {
    EXPECT_FALSE(reader::readingFromReport(std::vector<std::uint8_t>{0, 133}, {0.72, 0.35}));
    EXPECT_FALSE(reader::readingFromReport(std::vector<std::uint8_t>{0, 133, 0}, {0.5, 0.5}));
}

TEST(ReaderOutput, TextFieldsAreEscapedForTheirForm) {
    reader::Reading reading = workedExample();
    reading.device = "a\"b,c\\d";
    reading.name = "n\"m,e\\";
    EXPECT_THAT(reader::jsonLine(reading), HasSubstr("\"device\":\"a\\\"b,c\\\\d\""));
    EXPECT_THAT(reader::jsonLine(reading), HasSubstr("\"name\":\"n\\\"m,e\\\\\""));
    EXPECT_THAT(reader::csvLine(reading), HasSubstr(",\"a\"\"b,c\\d\","));
    EXPECT_THAT(reader::csvLine(reading), ::testing::EndsWith(",,\"n\"\"m,e\\\"\n"));
    const std::string text = reader::prometheusText({"1-2", reading.name, reading, reading.time});
    EXPECT_THAT(text, HasSubstr("{port=\"1-2\",name=\"n\\\"m,e\\\\\"}"));
}

TEST(ReaderOutput, ExpositionHasHelpAndTypeForEachGaugeAndNoTemperatureWhileDown) {
    const reader::Reading reading = workedExample();
    const std::string up = reader::prometheusText({"1-2", "", reading, reading.time});
    EXPECT_EQ(up,
              "# HELP usb_thermometer_up Whether the last reading attempt got a report from the "
              "thermometer.\n"
              "# TYPE usb_thermometer_up gauge\n"
              "usb_thermometer_up{port=\"1-2\"} 1\n"
              "# HELP usb_thermometer_celsius Temperature of the last reading, in degrees "
              "Celsius.\n"
              "# TYPE usb_thermometer_celsius gauge\n"
              "usb_thermometer_celsius{port=\"1-2\"} 54.180744\n"
              "# HELP usb_thermometer_last_reading_timestamp_seconds When the last reading was "
              "taken, in seconds since the epoch.\n"
              "# TYPE usb_thermometer_last_reading_timestamp_seconds gauge\n"
              "usb_thermometer_last_reading_timestamp_seconds{port=\"1-2\"} "
              "1796635805.123\n");

    const std::string down = reader::prometheusText({"1-2", "", std::nullopt, reading.time});
    EXPECT_THAT(down, HasSubstr("usb_thermometer_up{port=\"1-2\"} 0\n"));
    EXPECT_THAT(down, ::testing::Not(HasSubstr("usb_thermometer_celsius")));
    EXPECT_THAT(down, HasSubstr("usb_thermometer_last_reading_timestamp_seconds{"));

    // Prometheus takes an empty label for none: a port not known is left out, not "".
    const std::string unlabelled = reader::prometheusText({"", "", reading, reading.time});
    EXPECT_THAT(unlabelled, HasSubstr("\nusb_thermometer_up 1\n"));
    EXPECT_THAT(unlabelled, ::testing::Not(HasSubstr("{")));
    const std::string named = reader::prometheusText({"", "fridge", reading, reading.time});
    EXPECT_THAT(named, HasSubstr("\nusb_thermometer_celsius{name=\"fridge\"} 54.180744\n"));
}

struct CommandLineRow {
    const char* name;
    std::vector<const char*> args;
    int status;  // -1: parsed
    const char* said;
};

const CommandLineRow kCommandLines[] = {
    {"Defaults", {}, -1, ""},
    {"HelpListsExitStatuses", {"--help"}, 0, "5  the output could not be written"},
    {"VersionNamesTheProgram", {"--version"}, 0, "usb-thermometer-read "},
    {"JsonAndCsvExcludeEachOther", {"--json", "--csv"}, 1, "excludes"},
    {"InfluxAndJsonExcludeEachOther", {"--influx", "--json"}, 1, "excludes"},
    {"InfluxAndCsvExcludeEachOther", {"--csv", "--influx"}, 1, "excludes"},
    {"NegativeCount", {"--count", "-1"}, 1, "--count"},
    {"ZeroInterval", {"--interval", "0"}, 1, "--interval"},
    {"NanInterval", {"--interval", "nan"}, 1, "--interval: nan is not a decimal number"},
    {"InfiniteInterval", {"--interval", "inf"}, 1, "--interval: inf is not"},
    {"NegativeInfiniteInterval", {"--interval", "-inf"}, 1, "--interval: -inf is not"},
    {"HexFloatInterval", {"--interval", "0x1p-3"}, 1, "--interval: 0x1p-3 is not"},
    {"HexCount", {"--count", "0x10"}, 1, "--count: 0x10 is not a whole decimal number"},
    {"UnknownOption", {"--fahrenheit"}, 1, "--fahrenheit"},
    {"NameWithUtf8", {"--name", "K\303\274hlschrank links"}, -1, ""},
    {"NameWithEqualsSign", {"--name", "a=b"}, -1, ""},
    {"NameWithLineFeed",
     {"--name", "a\nb"},
     1,
     "--name: not a name: a control character at byte 2"},
    {"NameWithTab", {"--name", "a\tb"}, 1, "control character"},
    {"NameWithDelete", {"--name", "a\177"}, 1, "control character"},
    {"NameWithC1Control", {"--name", "a\302\205"}, 1, "control character at byte 2"},
    {"NameNotUtf8", {"--name", "caf\351"}, 1, "--name: not a name: not UTF-8 at byte 4"},
    {"NameOverlongUtf8", {"--name", "\300\257"}, 1, "not UTF-8"},
    {"NameSurrogate", {"--name", "\355\240\200"}, 1, "not UTF-8"},
    {"NameCutUtf8", {"--name", "a\342\202"}, 1, "not UTF-8"},
    {"NameEmpty", {"--name", ""}, 1, "empty"},
    {"InfluxNameWithBackslashInside", {"--influx", "--name", "c\\d"}, -1, ""},
    {"InfluxNameEndingInBackslash",
     {"--influx", "--name", "fridge\\"},
     1,
     "with --influx a backslash"},
    {"InfluxNameBackslashBeforeSpace", {"--influx", "--name", "a\\ b"}, 1, "backslash"},
    {"InfluxNameTwoBackslashes", {"--influx", "--name", "a\\\\b"}, 1, "backslash"},
    {"JsonNameEndingInBackslash", {"--json", "--name", "fridge\\"}, -1, ""},
    {"NoHeaderNeedsCsv", {"--no-header"}, 1, "--no-header requires --csv"},
    {"NoHeaderWithCsv", {"--csv", "--no-header", "--quiet"}, -1, ""},
    {"ListRefusesCount", {"--list", "--count", "2"}, 1, "excludes"},
    {"ListRefusesInterval", {"--list", "--interval", "2"}, 1, "excludes"},
    {"ListRefusesCsv", {"--csv", "--list"}, 1, "excludes"},
    {"ListRefusesInflux", {"--list", "--influx"}, 1, "excludes"},
    {"ListRefusesPrometheus", {"--list", "--prometheus", "t.prom"}, 1, "excludes"},
    {"ListRefusesCal", {"--list", "--cal", "c.txt"}, 1, "excludes"},
    {"ListRefusesName", {"--list", "--name", "fridge"}, 1, "excludes"},
    {"ListRefusesDevice", {"--list", "--device", "/dev/hidraw0"}, 1, "excludes"},
    {"ListRefusesQuiet", {"--list", "-q"}, 1, "excludes"},
#ifdef _WIN32
    {"HelpSaysTheNetworkOutputsAreLinuxOnly", {"--help"}, 0, "are built on Linux only"},
    {"NoMqtt", {"--mqtt", "mqtt://h"}, 1, "--mqtt"},
    {"NoListen", {"--listen", ":9999"}, 1, "--listen"},
#else
    {"MqttHostAndPort", {"--mqtt", "mqtt://broker.lan:1884/"}, -1, ""},
    {"MqttsIpv6WithCa", {"--mqtt", "mqtts://[fd00::1]:8884", "--mqtt-ca", "ca.pem"}, -1, ""},
    {"MqttOtherScheme", {"--mqtt", "tcp://h"}, 1, "tcp://h is not mqtt://HOST[:PORT]"},
    {"MqttNoHost", {"--mqtt", "mqtt://:1883"}, 1, "no host"},
    {"MqttUnclosedIpv6", {"--mqtt", "mqtt://[::1:1883"}, 1, "no IPv6 address"},
    {"MqttPasswordInUrl", {"--mqtt", "mqtt://u:p@h"}, 1, "a password in --mqtt-password-file"},
    {"MqttPortZero", {"--mqtt", "mqtt://h:0"}, 1, "the port is not a number from 1 to 65535"},
    {"MqttPortTooLarge", {"--mqtt", "mqtt://h:65536"}, 1, "the port is not"},
    {"MqttPortSigned", {"--mqtt", "mqtt://h:+1"}, 1, "the port is not"},
    {"MqttPath", {"--mqtt", "mqtt://h/sensors"}, 1, "nothing may follow the host"},
    {"MqttCaNeedsTls", {"--mqtt", "mqtt://h", "--mqtt-ca", "ca.pem"}, 1, "needs an mqtts:// URL"},
    {"MqttUserNeedsMqtt", {"--mqtt-user", "u"}, 1, "--mqtt-user requires --mqtt"},
    {"MqttPasswordNeedsUser",
     {"--mqtt", "mqtt://h", "--mqtt-password-file", "p"},
     1,
     "requires --mqtt-user"},
    {"MqttPrefixWildcard", {"--mqtt", "mqtt://h", "--mqtt-discovery-prefix", "ha/#"}, 1, "no #"},
    {"MqttPrefixNotUtf8", {"--mqtt", "mqtt://h", "--mqtt-discovery-prefix", "ha\xff"}, 1, "UTF-8"},
    {"ListRefusesMqtt", {"--list", "--mqtt", "mqtt://h"}, 1, "excludes"},
    {"ListRefusesListen", {"--list", "--listen", ":9999"}, 1, "excludes"},
    {"ListenWithoutPort", {"--listen", "127.0.0.1"}, 1, "--listen: 127.0.0.1: no :PORT"},
    {"ListenIpv6WithoutPort", {"--listen", "[::1]"}, 1, "[::1]: no :PORT"},
    {"ListenPortZero", {"--listen", ":0"}, 1, "the port is a decimal number from 1 to 65535"},
    {"ListenPortTooLarge", {"--listen", ":65536"}, 1, "from 1 to 65535"},
    {"ListenPortSigned", {"--listen", ":+80"}, 1, "from 1 to 65535"},
    {"ListenHostName", {"--listen", "localhost:9999"}, 1, "localhost is not an IPv4 address"},
    {"ListenIpv4PartTooLarge", {"--listen", "127.0.0.256:9999"}, 1, "not an IPv4 address"},
    {"ListenIpv4LeadingZero", {"--listen", "127.0.0.01:9999"}, 1, "not an IPv4 address"},
    {"ListenIpv6WithoutBrackets", {"--listen", "::1:9999"}, 1, "in brackets"},
    {"ListenIpv6TwoGaps", {"--listen", "[1::2::3]:9999"}, 1, "1::2::3 is not an IPv6 address"},
    {"ListenIpv6NineGroups", {"--listen", "[1:2:3:4:5:6:7:8:9]:9999"}, 1, "not an IPv6"},
    {"ListenIpv6NotHex", {"--listen", "[::g]:9999"}, 1, "not an IPv6 address"},
#endif
};

#ifndef _WIN32
struct ListenRow {
    const char* name;
    std::vector<const char*> args;
    const char* host;
    int port;
    int count;  // --listen implies --count 0 unless --count is given
};

const ListenRow kListens[] = {
    {"EveryInterface", {"--listen", ":27315"}, "", 27315, 0},
    {"Ipv4", {"--listen", "127.0.0.1:1"}, "127.0.0.1", 1, 0},
    {"Ipv6Loopback", {"--listen", "[::1]:65535"}, "::1", 65535, 0},
    {"Ipv6Full", {"--listen", "[2001:db8:0:0:0:0:0:1]:80"}, "2001:db8:0:0:0:0:0:1", 80, 0},
    {"Ipv6EndingInIpv4", {"--listen", "[::ffff:192.0.2.1]:80"}, "::ffff:192.0.2.1", 80, 0},
    {"CountGivenStays", {"--count", "5", "--listen", ":80"}, "", 80, 5},
};

class ListenCommandLine : public ::testing::TestWithParam<ListenRow> {};

TEST_P(ListenCommandLine, TakesTheAddressAndReadsUntilInterrupted) {
    const ListenRow& row = GetParam();
    const auto [parsed, out, err] = parseCommandLine(row.args);
    ASSERT_TRUE(std::holds_alternative<reader::Options>(parsed)) << err;
    const auto& options = std::get<reader::Options>(parsed);
    ASSERT_TRUE(options.listen.has_value());
    EXPECT_EQ(options.listen->host, row.host);
    EXPECT_EQ(options.listen->port, row.port);
    EXPECT_EQ(options.count, row.count);
}

INSTANTIATE_TEST_SUITE_P(Rows, ListenCommandLine, ::testing::ValuesIn(kListens), rowName);
#endif

class CommandLine : public ::testing::TestWithParam<CommandLineRow> {};

TEST_P(CommandLine, ParsesOrEndsWithItsStatus) {
    const CommandLineRow& row = GetParam();
    const auto [parsed, out, err] = parseCommandLine(row.args);
    if (row.status < 0) {
        ASSERT_TRUE(std::holds_alternative<reader::Options>(parsed)) << err;
        return;
    }
    ASSERT_TRUE(std::holds_alternative<int>(parsed));
    EXPECT_EQ(std::get<int>(parsed), row.status);
    EXPECT_THAT(out + err, HasSubstr(row.said));
}

INSTANTIATE_TEST_SUITE_P(Rows, CommandLine, ::testing::ValuesIn(kCommandLines), rowName);

TEST(CommandLineValues, EverythingTogetherIsTakenAsGiven) {
    std::vector<const char*> argv = {
        "usb-thermometer-read", "--count", "0", "--interval", "0.2", "--csv", "--cal", "c.txt"};
    std::ostringstream out;
    const auto parsed = reader::parseOptions(static_cast<int>(argv.size()), argv.data(), out, out);
    const auto& options = std::get<reader::Options>(parsed);
    EXPECT_EQ(options.count, 0);
    EXPECT_EQ(options.intervalSeconds, 0.2);
    EXPECT_EQ(options.format, reader::Format::Csv);
    EXPECT_EQ(options.calibration, std::filesystem::path("c.txt"));
    EXPECT_FALSE(options.prometheus.has_value());
}

#ifndef _WIN32
// A network output reads until stopped unless --count says otherwise.
TEST(CommandLineValues, MqttIsTakenApartAndReadsUntilStopped) {
    const auto [parsed, out, err] = parseCommandLine(
        {"--mqtt", "mqtts://[::1]:1884", "--mqtt-user", "ann", "--mqtt-password-file", "pw"});
    ASSERT_TRUE(std::holds_alternative<reader::Options>(parsed)) << err;
    const auto& options = std::get<reader::Options>(parsed);
    EXPECT_EQ(options.count, 0);
    ASSERT_TRUE(options.mqtt.has_value());
    EXPECT_TRUE(options.mqtt->tls);
    EXPECT_EQ(options.mqtt->host, "::1");
    EXPECT_EQ(options.mqtt->port, 1884);
    EXPECT_EQ(options.mqtt->passwordFile, std::filesystem::path("pw"));
    const auto counted = parseCommandLine({"--mqtt", "mqtt://h", "--count", "3"});
    EXPECT_EQ(std::get<reader::Options>(counted.parsed).count, 3);
}
#endif

// strtoll with base 0 would read eight; without --cal, cal.txt's absence is no error.
TEST(CommandLineValues, NumbersAreDecimalWhateverTheirLeadingZeros) {
    std::vector<const char*> argv = {"usb-thermometer-read", "--count", "010", "--interval",
                                     "00.5e1"};
    std::ostringstream out;
    const auto parsed = reader::parseOptions(static_cast<int>(argv.size()), argv.data(), out, out);
    const auto& options = std::get<reader::Options>(parsed);
    EXPECT_EQ(options.count, 10);
    EXPECT_EQ(options.intervalSeconds, 5.0);
    EXPECT_FALSE(options.calibration.has_value());
}

}  // namespace
}  // namespace thermo::testing
