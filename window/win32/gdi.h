#pragma once

// Owners for the GDI and theme objects the window paints with.

#include "os/windows/windows.h"
// After <windows.h>, which it needs.
#include <uxtheme.h>

#include <memory>
#include <type_traits>

#include "os/windows/text.h"

namespace thermo::win32 {

struct GdiObjectDeleter {
    void operator()(HGDIOBJ object) const { DeleteObject(object); }
};
template <typename Handle>
using GdiObject = std::unique_ptr<std::remove_pointer_t<Handle>, GdiObjectDeleter>;
using Brush = GdiObject<HBRUSH>;
using Pen = GdiObject<HPEN>;
using Font = GdiObject<HFONT>;
using Bitmap = GdiObject<HBITMAP>;

struct ThemeDeleter {
    void operator()(HTHEME theme) const { CloseThemeData(theme); }
};
using Theme = std::unique_ptr<std::remove_pointer_t<HTHEME>, ThemeDeleter>;

struct DcDeleter {
    void operator()(HDC dc) const { DeleteDC(dc); }
};
using MemoryDc = std::unique_ptr<std::remove_pointer_t<HDC>, DcDeleter>;

// Selects an object into a DC for the guard's life, then puts the previous one back (a GDI
// object must not be deleted while selected).
class Selection {
  public:
    Selection(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
    ~Selection() { SelectObject(dc_, previous_); }
    Selection(const Selection&) = delete;
    Selection& operator=(const Selection&) = delete;

  private:
    HDC dc_;
    HGDIOBJ previous_;
};

// The window's texts are UTF-8; Windows takes UTF-16.
using os::narrow;
using os::widen;

}  // namespace thermo::win32
