// The window as the program builds it (Form1 and the Qt window, offscreen) with the real Linux
// HID layer against a simulated thermometer mounted in this process's namespace: how fast a
// report reaches the °C label, how old the value shown is, and how long the window's event
// loop is held up while a tick waits for a silent thermometer.
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "bench/bench.h"
#include "bench/timed_application.h"
#include "hid/hidusb.h"
#include "hid/linux/linux_platform.h"
#include "measure/calibration_file.h"
#include "tools/thermometer-sim/simulator.h"
#include "window/form1.h"
#include "window/qt/qt_form1_window.h"

namespace thermo::bench {

namespace {

using namespace std::chrono_literals;

// Calls back whenever the watched widget paints.
class PaintWatch : public QObject {
  public:
    explicit PaintWatch(std::function<void()> painted) : painted_(std::move(painted)) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) painted_();
        return QObject::eventFilter(watched, event);
    }

  private:
    std::function<void()> painted_;
};

// The program's wiring (app/main.cpp), with the HID layer pointed at a simulated thermometer.
class Rig {
  public:
    Rig(const std::filesystem::path& folder, double rateHz)
        : config_(configFor(folder, rateHz)),
          simulator_(config_),
          platform_(config_.sysRoot, config_.devRoot),
          device_(platform_),
          form_(window_, device_, CalibrationFile(folder / "cal.txt")) {
        window_.attach(form_);
        form_.Form_Load();
        window_.show();
    }

    sim::Simulator& simulator() { return simulator_; }
    Form1& form() { return form_; }

    void watchCelsiusLabel(std::function<void()> painted) {
        watch_ = std::make_unique<PaintWatch>(std::move(painted));
        window_.findChild<QLabel*>("Label5")->installEventFilter(watch_.get());
    }
    void pressStart() { window_.findChild<QPushButton*>("cmdOn")->click(); }

    void waitFor(const std::function<bool(const sim::DeviceStatus&)>& ok) {
        if (!simulator_.waitUntil(0, ok, std::chrono::steady_clock::now() + 10s)) {
            throw std::runtime_error("the simulated thermometer never reached the expected state");
        }
    }

  private:
    static sim::SimulatorConfig configFor(const std::filesystem::path& folder, double rateHz) {
        sim::SimulatorConfig config;
        config.sysRoot = folder / "sys";
        config.devRoot = folder / "dev";
        config.settings.rateHz = rateHz;
        return config;
    }

    sim::SimulatorConfig config_;
    sim::Simulator simulator_;
    hid::LinuxPlatform platform_;
    hid::HIDusb device_;
    QtForm1Window window_;
    Form1 form_;
    std::unique_ptr<PaintWatch> watch_;
};

// Runs `work` on a thread of its own while this thread runs the window's event loop.
void runBesideEventLoop(const std::function<void()>& work) {
    QEventLoop loop;
    std::exception_ptr error;
    std::thread controller([&] {
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    controller.join();
    if (error) std::rethrow_exception(error);
}

// Paint times of the °C label, for a thread waiting for the next one.
class PaintLog {
  public:
    void note() {
        std::lock_guard lock(mutex_);
        times_.push_back(monotonicNs());
        changed_.notify_all();
    }
    std::int64_t firstAfter(std::int64_t ns) {
        std::unique_lock lock(mutex_);
        std::int64_t found = 0;
        const bool seen = changed_.wait_for(lock, 10s, [&] {
            for (std::int64_t t : times_) {
                if (t > ns) {
                    found = t;
                    return true;
                }
            }
            return false;
        });
        if (!seen) throw std::runtime_error("the label was not repainted");
        return found;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::int64_t> times_;
};

// A silent thermometer; while a tick's read waits, one report is sent. Milliseconds from the
// report being queued to the °C label's repaint with its value.
std::vector<double> reportToLabel(const std::filesystem::path& folder, int runs) {
    Rig rig(folder, 0);
    PaintLog paints;
    rig.watchCelsiusLabel([&] { paints.note(); });
    rig.pressStart();
    std::vector<double> samples;
    runBesideEventLoop([&] {
        // A read waits once the thermometer has been polled since the last report was shown.
        // (The simulator's armed_polls cannot tell: the kernel polls once more after the wake-up
        // and leaves a fresh poll handle with it.)
        std::uint64_t polls = 0;
        for (int i = 0; i < runs; ++i) {
            rig.waitFor([&](const sim::DeviceStatus& s) { return s.counters.polls > polls; });
            // Two values in turn, so that every report changes the label's text.
            rig.simulator().setValue(
                0, i % 2 == 0 ? sim::ValueBytes{100, 0} : sim::ValueBytes{133, 0});
            rig.simulator().send(0, 1);
            const std::int64_t published = rig.simulator().status(0).seqNs;
            samples.push_back(static_cast<double>(paints.firstAfter(published) - published) / 1e6);
            polls = rig.simulator().status(0).counters.polls;
        }
    });
    return samples;
}

// A thermometer reporting 100 times a second, every report with a value of its own. At each
// repaint of the °C label: milliseconds since the report whose value the window now holds was
// queued.
std::vector<double> ageAt100Hz(const std::filesystem::path& folder, int ticks) {
    Rig rig(folder, 0);
    std::mutex mutex;
    std::map<int, std::int64_t> publishedAt;  // value -> when it was queued
    std::vector<double> samples;
    std::condition_variable enough;
    rig.watchCelsiusLabel([&] {
        const std::int64_t now = monotonicNs();
        if (!rig.form().SensorRatio) return;
        const int value = static_cast<int>(std::lround(*rig.form().SensorRatio * 65536.0));
        std::lock_guard lock(mutex);
        const auto it = publishedAt.find(value);
        if (it == publishedAt.end()) return;
        samples.push_back(static_cast<double>(now - it->second) / 1e6);
        enough.notify_all();
    });
    rig.pressStart();
    runBesideEventLoop([&] {
        // Far enough apart that each tick's °C text differs from the last one's.
        constexpr int kStep = 37;
        timespec next{};
        ::clock_gettime(CLOCK_MONOTONIC, &next);
        for (int value = 1000;; value += kStep) {
            {
                std::unique_lock lock(mutex);
                if (static_cast<int>(samples.size()) >= ticks) return;
                if (value > 65535 - kStep) throw std::runtime_error("ran out of distinct values");
            }
            std::vector<std::uint8_t> report(64, 0);
            report[0] = static_cast<std::uint8_t>(value >> 8);
            report[1] = static_cast<std::uint8_t>(value & 0xFF);
            rig.simulator().inject(0, report);
            {
                std::lock_guard lock(mutex);
                publishedAt[value] = monotonicNs();
            }
            next.tv_nsec += 10'000'000;
            if (next.tv_nsec >= 1'000'000'000) {
                next.tv_nsec -= 1'000'000'000;
                ++next.tv_sec;
            }
            ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        }
    });
    return samples;
}

// Per silent tick (every tick waits 6 s for a report), in milliseconds: the longest event the
// window's thread handled, and the longest gap between the runs of a 1 ms timer on that
// thread. The gap is what a user would see of the event loop; it also holds how late the
// machine wakes the sleeping thread, which the same timer shows without any window (below).
struct SilentTicks {
    std::vector<double> longestEvent;
    std::vector<double> longestEventCpu;  // the thread's time on a processor in its longest one
    std::vector<double> longestGap;
};

SilentTicks silentTicks(const std::filesystem::path& folder, int ticks) {
    Rig rig(folder, 0);
    SilentTicks result;
    QEventLoop loop;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(1);
    std::int64_t last = 0;
    bool wasInTick = false;
    double tickLongest = 0;
    // Runs of the probe after a tick's end whose events still count for it: the repaint the
    // tick's end asked for comes after it.
    constexpr int kAfterTick = 20;
    int afterTick = 0;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const std::int64_t now = monotonicNs();
        const bool inTick = rig.form().tickInProgress();
        if (afterTick > 0 && --afterTick == 0) {
            const auto longest = TimedApplication::current().takeLongest();
            result.longestEvent.push_back(static_cast<double>(longest.wallNs) / 1e6);
            result.longestEventCpu.push_back(static_cast<double>(longest.cpuNs) / 1e6);
            if (static_cast<int>(result.longestEvent.size()) >= ticks) loop.quit();
        } else if (afterTick == 0 && !inTick && !wasInTick) {
            // What was handled before the tick is not the tick's; the event that starts it has
            // ended before the first run that sees it in progress, and so is kept.
            TimedApplication::current().takeLongest();
        }
        // A gap counts for the tick when the tick ran at either of its ends.
        if (last != 0 && (inTick || wasInTick)) {
            tickLongest = std::max(tickLongest, static_cast<double>(now - last) / 1e6);
        }
        if (wasInTick && !inTick) {
            result.longestGap.push_back(tickLongest);
            tickLongest = 0;
            afterTick = kAfterTick;
        }
        wasInTick = inTick;
        last = now;
    });
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, &loop, &QEventLoop::quit);
    // A silent tick lasts its 6 s read and up to one timer interval; a loaded machine adds more.
    giveUp.start(std::chrono::milliseconds(ticks * 7000 + 15000));
    rig.pressStart();
    probe.start();
    loop.exec();
    if (static_cast<int>(result.longestEvent.size()) < ticks) {
        throw std::runtime_error(
            "the silent ticks did not end: " + std::to_string(result.longestEvent.size()) + " of " +
            std::to_string(ticks) + " measured, " + std::to_string(result.longestGap.size()) +
            " ended");
    }
    return result;
}

// The same 1 ms timer in an event loop with nothing else to do, for `windows` spans of a silent
// tick's length: what this machine's scheduling alone makes of it, the floor of the figure above.
std::vector<double> stallWithoutTicks(int windows) {
    std::vector<double> longest;
    for (int i = 0; i < windows; ++i) {
        QEventLoop loop;
        QTimer probe;
        probe.setTimerType(Qt::PreciseTimer);
        probe.setInterval(1);
        std::int64_t last = 0;
        double worst = 0;
        QObject::connect(&probe, &QTimer::timeout, [&] {
            const std::int64_t now = monotonicNs();
            if (last != 0) worst = std::max(worst, static_cast<double>(now - last) / 1e6);
            last = now;
        });
        QTimer::singleShot(6000, &loop, &QEventLoop::quit);
        probe.start();
        loop.exec();
        longest.push_back(worst);
    }
    return longest;
}

}  // namespace

std::vector<Row> windowFigures(const Scratch& scratch, const Settings& settings) {
    const std::string reportName = "report queued -> degrees C label repainted";
    const std::string ageName = "age of the value shown, 100 Hz thermometer";
    const std::string stallName = "longest event-loop stall in a silent-device tick";
    const std::string cpuName = "  the same, time on the processor only";
    const std::string gapName = "  longest gap of a 1 ms timer in that tick";
    const std::string floorName = "  the same 1 ms timer, no window, no tick";
    if (!scratch.usable()) {
        return {skippedRow(reportName, scratch.whyNot(), "-", "-"),
                skippedRow(ageName, scratch.whyNot(), "-", "<= 1000 ms (one tick)"),
                skippedRow(stallName, scratch.whyNot(), "6000 ms", "< 2 ms"),
                skippedRow(cpuName, scratch.whyNot(), "-", "-"),
                skippedRow(gapName, scratch.whyNot(), "-", "-"),
                skippedRow(floorName, scratch.whyNot(), "-", "-")};
    }
    if (settings.quick) {
        return {skippedRow(reportName, "left out of the quick run", "-", "-"),
                skippedRow(ageName, "left out of the quick run", "-", "<= 1000 ms (one tick)"),
                skippedRow(stallName, "left out of the quick run", "6000 ms", "< 2 ms"),
                skippedRow(cpuName, "left out of the quick run", "-", "-"),
                skippedRow(gapName, "left out of the quick run", "-", "-"),
                skippedRow(floorName, "left out of the quick run", "-", "-")};
    }
    // The silent ticks are measured once for their three rows; a failure fails all three.
    std::optional<SilentTicks> silent;
    std::exception_ptr silentFailed;
    const auto silentFigure = [&](const std::string& name, std::vector<double> SilentTicks::*which,
                                  std::string published, std::string goal,
                                  const std::function<bool(double)>& meets) {
        return guarded(name, [&] {
            if (silentFailed) std::rethrow_exception(silentFailed);
            if (!silent) {
                try {
                    silent = silentTicks(scratch.folder("stall"), 3);
                } catch (...) {
                    silentFailed = std::current_exception();
                    throw;
                }
            }
            return measuredRow(name, (*silent).*which, "ms", 2, published, goal, meets);
        });
    };
    return {
        guarded(reportName,
                [&] {
                    return measuredRow(reportName, reportToLabel(scratch.folder("label"), 9), "ms",
                                       2, "-", "<= 50 ms", [](double m) { return m <= 50.0; });
                }),
        guarded(ageName,
                [&] {
                    return measuredRow(ageName, ageAt100Hz(scratch.folder("age"), 9), "ms", 1, "-",
                                       "<= 1000 ms (one tick)",
                                       [](double m) { return m <= 1000.0; });
                }),
        silentFigure(stallName, &SilentTicks::longestEvent, "6000 ms", "< 2 ms",
                     [](double m) { return m < 2.0; }),
        silentFigure(cpuName, &SilentTicks::longestEventCpu, "-", "-", {}),
        silentFigure(gapName, &SilentTicks::longestGap, "-", "-", {}),
        guarded(
            floorName,
            [&] { return measuredRow(floorName, stallWithoutTicks(3), "ms", 2, "-", "-", {}); }),
    };
}

}  // namespace thermo::bench
