// The Qt window as built against the layout table.
#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/row_name.h"
#include "tests/window/qt/qt_window_support.h"

namespace thermo::testing {
namespace {

using thermo::PrintTo;

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

INSTANTIATE_TEST_SUITE_P(Window, BuiltControl, ::testing::ValuesIn(widgetControls()), rowName);

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
    rowName);

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
