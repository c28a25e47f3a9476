// Pixels of the rendered window: its rendering of the scene, the bar as it moves and scales, and
// the colours of the texts in any palette.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QStyle>
#include <algorithm>
#include <map>
#include <string>

#include "tests/support/row_name.h"
#include "tests/window/qt/qt_window_support.h"
#include "window/contrast.h"
#include "window/qt/qt_palette.h"
#include "window/scale_geometry.h"

namespace thermo::testing {
namespace {

using thermo::PrintTo;

constexpr int kBarLeft = 990 / 15;    // 66
constexpr int kBarRight = 1200 / 15;  // 80, one past the last column
const int kFootRow = expectedPixels(3880);

std::string at(int x, int y) { return "(" + std::to_string(x) + "," + std::to_string(y) + ")"; }

// The one check that this renderer turns the scene into the pixels it describes (where each
// item lies is checked on the scene itself): the window as laid out, bar at 130 degrees.
TEST(ScenePixels, ShowEachItemWhereItLiesBackToFront) {
    const auto window = shownWindow();
    const QImage image = rendered(*window);
    const QPalette palette = distinctPalette();
    const QColor panel = palette.color(QPalette::Base);
    const QColor outline = palette.color(QPalette::Highlight);
    const QColor ink = palette.color(QPalette::WindowText);
    // The bar: red from its top row to the foot, nothing painted over it; above it the tube's
    // inside shows the panel.
    const int top = expectedPixels(480);
    int wrong = 0;
    for (int y = top; y < kFootRow; ++y) {
        for (int x = kBarLeft; x < kBarRight; ++x) {
            if (pixelAt(image, x, y) != kRed && ++wrong <= 5) ADD_FAILURE() << "bar " << at(x, y);
        }
    }
    EXPECT_EQ(wrong, 0);
    for (int x = kBarLeft + 1; x < kBarRight - 1; ++x) EXPECT_EQ(pixelAt(image, x, top - 1), panel);
    // A tick is one row of the text colour right of the tube, long ones reaching further; a
    // line's end point is not drawn.
    for (const ControlSpec& line : ticks()) {
        const int row = line.line.y1 / 15;
        for (int x : {84, 87}) EXPECT_EQ(pixelAt(image, x, row), ink) << line.name;
        EXPECT_EQ(pixelAt(image, 84, row - 1), panel) << line.name;
        EXPECT_EQ(pixelAt(image, 84, row + 1), panel) << line.name;
        EXPECT_EQ(pixelAt(image, 90, row), line.line.x2 == 1380 ? ink : panel) << line.name;
        EXPECT_EQ(pixelAt(image, 92, row), panel) << line.name;
    }
    // The bulb: a red disc in columns 48..96 and rows 248..296, its outline over the tube's foot.
    for (const QPoint p : {QPoint(72, 272), QPoint(72, 290), QPoint(64, 275), QPoint(72, 285)}) {
        EXPECT_EQ(pixelAt(image, p.x(), p.y()), kRed) << "bulb " << at(p.x(), p.y());
    }
    for (const QPoint p : {QPoint(48, 272), QPoint(96, 272), QPoint(72, 296)}) {
        EXPECT_EQ(pixelAt(image, p.x(), p.y()), outline) << "bulb " << at(p.x(), p.y());
    }
    EXPECT_EQ(pixelAt(image, 44, 272), panel);
    EXPECT_EQ(pixelAt(image, 52, 252), panel) << "a circle, not a square";
    // The tube: columns 64..80, rows 24..280, a transparent outline three pixels wide centred on
    // its edge.
    EXPECT_EQ(pixelAt(image, 62, 100), panel);
    for (int x : {63, 64, 65}) EXPECT_EQ(pixelAt(image, x, 100), outline) << at(x, 100);
    for (int x : {79, 80, 81}) EXPECT_EQ(pixelAt(image, x, 28), outline) << at(x, 28);
    EXPECT_EQ(pixelAt(image, 82, 28), panel);
    for (int x : {66, 72, 78}) EXPECT_EQ(pixelAt(image, x, 28), panel) << "inside " << at(x, 28);
    for (int row : {23, 24, 25}) EXPECT_EQ(pixelAt(image, 72, row), outline) << at(72, row);
    EXPECT_EQ(pixelAt(image, 72, 22), panel);
    // The panel lies behind everything on it; outside it, the window's own background.
    EXPECT_EQ(pixelAt(image, 30, 150), panel) << "panel fill";
    // Scale numbers "130" and "-20" stand on their own background (system colour 14).
    for (const char* name : {"Label8", "Label2"}) {
        const QRect r = window->findChild<QLabel*>(name)->geometry();
        EXPECT_EQ(pixelAt(image, r.right(), r.bottom()), palette.color(QPalette::HighlightedText))
            << name;
        bool inked = false;
        for (int y = r.top(); y <= r.bottom(); ++y) {
            for (int x = r.left(); x <= r.right(); ++x)
                inked = inked || pixelAt(image, x, y) == ink;
        }
        EXPECT_TRUE(inked) << name << "'s text is hidden";
    }
    EXPECT_EQ(pixelAt(image, 250, 310), palette.color(QPalette::Window));
    EXPECT_EQ(pixelAt(image, 3, 3), palette.color(QPalette::Window));
}

TEST(BarPixels, MoveWhenTheBarIsSetAgain) {
    const auto window = shownWindow();
    window->setBarHeight(20 * 100 + 800);
    window->setBarTop(3080 - 20 * 100);
    (void)rendered(*window);
    window->setBarHeight(20 * 0 + 800);
    window->setBarTop(3080 - 20 * 0);
    const QImage image = rendered(*window);
    EXPECT_NE(pixelAt(image, 72, 150), kRed) << "the old bar was left behind";
    EXPECT_EQ(pixelAt(image, 72, 210), kRed);
}

// At a device-pixel ratio of 2 the window is 520 x 642 device pixels and the bar still starts
// and ends on whole pixels: twice the logical rows and columns, no blurred edge.
TEST(BarPixels, ScaleExactlyAtTwiceTheDevicePixelRatio) {
    const auto window = shownWindow();
    window->setBarHeight(20 * 100 + 800);
    window->setBarTop(3080 - 20 * 100);
    QImage image(QSize(520, 642), QImage::Format_RGB32);
    image.setDevicePixelRatio(2.0);
    image.fill(Qt::black);
    window->render(&image);
    const int top = 2 * expectedPixels(1080);
    for (int x = 2 * kBarLeft; x < 2 * kBarRight; ++x) {
        EXPECT_EQ(QColor(image.pixel(x, top)), kRed) << at(x, top);
        EXPECT_EQ(QColor(image.pixel(x, 2 * kFootRow - 1)), kRed) << at(x, 2 * kFootRow - 1);
        EXPECT_NE(QColor(image.pixel(x, top - 1)), kRed) << at(x, top - 1);
    }
    // Down to the bulb, whose red would hide a bar too wide.
    for (int y = top; y < 2 * 247; y += 7) {
        EXPECT_EQ(QColor(image.pixel(2 * kBarLeft, y)), kRed) << at(2 * kBarLeft, y);
        EXPECT_NE(QColor(image.pixel(2 * kBarLeft - 1, y)), kRed) << at(2 * kBarLeft - 1, y);
    }
}

struct TextColour {
    const char* name;
    ControlId label;
    const char* caption;
    ColourValue colour;  // 0: as laid out
    QColor expected;
};

class TextPixels : public ::testing::TestWithParam<TextColour> {};

// 0x00BBGGRR: red is the low byte. The strokes of the text carry the colour itself.
TEST_P(TextPixels, CarryTheLabelsColour) {
    const auto window = shownWindow();
    const TextColour& c = GetParam();
    window->setCaption(c.label, c.caption);
    if (c.colour != 0) window->setTextColour(c.label, c.colour);
    const QImage image = rendered(*window);
    const QRect r =
        window->findChild<QLabel*>(QString::fromUtf8(controlSpec(c.label).name.data()))->geometry();
    int hits = 0;
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) hits += pixelAt(image, x, y) == c.expected;
    }
    EXPECT_GE(hits, 10);
}

INSTANTIATE_TEST_SUITE_P(
    Render, TextPixels,
    ::testing::Values(
        TextColour{"celsius_dark_red", ControlId::Label5, "130.0", 0, {192, 0, 0}},
        TextColour{"celsius_unit_dark_red", ControlId::Label3, " \302\260C", 0, {192, 0, 0}},
        TextColour{"fahrenheit_blue", ControlId::Label10, "266.0", 0, {0, 0, 255}},
        TextColour{"status_red", ControlId::Label1, "DEVICE NOT DETECTED", kStatusRed, {255, 0, 0}},
        TextColour{
            "status_green", ControlId::Label1, "DEVICE DETECTED", kStatusGreen, {0, 128, 0}}),
    rowName);

// "DEVICE NOT DETECTED" is too wide for one line: it must come out on two, both inside the label.
TEST(TextPixels, StatusLineWrapsOntoTwoLinesInsideTheLabel) {
    const auto window = shownWindow();
    window->setCaption(ControlId::Label1, "DEVICE NOT DETECTED");
    window->setTextColour(ControlId::Label1, kStatusRed);
    const QImage image = rendered(*window);
    const QRect r = window->findChild<QLabel*>("Label1")->geometry();
    std::set<int> inkRows;
    for (int y = r.top() - 3; y <= r.bottom() + 3; ++y) {
        for (int x = r.left() - 3; x <= r.right() + 3; ++x) {
            if (pixelAt(image, x, y) == kRed) {
                EXPECT_TRUE(r.contains(x, y)) << "text outside the label at " << at(x, y);
                inkRows.insert(y);
            }
        }
    }
    ASSERT_FALSE(inkRows.empty());
    // Two lines: a gap of rows without ink between two runs of rows with ink.
    int runs = 0;
    int previous = -10;
    for (int y : inkRows) {
        if (y != previous + 1) ++runs;
        previous = y;
    }
    EXPECT_EQ(runs, 2);
}

// --- Every text on what it is drawn on, in a light and in a dark palette ------------------------

struct TextOnGround {
    QColor ink;     // of all the text's pixels, the one standing out most from the ground
    QColor ground;  // the colour most of the control's inside shows
    double contrast() const { return contrastRatio(toColourValue(ink), toColourValue(ground)); }
};

// Inside `inset` pixels from the control's edges, clear of outlines and bevels around it.
TextOnGround textOnGround(const QImage& image, const QWidget& control, int inset) {
    const QRect r = QRect(control.mapTo(control.window(), QPoint(0, 0)), control.size())
                        .adjusted(inset, inset, -inset, -inset);
    std::map<QRgb, int> counts;
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) ++counts[image.pixel(x, y)];
    }
    TextOnGround seen;
    int most = 0;
    for (const auto& [rgb, count] : counts) {
        if (count > most) {
            most = count;
            seen.ground = QColor(rgb);
        }
    }
    seen.ink = seen.ground;
    for (const auto& [rgb, count] : counts) {
        if (TextOnGround{QColor(rgb), seen.ground}.contrast() > seen.contrast()) {
            seen.ink = QColor(rgb);
        }
    }
    return seen;
}

// Anti-aliased text blends its colour into the ground: every channel lies between the two. A
// small glyph may have no pixel of the text colour itself.
bool blendOf(const QColor& seen, const QColor& text, const QColor& ground) {
    const auto within = [](int value, int a, int b) {
        return std::min(a, b) - 1 <= value && value <= std::max(a, b) + 1;
    };
    return within(seen.red(), text.red(), ground.red()) &&
           within(seen.green(), text.green(), ground.green()) &&
           within(seen.blue(), text.blue(), ground.blue());
}

struct PaletteCase {
    const char* name;
    QPalette (*palette)();
};

// The light palette the style gives by default; the dark one with selected text as light as the
// normal text (white on white for the scale's end numbers until they take care), and a dark one
// whose selected text is dark.
QPalette styleDefault() { return QApplication::style()->standardPalette(); }
QPalette darkWithDarkSelectedText() {
    QPalette p = darkPalette();
    p.setColor(QPalette::HighlightedText, QColor(0x10, 0x10, 0x10));
    return p;
}

class TextsInPalette : public ::testing::TestWithParam<PaletteCase> {
  protected:
    // Renders the window with the status line in `status` and checks each text: in a light
    // palette it keeps the colour it is given, in a dark one it reads at 4.5:1 or more.
    void checkTexts(const char* caption, ColourValue status) {
        const QPalette palette = GetParam().palette();
        const bool dark = isDarkScheme(toColourValue(palette.color(QPalette::Window)),
                                       toColourValue(palette.color(QPalette::WindowText)));
        const auto window = shownWindow(palette);
        window->setCaption(ControlId::Label1, caption);
        window->setTextColour(ControlId::Label1, status);
        const QImage image = rendered(*window);
        for (const ControlSpec& c : layoutTable()) {
            if (c.kind != ControlKind::Label && c.kind != ControlKind::PushButton) continue;
            const auto* control =
                window->findChild<QWidget*>(QString::fromUtf8(c.name.data(), c.name.size()));
            const TextOnGround seen =
                textOnGround(image, *control, c.kind == ControlKind::Label ? 2 : 4);
            RecordProperty(std::string(c.name) + "_contrast", std::to_string(seen.contrast()));
            if (dark) {
                EXPECT_GE(seen.contrast(), kMinimumTextContrast)
                    << c.name << ": " << seen.ink.name().toStdString() << " on "
                    << seen.ground.name().toStdString();
            } else if (c.kind == ControlKind::Label) {
                const Paint given = c.id == ControlId::Label1 ? Paint::of(status) : c.textColour;
                const QColor expected = given.kind == Paint::Kind::Colour
                                            ? toQColor(given.colour, palette)
                                            : palette.color(QPalette::WindowText);
                EXPECT_TRUE(blendOf(seen.ink, expected, seen.ground))
                    << c.name << ": " << seen.ink.name().toStdString() << " is no blend of "
                    << expected.name().toStdString() << " and the ground "
                    << seen.ground.name().toStdString();
            }
        }
    }
};

TEST_P(TextsInPalette, ReadWithTheStatusLineRed) { checkTexts("DEVICE NOT DETECTED", kStatusRed); }

TEST_P(TextsInPalette, ReadWithTheStatusLineGreen) { checkTexts("DEVICE DETECTED", kStatusGreen); }

// A window that is already open follows the user's switch to a dark palette and back.
TEST(TextsInPalette, FollowASwitchOfPaletteWhileTheWindowIsOpen) {
    const auto window = shownWindow(styleDefault());
    const auto* top = window->findChild<QLabel*>("Label8");
    const TextOnGround light = textOnGround(rendered(*window), *top, 2);
    window->setPalette(darkPalette());
    EXPECT_GE(textOnGround(rendered(*window), *top, 2).contrast(), kMinimumTextContrast);
    window->setPalette(styleDefault());
    const TextOnGround again = textOnGround(rendered(*window), *top, 2);
    EXPECT_EQ(again.ink, light.ink);
    EXPECT_EQ(again.ground, light.ground);
}

INSTANTIATE_TEST_SUITE_P(Render, TextsInPalette,
                         ::testing::Values(PaletteCase{"light_style_default", styleDefault},
                                           PaletteCase{"light_distinct", distinctPalette},
                                           PaletteCase{"dark", darkPalette},
                                           PaletteCase{"dark_with_dark_selected_text",
                                                       darkWithDarkSelectedText}),
                         rowName);

}  // namespace
}  // namespace thermo::testing
