#include "window/qt/qt_scene_painter.h"

#include <QPainter>
#include <QPainterPath>
#include <QPalette>

#include "window/qt/qt_palette.h"

namespace thermo {

namespace {

QRect toQRect(const PixelRect& r) { return {r.left, r.top, r.width, r.height}; }

QBrush brushOf(const Paint& paint, const QPalette& palette) {
    if (paint.kind == Paint::Kind::None) return Qt::NoBrush;
    return toQColor(paint.colour, palette);
}

void paintRectangleOutline(QPainter& painter, const PixelRect& r, int width, const QColor& colour) {
    const OutlineBand band = outlineBand(r, width);
    QPainterPath ring;
    ring.addRect(toQRect(band.outer));
    ring.addRect(toQRect(band.inner));
    painter.fillPath(ring, colour);  // odd-even fill: the band between the two
}

// A path through the centres of the border pixels, for the curved shapes.
QRectF borderCentres(const QRect& r) { return QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5); }

void paintItem(QPainter& painter, const DrawItem& item, const QPalette& palette) {
    const PixelRect pixels = toDevice(item.box, kLayoutDpi);
    const QRect r = toQRect(pixels);
    const QBrush fill = brushOf(item.fill, palette);
    const bool outlined = item.outlineWidthPixels > 0;
    const QColor outline = outlined ? toQColor(item.outline.colour, palette) : QColor();
    switch (item.primitive) {
        case Primitive::Text:
            return;
        case Primitive::Line:
            painter.fillRect(QRect(r.left(), r.top(), r.width(), item.outlineWidthPixels), outline);
            return;
        case Primitive::Rectangle:
            if (r.isEmpty()) return;
            painter.setRenderHint(QPainter::Antialiasing, false);
            if (fill.style() != Qt::NoBrush) painter.fillRect(r, fill);
            if (outlined) paintRectangleOutline(painter, pixels, item.outlineWidthPixels, outline);
            return;
        case Primitive::Ellipse:
            if (r.isEmpty()) return;
            painter.setRenderHint(QPainter::Antialiasing, true);
            painter.setPen(Qt::NoPen);
            painter.setBrush(fill);
            painter.drawEllipse(QRectF(r));
            if (outlined) {
                painter.setPen(QPen(outline, item.outlineWidthPixels));
                painter.setBrush(Qt::NoBrush);
                painter.drawEllipse(borderCentres(r));
            }
            return;
        case Primitive::RoundedRectangle: {
            if (r.isEmpty()) return;
            const double radius = twipsToPixels(item.cornerRadiusTwips);
            painter.setRenderHint(QPainter::Antialiasing, true);
            painter.setPen(outlined ? QPen(outline, item.outlineWidthPixels) : QPen(Qt::NoPen));
            painter.setBrush(fill);
            painter.drawRoundedRect(borderCentres(r), radius, radius);
            return;
        }
    }
}

}  // namespace

void paintScene(QPainter& painter, const std::vector<DrawItem>& items, const QPalette& palette) {
    for (const DrawItem& item : items) {
        painter.save();
        paintItem(painter, item, palette);
        painter.restore();
    }
}

}  // namespace thermo
