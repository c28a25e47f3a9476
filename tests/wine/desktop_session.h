#pragma once

// The Windows program on a Linux desktop, for the tests that look at it from outside: a private
// Xvfb display, the program under wine (optionally inside the simulated thermometer's
// namespace), and the X tools that find its window, photograph it and click it.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/session/process.h"

namespace thermo::desktop {

using e2e::Clock;
using e2e::Process;
using e2e::RunResult;
using e2e::Spawn;
using std::chrono::milliseconds;
using thermo::testing::pollUntil;

// Runs a command to its end (at most `timeout`) in a process group of its own.
RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {},
              milliseconds timeout = milliseconds(150'000));

// An Xvfb server on a display of its own.
class XServer {
  public:
    // Throws std::runtime_error when Xvfb does not start.
    explicit XServer(const std::filesystem::path& dir);
    const std::string& display() const { return display_; }

  private:
    std::string display_;
    std::optional<Process> server_;
};

struct Rgb {
    int r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};
std::string describe(const Rgb& colour);

struct Image {
    int width = 0;
    int height = 0;
    std::vector<Rgb> pixels;
    Rgb at(int x, int y) const { return pixels[static_cast<std::size_t>(y * width + x)]; }
    // Pixels of exactly `colour` in the rectangle [x0, x1) × [y0, y1).
    int count(const Rgb& colour, int x0, int y0, int x1, int y1) const;
};

struct WindowGeometry {
    int x = 0, y = 0, width = 0, height = 0;  // absolute, of the X window wine maps the client to
};

// The X side of one display.
class Screen {
  public:
    explicit Screen(std::string display) : display_(std::move(display)) {}

    // The window titled exactly `title`, once it is mapped.
    std::optional<std::string> findWindow(const std::string& title) const;
    std::optional<WindowGeometry> geometry(const std::string& window) const;
    std::optional<Image> grab(const std::string& window) const;
    void click(const std::string& window, int x, int y) const;
    void key(const std::string& keys) const;

  private:
    std::vector<std::string> env() const { return {"DISPLAY=" + display_}; }
    std::string display_;
};

}  // namespace thermo::desktop
