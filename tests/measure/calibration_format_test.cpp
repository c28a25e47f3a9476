#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <limits>
#include <random>

#include "measure/calibration_file.h"
#include "tests/support/row_name.h"

namespace thermo {
namespace {

using Limits = std::numeric_limits<double>;
constexpr double kNaN = Limits::quiet_NaN();

// Bit for bit, except that any NaN equals any other: text cannot carry a NaN's payload.
bool same(MaybeNumber a, MaybeNumber b) {
    if (!a || !b || std::isnan(*a) || std::isnan(*b)) {
        return a.has_value() == b.has_value() && (!a || std::isnan(*a) == std::isnan(*b));
    }
    return std::bit_cast<std::uint64_t>(*a) == std::bit_cast<std::uint64_t>(*b);
}

TEST(CalibrationLine, IsOneCrLfLineWithEmptyFieldForNoValue) {
    EXPECT_EQ(formatCalibrationLine({kDefaultCalZero, kDefaultCalHundred}), "0.72,0.35\r\n");
    EXPECT_EQ(formatCalibrationLine({0.5, 0.35}), "0.5,0.35\r\n");
    EXPECT_EQ(formatCalibrationLine({std::nullopt, 0.35}), ",0.35\r\n");
    EXPECT_EQ(formatCalibrationLine({0.72, std::nullopt}), "0.72,\r\n");
}

struct ParseRow {
    const char* name;
    const char* text;
    std::optional<CalibrationPoints> points;
};
class ParseCalibration : public ::testing::TestWithParam<ParseRow> {};
TEST_P(ParseCalibration, TakesFirstTwoFields) {
    const auto parsed = parseCalibration(GetParam().text);
    const auto& expected = GetParam().points;
    ASSERT_EQ(parsed.has_value(), expected.has_value());
    if (expected) {
        EXPECT_TRUE(same(parsed->zero, expected->zero)) << parsed->zero.value_or(-1);
        EXPECT_TRUE(same(parsed->hundred, expected->hundred)) << parsed->hundred.value_or(-1);
    }
}
INSTANTIATE_TEST_SUITE_P(
    Texts, ParseCalibration,
    ::testing::Values(ParseRow{"OneLine", "0.7,0.3\r\n", {{0.7, 0.3}}},
                      ParseRow{"TwoLines", "0.7\r\n0.3\r\n", {{0.7, 0.3}}},
                      ParseRow{"LfLineEnds", "0.7\n0.3\n", {{0.7, 0.3}}},
                      ParseRow{"CrLineEnds", "0.7\r0.3\r", {{0.7, 0.3}}},
                      ParseRow{"NoLineEnd", "0.7,0.3", {{0.7, 0.3}}},
                      ParseRow{"FurtherFieldsIgnored", "0.7,0.3,0.9\r\n0.1\r\nx", {{0.7, 0.3}}},
                      ParseRow{"BlanksAroundFields", " 0.7 ,\t0.3\t\r\n", {{0.7, 0.3}}},
                      ParseRow{"NoLeadingZero", ".72,.35\r\n", {{0.72, 0.35}}},
                      ParseRow{"ExponentAndSigns", "-1.5E-05,+0.35\r\n", {{-1.5e-05, 0.35}}},
                      ParseRow{"ZeroEmpty", ",0.35\r\n", {{std::nullopt, 0.35}}},
                      ParseRow{"HundredEmpty", "0.72,\r\n", {{0.72, std::nullopt}}},
                      ParseRow{"TrailingComma", "0.72,", {{0.72, std::nullopt}}},
                      ParseRow{"WordIsNaN", "abc,0.35\r\n", {{kNaN, 0.35}}},
                      ParseRow{"TrailingJunkIsNaN", "0.72x,+-1\r\n", {{kNaN, kNaN}}},
                      ParseRow{"OneField", "0.72\r\n", std::nullopt},
                      ParseRow{"Empty", "", std::nullopt}),
    rowName);

TEST(CalibrationLine, ReadsBackBitExactly) {
    std::vector<double> values{0.0,
                               -0.0,
                               0.72,
                               1.0 / 3,
                               Limits::min(),
                               Limits::max(),
                               Limits::lowest(),
                               Limits::denorm_min(),
                               Limits::infinity(),
                               -Limits::infinity(),
                               kNaN};
    std::mt19937_64 random(20240601);  // fixed seed: a failure must be repeatable
    std::uniform_real_distribution<double> ratio(0.0, 1.0);
    for (int i = 0; i < 5000; ++i) {
        values.push_back(std::bit_cast<double>(random()));
        values.push_back(ratio(random));
    }
    for (std::size_t i = 0; i + 1 < values.size(); ++i) {
        const std::string line = formatCalibrationLine({values[i], values[i + 1]});
        ASSERT_EQ(line.find_first_of(" \"'"), std::string::npos) << line;
        const auto read = parseCalibration(line);
        ASSERT_TRUE(read && same(read->zero, values[i]) && same(read->hundred, values[i + 1]))
            << line;
    }
}

// Qt sets the C locale from the environment, so a German user's LC_NUMERIC has a decimal comma.
TEST(Locale, DecimalCommaDoesNotReachTheFile) {
    struct RestoreLocale {
        std::string name;
        ~RestoreLocale() { std::setlocale(LC_ALL, name.c_str()); }
    } const restore{std::setlocale(LC_ALL, nullptr)};
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
        GTEST_SKIP() << "needs the de_DE.UTF-8 locale (localedef -i de_DE -f UTF-8 de_DE.UTF-8) "
                        "to check that a decimal-comma locale does not leak into numbers";
    }
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    EXPECT_EQ(formatCalibrationLine({0.72, 1.5e-05}), "0.72,1.5e-05\r\n");
    const auto read = parseCalibration("0.72,1.5E-05\r\n");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->zero, 0.72);
    EXPECT_EQ(read->hundred, 1.5e-05);
    EXPECT_EQ(formatReading(54.180744F, DisplayPattern::TwoIntegerDigits, ","), "54,2");
}

}  // namespace
}  // namespace thermo
