#pragma once

#include <time.h>

#include <QApplication>
#include <QThread>
#include <algorithm>
#include <cstdint>
#include <utility>

#include "bench/bench.h"

namespace thermo::bench {

// The benchmark's QApplication. It times the handling of every event on the window's thread
// (timers, queued invocations, paints: all the work the window's code does), so that how long
// the window itself holds its event loop up can be told apart from how late the machine wakes
// a sleeping thread.
class TimedApplication : public QApplication {
  public:
    TimedApplication(int& argc, char** argv) : QApplication(argc, argv) {}

    bool notify(QObject* receiver, QEvent* event) override {
        // An event sent from inside another belongs to that one's time.
        if (nested_ || QThread::currentThread() != thread()) {
            return QApplication::notify(receiver, event);
        }
        nested_ = true;
        const std::int64_t start = monotonicNs();
        const std::int64_t startCpu = threadCpuNs();
        const bool handled = QApplication::notify(receiver, event);
        longest_.wallNs = std::max(longest_.wallNs, monotonicNs() - start);
        longest_.cpuNs = std::max(longest_.cpuNs, threadCpuNs() - startCpu);
        nested_ = false;
        return handled;
    }

    // The longest handling of one event since the last call, in nanoseconds: as the clock on
    // the wall measures it, and as the thread's time on a processor does, which leaves out
    // the time other processes held the processor meanwhile.
    struct Longest {
        std::int64_t wallNs = 0;
        std::int64_t cpuNs = 0;
    };
    Longest takeLongest() { return std::exchange(longest_, {}); }

    static TimedApplication& current() {
        return *static_cast<TimedApplication*>(QCoreApplication::instance());
    }

  private:
    static std::int64_t threadCpuNs() {
        timespec now{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    }

    bool nested_ = false;
    Longest longest_;
};

}  // namespace thermo::bench
