// The layout table against the figures the window's description gives about it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "tests/support/row_name.h"
#include "tests/window/layout_support.h"
#include "window/layout.h"
#include "window/scale_geometry.h"

namespace thermo::testing {
namespace {

using thermo::PrintTo;

// The control's rectangle in client-area twips.
TwipsRect absoluteTwips(ControlId id) {
    TwipsRect r = controlSpec(id).rect;
    for (auto c = controlSpec(id).container; c; c = controlSpec(*c).container) {
        r.left += controlSpec(*c).rect.left;
        r.top += controlSpec(*c).rect.top;
    }
    return r;
}

struct Span {
    const char* name;
    ControlId id;
    int x1, x2, y1, y2;
};

class AbsoluteSpan : public ::testing::TestWithParam<Span> {};

// The description repeats some spans in client coordinates; a slip in the table's frame-relative
// figures or in the container arithmetic shows here.
TEST_P(AbsoluteSpan, MatchesTheFiguresGivenInClientCoordinates) {
    const Span& s = GetParam();
    const TwipsRect r = absoluteTwips(s.id);
    EXPECT_EQ(r.left, s.x1);
    EXPECT_EQ(r.right(), s.x2);
    EXPECT_EQ(r.top, s.y1);
    EXPECT_EQ(r.bottom(), s.y2);
}

INSTANTIATE_TEST_SUITE_P(
    Layout, AbsoluteSpan,
    ::testing::Values(Span{"frame", ControlId::Frame1, 2280, 3615, 1440, 2655},
                      Span{"zero_button", ControlId::Command2, 2520, 3375, 1800, 2055},
                      Span{"hundred_button", ControlId::Command3, 2520, 3375, 2280, 2535},
                      Span{"panel", ControlId::Shape1, 120, 2055, 120, 4695},
                      Span{"bar_as_laid_out", ControlId::Shape4, 990, 1200, 480, 3880},
                      Span{"tube", ControlId::Shape2, 960, 1215, 360, 4215},
                      Span{"bulb", ControlId::Shape3, 720, 1455, 3720, 4455}),
    rowName);

TEST(LayoutTable, ValueLabelsEndWhereTheirUnitLabelsBegin) {
    EXPECT_EQ(controlSpec(ControlId::Label5).rect.right(), 3135);
    EXPECT_EQ(controlSpec(ControlId::Label3).rect.left, 3120);
    EXPECT_EQ(controlSpec(ControlId::Label10).rect.right(), 3135);
    EXPECT_EQ(controlSpec(ControlId::Label11).rect.left, 3120);
}

TEST(LayoutTable, EveryControlLiesInsideTheClientAreaReachingItsRightAndLowerEdges) {
    int right = 0;
    int bottom = 0;
    for (const ControlSpec& c : layoutTable()) {
        if (!drawn(c)) continue;
        const TwipsRect r = c.kind == ControlKind::Line
                                ? TwipsRect{c.line.x1, c.line.y1, c.line.x2 - c.line.x1, 0}
                                : absoluteTwips(c.id);
        EXPECT_GE(r.left, 0) << c.name;
        EXPECT_GE(r.top, 0) << c.name;
        EXPECT_LE(r.right(), kClientWidthTwips) << c.name;
        EXPECT_LE(r.bottom(), kClientHeightTwips) << c.name;
        right = std::max(right, r.right());
        bottom = std::max(bottom, r.bottom());
    }
    EXPECT_EQ(right, 3855) << "Label3 ends furthest right";
    EXPECT_EQ(bottom, 4695) << "Shape1 reaches lowest";
}

// --- Ticks -------------------------------------------------------------------------------------

class Tick : public ::testing::TestWithParam<ControlSpec> {};

// A tick for T stands on the whole pixel nearest to 3080 - 20 T twips, within 5 twips of it.
TEST_P(Tick, StandsOnTheWholePixelNearestToItsTemperature) {
    const ControlSpec& c = GetParam();
    const double ideal = 3080.0 - 20.0 * c.tickCelsius;
    EXPECT_EQ(c.line.y1, c.line.y2) << "ticks are horizontal";
    EXPECT_EQ(c.line.y1 % kTwipsPerPixelAt96Dpi, 0);
    EXPECT_LE(std::abs(c.line.y1 - ideal), 5.0);
}

TEST_P(Tick, StartsAtTheBarsRightEdgeAndIsLongOnlyAtZeroFiftyAndHundred) {
    const ControlSpec& c = GetParam();
    EXPECT_EQ(c.line.x1, controlSpec(ControlId::Shape4).rect.right());
    const bool longTick = c.tickCelsius == 0 || c.tickCelsius == 50 || c.tickCelsius == 100;
    EXPECT_EQ(c.line.x2, longTick ? 1380 : 1320);
}

// In pixels: the bar for a tick's temperature ends exactly on that tick's row.
TEST_P(Tick, IsOnTheRowOfTheBarsTopAtThatTemperatureInPixels) {
    const TickMark tick = tickMark(GetParam());
    const float t = tick.celsius;
    EXPECT_EQ(barPixelRect(t * 20.0F + 800.0F, 3080.0F - t * 20.0F).top, tick.row);
    EXPECT_EQ(tick.startColumn, 80);
    EXPECT_EQ(tick.endColumn, (t == 0 || t == 50 || t == 100) ? 92 : 88);
}

INSTANTIATE_TEST_SUITE_P(Layout, Tick, ::testing::ValuesIn(ticks()), rowName);

TEST(LayoutTable, TicksCoverTheScaleEveryTenDegrees) {
    std::set<int> marks;
    for (const ControlSpec& c : ticks()) marks.insert(static_cast<int>(c.tickCelsius));
    std::set<int> expected;
    for (int t = -20; t <= 130; t += 10) expected.insert(t);
    EXPECT_EQ(marks, expected);
}

struct ScaleNumber {
    ControlId label;
    const char* caption;
    float celsius;
    friend void PrintTo(const ScaleNumber& v, std::ostream* os) { *os << v.caption; }
};

class ScaleNumberPlacement : public ::testing::TestWithParam<ScaleNumber> {};

TEST_P(ScaleNumberPlacement, StandsRightOfTheTicksWithItsTopJustAboveItsTick) {
    const ScaleNumber& n = GetParam();
    const ControlSpec& label = controlSpec(n.label);
    EXPECT_EQ(label.caption, n.caption);
    EXPECT_EQ(label.rect.left, 1440);
    const auto all = ticks();
    const auto tick = std::find_if(
        all.begin(), all.end(), [&](const ControlSpec& c) { return c.tickCelsius == n.celsius; });
    ASSERT_NE(tick, all.end());
    const int above = tick->line.y1 - label.rect.top;
    EXPECT_GE(above, 75);
    EXPECT_LE(above, 120);
}

INSTANTIATE_TEST_SUITE_P(Layout, ScaleNumberPlacement,
                         ::testing::Values(ScaleNumber{ControlId::Label8, "130", 130},
                                           ScaleNumber{ControlId::Label7, "100", 100},
                                           ScaleNumber{ControlId::Label6, "50", 50},
                                           ScaleNumber{ControlId::Label4, "0", 0},
                                           ScaleNumber{ControlId::Label2, "-20", -20}));

// --- Stacking ----------------------------------------------------------------------------------

PixelRect pixelArea(const ControlSpec& c) {
    if (c.kind != ControlKind::Line) return clientRect(c.id);
    const TickMark t = tickMark(c);
    return {t.startColumn, t.row, t.endColumn - t.startColumn, 1};
}

bool overlap(const PixelRect& a, const PixelRect& b) {
    return a.left < b.right() && b.left < a.right() && a.top < b.bottom() && b.top < a.bottom();
}

// Child widgets always cover what the window paints. That is right only as long as no painted
// item is meant to lie in front of a widget it overlaps.
TEST(Stacking, NoPaintedItemLiesInFrontOfAWidgetItOverlaps) {
    const auto& table = layoutTable();
    for (const ControlSpec& front : table) {
        if (!painted(front)) continue;
        for (const ControlSpec& behind : table) {
            if (stackingNumber(behind.id) <= stackingNumber(front.id)) continue;
            if (!drawn(behind) || painted(behind)) continue;
            EXPECT_FALSE(overlap(pixelArea(front), pixelArea(behind)))
                << front.name << " should cover widget " << behind.name;
        }
    }
}

}  // namespace
}  // namespace thermo::testing
