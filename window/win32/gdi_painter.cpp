#include "window/win32/gdi_painter.h"

#include <vssym32.h>

#include <algorithm>
#include <cstddef>
#include <string>

namespace thermo::win32 {

namespace {

// A frame's caption starts this far right of the frame's left edge.
constexpr int kCaptionIndentAt96Dpi = 8;

RECT toRect(const PixelRect& r) { return {r.left, r.top, r.right(), r.bottom()}; }

UINT textFormat(TextAlignment alignment) {
    switch (alignment) {
        case TextAlignment::Right:
            return DT_RIGHT;
        case TextAlignment::Centre:
            return DT_CENTER;
        case TextAlignment::Left:
            break;
    }
    return DT_LEFT;
}

// The band as four strips: above, below, left and right of the inner rectangle.
void rectangleOutline(HDC dc, const PixelRect& r, int width, COLORREF colour) {
    const auto [outer, inner] = outlineBand(r, width);
    fill(dc, {outer.left, outer.top, outer.right(), inner.top}, colour);
    fill(dc, {outer.left, inner.bottom(), outer.right(), outer.bottom()}, colour);
    fill(dc, {outer.left, inner.top, inner.left, inner.bottom()}, colour);
    fill(dc, {inner.right(), inner.top, outer.right(), inner.bottom()}, colour);
}

void paintText(HDC dc, const DrawItem& item, const RECT& r, const WindowFonts& fonts) {
    if (item.fill.kind != Paint::Kind::None) fill(dc, r, colourOf(item.fill.colour));
    const std::wstring text = widen(item.text);
    if (text.empty()) return;
    Selection font(dc, fonts.fontFor(item.control));
    SetTextColor(dc, colourOf(item.textColour.colour));
    RECT box = r;
    // Wraps at spaces onto further lines; what does not fit is cut off at the label's edges.
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &box,
              DT_WORDBREAK | DT_NOPREFIX | textFormat(item.alignment));
}

// Ellipses and rounded rectangles, with GDI's own outline: a pen centred on the edge.
void paintCurved(HDC dc, const DrawItem& item, const PixelRect& r, int dpi) {
    const bool filled = item.fill.kind != Paint::Kind::None;
    const bool outlined = item.outlineWidthPixels > 0;
    Brush brush(filled ? CreateSolidBrush(colourOf(item.fill.colour)) : nullptr);
    Pen pen(outlined ? CreatePen(PS_SOLID, scaled(item.outlineWidthPixels, dpi),
                                 colourOf(item.outline.colour))
                     : nullptr);
    Selection brushSelected(
        dc, filled ? static_cast<HGDIOBJ>(brush.get()) : GetStockObject(NULL_BRUSH));
    Selection penSelected(dc,
                          outlined ? static_cast<HGDIOBJ>(pen.get()) : GetStockObject(NULL_PEN));
    if (item.primitive == Primitive::Ellipse) {
        Ellipse(dc, r.left, r.top, r.right(), r.bottom());
    } else {
        const int corner = 2 * twipsToDevice(item.cornerRadiusTwips, dpi);
        RoundRect(dc, r.left, r.top, r.right(), r.bottom(), corner, corner);
    }
}

void paintItem(HDC dc, const DrawItem& item, int dpi, const WindowFonts& fonts) {
    const PixelRect r = toDevice(item.box, dpi);
    switch (item.primitive) {
        case Primitive::Text:
            paintText(dc, item, toRect(r), fonts);
            return;
        case Primitive::Line:
            fill(dc, {r.left, r.top, r.right(), r.top + scaled(item.outlineWidthPixels, dpi)},
                 colourOf(item.outline.colour));
            return;
        case Primitive::Rectangle:
            if (r.width <= 0 || r.height <= 0) return;
            if (item.fill.kind != Paint::Kind::None)
                fill(dc, toRect(r), colourOf(item.fill.colour));
            if (item.outlineWidthPixels > 0) {
                rectangleOutline(dc, r, scaled(item.outlineWidthPixels, dpi),
                                 colourOf(item.outline.colour));
            }
            return;
        case Primitive::Ellipse:
        case Primitive::RoundedRectangle:
            if (r.width > 0 && r.height > 0) paintCurved(dc, item, r, dpi);
            return;
    }
}

}  // namespace

WindowFonts::WindowFonts(int dpi) {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    LOGFONTW base{};
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
        base = metrics.lfMessageFont;
        // Given for the main screen's dpi; the window may stand on a monitor of another.
        base.lfHeight = MulDiv(base.lfHeight, dpi, screenDpi());
    } else {
        GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof(base), &base);
    }
    const int largest = scaled(kLargestDefaultFontPixels, dpi);
    if (base.lfHeight < -largest || base.lfHeight > largest) base.lfHeight = -largest;
    default_.reset(CreateFontIndirectW(&base));

    for (const ControlSpec& laidOut : layoutTable()) {
        if (laidOut.font.family.empty()) continue;
        const std::wstring family = widen(laidOut.font.family);
        // A negative height asks for the character height, which is what a point size means.
        own_[static_cast<std::size_t>(laidOut.id)].reset(
            CreateFontW(-pointsToDevice(laidOut.font.points, dpi), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                        FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                        DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, family.c_str()));
    }
}

HFONT WindowFonts::fontFor(ControlId id) const {
    const Font& own = own_[static_cast<std::size_t>(id)];
    return own ? own.get() : default_.get();
}

int screenDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

void fill(HDC dc, const RECT& r, COLORREF colour) {
    Brush brush(CreateSolidBrush(colour));
    FillRect(dc, &r, brush.get());
}

COLORREF colourOf(ColourValue colour) {
    if (isSystemColour(colour)) return GetSysColor(systemColourIndex(colour));
    return static_cast<COLORREF>(colour);
}

void paintScene(HDC dc, const std::vector<DrawItem>& items, int dpi, const WindowFonts& fonts) {
    for (const DrawItem& item : items) paintItem(dc, item, dpi, fonts);
}

void paintGroupBox(HDC dc, const PixelRect& r, const std::wstring& caption, HFONT font,
                   HTHEME theme, int dpi) {
    Selection selected(dc, font);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    RECT edge{r.left, r.top + metrics.tmHeight / 2, r.right(), r.bottom()};
    COLORREF textColour = GetSysColor(COLOR_BTNTEXT);
    if (theme == nullptr ||
        FAILED(DrawThemeBackground(theme, dc, BP_GROUPBOX, GBS_NORMAL, &edge, nullptr))) {
        DrawEdge(dc, &edge, EDGE_ETCHED, BF_RECT);  // the classic look
    } else {
        COLORREF themed = 0;
        if (SUCCEEDED(GetThemeColor(theme, BP_GROUPBOX, GBS_NORMAL, TMT_TEXTCOLOR, &themed))) {
            textColour = themed;
        }
    }
    if (caption.empty()) return;
    RECT box{r.left + scaled(kCaptionIndentAt96Dpi, dpi), r.top, r.right(),
             r.top + metrics.tmHeight};
    DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &box,
              DT_SINGLELINE | DT_NOPREFIX | DT_CALCRECT);
    const int pad = scaled(2, dpi);
    fill(dc, {box.left - pad, box.top, box.right + pad, box.bottom}, GetSysColor(COLOR_BTNFACE));
    SetTextColor(dc, textColour);
    DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &box,
              DT_SINGLELINE | DT_NOPREFIX);
}

void paintOffScreen(HDC dc, const RECT& area, const std::function<void(HDC)>& paint) {
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    if (width <= 0 || height <= 0) return;
    MemoryDc memory(CreateCompatibleDC(dc));
    Bitmap bitmap(CreateCompatibleBitmap(dc, width, height));
    Selection selected(memory.get(), bitmap.get());
    SetViewportOrgEx(memory.get(), -area.left, -area.top, nullptr);
    paint(memory.get());
    SetViewportOrgEx(memory.get(), 0, 0, nullptr);
    BitBlt(dc, area.left, area.top, width, height, memory.get(), 0, 0, SRCCOPY);
}

}  // namespace thermo::win32
