#pragma once

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
        const bool handled = QApplication::notify(receiver, event);
        longestNs_ = std::max(longestNs_, monotonicNs() - start);
        nested_ = false;
        return handled;
    }

    // The longest handling of one event since the last call, in nanoseconds.
    std::int64_t takeLongestNs() { return std::exchange(longestNs_, 0); }

    static TimedApplication& current() {
        return *static_cast<TimedApplication*>(QCoreApplication::instance());
    }

  private:
    bool nested_ = false;
    std::int64_t longestNs_ = 0;
};

}  // namespace thermo::bench
