// The pure geometry the window paints from: twips to pixels, the mercury bar, the scale ticks.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "tests/support/row_name.h"
#include "tests/window/layout_support.h"
#include "window/layout.h"
#include "window/scale_geometry.h"
#include "window/scene.h"

namespace thermo {
namespace {

struct Conversion {
    const char* name;
    double twips;
    int pixels;
};

class TwipsToPixels : public ::testing::TestWithParam<Conversion> {};

TEST_P(TwipsToPixels, RoundsToTheNearestPixelWithHalvesUpwards) {
    EXPECT_EQ(twipsToPixels(GetParam().twips), GetParam().pixels);
}

INSTANTIATE_TEST_SUITE_P(
    Geometry, TwipsToPixels,
    ::testing::Values(Conversion{"zero", 0, 0}, Conversion{"whole_pixel", 480, 32},
                      Conversion{"below_half", 22, 1}, Conversion{"exactly_half", 22.5, 2},
                      Conversion{"above_half", 23, 2}, Conversion{"negative_half_goes_up", -7.5, 0},
                      Conversion{"negative", -8, -1}, Conversion{"bar_foot", 3880, 259},
                      Conversion{"start_button_bottom", 3960 + 372, 289},
                      Conversion{"not_a_number", std::nan(""), 0}),
    rowName);

TEST(TwipsToPixels, StaysDefinedFarBeyondAnyScreen) {
    EXPECT_GT(twipsToPixels(1e30), 1'000'000);
    EXPECT_LT(twipsToPixels(-1e30), -1'000'000);
    EXPECT_GT(twipsToPixels(std::numeric_limits<double>::infinity()), 1'000'000);
    EXPECT_EQ(barPixelRect(1e30F, -1e30F).width, 14)
        << "a bar far off the screen keeps its columns";
}

TEST(ControlRects, FrameContentsAreOffsetByTheFrame) {
    // Command2 spans x 2520.. and y 1800.. in client coordinates: 168 and 120 pixels.
    EXPECT_EQ(clientRect(ControlId::Command2), (PixelRect{168, 120, 57, 17}));
    EXPECT_EQ(controlRect(ControlId::Command2), (PixelRect{16, 24, 57, 17}));
    // 372 twips is 24.8 pixels; the bottom edge 4332 rounds to 289, so 25 rows.
    EXPECT_EQ(clientRect(ControlId::cmdOn), (PixelRect{152, 264, 89, 25}));
}

struct BarCase {
    const char* name;
    float celsius;
    int topRow;  // (3080 - 20 T) / 15, to the nearest pixel
};

class Bar : public ::testing::TestWithParam<BarCase> {};

// Height T * 20 + 800 and top 3080 - T * 20 twips: the bar's top follows the temperature and its
// foot stays at 3880 twips, row 259 (258.67 rounded).
TEST_P(Bar, RunsFromTheTemperaturesRowDownToTheFoot) {
    const float t = GetParam().celsius;
    const PixelRect r = barPixelRect(t * 20.0F + 800.0F, 3080.0F - t * 20.0F);
    EXPECT_EQ(r.top, GetParam().topRow);
    EXPECT_EQ(r.bottom(), 259);
    EXPECT_EQ(r.left, 66);     // 990 twips
    EXPECT_EQ(r.right(), 80);  // 1200 twips
    WindowPicture picture;
    picture.bar = {t * 20.0F + 800.0F, 3080.0F - t * 20.0F};
    const DrawItem* painted = testing::findItem(scene(picture), ControlId::Shape4);
    ASSERT_NE(painted, nullptr);
    EXPECT_EQ(toDevice(painted->box, kLayoutDpi), r) << "the scene paints the same pixels";
}

INSTANTIATE_TEST_SUITE_P(Geometry, Bar,
                         ::testing::Values(BarCase{"lowest_minus_22", -22, 235},
                                           BarCase{"zero", 0, 205}, BarCase{"hundred", 100, 72},
                                           BarCase{"highest_132", 132, 29},
                                           BarCase{"laid_out_130", 130, 32}),
                         rowName);

TEST(Bar, WorkedExampleOfFiftyFourPointTwoDegrees) {
    // Height 1883.6149 and top 1996.3851 twips: top 133.09 pixels, foot 258.67.
    const PixelRect r = barPixelRect(1883.6149F, 1996.3851F);
    EXPECT_EQ(r.top, 133);
    EXPECT_EQ(r.bottom(), 259);
}

// The foot must not wobble by a pixel as fractional heights and tops come and go; rounding the
// height instead of the bottom edge would make it.
TEST(Bar, FootStaysOnOneRowForEveryTenthOfADegree) {
    std::set<int> feet;
    for (int tenths = -220; tenths <= 1320; ++tenths) {
        const float t = static_cast<float>(tenths) / 10.0F;
        const float height = static_cast<float>(static_cast<double>(t) * 20.0 + 800.0);
        const float top = static_cast<float>(3080.0 - static_cast<double>(t) * 20.0);
        const PixelRect r = barPixelRect(height, top);
        feet.insert(r.bottom());
        EXPECT_LE(std::abs(r.top - (3080.0 - 20.0 * t) / 15.0), 0.5 + 1e-3) << t;
    }
    EXPECT_EQ(feet, std::set<int>{259});
}

}  // namespace
}  // namespace thermo
