#include "reader/reader.h"

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "hid/hidusb.h"
#include "measure/atomic_file.h"
#include "measure/calibration_file.h"
#include "os/error_text.h"
#include "reader/listing.h"
#include "reader/output.h"
#include "reader/selection.h"

namespace thermo::reader {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kProgram = "usb-thermometer-read: ";

// The system's reason when the line did not all arrive.
std::optional<std::string> writeLine(std::FILE* stream, const std::string& line) {
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), stream) == line.size() &&
        std::fflush(stream) == 0) {
        return std::nullopt;
    }
    return std::error_code(errno != 0 ? errno : EIO, std::generic_category()).message();
}

// Standard error has nowhere to say that it failed.
void say(const Streams& streams, const std::string& message) {
    (void)writeLine(streams.err, std::string(kProgram) + message + "\n");
}

// Writes to standard output; a line that did not arrive is said, and ends the run.
bool writeOut(const Streams& streams, const std::string& line) {
    const auto failure = writeLine(streams.out, line);
    if (failure) say(streams, os::callFailed("write", "standard output", *failure));
    return !failure;
}

std::string noThermometer(const hid::HIDusb& device, const std::optional<std::string>& wanted) {
    std::string text =
        wanted ? "no thermometer at " + *wanted : std::string("no thermometer found");
    if (!device.LastProblem.empty()) text += ": " + device.LastProblem;
    return text;
}

// Every thermometer, also one that cannot be opened, so that --list is the first thing to run
// when something is wrong. Succeeds when one of them can be read.
int listThermometers(hid::Platform& platform, bool json, const Streams& streams) {
    int listed = 0;
    int usable = 0;
    for (const hid::InterfaceEntry& entry : platform.listInterfaces()) {
        const auto thermometer = probeListed(platform, entry);
        if (!thermometer) continue;
        if (!writeOut(streams, json ? listJsonLine(*thermometer) : listLine(*thermometer))) {
            return ExitOutput;
        }
        ++listed;
        if (thermometer->problem.empty()) ++usable;
    }
    if (listed == 0) say(streams, "no thermometer found");
    return usable > 0 ? ExitRead : ExitNoThermometer;
}

// Where loadPoints() says what it found: errors, which end the run, and notices, which do not.
struct PointsReport {
    std::function<void(const std::string&)> error;
    std::function<void(const std::string&)> notice;
};

// The calibration points in use, or the status to end with. Never creates the file. The default
// points stand in only for the working folder's cal.txt: a file the user named and that is not
// there is more likely a typing error than a wish for the defaults.
std::variant<CalibrationPoints, int> loadPoints(const std::optional<std::filesystem::path>& named,
                                                const PointsReport& report) {
    const std::filesystem::path file = named.value_or(kDefaultCalibrationFile);
    CalibrationPoints points{.zero = kDefaultCalZero, .hundred = kDefaultCalHundred};
    try {
        if (auto loaded = CalibrationFile(file).loadIfPresent()) {
            points = *loaded;
        } else if (named) {
            // Named with its whole path, as the calibration file's other errors are.
            std::error_code noWorkingFolder;
            const auto whole = std::filesystem::absolute(file, noWorkingFolder);
            report.error((noWorkingFolder ? file : whole).string() + ": " +
                         std::make_error_code(std::errc::no_such_file_or_directory).message());
            return ExitCalibration;
        } else {
            report.notice(file.string() + " not found; using the default points 0.72 and 0.35");
        }
    } catch (const CalibrationError& error) {
        report.error(error.what());
        return ExitCalibration;
    }
    // Equal points, or ones that are not numbers, give no temperature for any report.
    if (!celsiusFromRatio(0.5, points.zero, points.hundred)) {
        report.error(file.string() +
                     ": its two points give no temperature (equal, or not numbers)");
        return ExitCalibration;
    }
    return points;
}

// Why the last poll of a found thermometer brought no report.
std::string whyNoReport(const hid::HIDusb& device) {
    const hid::ReadResult& read = device.LastRead;
    switch (read.outcome) {
        case hid::ReadOutcome::Gone:
            return device.DevicePath + " was unplugged" +
                   (read.error.empty() ? "" : " (" + read.error + ")");
        case hid::ReadOutcome::Report:
            return device.DevicePath + ": a short report (" + std::to_string(read.bytes) + " of " +
                   std::to_string(device.DeviceCaps.InputReportByteLength) + " bytes); no reading";
        case hid::ReadOutcome::TimedOut:
        case hid::ReadOutcome::Woken:
            break;
    }
    return "no report from " + device.DevicePath + " within 6 s";
}

std::string noTemperature(const hid::HIDusb& device) {
    return device.DevicePath +
           ": its report gives no temperature with the calibration points in use";
}

// One run of readings: the device, where the lines go, and what has been said about the device.
class Run {
  public:
    Run(const Options& options, Selection& selection, StopRequest& stop, const Streams& streams,
        CalibrationPoints points, std::vector<std::unique_ptr<Publisher>> publishers)
        : options_(options),
          selection_(selection),
          device_(selection),
          stop_(stop),
          streams_(streams),
          points_(std::move(points)),
          publishers_(std::move(publishers)) {
        exposition_.name = options_.name;
        stop_.setWake([this] { device_.WakePendingRead(); });
    }
    ~Run() { stop_.setWake({}); }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    int readAll() {
        const int status = takeReadings();
        // A stopped logger must never look healthy to the collector: the file says it is down.
        if (stop_.requested()) {
            exposition_.reading.reset();
            expose();
        }
        for (const auto& publisher : publishers_) publisher->stop(exposition_);
        // Readings that did not all reach the exposition file leave the run short of its job.
        return status == ExitRead && exposeFailed_ ? ExitOutput : status;
    }

  private:
    int takeReadings() {
        const bool repeated = options_.count != 1;
        int status = ExitRead;
        const auto start = Clock::now();
        const std::chrono::duration<double> interval(options_.intervalSeconds);
        long long slot = 0;
        // A repeated run counts the readings written; one that failed is a gap, not a row.
        int written = 0;
        for (int attempts = 0; options_.count == 0 || written < options_.count; ++attempts) {
            if (attempts > 0) {
                slot = nextSlot(start, interval, slot);
                if (!stop_.sleepUntil(start + std::chrono::duration_cast<Clock::duration>(
                                                  interval * static_cast<double>(slot)))) {
                    return ExitRead;
                }
            }
            const int outcome = attempt(repeated);
            if (outcome == ExitOutput) return outcome;
            // A stopped repeated run ends well; a single reading cut short has not read.
            if (stop_.requested()) return repeated ? ExitRead : outcome;
            status = outcome;
            if (outcome == ExitRead || !repeated) ++written;
        }
        return status;
    }

    // The next slot on the grid start + k × interval that is still ahead: readings keep their
    // rhythm without drift, and one that overran (a 6 s time-out) skips the slots it missed.
    static long long nextSlot(Clock::time_point start, std::chrono::duration<double> interval,
                              long long slot) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start) / interval;
        return std::max(slot + 1, static_cast<long long>(std::floor(elapsed)) + 1);
    }

    int attempt(bool repeated) {
        try {
            if (!device_.DevicePresent && !device_.FindThermometer()) {
                return failed(ExitNoThermometer, noThermometer(device_, selection_.wanted()),
                              repeated);
            }
            // A replug must not make the run carry on with another probe.
            selection_.keepPort(device_.DevicePort);
        } catch (const hid::PlatformError& error) {
            // The interfaces could not be listed at all; a repeated run tries again.
            return failed(ExitNoThermometer, error.what(), repeated);
        }
        device_.PollThermometer();
        if (!device_.ReportBuffer) {
            if (stop_.requested()) return ExitNoReport;  // woken for the stop, not gone
            return failed(ExitNoReport, whyNoReport(device_), repeated);
        }
        auto reading = readingFromReport(*device_.ReportBuffer, points_);
        if (!reading) {
            return failed(ExitCalibration, noTemperature(device_), repeated);
        }
        reading->time = std::chrono::system_clock::now();
        reading->device = device_.DevicePath;
        reading->port = device_.DevicePort;
        reading->name = options_.name;
        if (gone_) {
            notice((everRead_ ? "thermometer back at " : "thermometer found at ") +
                   device_.DevicePath);
        }
        gone_ = false;
        everRead_ = true;
        if (!writeReading(*reading)) return ExitOutput;
        exposition_.reading = reading;
        exposition_.lastReadingTime = reading->time;
        exposition_.port = reading->port;
        expose();
        return ExitRead;
    }

    int failed(int status, const std::string& why, bool repeated) {
        if (!gone_) say(streams_, repeated && everRead_ ? "thermometer gone: " + why : why);
        gone_ = true;
        exposition_.reading.reset();
        expose();
        return status;
    }

    bool writeReading(const Reading& reading) {
        switch (options_.format) {
            case Format::Plain:
                return writeOut(streams_, plainLine(reading));
            case Format::Json:
                return writeOut(streams_, jsonLine(reading));
            case Format::Influx:
                return writeOut(streams_, influxLine(reading));
            case Format::Csv: {
                // Decided at the first row, when the file's content is what is appended to.
                const bool header =
                    !headerDecided_ && options_.csvHeader && !holdsData(streams_.out);
                headerDecided_ = true;  // also when the line fails: the run ends there
                return writeOut(streams_, (header ? csvHeader() : "") + csvLine(reading));
            }
        }
        return false;
    }

    void notice(const std::string& message) const {
        if (!options_.quiet) say(streams_, message);
    }

    void expose() {
        for (const auto& publisher : publishers_) publisher->publish(exposition_);
        if (!options_.prometheus) return;
        try {
            // The collector runs as another user: the file is readable by all whatever the umask.
            replaceFileAtomically(*options_.prometheus, prometheusText(exposition_),
                                  NewFileMode::ReadableByAll);
            exposeFailing_ = false;
        } catch (const std::system_error& error) {
            // Said once a streak of failures, not once a reading; the exit status keeps it.
            if (!exposeFailing_) {
                say(streams_, options_.prometheus->string() + ": " + error.what());
            }
            exposeFailing_ = true;
            exposeFailed_ = true;
        }
    }

    const Options& options_;
    Selection& selection_;
    hid::HIDusb device_;
    StopRequest& stop_;
    const Streams& streams_;
    CalibrationPoints points_;
    std::vector<std::unique_ptr<Publisher>> publishers_;
    bool gone_ = false;      // said that the thermometer is missing, and not since that it is back
    bool everRead_ = false;  // a reading has been taken in this run
    bool headerDecided_ = false;
    ExpositionState exposition_;
    bool exposeFailing_ = false;  // the last write of the exposition file failed
    bool exposeFailed_ = false;   // a write of it failed in this run
};

int readThermometer(const Options& options, hid::Platform& platform, StopRequest& stop,
                    const Streams& streams, const StartPublishers& startPublishers) {
    const auto tell = [&](const std::string& message) { say(streams, message); };
    const auto notice = [&](const std::string& message) {
        if (!options.quiet) say(streams, message);
    };
    const auto points = loadPoints(options.calibration, {tell, notice});
    if (const int* status = std::get_if<int>(&points)) return *status;
    Selection selection(platform);
    if (options.device) selection.wantDevice(*options.device);
    std::vector<std::unique_ptr<Publisher>> publishers;
    if (startPublishers) {
        try {
            publishers = startPublishers(options, tell);
        } catch (const PublisherStartError& error) {
            tell(error.what());
            return error.status();
        }
    }
    Run run(options, selection, stop, streams, std::get<CalibrationPoints>(points),
            std::move(publishers));
    return run.readAll();
}

// One reading for a monitoring plugin: its state, or UNKNOWN with the reason, on one line of
// standard output and nothing on standard error (Icinga 2 adds that to the service's output).
class Check {
  public:
    Check(const Options& options, hid::Platform& platform, StopRequest& stop)
        : options_(options), device_(platform), stop_(stop) {
        stop_.setWake([this] { device_.WakePendingRead(); });
    }
    ~Check() { stop_.setWake({}); }
    Check(const Check&) = delete;
    Check& operator=(const Check&) = delete;

    // The line, and the state that is its exit status.
    std::pair<std::string, CheckState> run() {
        std::string why;
        const auto points =
            loadPoints(options_.calibration,
                       {[&](const std::string& error) { why = error; }, [](const std::string&) {}});
        if (std::holds_alternative<int>(points)) return unknown(why);
        try {
            if (!device_.FindThermometer()) return unknown(noThermometer(device_, options_.device));
        } catch (const hid::PlatformError& error) {
            return unknown(error.what());
        }
        device_.PollThermometer();
        if (!device_.ReportBuffer) {
            return unknown(stop_.requested() ? std::string("interrupted before a report came")
                                             : whyNoReport(device_));
        }
        const auto reading = readingFromReport(*device_.ReportBuffer, std::get<0>(points));
        if (!reading) return unknown(noTemperature(device_));
        const CheckState state =
            checkState(checkValue(*reading), options_.warning, options_.critical);
        const std::string label = options_.name.empty() ? "temperature" : options_.name;
        return {checkLine(state, *reading, label, options_.warning, options_.critical), state};
    }

  private:
    static std::pair<std::string, CheckState> unknown(const std::string& why) {
        return {checkUnknownLine(why), CheckState::Unknown};
    }

    const Options& options_;
    hid::HIDusb device_;
    StopRequest& stop_;
};

int checkThermometer(const Options& options, hid::Platform& platform, StopRequest& stop,
                     const Streams& streams) {
    Check check(options, platform, stop);
    const auto [line, state] = check.run();
    // A plugin's statuses are 0 to 3 only: a line that did not arrive leaves the state unknown.
    return writeLine(streams.out, line) ? static_cast<int>(CheckState::Unknown)
                                        : static_cast<int>(state);
}

}  // namespace

int writeOutput(const std::string& text, int status, const Streams& streams) {
    return writeOut(streams, text) ? status : ExitOutput;
}

int runReader(const Options& options, hid::Platform& platform, StopRequest& stop,
              const Streams& streams, const StartPublishers& startPublishers) {
    if (options.list) return listThermometers(platform, options.format == Format::Json, streams);
    if (!options.check) return readThermometer(options, platform, stop, streams, startPublishers);
    Selection selection(platform);
    if (options.device) selection.wantDevice(*options.device);
    return checkThermometer(options, selection, stop, streams);
}

}  // namespace thermo::reader
