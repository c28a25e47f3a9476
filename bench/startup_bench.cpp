// Start to first paint: the program's own wiring (app/main.cpp) on the offscreen platform, with
// the native HID layer finding the simulated thermometer, timed from the moment its process is
// started (exec, loading Qt, cal.txt, the search, the window) until the window's first paint has
// been done.
//
// Three processes: the benchmark starts usb-thermometer-sim with this program as its command
// (--startup-launcher); the launcher notes the time and starts this program once more
// (--startup-child TIME) in the simulator's namespace; the child prints the milliseconds.
#include <spawn.h>
#include <sys/wait.h>

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <array>
#include <cstdio>
#include <sstream>
#include <string>

#include "bench/bench.h"
#include "hid/hid_platform.h"
#include "hid/hidusb.h"
#include "measure/calibration_file.h"
#include "tests/session/process.h"
#include "tests/session/session.h"
#include "window/form1.h"
#include "window/qt/qt_form1_window.h"

extern char** environ;

namespace thermo::bench {

namespace {

using namespace std::chrono_literals;

// Notes the end of the first paint: the zero timer runs once the paint event has been handled.
class FirstPaint : public QObject {
  public:
    std::int64_t paintedNs = 0;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && paintedNs == 0) {
            paintedNs = -1;
            QTimer::singleShot(0, [this] {
                paintedNs = monotonicNs();
                QCoreApplication::quit();
            });
        }
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

int runStartupLauncher(const std::filesystem::path& self) {
    const std::string launched = std::to_string(monotonicNs());
    std::string path = self.string();
    std::string flag = "--startup-child";
    char* argv[] = {path.data(), flag.data(), const_cast<char*>(launched.c_str()), nullptr};
    pid_t child = 0;
    if (::posix_spawn(&child, argv[0], nullptr, nullptr, argv, environ) != 0) return 126;
    int status = 0;
    if (::waitpid(child, &status, 0) != child) return 125;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 125;
}

int runStartupChild(std::int64_t launchedNs) {
    const std::int64_t entered = monotonicNs();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char name[] = "usb-thermometer";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    const std::int64_t applicationMade = monotonicNs();
    const std::unique_ptr<hid::Platform> platform = hid::makeNativePlatform();
    hid::HIDusb device(*platform);
    QtForm1Window window;
    const std::int64_t windowBuilt = monotonicNs();
    Form1 form(window, device, CalibrationFile("cal.txt"));
    window.attach(form);
    form.Form_Load();
    const std::int64_t loaded = monotonicNs();
    // Read now: quitting closes the window, and closing lets the thermometer go.
    const bool found = device.DevicePresent;
    FirstPaint watch;
    window.installEventFilter(&watch);
    window.show();
    QApplication::exec();
    const auto ms = [](std::int64_t from, std::int64_t to) {
        return static_cast<double>(to - from) / 1e6;
    };
    // Total, whether the thermometer was found, then the stages: to main(), QApplication, the
    // window's widgets, Form_Load, showing and the first paint.
    std::printf("%.3f %d %.3f %.3f %.3f %.3f %.3f\n", ms(launchedNs, watch.paintedNs),
                found ? 1 : 0, ms(launchedNs, entered), ms(entered, applicationMade),
                ms(applicationMade, windowBuilt), ms(windowBuilt, loaded),
                ms(loaded, watch.paintedNs));
    return 0;
}

std::vector<Row> startupFigures(const Settings& settings) {
    const std::string name = "start -> first paint (offscreen)";
    const std::string why = e2e::Session::whyCannotRun();
    if (!why.empty()) return {skippedRow(name, why, "-", "<= 60 ms")};
    std::vector<double> samples;
    std::array<std::vector<double>, 5> stages;
    const int runs = settings.quick ? 1 : 11;
    for (int i = 0; i < runs; ++i) {
        e2e::TempDir dir;
        const e2e::RunResult result =
            e2e::run(e2e::Spawn{{e2e::builtPrograms().simulator.string(), "--celsius", "25", "--",
                                 settings.self.string(), "--startup-launcher"},
                                {},
                                dir.path(),
                                {}},
                     30s);
        // The child's line: milliseconds, and 1 when it found the thermometer. Qt may have said
        // something before it.
        double ms = 0;
        int found = 0;
        std::array<double, 5> stage{};
        bool parsed = false;
        std::istringstream lines(result.output);
        for (std::string line; !parsed && std::getline(lines, line);) {
            parsed = std::sscanf(line.c_str(), "%lf %d %lf %lf %lf %lf %lf", &ms, &found, &stage[0],
                                 &stage[1], &stage[2], &stage[3], &stage[4]) == 7;
        }
        if (result.status != 0 || !parsed) {
            return {skippedRow(name, "the start-up run failed: " + result.output, "-", "<= 60 ms")};
        }
        if (found != 1) {
            return {skippedRow(name, "the program did not find the thermometer", "-", "<= 60 ms")};
        }
        samples.push_back(ms);
        for (std::size_t k = 0; k < stage.size(); ++k) stages[k].push_back(stage[k]);
    }
    Row row =
        measuredRow(name, samples, "ms", 1, "-", "<= 60 ms", [](double m) { return m <= 60.0; });
    char detail[200];
    std::snprintf(detail, sizeof detail,
                  "; stages: exec and libraries %.1f, QApplication %.1f, widgets %.1f, "
                  "Form_Load %.1f, show and paint %.1f ms",
                  median(stages[0]), median(stages[1]), median(stages[2]), median(stages[3]),
                  median(stages[4]));
    row.spread += detail;
    return {row};
}

}  // namespace thermo::bench
