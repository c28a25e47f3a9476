#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace thermo::reader {

// A request to end a repeated run, made from another thread (the signal watcher). The run checks
// it between readings and sleeps through sleepUntil(), which a request cuts short.
class StopRequest {
  public:
    // Thread-safe; later requests change nothing.
    void request();
    bool requested() const;
    // Until `when` or a request, whichever comes first; false when a request came.
    bool sleepUntil(std::chrono::steady_clock::time_point when);
    // What a request does besides: end a report wait in progress. Called at once when the
    // request came already; set it empty before what it refers to goes.
    void setWake(std::function<void()> wake);

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool requested_ = false;
    std::function<void()> wake_;
};

// Turns the platform's interrupt and termination requests (SIGINT and SIGTERM; a console's
// Ctrl+C, Ctrl+Break and close) into stop.request() while it lives. Create it before any other
// thread starts. One implementation per platform.
class StopSignals {
  public:
    explicit StopSignals(StopRequest& stop);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

  private:
    struct Watcher;
    std::unique_ptr<Watcher> watcher_;
};

// While it lives, the console shows the UTF-8 the program writes (the degree sign) as such:
// Windows' consoles otherwise take bytes in the OEM code page; POSIX terminals need nothing.
class Utf8Console {
  public:
    Utf8Console();
    ~Utf8Console();
    Utf8Console(const Utf8Console&) = delete;
    Utf8Console& operator=(const Utf8Console&) = delete;

  private:
    unsigned previousCodePage_ = 0;
};

// Makes sure that standard input, output and error are open before the program opens anything:
// on POSIX, /dev/null stands in for a closed one (os::openClosedStandardStreams); Windows needs
// nothing. Empty, or why it could not.
std::string openClosedStandardStreams();

// Whether `stream` is a regular file that holds data already (a log opened for appending), so
// that a CSV header goes once into each file. A pipe, a terminal or an empty file holds none.
bool holdsData(std::FILE* stream);

}  // namespace thermo::reader
