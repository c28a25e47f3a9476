// The scene both front ends paint, as laid out and for a bar without height. What a tick leaves
// in it is checked with the tick (form1_tick_test.cpp).

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <vector>

#include "tests/support/row_name.h"
#include "tests/window/layout_support.h"
#include "window/scene.h"

namespace thermo::testing {
namespace {

using thermo::PrintTo;

TEST(Scene, IsTheLayoutBackToFrontWithoutTheNativeControls) {
    const std::vector<DrawItem> items = scene(WindowPicture());
    std::vector<ControlId> expected;
    const auto& table = layoutTable();
    for (auto it = table.rbegin(); it != table.rend(); ++it) {
        if (it->kind == ControlKind::Shape || it->kind == ControlKind::Line ||
            it->kind == ControlKind::Label) {
            expected.push_back(it->id);
        }
    }
    std::vector<ControlId> drawn;
    for (const DrawItem& item : items) drawn.push_back(item.control);
    EXPECT_EQ(drawn, expected);
    EXPECT_EQ(items.front().control, ControlId::Shape1) << "the panel lies behind everything";
}

struct ShapeCase {
    const char* name;
    ControlId control;
    Primitive primitive;
    SceneRect box;
    Paint fill;
    Paint outline;
    int outlineWidth;
};

class SceneShape : public ::testing::TestWithParam<ShapeCase> {};

// The toolkit's defaults come out as the system colours a Windows window uses for them.
TEST_P(SceneShape, HasItsFormBoxAndColours) {
    const ShapeCase& c = GetParam();
    const std::vector<DrawItem> items = scene(WindowPicture());
    const DrawItem* item = findItem(items, c.control);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->primitive, c.primitive);
    EXPECT_EQ(item->box, c.box);
    EXPECT_EQ(item->fill.kind, c.fill.kind);
    EXPECT_EQ(item->fill.colour, c.fill.colour);
    EXPECT_EQ(item->outline.kind, c.outline.kind);
    EXPECT_EQ(item->outline.colour, c.outline.colour);
    EXPECT_EQ(item->outlineWidthPixels, c.outlineWidth);
}

INSTANTIATE_TEST_SUITE_P(Scene, SceneShape,
                         ::testing::Values(ShapeCase{"panel",
                                                     ControlId::Shape1,
                                                     Primitive::RoundedRectangle,
                                                     {120, 120, 2055, 4695},
                                                     Paint::of(kSysWindow),
                                                     Paint::of(kSysWindowText),
                                                     1},
                                           ShapeCase{"tube",
                                                     ControlId::Shape2,
                                                     Primitive::Rectangle,
                                                     {960, 360, 1215, 4215},
                                                     Paint::none(),
                                                     Paint::of(kSysActiveCaption),
                                                     3},
                                           ShapeCase{"bulb",
                                                     ControlId::Shape3,
                                                     Primitive::Ellipse,
                                                     {720, 3720, 1455, 4455},
                                                     Paint::of(0x0000FF),
                                                     Paint::of(kSysActiveCaption),
                                                     3},
                                           ShapeCase{"bar_at_130",
                                                     ControlId::Shape4,
                                                     Primitive::Rectangle,
                                                     {990, 480, 1200, 3880},
                                                     Paint::of(0x0000FF),
                                                     Paint::none(),
                                                     0},
                                           ShapeCase{"long_tick_at_0",
                                                     ControlId::Line1,
                                                     Primitive::Line,
                                                     {1200, 3075, 1380, 3075},
                                                     Paint::none(),
                                                     Paint::of(kSysWindowText),
                                                     1},
                                           ShapeCase{"short_tick_at_130",
                                                     ControlId::Line5,
                                                     Primitive::Line,
                                                     {1200, 480, 1320, 480},
                                                     Paint::none(),
                                                     Paint::of(kSysWindowText),
                                                     1},
                                           ShapeCase{"scale_number_on_selected_text_ground",
                                                     ControlId::Label8,
                                                     Primitive::Text,
                                                     {1440, 360, 1815, 615},
                                                     Paint::of(kSysHighlightText),
                                                     Paint::none(),
                                                     0},
                                           ShapeCase{"readout_on_the_panel",
                                                     ControlId::Label5,
                                                     Primitive::Text,
                                                     {2040, 120, 3135, 615},
                                                     Paint::none(),
                                                     Paint::none(),
                                                     0},
                                           ShapeCase{"fahrenheit_on_the_windows_ground",
                                                     ControlId::Label10,
                                                     Primitive::Text,
                                                     {2160, 720, 3135, 1095},
                                                     Paint::of(kSysButtonFace),
                                                     Paint::none(),
                                                     0}),
                         rowName);

TEST(Scene, TextsCarryTheirFontAlignmentAndColour) {
    const std::vector<DrawItem> items = scene(WindowPicture());
    const DrawItem* celsius = findItem(items, ControlId::Label5);
    EXPECT_EQ(celsius->font.family, "Arial");
    EXPECT_EQ(celsius->font.points, 18.0F);
    EXPECT_EQ(celsius->alignment, TextAlignment::Right);
    EXPECT_EQ(celsius->textColour.colour, 0x0000C0U);
    const DrawItem* scaleNumber = findItem(items, ControlId::Label4);
    EXPECT_EQ(scaleNumber->text, "0");
    EXPECT_TRUE(scaleNumber->font.family.empty()) << "the window's default font";
    EXPECT_EQ(scaleNumber->textColour.colour, kSysButtonText);
}

struct NoBar {
    const char* name;
    float height;
    float top;
};

class SceneWithoutBar : public ::testing::TestWithParam<NoBar> {};

// One rule for both: the scene leaves the bar out exactly where its pixels are empty.
TEST_P(SceneWithoutBar, LeavesTheBarOut) {
    WindowPicture picture;
    picture.bar = {GetParam().height, GetParam().top};
    const auto items = scene(picture);
    EXPECT_EQ(findItem(items, ControlId::Shape4), nullptr);
    EXPECT_EQ(barPixelRect(GetParam().height, GetParam().top).height, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Scene, SceneWithoutBar,
    ::testing::Values(NoBar{"zero_height", 0.0F, 1000.0F}, NoBar{"negative_height", -5.0F, 1000.0F},
                      NoBar{"height_not_a_number", std::nanf(""), 1000.0F},
                      NoBar{"infinite_foot", std::numeric_limits<float>::infinity(), 1000.0F}),
    rowName);

// Edges are rounded on their own, so the bar's foot stays on its row whatever the top.
TEST(Scene, BoxesBecomePixelsByTheirRoundedEdges) {
    EXPECT_EQ(toDevice(SceneRect{990, 1996.3851, 1200, 3880}, 96), (PixelRect{66, 133, 14, 126}));
    EXPECT_EQ(toDevice(SceneRect{990, 1996.3851, 1200, 3880}, 192), (PixelRect{132, 266, 28, 251}));
}

}  // namespace
}  // namespace thermo::testing
