// The contrast of text on its ground, and the colour a text takes to reach it.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>

#include "tests/support/row_name.h"
#include "window/contrast.h"

namespace thermo {
namespace {

constexpr ColourValue kWhite = directColour(255, 255, 255);
constexpr ColourValue kBlack = directColour(0, 0, 0);

struct Pair {
    const char* name;
    ColourValue a;
    ColourValue b;
    double ratio;  // as the accessibility guidelines' own examples give it
};

class ContrastRatio : public ::testing::TestWithParam<Pair> {};

TEST_P(ContrastRatio, MatchesTheGuidelinesFiguresInEitherOrder) {
    const Pair& p = GetParam();
    EXPECT_NEAR(contrastRatio(p.a, p.b), p.ratio, 0.005);
    EXPECT_DOUBLE_EQ(contrastRatio(p.a, p.b), contrastRatio(p.b, p.a));
}

INSTANTIATE_TEST_SUITE_P(
    Contrast, ContrastRatio,
    ::testing::Values(Pair{"black_on_white", kBlack, kWhite, 21.0},
                      Pair{"white_on_white", kWhite, kWhite, 1.0},
                      Pair{"grey_77_just_misses", directColour(0x77, 0x77, 0x77), kWhite, 4.48},
                      Pair{"grey_76_just_reaches", directColour(0x76, 0x76, 0x76), kWhite, 4.54},
                      Pair{"pure_blue_on_white", directColour(0, 0, 255), kWhite, 8.59}),
    rowName);

struct TextCase {
    const char* name;
    ColourValue text;
    ColourValue ground;
};

class Readable : public ::testing::TestWithParam<TextCase> {};

// Reaches 4.5:1, changes nothing that already does, and changes no more than it must: a text
// that had to move stops just past the minimum and keeps its strongest primary.
TEST_P(Readable, ReachesTheMinimumWithTheLeastChange) {
    const TextCase& c = GetParam();
    const ColourValue shown = readableOn(c.text, c.ground);
    const double before = contrastRatio(c.text, c.ground);
    const double after = contrastRatio(shown, c.ground);
    EXPECT_GE(after, kMinimumTextContrast);
    if (before >= kMinimumTextContrast) {
        EXPECT_EQ(shown, c.text);
        return;
    }
    EXPECT_LT(after, kMinimumTextContrast + 0.2) << "moved further than it had to";
    const int red = redOf(c.text);
    const int green = greenOf(c.text);
    const int blue = blueOf(c.text);
    if (red > green && red > blue) {
        EXPECT_GE(redOf(shown), std::max(greenOf(shown), blueOf(shown)));
    }
    if (blue > red && blue > green) {
        EXPECT_GE(blueOf(shown), std::max(redOf(shown), greenOf(shown)));
    }
}

constexpr ColourValue kCharcoal = directColour(0x31, 0x36, 0x3B);

INSTANTIATE_TEST_SUITE_P(
    Contrast, Readable,
    ::testing::Values(TextCase{"already_readable", kBlack, kWhite},
                      TextCase{"white_on_white", directColour(0xFC, 0xFC, 0xFC),
                               directColour(0xFC, 0xFC, 0xFC)},
                      TextCase{"dark_red_on_charcoal", directColour(0xC0, 0, 0), kCharcoal},
                      TextCase{"blue_on_charcoal", directColour(0, 0, 0xFF), kCharcoal},
                      TextCase{"green_on_charcoal", directColour(0, 0x80, 0), kCharcoal},
                      TextCase{"black_on_charcoal_crosses_the_ground", kBlack, kCharcoal},
                      TextCase{"grey_on_a_mid_grey_ground", directColour(0x80, 0x80, 0x80),
                               directColour(0x77, 0x77, 0x77)},
                      TextCase{"red_on_a_mid_red_ground", directColour(0xFF, 0, 0),
                               directColour(0xC0, 0x40, 0x40)}),
    rowName);

}  // namespace
}  // namespace thermo
