#pragma once

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "window/scene.h"
#include "window/win32/gdi.h"

namespace thermo::win32 {

// The user's message font, and a font of its own for each label that names one, at one dpi.
class WindowFonts {
  public:
    WindowFonts() = default;
    explicit WindowFonts(int dpi);

    HFONT defaultFont() const { return default_.get(); }
    HFONT fontFor(ControlId id) const;

  private:
    Font default_;
    std::array<Font, kControlCount> own_{};
};

// The dpi of the main screen.
int screenDpi();

// A size given in pixels at 96 dpi, at `dpi`; never below one pixel.
inline int scaled(int pixelsAt96Dpi, int dpi) {
    return std::max(1, MulDiv(pixelsAt96Dpi, dpi, 96));
}

void fill(HDC dc, const RECT& r, COLORREF colour);

// A direct colour (0x00BBGGRR is a COLORREF) or the user's system colour.
COLORREF colourOf(ColourValue colour);

// Renders the scene, back to front, in the pixels of `dpi`. The DC's background mode must be
// TRANSPARENT, so that a text without a background of its own shows what lies behind it.
void paintScene(HDC dc, const std::vector<DrawItem>& items, int dpi, const WindowFonts& fonts);

// The look of a group box: its edge, with the top through the middle of the caption, which
// stands on the window's background. With visual styles (`theme` not null), the user's theme's.
void paintGroupBox(HDC dc, const PixelRect& r, const std::wstring& caption, HFONT font,
                   HTHEME theme, int dpi);

// Calls `paint` on a memory DC for `area` of `dc`, then copies the result in at once.
void paintOffScreen(HDC dc, const RECT& area, const std::function<void(HDC)>& paint);

}  // namespace thermo::win32
