#include "window/tick_worker.h"

#include <stdexcept>
#include <utility>

namespace thermo {

TickWorker::TickWorker(WindowThread& window, ThreadStart start)
    : window_(window), start_(std::move(start)), alive_(std::make_shared<TickWorker*>(this)) {
    if (!start_) {
        start_ = [](std::function<void()> loop) { return std::thread(std::move(loop)); };
    }
}

TickWorker::~TickWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    alive_.reset();  // only now: the thread made its tasks' copies from it
}

void TickWorker::start(std::function<void()> work, std::function<void()> done) {
    {
        std::lock_guard lock(mutex_);
        if (stage_ != Stage::Idle) throw std::logic_error("a tick's job is still running");
    }
    if (!thread_.joinable()) thread_ = start_([this] { serve(); });
    {
        std::lock_guard lock(mutex_);
        work_ = std::move(work);
        done_ = std::move(done);
        stage_ = Stage::Waiting;
    }
    wake_.notify_one();
}

bool TickWorker::handOver() {
    std::function<void()> done;
    {
        std::lock_guard lock(mutex_);
        if (stage_ != Stage::Finished) return false;
        stage_ = Stage::Idle;
        done = std::exchange(done_, nullptr);
    }
    done();
    return true;
}

void TickWorker::serve() {
    const std::weak_ptr<TickWorker*> alive = alive_;
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || stage_ == Stage::Waiting; });
        if (stopping_) return;
        std::function<void()> work = std::exchange(work_, nullptr);
        stage_ = Stage::Working;
        lock.unlock();
        // Should `work` throw after all, the window must still hear that it ended, or the tick
        // would never finish.
        try {
            work();
        } catch (...) {
        }
        lock.lock();
        stage_ = Stage::Finished;
        if (stopping_) return;
        lock.unlock();
        window_.runOnWindowThread([alive] {
            if (const auto self = alive.lock()) (*self)->handOver();
        });
        lock.lock();
    }
}

}  // namespace thermo
