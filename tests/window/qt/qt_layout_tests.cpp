// The layout table against the figures the window's description gives about it, and the Qt
// window as built against the table.
#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "tests/window/qt_window_support.h"
#include "window/layout.h"
#include "window/scale_geometry.h"

namespace thermo::testing {
namespace {

// The control's rectangle in client-area twips.
TwipsRect absoluteTwips(ControlId id) {
    TwipsRect r = controlSpec(id).rect;
    for (auto c = controlSpec(id).container; c; c = controlSpec(*c).container) {
        r.left += controlSpec(*c).rect.left;
        r.top += controlSpec(*c).rect.top;
    }
    return r;
}

bool drawn(const ControlSpec& c) { return c.kind != ControlKind::Timer; }
bool painted(const ControlSpec& c) {
    return c.kind == ControlKind::Shape || c.kind == ControlKind::Line;
}

struct Span {
    const char* name;
    friend void PrintTo(const Span& v, std::ostream* os) { *os << v.name; }
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
    [](const auto& info) { return std::string(info.param.name); });

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

std::vector<ControlSpec> ticks() {
    std::vector<ControlSpec> out;
    for (const ControlSpec& c : layoutTable()) {
        if (c.kind == ControlKind::Line) out.push_back(c);
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Layout, Tick, ::testing::ValuesIn(ticks()),
                         [](const auto& info) { return std::string(info.param.name); });

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

// --- The window as built -----------------------------------------------------------------------

std::vector<ControlSpec> widgetControls() {
    std::vector<ControlSpec> out;
    for (const ControlSpec& c : layoutTable()) {
        if (drawn(c) && !painted(c)) out.push_back(c);
    }
    return out;
}

class BuiltControl : public ::testing::TestWithParam<ControlSpec> {
  protected:
    void SetUp() override { window = shownWindow(); }
    std::unique_ptr<QtForm1Window> window;
};

TEST_P(BuiltControl, HasItsRectangleInPixelsInsideItsContainerAndTheClientArea) {
    const ControlSpec& c = GetParam();
    const auto* widget = window->findChild<QWidget*>(QString::fromUtf8(c.name.data()));
    ASSERT_NE(widget, nullptr) << c.name;

    const QRect expected(expectedPixels(c.rect.left), expectedPixels(c.rect.top),
                         expectedPixels(c.rect.right()) - expectedPixels(c.rect.left),
                         expectedPixels(c.rect.bottom()) - expectedPixels(c.rect.top));
    EXPECT_EQ(widget->geometry(), expected);

    const QWidget* container = widget->parentWidget();
    const QString containerName =
        c.container ? QString::fromUtf8(controlSpec(*c.container).name.data()) : QString();
    if (c.container) {
        ASSERT_EQ(container->objectName(), containerName);
    } else {
        ASSERT_EQ(container, window.get());
    }
    EXPECT_TRUE(QRect(QPoint(0, 0), container->size()).contains(widget->geometry()));
    const QRect inClient(widget->mapTo(window.get(), QPoint(0, 0)), widget->size());
    EXPECT_TRUE(QRect(0, 0, 260, 321).contains(inClient));
    EXPECT_TRUE(widget->isVisible());
}

INSTANTIATE_TEST_SUITE_P(Window, BuiltControl, ::testing::ValuesIn(widgetControls()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BuiltWindow, HasTheFixedClientSizeAndCaption) {
    const auto window = shownWindow();
    EXPECT_EQ(window->size(), QSize(260, 321));
    EXPECT_EQ(window->minimumSize(), QSize(260, 321));
    EXPECT_EQ(window->maximumSize(), QSize(260, 321));
    EXPECT_EQ(window->windowTitle(), QString("USB Thermometer"));
}

TEST(BuiltWindow, ShowsTheLaidOutReadoutsAndTheBarAtOneHundredThirtyUntilTheFirstTick) {
    const auto window = shownWindow();
    EXPECT_EQ(window->caption(ControlId::Label5), "130.0");
    EXPECT_EQ(window->caption(ControlId::Label3), " \302\260C");
    EXPECT_EQ(window->caption(ControlId::Label10), "266.0");
    EXPECT_EQ(window->caption(ControlId::Label11), " \302\260F");
    EXPECT_EQ(window->caption(ControlId::cmdOn), "START");
    EXPECT_EQ(window->caption(ControlId::Frame1), "Calibration");
    EXPECT_EQ(window->caption(ControlId::Label1), "");
    // Top 480, height 3400 twips: the 130 °C row down to the foot at 3880.
    EXPECT_EQ(window->barRect(), (PixelRect{66, 32, 14, expectedPixels(3880) - 32}));
}

TEST(BuiltWindow, FocusStartsOnStartAndTabGoesToZeroThenHundredThenBack) {
    const auto window = shownWindow();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    const auto* start = window->findChild<QPushButton*>("cmdOn");
    const auto* zero = window->findChild<QPushButton*>("Command2");
    const auto* hundred = window->findChild<QPushButton*>("Command3");
    EXPECT_TRUE(waitUntil([&] { return QApplication::focusWidget() == start; }));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), zero);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), hundred);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), start);
    for (const QLabel* label : window->findChildren<QLabel*>()) {
        EXPECT_EQ(label->focusPolicy(), Qt::NoFocus) << label->objectName().toStdString();
    }
    EXPECT_EQ(window->findChild<QGroupBox*>("Frame1")->focusPolicy(), Qt::NoFocus);
}

// --- Texts -------------------------------------------------------------------------------------

struct Text {
    const char* name;
    friend void PrintTo(const Text& v, std::ostream* os) { *os << v.name; }
    ControlId control;
    const char* caption;
};

class CaptionFits : public ::testing::TestWithParam<Text> {};

// Laid-out captions and the longest ones the program puts there at run time must show whole,
// wrapped at spaces where the control is a label.
TEST_P(CaptionFits, InsideItsControl) {
    const auto window = shownWindow();
    const Text& t = GetParam();
    window->setCaption(t.control, t.caption);
    const auto* widget =
        window->findChild<QWidget*>(QString::fromUtf8(controlSpec(t.control).name.data()));
    ASSERT_NE(widget, nullptr);
    const QFontMetrics metrics(widget->font());
    const QString text = QString::fromUtf8(t.caption);
    if (const auto* label = qobject_cast<const QLabel*>(widget)) {
        const QRect space = label->contentsRect();
        const QRect needed =
            metrics.boundingRect(space, int(label->alignment()) | Qt::TextWordWrap, text);
        EXPECT_TRUE(space.contains(needed))
            << "needs " << needed.width() << "x" << needed.height() << " at " << needed.x() << ","
            << needed.y() << " in " << space.width() << "x" << space.height();
        // Wrapping happens only at spaces: no word is wider than the label.
        for (const QString& word : text.split(' ', Qt::SkipEmptyParts)) {
            EXPECT_LE(metrics.horizontalAdvance(word), space.width()) << word.toStdString();
        }
    } else {
        EXPECT_LE(metrics.horizontalAdvance(text) + 4, widget->width());
        EXPECT_LE(metrics.height(), widget->height());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Window, CaptionFits,
    ::testing::Values(Text{"status_not_detected", ControlId::Label1, "DEVICE NOT DETECTED"},
                      Text{"status_detected", ControlId::Label1, "DEVICE DETECTED"},
                      Text{"start", ControlId::cmdOn, "START"},
                      Text{"stop", ControlId::cmdOn, "STOP"},
                      Text{"zero_button", ControlId::Command2, "0 \302\260C"},
                      Text{"hundred_button", ControlId::Command3, "100 \302\260C"},
                      Text{"celsius_laid_out", ControlId::Label5, "130.0"},
                      Text{"celsius_all_zero_report", ControlId::Label5, "194.6"},
                      Text{"celsius_all_ones_report", ControlId::Label5, "-75.7"},
                      Text{"celsius_unit", ControlId::Label3, " \302\260C"},
                      Text{"fahrenheit_laid_out", ControlId::Label10, "266.0"},
                      Text{"fahrenheit_all_zero_report", ControlId::Label10, "382.3"},
                      Text{"fahrenheit_all_ones_report", ControlId::Label10, "-104.2"},
                      Text{"fahrenheit_unit", ControlId::Label11, " \302\260F"},
                      Text{"scale_130", ControlId::Label8, "130"},
                      Text{"scale_minus_20", ControlId::Label2, "-20"},
                      Text{"scale_0", ControlId::Label4, "0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BuiltWindow, FrameTitleFitsTheFrame) {
    const auto window = shownWindow();
    const auto* frame = window->findChild<QGroupBox*>("Frame1");
    EXPECT_LE(QFontMetrics(frame->font()).horizontalAdvance(frame->title()), frame->width());
}

struct LabelLook {
    ControlId label;
    Qt::Alignment horizontal;
    int fontPixels;  // 0: the window's default font
    friend void PrintTo(const LabelLook& v, std::ostream* os) { *os << controlSpec(v.label).name; }
};

class LabelStyle : public ::testing::TestWithParam<LabelLook> {};

// Point sizes at 96 dpi: 18 pt is 24 pixels, 14.25 pt is 19.
TEST_P(LabelStyle, HasItsAlignmentAndFont) {
    const auto window = shownWindow();
    const LabelLook& look = GetParam();
    const auto* label =
        window->findChild<QLabel*>(QString::fromUtf8(controlSpec(look.label).name.data()));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->alignment() & Qt::AlignHorizontal_Mask, look.horizontal);
    EXPECT_TRUE(label->wordWrap());
    if (look.fontPixels == 0) {
        EXPECT_EQ(label->font(), window->font());
    } else {
        EXPECT_EQ(label->font().family(), QString("Arial"));
        EXPECT_EQ(label->font().pixelSize(), look.fontPixels);
        EXPECT_EQ(label->font().weight(), QFont::Normal);
        EXPECT_FALSE(label->font().italic());
    }
}

INSTANTIATE_TEST_SUITE_P(Window, LabelStyle,
                         ::testing::Values(LabelLook{ControlId::Label5, Qt::AlignRight, 24},
                                           LabelLook{ControlId::Label3, Qt::AlignLeft, 24},
                                           LabelLook{ControlId::Label10, Qt::AlignRight, 19},
                                           LabelLook{ControlId::Label11, Qt::AlignLeft, 19},
                                           LabelLook{ControlId::Label1, Qt::AlignHCenter, 0},
                                           LabelLook{ControlId::Label4, Qt::AlignLeft, 0},
                                           LabelLook{ControlId::Label2, Qt::AlignLeft, 0}));

// Where Arial itself is missing, the readouts must get a face with Arial's metrics, or their
// texts would not fit as laid out.
TEST(BuiltWindow, ReadoutFontResolvesToArialOrItsMetricCompatibleSubstitute) {
    const QStringList installed = QFontDatabase::families();
    if (!installed.contains("Arial") && !installed.contains("Liberation Sans")) {
        GTEST_SKIP() << "needs fonts-liberation (or Arial) installed, because the readouts are "
                        "laid out for Arial's metrics";
    }
    const auto window = shownWindow();
    for (const char* name : {"Label5", "Label3", "Label10", "Label11"}) {
        const QString family = QFontInfo(window->findChild<QLabel*>(name)->font()).family();
        EXPECT_TRUE(family == "Arial" || family == "Liberation Sans")
            << name << " got " << family.toStdString();
    }
}

}  // namespace
}  // namespace thermo::testing
