#include "tests/wine/desktop_session.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace thermo::desktop {

RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
              milliseconds timeout) {
    return e2e::run({.argv = argv, .env = extraEnv, .ownGroup = true}, timeout);
}

XServer::XServer(const std::filesystem::path& dir) {
    // A display number of its own choosing, well above those that servers started elsewhere
    // (in a chroot that does not see this machine's lock files, say) begin counting at: the
    // abstract X sockets are shared, so two servers on one number would catch each other's
    // clients. Xvfb writes the number to fd 3 once it accepts clients, or ends when the number
    // is taken.
    //
    // -noreset: by default the server resets whenever its last client leaves, and every X tool
    // these tests run (xdotool, xwininfo, import) is such a client. A wine process that connected
    // in that moment was turned away: wine's desktop then had no display driver, and the program
    // ended at once without a window (3 of 59 starts in a loop here; none of 160 with -noreset).
    const std::filesystem::path number = dir / "xvfb.display";
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int n = 100 + static_cast<int>((::getpid() + attempt * 37) % 800);
        const std::string display = ":" + std::to_string(n);
        std::filesystem::remove(number);
        server_.reset();
        server_.emplace(
            Spawn{.argv = {"sh", "-c",
                           "exec Xvfb \"$1\" -displayfd 3 -screen 0 800x600x24 -nolisten tcp "
                           "-noreset 3>\"$0\"",
                           number.string(), display},
                  .dir = dir,
                  .log = dir / "xvfb.log",
                  .ownGroup = true});
        bool ended = false;
        const bool up = pollUntil(
            [&] {
                std::ifstream in(number);
                std::string text;
                if (std::getline(in, text) && !text.empty()) return true;
                ended = server_->poll().has_value();
                return ended;
            },
            milliseconds(10000));
        if (up && !ended) {
            display_ = display;
            return;
        }
    }
    throw std::runtime_error("Xvfb did not start; see " + (dir / "xvfb.log").string());
}

std::string describe(const Rgb& c) {
    return "rgb(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) +
           ")";
}

int Image::count(const Rgb& colour, int x0, int y0, int x1, int y1) const {
    int n = 0;
    for (int y = std::max(0, y0); y < std::min(height, y1); ++y) {
        for (int x = std::max(0, x0); x < std::min(width, x1); ++x) n += at(x, y) == colour;
    }
    return n;
}

std::optional<std::string> Screen::findWindow(const std::string& title) const {
    const RunResult found =
        run({"xdotool", "search", "--onlyvisible", "--name", "^" + title + "$"}, env());
    std::istringstream lines(found.output);
    std::string id;
    if (found.status == 0 && std::getline(lines, id) && !id.empty()) return id;
    return std::nullopt;
}

std::optional<WindowGeometry> Screen::geometry(const std::string& window) const {
    const RunResult info = run({"xwininfo", "-id", window}, env());
    if (info.status != 0) return std::nullopt;
    auto field = [&](const char* name) -> std::optional<int> {
        const std::regex pattern(std::string(name) + ":\\s*(-?[0-9]+)");
        std::smatch match;
        if (!std::regex_search(info.output, match, pattern)) return std::nullopt;
        return std::stoi(match[1]);
    };
    const auto x = field("Absolute upper-left X");
    const auto y = field("Absolute upper-left Y");
    const auto w = field("Width");
    const auto h = field("Height");
    if (!x || !y || !w || !h) return std::nullopt;
    return WindowGeometry{*x, *y, *w, *h};
}

// The window as the screen shows it, read back as a binary PPM.
std::optional<Image> Screen::grab(const std::string& window) const {
    const RunResult shot =
        run({"import", "-silent", "-window", window, "-depth", "8", "ppm:-"}, env());
    if (shot.status != 0) return std::nullopt;
    std::istringstream in(shot.output);
    std::string magic;
    int width = 0, height = 0, max = 0;
    in >> magic >> width >> height >> max;
    in.get();  // the single whitespace before the samples
    if (magic != "P6" || width <= 0 || height <= 0 || max != 255) return std::nullopt;
    Image image{width, height, {}};
    image.pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (Rgb& p : image.pixels) {
        p.r = in.get();
        p.g = in.get();
        p.b = in.get();
    }
    if (!in) return std::nullopt;
    return image;
}

void Screen::click(const std::string& window, int x, int y) const {
    run({"xdotool", "mousemove", "--window", window, std::to_string(x), std::to_string(y), "click",
         "1"},
        env());
}

void Screen::key(const std::string& keys) const { run({"xdotool", "key", keys}, env()); }

}  // namespace thermo::desktop
