// The whole program — the Qt window, Form1, the device module and the Linux backend — against
// the simulated thermometer, which is unplugged and plugged again (and now and then goes silent)
// many times while the program measures with a shortened tick. Afterwards the program must hold
// as many file descriptors as it did at the start, and its memory must not have grown beyond
// noise. Runs inside the simulator, which it controls through its socket:
//
//   usb-thermometer-sim --rate 50 -- plug_soak [--cycles N] [--interval-ms MS]
//       [--silence-every K] [--seed S] [--max-heap-growth-kib KIB] [--workdir DIR]
//
// Prints the figures and "verdict: ok" or "verdict: FAILED ..." and exits 0 or 1.
#include <malloc.h>
#include <unistd.h>

#include <QApplication>
#include <QMetaObject>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "hid/hid_platform.h"
#include "hid/hidusb.h"
#include "measure/calibration_file.h"
#include "tests/reliability/reliability_support.h"
#include "tools/thermometer-sim/control_client.h"
#include "window/form1.h"
#include "window/qt/qt_form1_window.h"

namespace thermo::reliability {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kHeapIsMeasurable = false;  // AddressSanitizer keeps its own books
#else
constexpr bool kHeapIsMeasurable = true;
#endif

struct Options {
    long cycles = 300;
    int intervalMs = 20;
    long silenceEvery = 100;  // 0: never
    std::uint64_t seed = 1;
    long maxHeapGrowthKib = 256;
    fs::path workdir;
    fs::path control;
};

Options parseOptions(int argc, char** argv) {
    Options options;
    if (const char* socket = std::getenv("USB_THERMOMETER_SIM_CONTROL")) {
        options.control = socket;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--cycles") {
            options.cycles = std::stol(value);
        } else if (name == "--interval-ms") {
            options.intervalMs = std::stoi(value);
        } else if (name == "--silence-every") {
            options.silenceEvery = std::stol(value);
        } else if (name == "--seed") {
            options.seed = std::stoull(value);
        } else if (name == "--max-heap-growth-kib") {
            options.maxHeapGrowthKib = std::stol(value);
        } else if (name == "--workdir") {
            options.workdir = value;
        } else {
            throw std::invalid_argument("unknown option " + name);
        }
    }
    if (options.control.empty()) {
        throw std::invalid_argument("no simulator: run inside usb-thermometer-sim");
    }
    return options;
}

struct Snapshot {
    int fds = 0;
    long rssKib = 0;
    long heapKib = 0;  // allocated and not freed, as malloc counts it
};

long residentKib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

Snapshot snapshot() {
    Snapshot s;
    s.fds = openFdCount();
    s.rssKib = residentKib();
    if (kHeapIsMeasurable) {
        // Give back what free() keeps on its lists, so that only what is in use counts.
        ::malloc_trim(0);
        const struct mallinfo2 info = ::mallinfo2();
        s.heapKib = static_cast<long>((info.uordblks + info.hblkhd) / 1024);
    }
    return s;
}

// The simulator's control socket: one command a connection.
class Simulator {
  public:
    explicit Simulator(fs::path socket) : socket_(std::move(socket)) {}

    std::string command(const std::string& line) {
        const sim::ControlReply reply = sim::sendControlCommand(socket_, line, 5000);
        if (reply.kind != sim::ControlReply::Kind::Ok) {
            throw std::runtime_error("\"" + line + "\": " + reply.text);
        }
        return reply.text;
    }

    long field(const std::string& name) {
        std::istringstream lines(command("status"));
        std::string line;
        while (std::getline(lines, line)) {
            if (line.rfind(name + "=", 0) == 0) {
                return std::stol(line.substr(name.size() + 1));
            }
        }
        throw std::runtime_error("no status field " + name);
    }

    // Until the program has both handles open on the present node and has read from it since.
    void waitForReading(const std::string& within = "10000") {
        const long reads = field("reads");
        command("wait plugged=1 open=2 stale_open=0 reads>" + std::to_string(reads) + " " + within);
    }

  private:
    fs::path socket_;
};

struct Tally {
    long unplugs = 0;
    long replugs = 0;
    long silences = 0;
};

// The simulator's side of the run, on a thread of its own while the window's event loop runs.
class Soak {
  public:
    Soak(const Options& options, QtForm1Window& window)
        : options_(options), window_(window), simulator_(options.control), random_(options.seed) {}

    void run() {
        try {
            simulator_.waitForReading();
            // Warm up first: Qt, the allocator and the thread pool settle in the first cycles.
            for (long i = 0; i < 20; ++i) {
                unplugAndPlug();
            }
            tally_ = {};
            start_ = snapshot();
            for (long cycle = 0; cycle < options_.cycles; ++cycle) {
                runCycle(cycle);
                if (cycle == options_.cycles / 2) {
                    middle_ = snapshot();
                }
            }
            simulator_.waitForReading();
            end_ = snapshot();
            checkWindow();
        } catch (const std::exception& error) {
            failure_ = error.what();
        }
        QMetaObject::invokeMethod(
            &window_, [this] { window_.close(); }, Qt::QueuedConnection);
    }

    int report(double seconds) const {
        std::printf("plug soak: %ld cycles (%ld unplug/plug, %ld replug, %ld silent) in %.1f s\n",
                    options_.cycles, tally_.unplugs, tally_.replugs, tally_.silences, seconds);
        std::printf("open file descriptors: start %d, end %d\n", start_.fds, end_.fds);
        if (kHeapIsMeasurable) {
            std::printf("heap in use: start %ld KiB, middle %ld KiB, end %ld KiB (%+ld KiB)\n",
                        start_.heapKib, middle_.heapKib, end_.heapKib,
                        end_.heapKib - start_.heapKib);
        }
        std::printf("resident memory: start %ld KiB, middle %ld KiB, end %ld KiB (%+ld KiB)\n",
                    start_.rssKib, middle_.rssKib, end_.rssKib, end_.rssKib - start_.rssKib);
        std::string verdict = failure_;
        if (verdict.empty() && end_.fds != start_.fds) {
            verdict = "the number of open file descriptors changed";
        }
        if (verdict.empty() && kHeapIsMeasurable &&
            end_.heapKib - start_.heapKib > options_.maxHeapGrowthKib) {
            verdict =
                "the heap grew by more than " + std::to_string(options_.maxHeapGrowthKib) + " KiB";
        }
        std::printf("verdict: %s\n", verdict.empty() ? "ok" : ("FAILED: " + verdict).c_str());
        std::fflush(stdout);
        return verdict.empty() ? 0 : 1;
    }

  private:
    void runCycle(long cycle) {
        if (options_.silenceEvery > 0 && (cycle + 1) % options_.silenceEvery == 0) {
            goSilent();
        } else if (std::uniform_int_distribution<int>(0, 3)(random_) == 0) {
            replugAtOnce();
        } else {
            unplugAndPlug();
        }
    }

    // Reports still queued when the cable goes are read after the unplug; then the reads fail
    // and the program lets go of both handles. It finds the device again at a later tick.
    void unplugAndPlug() {
        simulator_.command("send 3");
        simulator_.command("unplug");
        simulator_.command("wait plugged=0 open=0 stale_open=0");
        simulator_.command("plug");
        simulator_.waitForReading();
        ++tally_.unplugs;
    }

    // Out and in again before the program has noticed: a new node while the old one is held.
    void replugAtOnce() {
        simulator_.command("replug");
        simulator_.waitForReading();
        ++tally_.replugs;
    }

    // Present but sending nothing: the program waits its read time-out, lets go, searches again.
    void goSilent() {
        const std::string rate = std::to_string(simulator_.field("rate"));
        const long releases = simulator_.field("releases");
        simulator_.command("rate 0");
        simulator_.command("wait releases>=" + std::to_string(releases + 2) + " 15000");
        simulator_.command("rate " + rate);
        simulator_.waitForReading("15000");
        ++tally_.silences;
    }

    // The window shows the device and a reading, as after any tick with the device present.
    void checkWindow() {
        std::string status;
        QMetaObject::invokeMethod(
            &window_, [&] { status = window_.caption(ControlId::Label1); },
            Qt::BlockingQueuedConnection);
        if (status != "DEVICE DETECTED") {
            throw std::runtime_error("the status line says \"" + status + "\" at the end");
        }
    }

    const Options& options_;
    QtForm1Window& window_;
    Simulator simulator_;
    std::mt19937_64 random_;
    Tally tally_;
    Snapshot start_;
    Snapshot middle_;
    Snapshot end_;
    std::string failure_;
};

int runProgram(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    if (!options.workdir.empty()) {
        fs::current_path(options.workdir);  // cal.txt lives in the working directory
    }
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication app(argc, argv);

    // As app/main.cpp wires the program.
    const std::unique_ptr<hid::Platform> platform = hid::makeNativePlatform();
    hid::HIDusb device(*platform);
    QtForm1Window window;
    Form1 form(window, device, CalibrationFile("cal.txt"));
    window.attach(form);
    form.Form_Load();
    window.show();

    auto* timer = window.findChild<QTimer*>("Timer1");
    if (timer == nullptr) {
        throw std::runtime_error("the window has no Timer1");
    }
    timer->setInterval(options.intervalMs);
    form.clickRequested(ControlId::cmdOn);  // START

    Soak soak(options, window);
    const auto started = Clock::now();
    std::thread simulatorSide([&] { soak.run(); });
    QApplication::exec();
    simulatorSide.join();
    return soak.report(std::chrono::duration<double>(Clock::now() - started).count());
}

}  // namespace
}  // namespace thermo::reliability

int main(int argc, char** argv) {
    try {
        return thermo::reliability::runProgram(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "plug_soak: %s\n", error.what());
        std::printf("verdict: FAILED: %s\n", error.what());
        return 1;
    }
}
