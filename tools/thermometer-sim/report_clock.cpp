#include "tools/thermometer-sim/report_clock.h"

#include <vector>

namespace thermo::sim {

ReportClock::ReportClock(Emit emit) : emit_(std::move(emit)) {
    thread_ = std::thread([this] { run(); });
}

ReportClock::~ReportClock() {
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void ReportClock::setRate(int device, double hertz) {
    {
        std::lock_guard guard(mutex_);
        if (hertz <= 0) {
            schedules_.erase(device);
        } else {
            auto period = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(1.0 / hertz));
            if (period <= Clock::duration::zero()) period = Clock::duration(1);
            schedules_[device] = Schedule{period, Clock::now() + period};
        }
    }
    wake_.notify_all();
}

void ReportClock::run() {
    std::unique_lock lock(mutex_);
    std::vector<int> due;
    while (!stopping_) {
        auto now = Clock::now();
        auto wakeAt = Clock::time_point::max();
        due.clear();
        for (auto& [device, schedule] : schedules_) {
            if (schedule.next <= now) {
                due.push_back(device);
                schedule.next += schedule.period;
                // After a stall (a suspended machine, a debugger) carry on from now rather than
                // firing the missed reports in a burst.
                if (schedule.next <= now) schedule.next = now + schedule.period;
            }
            wakeAt = std::min(wakeAt, schedule.next);
        }
        if (!due.empty()) {
            lock.unlock();
            for (int device : due) emit_(device);
            lock.lock();
            continue;
        }
        if (wakeAt == Clock::time_point::max())
            wake_.wait(lock);
        else
            wake_.wait_until(lock, wakeAt);
    }
}

}  // namespace thermo::sim
