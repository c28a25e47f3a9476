#include "tools/thermometer-sim/report_format.h"

#include <gtest/gtest.h>

#include <ostream>

#include "hid/report_descriptor.h"
#include "tests/support/row_name.h"

namespace thermo::sim {
namespace {

using thermo::PrintTo;

struct CelsiusRow {
    const char* name;
    double celsius;
    Calibration cal;
    ValueBytes expected;
};

class ValueForCelsius : public ::testing::TestWithParam<CelsiusRow> {};

// Expected bytes worked out by hand: ratio = hundred + (100 - C)(zero - hundred) / 100, times
// 65536, rounded, high byte first.
TEST_P(ValueForCelsius, GivesTheBytesThatReadAsThatTemperature) {
    const auto& row = GetParam();
    EXPECT_EQ(valueForCelsius(row.celsius, row.cal), row.expected) << row.name;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ValueForCelsius,
    ::testing::Values(
        // b1 133, b2 0: ratio 0.51953125, which reads 54.1807 °C with 0.72/0.35.
        CelsiusRow{"bytes_133_0", 54.1807432, {}, {133, 0}},
        CelsiusRow{"zero_point_is_ratio_0_72", 0.0, {}, {0xB8, 0x52}},       // 47185.92
        CelsiusRow{"hundred_point_is_ratio_0_35", 100.0, {}, {0x59, 0x9A}},  // 22937.6
        CelsiusRow{"ratio_above_full_scale_clamps", -200.0, {}, {0xFF, 0xFF}},
        CelsiusRow{"negative_ratio_clamps_to_zero", 1000.0, {}, {0x00, 0x00}},
        CelsiusRow{"coinciding_points_give_that_ratio", 37.0, {0.5, 0.5}, {0x80, 0x00}},
        CelsiusRow{"other_calibration", 50.0, {0.8, 0.2}, {0x80, 0x00}}),
    rowName);

TEST(CelsiusForValue, ReadsBackWithinOneStepOfTheValue) {
    // One step of the 16-bit value is 100 * (1/65536) / 0.37 °C with the default points.
    const double step = 100.0 / 65536.0 / 0.37;
    for (double c = -20.0; c <= 130.0; c += 7.5) {
        auto back = celsiusForValue(valueForCelsius(c, {}), {});
        ASSERT_TRUE(back);
        EXPECT_NEAR(*back, c, step / 2 + 1e-9) << c;
    }
    EXPECT_FALSE(celsiusForValue({1, 2}, {0.4, 0.4}));
}

TEST(InputReport, PutsTheValueFirstOrAfterTheReportId) {
    auto plain = inputReport({false, 64}, {0xA4, 0x6E});
    ASSERT_EQ(plain.size(), 64u);
    EXPECT_EQ(plain[0], 0xA4);
    EXPECT_EQ(plain[1], 0x6E);
    EXPECT_EQ(plain[63], 0);

    auto numbered = inputReport({true, 64}, {0xA4, 0x6E});
    ASSERT_EQ(numbered.size(), 65u);
    EXPECT_EQ(numbered[0], kThermometerReportId);
    EXPECT_EQ(numbered[1], 0xA4);
    EXPECT_EQ(numbered[2], 0x6E);

    EXPECT_EQ(inputReport({false, 1}, {7, 8}), (std::vector<std::uint8_t>{7}));
    EXPECT_EQ(inputReport({true, 1}, {7, 8}), (std::vector<std::uint8_t>{1, 7}));
}

struct ShapeRow {
    const char* name;
    ReportShape shape;
};

class Descriptor : public ::testing::TestWithParam<ShapeRow> {};

// The program's own descriptor parser must find the report the simulator sends.
TEST_P(Descriptor, DeclaresTheInputReportThatIsSent) {
    const auto& shape = GetParam().shape;
    auto summary = hid::parseReportDescriptor(reportDescriptor(shape));
    EXPECT_EQ(summary.usesReportIds, shape.reportIds);
    // Counted Windows-style: the id byte included, also when there are no ids.
    EXPECT_EQ(summary.inputReportLength, shape.dataLength + 1);
    std::size_t sent = inputReport(shape, {}).size();
    EXPECT_EQ(sent, static_cast<std::size_t>(shape.dataLength + (shape.reportIds ? 1 : 0)));
}

INSTANTIATE_TEST_SUITE_P(Rows, Descriptor,
                         ::testing::Values(ShapeRow{"default_64_bytes", {false, 64}},
                                           ShapeRow{"with_report_ids", {true, 64}},
                                           ShapeRow{"one_byte_report", {false, 1}},
                                           ShapeRow{"two_byte_report_with_id", {true, 2}},
                                           ShapeRow{"count_needs_two_bytes", {false, 300}}),
                         rowName);

TEST(ParseByte, AcceptsDecimalAndHexUpTo255) {
    EXPECT_EQ(parseByte("164"), 164);
    EXPECT_EQ(parseByte("0xa4"), 0xA4);
    EXPECT_EQ(parseByte("0XFF"), 255);
    EXPECT_EQ(parseByte("0"), 0);
    EXPECT_FALSE(parseByte("256"));
    EXPECT_FALSE(parseByte("-1"));
    EXPECT_FALSE(parseByte("0x"));
    EXPECT_FALSE(parseByte("12a"));
    EXPECT_FALSE(parseByte(""));
}

TEST(ParseCalibration, NeedsTwoFiniteNumbers) {
    auto cal = parseCalibration("0.7,0.3");
    ASSERT_TRUE(cal);
    EXPECT_DOUBLE_EQ(cal->zero, 0.7);
    EXPECT_DOUBLE_EQ(cal->hundred, 0.3);
    EXPECT_FALSE(parseCalibration("0.7"));
    EXPECT_FALSE(parseCalibration("0.7,"));
    EXPECT_FALSE(parseCalibration("nan,0.3"));
    EXPECT_FALSE(parseCalibration("0.7;0.3"));
}

}  // namespace
}  // namespace thermo::sim
