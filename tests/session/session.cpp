#include "tests/session/session.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>

#include "tools/thermometer-sim/control_client.h"
#include "window/scale_geometry.h"

namespace thermo::e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kTitle = "^USB Thermometer$";
// Start-up under the sanitizers takes seconds; a plain build needs well under one.
constexpr milliseconds kStartPatience = 30s;

// Status line colours as the program's palette gives them: green 0x8000 and red 0xFF.
bool isGreenText(const Rgb& c) { return c.g >= 96 && c.r <= 64 && c.b <= 64; }
bool isRedText(const Rgb& c) { return c.r >= 192 && c.g <= 64 && c.b <= 64; }
bool isBarRed(const Rgb& c) { return c == Rgb{255, 0, 0}; }

PixelRect centred(const PixelRect& r) { return {r.left + r.width / 2, r.top + r.height / 2, 1, 1}; }

}  // namespace

Programs builtPrograms() {
    return {THERMO_E2E_PROGRAM, THERMO_E2E_SIMULATOR, THERMO_E2E_LISTING_WATCH,
            THERMO_E2E_LSAN_SUPPRESSIONS};
}

std::int64_t SimStatus::number(const std::string& key) const { return std::stoll(text(key)); }

const std::string& SimStatus::text(const std::string& key) const {
    const auto it = fields.find(key);
    if (it == fields.end()) throw std::runtime_error("the simulator's status has no " + key);
    return it->second;
}

std::string SimControl::command(const std::string& line, int patienceMs) const {
    const sim::ControlReply reply = sim::sendControlCommand(socket_, line, patienceMs);
    if (reply.kind != sim::ControlReply::Kind::Ok) {
        throw std::runtime_error("simulator refused \"" + line + "\": " + reply.text);
    }
    return reply.text;
}

SimStatus SimControl::status(int device) const {
    SimStatus status;
    std::istringstream lines(command("@" + std::to_string(device) + " status"));
    for (std::string line; std::getline(lines, line);) {
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos) status.fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return status;
}

bool SimControl::wait(const std::string& conditions, milliseconds timeout, int device) const {
    const std::string line = "@" + std::to_string(device) + " wait " + conditions + " " +
                             std::to_string(timeout.count());
    const sim::ControlReply reply = sim::sendControlCommand(socket_, line);
    if (reply.kind == sim::ControlReply::Kind::Error) {
        throw std::runtime_error("simulator refused \"" + line + "\": " + reply.text);
    }
    return reply.kind == sim::ControlReply::Kind::Ok;
}

std::string describe(StatusShown shown) {
    switch (shown) {
        case StatusShown::Detected:
            return "green (DEVICE DETECTED)";
        case StatusShown::NotDetected:
            return "red (DEVICE NOT DETECTED)";
        case StatusShown::Unclear:
            break;
    }
    return "neither green nor red";
}

Image controlImage(const Image& window, ControlId control) {
    return window.crop(clientRect(control));
}

// The bar is the only pure red inside the tube above the bulb; its top is the first such row
// in the tube's middle column.
std::optional<int> barTopRow(const Image& window) {
    const PixelRect tube = clientRect(ControlId::Shape4);
    const int column = tube.left + tube.width / 2;
    const int bulbTop = clientRect(ControlId::Shape3).top;
    for (int y = clientRect(ControlId::Shape2).top; y < bulbTop; ++y) {
        if (isBarRed(window.at(column, y))) return y;
    }
    return std::nullopt;
}

// The status line's text is drawn in its colour; anti-aliasing blends only the glyphs' edges.
StatusShown statusShown(const Image& window) {
    const Image label = controlImage(window, ControlId::Label1);
    const auto green = std::count_if(label.pixels.begin(), label.pixels.end(), isGreenText);
    const auto red = std::count_if(label.pixels.begin(), label.pixels.end(), isRedText);
    constexpr long kEnough = 20;
    if (green >= kEnough && red == 0) return StatusShown::Detected;
    if (red >= kEnough && green == 0) return StatusShown::NotDetected;
    return StatusShown::Unclear;
}

std::string Session::whyCannotRun() {
    if (::geteuid() != 0) {
        return "needs root, because the simulated thermometer mounts FUSE files and tmpfs in a "
               "private mount namespace";
    }
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        return "needs /dev/fuse, because the simulated hidraw node is a FUSE file";
    }
    for (const char* tool : {"Xvfb", "xdotool"}) {
        if (!onPath(tool)) {
            return std::string("needs ") + tool +
                   " (packages xvfb, xdotool), because the program's window is shown in a "
                   "private X server and clicked there";
        }
    }
    const Programs programs = builtPrograms();
    for (const fs::path& p : {programs.program, programs.simulator, programs.listingWatch}) {
        if (::access(p.c_str(), X_OK) != 0) return "needs " + p.string() + " built";
    }
    return {};
}

Session::Session(SessionOptions options)
    : programs_(builtPrograms()), sim_(dir_.path() / "control.sock") {
    x_.emplace(dir());
    connection_.emplace(x_->display());

    std::vector<std::string> argv{programs_.simulator.string()};
    argv.insert(argv.end(), options.simArgs.begin(), options.simArgs.end());
    argv.insert(argv.end(), {"--control", (dir() / "control.sock").string(), "--"});
    if (options.watchListings) {
        argv.insert(argv.end(), {programs_.listingWatch.string(), (dir() / "listings").string()});
    }
    argv.push_back(programs_.program.string());

    std::string lsan = "LSAN_OPTIONS=";
    if (const char* given = std::getenv("LSAN_OPTIONS")) lsan += std::string(given) + ":";
    lsan += "suppressions=" + programs_.lsanSuppressions.string();
    // The C locale's "." keeps the readouts comparable with the pictures the tests expect.
    simulator_.emplace(Spawn{
        argv,
        {"DISPLAY=" + x_->display(), "QT_QPA_PLATFORM=xcb", "LC_ALL=C.UTF-8", "LANG=C.UTF-8", lsan},
        dir(),
        dir() / "program.log"});
    findWindow();
    learnStartCaption();
}

Session::~Session() {
    if (!simulator_ || simulator_->poll()) return;
    // The program first, by its pid, while the simulator (its parent) still holds that pid;
    // the simulator then ends by itself and takes its namespace down.
    if (program_ > 0) {
        const auto children = childrenOf(simulator_->pid());
        if (std::find(children.begin(), children.end(), program_) != children.end()) {
            ::kill(program_, SIGTERM);
        }
    }
    if (!simulator_->waitFor(5s)) {
        const auto children = childrenOf(simulator_->pid());
        if (std::find(children.begin(), children.end(), program_) != children.end()) {
            ::kill(program_, SIGKILL);
        }
        simulator_->stop();
    }
}

std::string Session::calibrationFile() const { return readFile(dir() / "cal.txt"); }

std::string Session::log() const { return readFile(dir() / "program.log"); }

void Session::xdotool(std::vector<std::string> args) const {
    args.insert(args.begin(), "xdotool");
    const RunResult result = run(Spawn{args, {"DISPLAY=" + x_->display()}, {}, {}}, 10s);
    if (result.status != 0) throw std::runtime_error("xdotool " + args[1] + " failed");
}

void Session::findWindow() {
    const auto deadline = Clock::now() + kStartPatience;
    while (Clock::now() < deadline) {
        if (simulator_->poll()) {
            throw std::runtime_error("the program ended before its window showed:\n" + log());
        }
        const RunResult found = run(Spawn{{"xdotool", "search", "--onlyvisible", "--name", kTitle},
                                          {"DISPLAY=" + x_->display()},
                                          {},
                                          {}},
                                    5s);
        if (found.status == 0 && !found.output.empty()) {
            window_ = static_cast<WindowId>(std::stoul(found.output));
            break;
        }
        std::this_thread::sleep_for(50ms);
    }
    if (window_ == 0) throw std::runtime_error("the window did not show:\n" + log());
    const auto children = childrenOf(simulator_->pid());
    if (children.size() == 1) program_ = children.front();
}

// Form_Load has set the status line before the window first shows; once two pictures in a row
// agree and show it, the window has settled and its caption reads START.
void Session::learnStartCaption() {
    std::optional<Image> last;
    const auto settled = waitForShot(
        [&](const Image& now) {
            const bool same = last && *last == now;
            last = now;
            return same && statusShown(now) != StatusShown::Unclear;
        },
        kStartPatience);
    if (!settled) throw std::runtime_error("the window did not settle:\n" + log());
    startCaption_ = controlImage(*settled, ControlId::cmdOn);
}

Image Session::shot() {
    auto image = connection_->grab(window_);
    if (!image) throw std::runtime_error("the window has gone");
    return std::move(*image);
}

std::optional<Image> Session::waitForShot(const std::function<bool(const Image&)>& accept,
                                          milliseconds timeout) {
    std::optional<Image> accepted;
    pollUntil(
        [&] {
            auto image = connection_->grab(window_);
            if (image && accept(*image)) accepted = std::move(image);
            return accepted.has_value();
        },
        timeout, 10ms);
    return accepted;
}

bool Session::waitForBarRow(int row, milliseconds timeout) {
    return waitForShot([row](const Image& i) { return barTopRow(i) == row; }, timeout).has_value();
}

bool Session::waitForStatus(StatusShown shown, milliseconds timeout) {
    return waitForShot([shown](const Image& i) { return statusShown(i) == shown; }, timeout)
        .has_value();
}

void Session::click(ControlId control) {
    const PixelRect at = centred(clientRect(control));
    // Afterwards the pointer rests on the window's margin, where nothing reacts to it.
    xdotool({"mousemove", "--window", std::to_string(window_), std::to_string(at.left),
             std::to_string(at.top), "click", "1", "mousemove", "--window", std::to_string(window_),
             "2", "2"});
}

void Session::press(ControlId control) {
    const PixelRect at = centred(clientRect(control));
    xdotool({"mousemove", "--window", std::to_string(window_), std::to_string(at.left),
             std::to_string(at.top), "mousedown", "1"});
}

void Session::release() {
    xdotool({"mouseup", "1", "mousemove", "--window", std::to_string(window_), "2", "2"});
}

bool Session::showsStart(const Image& window) const {
    return controlImage(window, ControlId::cmdOn) == startCaption_;
}

bool Session::showsStop(const Image& window) const {
    return stopCaption_ && controlImage(window, ControlId::cmdOn) == *stopCaption_;
}

bool Session::pressStart(milliseconds timeout) {
    click(ControlId::cmdOn);
    if (stopCaption_) {
        return waitForShot([&](const Image& i) { return showsStop(i); }, timeout).has_value();
    }
    // The new caption once it has stood for a while: a picture of the button still pressed
    // must not be taken for it.
    std::optional<Image> last;
    Clock::time_point since;
    const auto changed = waitForShot(
        [&](const Image& now) {
            const Image button = controlImage(now, ControlId::cmdOn);
            if (!last || *last != button) {
                last = button;
                since = Clock::now();
            }
            return button != startCaption_ && Clock::now() - since >= 150ms;
        },
        timeout);
    if (changed) stopCaption_ = controlImage(*changed, ControlId::cmdOn);
    return changed.has_value();
}

bool Session::pressStop(milliseconds timeout) {
    click(ControlId::cmdOn);
    return waitForShot([&](const Image& i) { return showsStart(i); }, timeout).has_value();
}

void Session::requestClose() { connection_->requestClose(window_); }

std::optional<int> Session::waitForExit(milliseconds timeout) {
    return simulator_->waitFor(timeout);
}

std::vector<std::int64_t> Session::listings() const {
    std::vector<std::int64_t> times;
    std::istringstream lines(readFile(dir() / "listings"));
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) times.push_back(std::stoll(line));
    }
    return times;
}

int pixelOf(double twips) { return static_cast<int>(std::floor(twips / 15.0 + 0.5)); }

int barRowFor(double celsius) {
    const double clamped = std::clamp(celsius, -22.0, 132.0);
    return pixelOf(3080.0 - 20.0 * clamped);
}

}  // namespace thermo::e2e
