#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace thermo {

// The one thing a front end does for the tick's worker: run `task` on the window's thread, soon,
// after the events already waiting there (Qt: a queued invocation; Win32: a posted message). It
// is called from the worker's thread. A task that cannot be delivered (the window is gone, its
// queue is full) is dropped; the worker hands its result over at the next timer event instead.
class WindowThread {
  public:
    virtual ~WindowThread() = default;
    virtual void runOnWindowThread(std::function<void()> task) = 0;
};

// A tick's device work (search and report wait, up to 6 s) on a thread of its own, so that the
// window keeps painting, with its `done` back on the window's thread. One job at a time: a job is
// started only after the last one's `done` has run. The thread is made at the first job and then
// waits, without waking, for the next.
//
// Everything but the thread's own loop runs on the window's thread. The hand-over passes under
// this class's mutex, whatever the front end's queue, so that ThreadSanitizer sees it too.
class TickWorker {
  public:
    // Makes the worker's thread; std::thread's constructor unless a test needs one that fails.
    using ThreadStart = std::function<std::thread(std::function<void()>)>;

    explicit TickWorker(WindowThread& window, ThreadStart start = {});
    // Waits for the job that is running (the caller wakes a pending report wait first); its
    // `done`, and one not yet run, never run: what they would act on is going.
    ~TickWorker();
    TickWorker(const TickWorker&) = delete;
    TickWorker& operator=(const TickWorker&) = delete;

    // Runs `work` on the worker's thread, then `done` on the window's. `work` must not throw;
    // should it, `done` still runs. Throws std::logic_error while a job has not yet been
    // handed over, and what ThreadStart throws when no thread can be had; neither runs then.
    void start(std::function<void()> work, std::function<void()> done);

    // Runs the finished job's `done` now, if it has not run yet; whether it ran. The front end's
    // task calls it, and so does the next timer event, for a task that was dropped.
    bool handOver();

  private:
    enum class Stage { Idle, Waiting, Working, Finished };

    void serve();

    WindowThread& window_;
    ThreadStart start_;
    std::mutex mutex_;
    std::condition_variable wake_;
    Stage stage_ = Stage::Idle;
    bool stopping_ = false;
    std::function<void()> work_;
    std::function<void()> done_;
    // Expires when the worker goes: a task still queued in the window then does nothing.
    std::shared_ptr<TickWorker*> alive_;
    std::thread thread_;
};

}  // namespace thermo
