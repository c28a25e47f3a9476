// The pure geometry the windows paint from, at any dpi: twips to pixels, the controls, the
// mercury bar.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

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
    const auto items = scene(picture);  // findItem points into it
    const DrawItem* painted = testing::findItem(items, ControlId::Shape4);
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

TEST(FontPoints, BecomeTheNearestPixelHeight) {
    EXPECT_EQ(pointsToDevice(18.0, 96), 24);
    EXPECT_EQ(pointsToDevice(14.25, 96), 19);
    EXPECT_EQ(pointsToDevice(18.0, 144), 36);
}

// The Qt window works at 96 dpi, the Win32 window at the dpi of whatever monitor it stands on.
class GeometryAtDpi : public ::testing::TestWithParam<int> {
  protected:
    // Where an edge at `twips` lies, computed on its own terms.
    double exact(double twips) const { return twips * GetParam() / 1440.0; }
};

TEST_P(GeometryAtDpi, EveryEdgeIsTheNearestPixelInsideTheClientArea) {
    const int dpi = GetParam();
    const int width = twipsToDevice(kClientWidthTwips, dpi);
    const int height = twipsToDevice(kClientHeightTwips, dpi);
    for (const ControlSpec& c : layoutTable()) {
        if (c.kind == ControlKind::Timer || c.kind == ControlKind::Line) continue;
        const PixelRect r = clientDeviceRect(c.id, dpi);
        EXPECT_GE(r.left, 0) << c.name;
        EXPECT_GE(r.top, 0) << c.name;
        EXPECT_LE(r.right(), width) << c.name;
        EXPECT_LE(r.bottom(), height) << c.name;
        if (c.container) continue;  // offset by the frame's rounded edges
        EXPECT_LE(std::abs(r.left - exact(c.rect.left)), 0.5) << c.name;
        EXPECT_LE(std::abs(r.top - exact(c.rect.top)), 0.5) << c.name;
        EXPECT_LE(std::abs(r.right() - exact(c.rect.right())), 0.5) << c.name;
        EXPECT_LE(std::abs(r.bottom() - exact(c.rect.bottom())), 0.5) << c.name;
    }
}

// Frame contents sit inside the frame however the frame's own edges round.
TEST_P(GeometryAtDpi, ButtonsStayInsideTheFrame) {
    const PixelRect frame = clientDeviceRect(ControlId::Frame1, GetParam());
    for (ControlId id : {ControlId::Command2, ControlId::Command3}) {
        const PixelRect button = clientDeviceRect(id, GetParam());
        EXPECT_GT(button.left, frame.left);
        EXPECT_GT(button.top, frame.top);
        EXPECT_LT(button.right(), frame.right());
        EXPECT_LT(button.bottom(), frame.bottom());
    }
}

// The foot, top + height = 3880 twips, must not wobble by a pixel as fractional heights and tops
// come and go; rounding the height instead of the bottom edge would make it.
TEST_P(GeometryAtDpi, BarFootStaysOnOneRowForEveryTenthOfADegree) {
    const int foot = static_cast<int>(std::floor(exact(3880) + 0.5));
    for (int tenths = -220; tenths <= 1320; ++tenths) {
        const float t = static_cast<float>(tenths) / 10.0F;
        const float height = static_cast<float>(static_cast<double>(t) * 20.0 + 800.0);
        const float top = static_cast<float>(3080.0 - static_cast<double>(t) * 20.0);
        const PixelRect r = barDeviceRect(height, top, GetParam());
        EXPECT_EQ(r.bottom(), foot) << t;
        EXPECT_LE(std::abs(r.top - exact(3080.0 - 20.0 * t)), 0.5 + 1e-3) << t;
    }
}

INSTANTIATE_TEST_SUITE_P(Screens, GeometryAtDpi, ::testing::Values(96, 120, 144, 192),
                         [](const auto& info) { return std::to_string(info.param) + "dpi"; });

}  // namespace
}  // namespace thermo
