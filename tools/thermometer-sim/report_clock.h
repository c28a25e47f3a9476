#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace thermo::sim {

// Paces each thermometer's reports: a thread that calls `emit(device)` at the device's rate, as
// a USB HID device answers the host's interrupt polls. The emit runs without the clock's lock.
class ReportClock {
  public:
    using Emit = std::function<void(int device)>;

    explicit ReportClock(Emit emit);
    ~ReportClock();
    ReportClock(const ReportClock&) = delete;
    ReportClock& operator=(const ReportClock&) = delete;

    // Reports per second; 0 stops the device's reports. The first comes one period from now.
    void setRate(int device, double hertz);

  private:
    using Clock = std::chrono::steady_clock;
    struct Schedule {
        Clock::duration period;
        Clock::time_point next;
    };

    void run();

    Emit emit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<int, Schedule> schedules_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace thermo::sim
