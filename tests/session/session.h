#pragma once

// The real program as a user meets it: its window in a private Xvfb server, the simulated
// thermometer in the program's mount namespace (usb-thermometer-sim ... -- usb-thermometer), the
// mouse through xdotool, and what it shows read back from the X server's pixels. Every process
// is ended by its own pid when the session goes.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/session/process.h"
#include "tests/session/x_display.h"
#include "window/layout.h"

namespace thermo::e2e {

// Where the session's programs are; the build passes them in.
struct Programs {
    std::filesystem::path program;       // usb-thermometer
    std::filesystem::path simulator;     // usb-thermometer-sim
    std::filesystem::path listingWatch;  // e2e_listing_watch
    std::filesystem::path lsanSuppressions;
};
Programs builtPrograms();

// One status of the simulator's control interface: key=value fields.
struct SimStatus {
    std::map<std::string, std::string> fields;
    std::int64_t number(const std::string& key) const;
    const std::string& text(const std::string& key) const;
};

class SimControl {
  public:
    explicit SimControl(std::filesystem::path socket) : socket_(std::move(socket)) {}

    // Runs one command ("raw 133 0", "@1 unplug"); throws std::runtime_error when refused.
    std::string command(const std::string& line, int patienceMs = 0) const;
    SimStatus status(int device = 0) const;
    // Until every condition ("open=0 'reads>=3'") holds, in the simulator; false if it ran out.
    bool wait(const std::string& conditions, milliseconds timeout, int device = 0) const;

  private:
    std::filesystem::path socket_;
};

struct SessionOptions {
    std::vector<std::string> simArgs;  // before "--control ... --"
    // Records the time of every listing of /sys/class/hidraw in the namespace (listings()).
    bool watchListings = false;
};

enum class StatusShown { Detected, NotDetected, Unclear };
std::string describe(StatusShown shown);

// Readings of one picture of the window, from the layout's own figures.
std::optional<int> barTopRow(const Image& window);
StatusShown statusShown(const Image& window);
Image controlImage(const Image& window, ControlId control);

class Session {
  public:
    // Why sessions cannot run here (empty when they can).
    static std::string whyCannotRun();

    // Starts Xvfb, the simulator and the program, and waits until the window shows its first
    // status. Throws std::runtime_error when any of that fails.
    explicit Session(SessionOptions options = {});
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const std::filesystem::path& dir() const { return dir_.path(); }
    const SimControl& sim() const { return sim_; }
    WindowId window() const { return window_; }
    pid_t programPid() const { return program_; }
    const std::string& display() const { return x_->display(); }
    std::string calibrationFile() const;
    std::string log() const;

    // A picture of the window now; throws when the window is gone.
    Image shot();
    // Takes pictures until `accept` holds for one, and returns it.
    std::optional<Image> waitForShot(const std::function<bool(const Image&)>& accept,
                                     milliseconds timeout);
    bool waitForBarRow(int row, milliseconds timeout);
    bool waitForStatus(StatusShown shown, milliseconds timeout);

    // Mouse: a click at the control's centre, after which the pointer leaves the window's
    // controls; a press held until release().
    void click(ControlId control);
    void press(ControlId control);
    void release();

    // START and STOP, waiting until the caption has changed. The first START also learns how
    // STOP looks; the caption's pictures tell the two apart from then on.
    bool pressStart(milliseconds timeout = milliseconds(10000));
    bool pressStop(milliseconds timeout = milliseconds(10000));
    bool showsStart(const Image& window) const;
    bool showsStop(const Image& window) const;

    // Asks the window to close as a window manager does (WM_DELETE_WINDOW).
    void requestClose();
    // The program's exit status (the simulator passes it on) once it has ended within `timeout`.
    std::optional<int> waitForExit(milliseconds timeout);

    // CLOCK_MONOTONIC times of the program's listings of /sys/class/hidraw, in order.
    std::vector<std::int64_t> listings() const;

  private:
    void xdotool(std::vector<std::string> args) const;
    void findWindow();
    void learnStartCaption();

    Programs programs_;
    TempDir dir_;
    std::optional<XServer> x_;
    std::optional<XConnection> connection_;
    SimControl sim_;
    std::optional<Process> simulator_;
    WindowId window_ = 0;
    pid_t program_ = -1;
    Image startCaption_;
    std::optional<Image> stopCaption_;
};

// Twips to the pixel they fall on (15 twips a pixel at 96 dpi, halves upwards), worked out here
// rather than taken from the program so that a wrong conversion there shows.
int pixelOf(double twips);
// The row of the bar's top for a temperature: 3080 - 20 × °C twips, after the clamp to -22..132.
int barRowFor(double celsius);

}  // namespace thermo::e2e
