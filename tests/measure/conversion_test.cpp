#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "measure/conversion.h"
#include "tests/support/row_name.h"

namespace thermo {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr float kNaNF = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kFloatMax = std::numeric_limits<float>::max();
constexpr auto kTwo = DisplayPattern::TwoIntegerDigits;
constexpr auto kOne = DisplayPattern::OneIntegerDigit;

// Expected figures are the published worked examples; the rest follow from the formulas by hand.
struct ReportRow {
    const char* name;
    std::vector<std::uint8_t> report;
    std::optional<double> ratio;
};
class Ratio : public ::testing::TestWithParam<ReportRow> {};
TEST_P(Ratio, IsByteOneHighByteTwoLowOverFullScale) {
    EXPECT_EQ(ratioFromReport(GetParam().report), GetParam().ratio);
}
INSTANTIATE_TEST_SUITE_P(Reports, Ratio,
                         ::testing::Values(ReportRow{"WorkedExample", {0, 133, 0}, 0.51953125},
                                           ReportRow{"AllZero", {0, 0, 0}, 0.0},
                                           ReportRow{"AllOnes", {9, 255, 255}, 65535.0 / 65536},
                                           ReportRow{"LongReport", {0, 1, 2, 9}, 258.0 / 65536},
                                           ReportRow{"NoReport", {}, std::nullopt},
                                           ReportRow{"OneByte", {0}, std::nullopt},
                                           ReportRow{"TwoBytes", {0, 133}, std::nullopt}),
                         rowName);

struct CelsiusRow {
    const char* name;
    MaybeNumber ratio, zero, hundred;
    std::optional<float> celsius;
};
class Celsius : public ::testing::TestWithParam<CelsiusRow> {};
TEST_P(Celsius, FollowsTwoPointCalibration) {
    const CelsiusRow& row = GetParam();
    EXPECT_EQ(celsiusFromRatio(row.ratio, row.zero, row.hundred), row.celsius);
}
INSTANTIATE_TEST_SUITE_P(
    Points, Celsius,
    ::testing::Values(CelsiusRow{"WorkedExample", 0.51953125, 0.72, 0.35, 54.180744F},
                      CelsiusRow{"AllZeroReport", 0.0, 0.72, 0.35, 194.59459F},
                      CelsiusRow{"AllOnesReport", 65535.0 / 65536, 0.72, 0.35, -75.671555F},
                      CelsiusRow{"EmptyRatioCountsAsZero", std::nullopt, 0.72, 0.35, 194.59459F},
                      CelsiusRow{"AtZeroPoint", 0.72, 0.72, 0.35, 0},
                      CelsiusRow{"AtHundredPoint", 0.35, 0.72, 0.35, 100},
                      CelsiusRow{"PointsInRisingOrder", 0.5, 0.5, 0.75, 0},
                      CelsiusRow{"EmptyPointCountsAsZero", 0.25, std::nullopt, 0.5, 50},
                      CelsiusRow{"EqualPoints", 0.5, 0.5, 0.5, std::nullopt},
                      CelsiusRow{"BothPointsEmpty", 0.5, std::nullopt, std::nullopt, std::nullopt},
                      CelsiusRow{"NaNPoint", 0.5, kNaN, 0.35, std::nullopt},
                      CelsiusRow{"InfinitePoint", 0.5, 0.72, 1 / 0.0, std::nullopt},
                      // Finite points whose difference overflows gave exactly 100 for any ratio.
                      CelsiusRow{"PointsDifferenceOverflows", 0.5, 1.7969e308, -1.7e306,
                                 std::nullopt},
                      CelsiusRow{"JustInsideFloatRange", 3.0, 1e-36, 0.0, -3e38F},
                      CelsiusRow{"BeyondFloatRange", 1.0, 1e-300, 0.0, std::nullopt}),
    rowName);

struct TextRow {
    const char* name;
    float celsius;
    const char* separator;
    const char* celsiusText;
    std::optional<float> fahrenheit;
    const char* fahrenheitText;
};
class Display : public ::testing::TestWithParam<TextRow> {};
TEST_P(Display, ShowsCelsiusAndFahrenheitWithOneDecimal) {
    const TextRow& row = GetParam();
    EXPECT_EQ(formatReading(row.celsius, kTwo, row.separator), row.celsiusText);
    const auto fahrenheit = fahrenheitFromCelsius(row.celsius);
    EXPECT_EQ(fahrenheit, row.fahrenheit);
    EXPECT_EQ(formatReading(fahrenheit.value_or(row.celsius), kOne, row.separator),
              row.fahrenheitText);
}
INSTANTIATE_TEST_SUITE_P(
    Temperatures, Display,
    ::testing::Values(
        TextRow{"WorkedExample", 54.180744F, ".", "54.2", 129.52534F, "129.5"},
        TextRow{"Freezing", 0, ".", "00.0", 32, "32.0"},
        TextRow{"Boiling", 100, ".", "100.0", 212, "212.0"},
        TextRow{"AboveBar", 150, ".", "150.0", 302, "302.0"},
        TextRow{"BarLimit", 132, ".", "132.0", 269.6F, "269.6"},
        TextRow{"LeadingZero", 7.3F, ".", "07.3", 45.14F, "45.1"},
        TextRow{"NegativePadded", -5.3F, ".", "-05.3", 22.46F, "22.5"},
        TextRow{"NegativeFahrenheit", -20, ".", "-20.0", -4, "-4.0"},
        TextRow{"AllOnesReport", -75.671555F, ".", "-75.7", -104.2088F, "-104.2"},
        TextRow{"CarryIntoNewDigit", 99.95F, ".", "100.0", 211.90999F, "211.9"},
        TextRow{"TieAwayFromZero", -0.25F, ".", "-00.3", 31.55F, "31.6"},
        TextRow{"FloatJustBelowTie", 0.35F, ".", "00.4", 32.63F, "32.6"},
        TextRow{"NegativeRoundsToZero", -0.04F, ".", "00.0", 31.928F, "31.9"},
        TextRow{"CommaSeparator", 54.180744F, ",", "54,2", 129.52534F, "129,5"},
        TextRow{"MultiByteSeparator", -5.3F, "\u066B", "-05\u066B3", 22.46F, "22\u066B5"},
        TextRow{"FloatMax", kFloatMax, ".", "340282346638528859811704183484516925440.0",
                std::nullopt, "340282346638528859811704183484516925440.0"},
        TextRow{"NotANumber", kNaNF, ".", "nan", std::nullopt, "nan"}),
    rowName);

struct BarRow {
    const char* name;
    float celsius, clamped, height, top;
};
class Bar : public ::testing::TestWithParam<BarRow> {};
TEST_P(Bar, ClampsThenStandsOnFixedFoot) {
    const BarRow& row = GetParam();
    const float clamped = clampForBar(row.celsius);
    EXPECT_EQ(clamped, row.clamped);
    EXPECT_EQ(barGeometry(clamped).height, row.height);
    EXPECT_EQ(barGeometry(clamped).top, row.top);
}
INSTANTIATE_TEST_SUITE_P(
    Temperatures, Bar,
    ::testing::Values(
        BarRow{"LowerLimit", -22, -22, 360, 3520}, BarRow{"Freezing", 0, 0, 800, 3080},
        BarRow{"Boiling", 100, 100, 2800, 1080}, BarRow{"UpperLimit", 132, 132, 3440, 440},
        BarRow{"WorkedExample", 54.180744F, 54.180744F, 1883.6149F, 1996.3851F},
        BarRow{"AllZeroReport", 194.59459F, 132, 3440, 440},
        BarRow{"AllOnesReport", -75.671555F, -22, 360, 3520}, BarRow{"NaN", kNaNF, -22, 360, 3520},
        BarRow{"Infinity", kInf, 132, 3440, 440}, BarRow{"MinusInfinity", -kInf, -22, 360, 3520}),
    rowName);

}  // namespace
}  // namespace thermo
