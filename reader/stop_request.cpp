#include "reader/console.h"

#include <utility>

namespace thermo::reader {

void StopRequest::request() {
    std::lock_guard lock(mutex_);
    if (requested_) return;
    requested_ = true;
    changed_.notify_all();
    // Under the lock, so that what wake_ refers to cannot go meanwhile (setWake waits).
    if (wake_) wake_();
}

bool StopRequest::requested() const {
    std::lock_guard lock(mutex_);
    return requested_;
}

bool StopRequest::sleepUntil(std::chrono::steady_clock::time_point when) {
    std::unique_lock lock(mutex_);
    return !changed_.wait_until(lock, when, [this] { return requested_; });
}

void StopRequest::setWake(std::function<void()> wake) {
    std::lock_guard lock(mutex_);
    wake_ = std::move(wake);
    if (requested_ && wake_) wake_();
}

}  // namespace thermo::reader
