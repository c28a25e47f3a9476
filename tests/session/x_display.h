#pragma once

// The X side of a desktop session: a connection to its private Xvfb server (process.h) that
// photographs windows and asks them to close the way a window manager does.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/session/process.h"
#include "window/scale_geometry.h"

struct xcb_connection_t;

namespace thermo::e2e {

struct Rgb {
    int r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

struct Image {
    int width = 0;
    int height = 0;
    std::vector<Rgb> pixels;  // row by row

    Rgb at(int x, int y) const { return pixels[static_cast<std::size_t>(y * width + x)]; }
    Image crop(const PixelRect& r) const;
    friend bool operator==(const Image&, const Image&) = default;
};

using WindowId = std::uint32_t;

class XConnection {
  public:
    // Throws std::runtime_error when the display cannot be opened.
    explicit XConnection(const std::string& display);
    ~XConnection();
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    // The window's contents as the server holds them now; no value once it is gone.
    std::optional<Image> grab(WindowId window);

    // Sends WM_DELETE_WINDOW, as a window manager does when the user clicks the close button.
    void requestClose(WindowId window);

  private:
    std::uint32_t atom(const char* name);

    xcb_connection_t* connection_ = nullptr;
};

}  // namespace thermo::e2e
