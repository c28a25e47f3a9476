#pragma once

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QPalette>
#include <QTest>
#include <memory>
#include <ostream>

#include "tests/support/wait_until.h"
#include "tests/window/layout_support.h"
#include "window/layout.h"
#include "window/qt/qt_form1_window.h"
#include "window/scale_geometry.h"

inline void PrintTo(const QColor& c, std::ostream* os) { *os << c.name().toStdString(); }

namespace thermo::testing {

// A palette whose roles all differ from each other and from the window's own red, blue, dark red
// and green, so that a pixel tells which role (or colour) painted it.
inline QPalette distinctPalette() {
    QPalette p;
    p.setColor(QPalette::Window, QColor(0xD0, 0xD4, 0xD8));
    p.setColor(QPalette::WindowText, QColor(0x10, 0x18, 0x20));
    p.setColor(QPalette::Base, QColor(0xF4, 0xF0, 0xE0));
    p.setColor(QPalette::Text, QColor(0x20, 0x10, 0x08));
    p.setColor(QPalette::Highlight, QColor(0x30, 0x60, 0xA0));
    p.setColor(QPalette::HighlightedText, QColor(0xE8, 0xFF, 0xE8));
    p.setColor(QPalette::Button, QColor(0xC8, 0xC8, 0xC0));
    p.setColor(QPalette::ButtonText, QColor(0x08, 0x08, 0x08));
    return p;
}

// A window on screen (offscreen platform in the tests), with the distinct palette or another.
inline std::unique_ptr<QtForm1Window> shownWindow(const QPalette& palette = distinctPalette()) {
    auto window = std::make_unique<QtForm1Window>();
    window->setPalette(palette);
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get())) << "the window was never exposed";
    return window;
}

inline QImage rendered(QtForm1Window& window) {
    return window.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

inline QColor pixelAt(const QImage& image, int x, int y) { return QColor(image.pixel(x, y)); }

inline const QColor kRed(255, 0, 0);

// Handles the window's events until `condition` holds; false if it still does not after a
// generous deadline.
template <typename Condition>
bool waitUntil(Condition condition) {
    return QTest::qWaitFor(condition, static_cast<int>(kPatience.count()));
}

}  // namespace thermo::testing
