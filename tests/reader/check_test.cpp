// --check's ranges and line against the Monitoring Plugins guidelines: each syntax form at and
// around its endpoints, negatives and decimals, refused ranges, and the line read back by the
// guidelines' grammar (tests/support/plugin_output.h).

#include <gmock/gmock.h>

#include <chrono>
#include <cmath>
#include <sstream>

#include "reader/options.h"
#include "reader/output.h"
#include "reader/threshold.h"
#include "tests/reader/command_line.h"
#include "tests/support/plugin_output.h"
#include "tests/support/row_name.h"

namespace thermo::testing {
namespace {

using thermo::PrintTo;

struct RangeRow {
    const char* name;
    const char* range;
    double value;
    bool alerts;
};

const RangeRow kRanges[] = {
    {"UpperOnlyBelowZeroAlerts", "10", -0.01, true},
    {"UpperOnlyZeroIsInside", "10", 0, false},
    {"UpperOnlyEndIsInside", "10", 10, false},
    {"UpperOnlyAboveAlerts", "10", 10.01, true},
    {"LowerOnlyBelowAlerts", "10:", 9.99, true},
    {"LowerOnlyStartIsInside", "10:", 10, false},
    {"LowerOnlyHasNoEnd", "10:", 1e9, false},
    {"NoStartEndIsInside", "~:10", 10, false},
    {"NoStartAboveAlerts", "~:10", 10.01, true},
    {"NoStartHasNoStart", "~:10", -1e9, false},
    {"BothBelowAlerts", "10:20", 9.99, true},
    {"BothStartIsInside", "10:20", 10, false},
    {"BothEndIsInside", "10:20", 20, false},
    {"BothAboveAlerts", "10:20", 20.01, true},
    {"InsideStartAlerts", "@10:20", 10, true},
    {"InsideMiddleAlerts", "@10:20", 15, true},
    {"InsideEndAlerts", "@10:20", 20, true},
    {"InsideBelowIsFine", "@10:20", 9.99, false},
    {"InsideAboveIsFine", "@10:20", 20.01, false},
    {"FreezerWarmerAlerts", "~:-15", -14.99, true},
    {"FreezerAtEndIsFine", "~:-15", -15, false},
    {"FreezerColderIsFine", "~:-15", -30, false},
    {"NegativeBothBelowAlerts", "-20:-10", -20.5, true},
    {"NegativeBothInside", "-20:-10", -15, false},
    {"NegativeStartOnlyBelowAlerts", "-10:", -10.01, true},
    {"DecimalsInsideAlerts", "@-5.5:0.5", 0, true},
    {"DecimalUpperOnlyAboveAlerts", "0.5", 0.51, true},
    {"LeadingPointAboveAlerts", ".5", 0.6, true},
    {"EverythingNeverAlerts", "~:", -1e9, false},
    {"EqualEndsOnlyThatValueIsInside", "5:5", 5, false},
    {"EqualEndsOtherValueAlerts", "5:5", 5.01, true},
};

class Ranges : public ::testing::TestWithParam<RangeRow> {};

TEST_P(Ranges, AlertAsTheGuidelinesSay) {
    const RangeRow& row = GetParam();
    const auto range = reader::parseThresholdRange(row.range);
    ASSERT_TRUE(range.has_value()) << row.range;
    EXPECT_EQ(reader::alerts(*range, row.value), row.alerts);
    EXPECT_EQ(range->text, row.range);
}

INSTANTIATE_TEST_SUITE_P(Rows, Ranges, ::testing::ValuesIn(kRanges), rowName);

struct RefusedRow {
    const char* name;
    const char* range;
};

const RefusedRow kRefused[] = {
    {"Empty", ""},
    {"AtAlone", "@"},
    {"StartAboveEnd", "20:10"},
    {"ColonWithoutStart", ":10"},
    {"TildeAsEnd", "10:~"},
    {"TildeAlone", "~"},
    {"Word", "ten"},
    {"Exponent", "1e3"},
    {"PlusSign", "+5"},
    {"ThreeParts", "10:20:30"},
    {"Hex", "0x10"},
    {"NotANumber", "nan"},
    {"Infinity", "inf"},
    {"DecimalComma", "1,5"},
    {"LeadingSpace", " 10"},
    {"SignAlone", "-"},
    {"TwoPoints", "1.2.3"},
};

class RefusedRanges : public ::testing::TestWithParam<RefusedRow> {};

TEST_P(RefusedRanges, AreNoRange) {
    EXPECT_FALSE(reader::parseThresholdRange(GetParam().range).has_value());
}

INSTANTIATE_TEST_SUITE_P(Rows, RefusedRanges, ::testing::ValuesIn(kRefused), rowName);

struct StateRow {
    const char* name;
    const char* warning;   // nullptr: none
    const char* critical;  // nullptr: none
    float celsius;
    const char* state;
};

const StateRow kStates[] = {
    {"NoRangesIsOk", nullptr, nullptr, 54.180744F, "OK"},
    {"InsideBothIsOk", "~:60", "~:70", 54.180744F, "OK"},
    {"WarningOnly", "~:50", "~:70", 54.180744F, "WARNING"},
    {"CriticalBeforeWarning", "~:50", "~:52", 54.180744F, "CRITICAL"},
    {"FreezerFine", "~:-15", "~:-10", -20.5F, "OK"},
    {"FreezerWarming", "~:-15", "~:-10", -12.25F, "WARNING"},
    {"FreezerThawing", "~:-15", "~:-10", -3.0F, "CRITICAL"},
    // The two decimals the perfdata carries are the value compared: 10.004 is written 10.00.
    {"ComparedAsWritten", "10", nullptr, 10.004F, "OK"},
    {"JustAboveAsWritten", "10", nullptr, 10.006F, "WARNING"},
};

class CheckLines : public ::testing::TestWithParam<StateRow> {};

TEST_P(CheckLines, StateAndPerfdataFollowTheGrammar) {
    const StateRow& row = GetParam();
    const auto range = [](const char* text) {
        return text ? reader::parseThresholdRange(text) : std::nullopt;
    };
    const auto warning = range(row.warning);
    const auto critical = range(row.critical);
    reader::Reading reading;
    reading.celsius = row.celsius;
    const auto state = reader::checkState(reader::checkValue(reading), warning, critical);
    const std::string line = reader::checkLine(state, reading, "temperature", warning, critical);
    const auto parsed = parsePluginLine(line);
    ASSERT_TRUE(parsed.has_value()) << line;
    EXPECT_EQ(parsed->service, "USB THERMOMETER");
    EXPECT_EQ(parsed->state, row.state) << line;
    EXPECT_EQ(static_cast<int>(state),
              static_cast<int>(reader::checkState(parsed->value, warning, critical)));
    EXPECT_NEAR(parsed->value, row.celsius, 0.005);
    EXPECT_EQ(parsed->label, "temperature");
    EXPECT_EQ(parsed->unit, "");
    EXPECT_EQ(parsed->warning, row.warning ? row.warning : "");
    EXPECT_EQ(parsed->critical, row.critical ? row.critical : "");
}

INSTANTIATE_TEST_SUITE_P(Rows, CheckLines, ::testing::ValuesIn(kStates), rowName);

TEST(CheckLine, WorkedExampleAsTheGuidelinesWriteIt) {
    auto reading = reader::readingFromReport(std::vector<std::uint8_t>{0, 133, 0},
                                             {.zero = 0.72, .hundred = 0.35});
    ASSERT_TRUE(reading.has_value());
    const auto warning = reader::parseThresholdRange("~:60");
    EXPECT_EQ(
        reader::checkLine(reader::CheckState::Ok, *reading, "temperature", warning, std::nullopt),
        "USB THERMOMETER OK - 54.2 \302\260C | temperature=54.18;~:60;;;\n");
}

// The name is the label; one that is more than a word is quoted, its quotes doubled.
TEST(CheckLine, NameIsTheLabelQuotedAsTheGuidelinesSay) {
    reader::Reading reading;
    reading.celsius = -18.5F;
    for (const std::string name : {"freezer", "chest freezer", "Tom's freezer", "K\303\274hl"}) {
        const std::string line =
            reader::checkLine(reader::CheckState::Ok, reading, name, std::nullopt, std::nullopt);
        const auto parsed = parsePluginLine(line);
        ASSERT_TRUE(parsed.has_value()) << line;
        EXPECT_EQ(parsed->label, name) << line;
        EXPECT_EQ(parsed->value, -18.5);
    }
}

TEST(CheckLine, UnknownKeepsItsReasonOnOneLineWithoutPerfdata) {
    const std::string line = reader::checkUnknownLine("no thermometer at a|b\nc");
    const auto parsed = parsePluginLine(line);
    ASSERT_TRUE(parsed.has_value()) << line;
    EXPECT_EQ(parsed->state, "UNKNOWN");
    EXPECT_FALSE(parsed->hasPerfdata);
    EXPECT_EQ(parsed->text, "no thermometer at a b c");
}

struct CheckCommandRow {
    const char* name;
    std::vector<const char*> args;
    int status;          // -1: parsed
    const char* stdOut;  // in standard output
};

const CheckCommandRow kCheckCommands[] = {
    {"ShortAndLongRanges", {"--check", "-w", "~:-15", "--critical", "~:-10"}, -1, ""},
    {"InvalidRangeIsUnknown", {"--check", "-w", "20:10"}, 3, "USB THERMOMETER UNKNOWN - "},
    {"RangeWithoutCheckIsUsage", {"-w", "10"}, 1, ""},
    {"CountDoesNotApply", {"--check", "--count", "2"}, 3, "--count excludes --check"},
    {"IntervalDoesNotApply", {"--check", "--interval", "2"}, 3, "--interval excludes --check"},
    {"JsonDoesNotApply", {"--check", "--json"}, 3, "--json excludes --check"},
    {"CsvDoesNotApply", {"--check", "--csv"}, 3, "--csv excludes --check"},
    {"PrometheusDoesNotApply", {"--check", "--prometheus", "t.prom"}, 3, "excludes"},
    {"ListDoesNotApply", {"--check", "--list"}, 3, "excludes"},
    {"QuietDoesNotApply", {"--check", "--quiet"}, 3, "excludes"},
    {"InfluxDoesNotApply", {"--check", "--influx"}, 3, "excludes"},
#ifndef _WIN32
    {"MqttDoesNotApply", {"--check", "--mqtt", "mqtt://h"}, 3, "excludes"},
    {"ListenDoesNotApply", {"--check", "--listen", ":9999"}, 3, "excludes"},
#endif
    {"UnknownOptionWithCheckIsUnknown", {"--check", "--fahrenheit"}, 3, "UNKNOWN - "},
    {"HelpWithCheckIsHelp", {"--check", "--help"}, 0, "Monitoring check"},
    {"EqualsSignInLabelIsUnknown", {"--check", "--name", "a=b"}, 3, "perfdata label"},
    {"ControlCharacterInNameIsUnknown", {"--check", "--name", "a\tb"}, 3, "control character"},
};

class CheckCommandLine : public ::testing::TestWithParam<CheckCommandRow> {};

TEST_P(CheckCommandLine, ParsesOrEndsAsAPluginDoes) {
    const CheckCommandRow& row = GetParam();
    const auto [parsed, out, err] = parseCommandLine(row.args);
    if (row.status < 0) {
        ASSERT_TRUE(std::holds_alternative<reader::Options>(parsed)) << err << out;
        const auto& options = std::get<reader::Options>(parsed);
        EXPECT_TRUE(options.check);
        EXPECT_TRUE(options.warning && options.critical);
        return;
    }
    ASSERT_TRUE(std::holds_alternative<int>(parsed));
    EXPECT_EQ(std::get<int>(parsed), row.status) << out << err;
    EXPECT_THAT(out, ::testing::HasSubstr(row.stdOut));
    if (row.status == 3) {
        EXPECT_TRUE(parsePluginLine(out).has_value()) << out;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, CheckCommandLine, ::testing::ValuesIn(kCheckCommands), rowName);

}  // namespace
}  // namespace thermo::testing
