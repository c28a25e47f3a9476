// The twips-to-pixels conversion at the dpi of any monitor the Win32 window may stand on.

#include "window/scale_geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace thermo::win32 {
namespace {

// The pixel an edge at `twips` lies nearest to, computed on its own terms.
double exactPixels(double twips, int dpi) { return twips * dpi / 1440.0; }

bool hasRect(const ControlSpec& laidOut) {
    return laidOut.kind != ControlKind::Timer && laidOut.kind != ControlKind::Line;
}

class Win32GeometryAtDpi : public ::testing::TestWithParam<int> {};

TEST_P(Win32GeometryAtDpi, EveryEdgeIsTheNearestPixel) {
    const int dpi = GetParam();
    for (const ControlSpec& laidOut : layoutTable()) {
        if (!hasRect(laidOut) || laidOut.container) continue;
        const PixelRect r = clientDeviceRect(laidOut.id, dpi);
        EXPECT_LE(std::abs(r.left - exactPixels(laidOut.rect.left, dpi)), 0.5) << laidOut.name;
        EXPECT_LE(std::abs(r.top - exactPixels(laidOut.rect.top, dpi)), 0.5) << laidOut.name;
        EXPECT_LE(std::abs(r.right() - exactPixels(laidOut.rect.right(), dpi)), 0.5)
            << laidOut.name;
        EXPECT_LE(std::abs(r.bottom() - exactPixels(laidOut.rect.bottom(), dpi)), 0.5)
            << laidOut.name;
    }
}

// Frame contents sit inside the frame however the frame's own edges round.
TEST_P(Win32GeometryAtDpi, ButtonsStayInsideTheFrame) {
    const int dpi = GetParam();
    const PixelRect frame = clientDeviceRect(ControlId::Frame1, dpi);
    for (ControlId id : {ControlId::Command2, ControlId::Command3}) {
        const PixelRect button = clientDeviceRect(id, dpi);
        EXPECT_GT(button.left, frame.left);
        EXPECT_GT(button.top, frame.top);
        EXPECT_LT(button.right(), frame.right());
        EXPECT_LT(button.bottom(), frame.bottom());
    }
}

// Top and height change together every tick; the foot, top + height = 3880, must not move.
TEST_P(Win32GeometryAtDpi, BarFootStaysOnOneRowAtEveryTemperature) {
    const int dpi = GetParam();
    const int foot = static_cast<int>(std::floor(exactPixels(3880, dpi) + 0.5));
    for (int tenths = -220; tenths <= 1320; tenths += 7) {
        const float celsius = static_cast<float>(tenths) / 10.0F;
        const PixelRect bar = barDeviceRect(celsius * 20 + 800, 3080 - celsius * 20, dpi);
        EXPECT_EQ(bar.bottom(), foot) << celsius;
        EXPECT_GT(bar.height, 0) << celsius;
    }
}

TEST_P(Win32GeometryAtDpi, ClientAreaHoldsEveryControl) {
    const int dpi = GetParam();
    const int width = twipsToDevice(kClientWidthTwips, dpi);
    const int height = twipsToDevice(kClientHeightTwips, dpi);
    for (const ControlSpec& laidOut : layoutTable()) {
        if (!hasRect(laidOut)) continue;
        const PixelRect r = clientDeviceRect(laidOut.id, dpi);
        EXPECT_GE(r.left, 0) << laidOut.name;
        EXPECT_GE(r.top, 0) << laidOut.name;
        EXPECT_LE(r.right(), width) << laidOut.name;
        EXPECT_LE(r.bottom(), height) << laidOut.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Screens, Win32GeometryAtDpi, ::testing::Values(96, 120, 144, 192),
                         [](const auto& info) { return std::to_string(info.param) + "dpi"; });

TEST(Win32Geometry, FontPointsToPixels) {
    EXPECT_EQ(pointsToDevice(18.0, 96), 24);
    EXPECT_EQ(pointsToDevice(14.25, 96), 19);
    EXPECT_EQ(pointsToDevice(18.0, 144), 36);
}

}  // namespace
}  // namespace thermo::win32
