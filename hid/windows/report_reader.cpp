// Reading input reports with overlapped ReadFile.
//
// Freshness. The HID class driver queues the input reports a device sends between two reads
// (32 by default, HidD_GetNumInputBuffers), and ReadFile hands out the oldest first. A reading
// taken once a second from a device that reports more often would therefore lag behind by up
// to the whole queue. HidD_FlushQueue before each read would drop the newest report along with
// the old ones and make every read wait for the device's next report; instead the queue is
// drained: reads are issued one after another while they complete at once, and the last one
// that delivered is kept. The first read that stays pending shows the queue is empty; it is
// cancelled, unless nothing has been read yet, in which case it is the read that waits for the
// next report, at most the time-out.
//
// Buffers. While a read is outstanding the kernel owns its buffer and its OVERLAPPED record, so
// no read is ever left outstanding: a read that is not collected is cancelled and then waited
// for until the cancellation has completed. A cancelled read can still complete with a report
// that arrived just before the cancel took; that report is used, not dropped.

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>

#include "hid/windows/windows_platform.h"

namespace thermo::hid {

namespace {

using os::callFailed;

// Reads per call while reports keep completing at once, so that a device that refills the
// queue as fast as it is drained cannot hold the call forever. Windows queues at most 512.
constexpr int kMaxReadsPerCall = 1024;

// How long a cancelled read may take to complete. HID reads complete at once when cancelled;
// one that does not is left to the kernel rather than waited for without end.
constexpr DWORD kCancelGraceMs = 5000;

DWORD toWaitMs(std::chrono::milliseconds timeout) {
    const auto ms = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INFINITE - 1);
    return static_cast<DWORD>(ms);
}

// One overlapped ReadFile into storage of its own. It never ends with the read outstanding.
class OverlappedRead {
  public:
    enum class State { Pending, Completed, Cancelled, Failed };

    OverlappedRead(const WindowsHandle& file, HANDLE event, std::size_t length)
        : file_(file), io_(std::make_unique<Io>()) {
        io_->data.resize(length);
        io_->overlapped.hEvent = event;
        ResetEvent(event);
        if (ReadFile(file_.get(), io_->data.data(), static_cast<DWORD>(length), nullptr,
                     &io_->overlapped)) {
            collect(FALSE);
            return;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            state_ = State::Pending;
        } else {
            fail(callFailed("ReadFile", file_.path(), error));
        }
    }

    ~OverlappedRead() {
        if (state_ == State::Pending) {
            cancel();
        }
    }

    OverlappedRead(const OverlappedRead&) = delete;
    OverlappedRead& operator=(const OverlappedRead&) = delete;

    State state() const { return state_; }
    const std::string& error() const { return error_; }

    // True, and the read collected, when it has completed by now.
    bool completedNow() {
        if (state_ == State::Pending &&
            WaitForSingleObject(io_->overlapped.hEvent, 0) == WAIT_OBJECT_0) {
            collect(FALSE);
        }
        return state_ != State::Pending;
    }

    // After the event was signalled: takes the read's outcome.
    void collect() { collect(FALSE); }

    // Abandons a pending read and waits until the kernel has let go of it. A report that made
    // it in before the cancel took leaves the read Completed.
    void cancel() {
        if (state_ != State::Pending) {
            return;
        }
        CancelIo(file_.get());
        if (WaitForSingleObject(io_->overlapped.hEvent, kCancelGraceMs) == WAIT_OBJECT_0) {
            collect(FALSE);
            return;
        }
        // The kernel still owns the buffer and the record: leave them to it. The caller closes
        // the handle (the read fails), which ends the read for good.
        static_cast<void>(io_.release());
        fail("CancelIo " + file_.path() + ": the cancelled read did not complete");
    }

    // The delivered bytes of a Completed read.
    std::vector<std::uint8_t> takeReport() {
        io_->data.resize(bytes_);
        return std::move(io_->data);
    }

  private:
    struct Io {
        OVERLAPPED overlapped{};
        std::vector<std::uint8_t> data;
    };

    void collect(BOOL wait) {
        DWORD bytes = 0;
        if (GetOverlappedResult(file_.get(), &io_->overlapped, &bytes, wait)) {
            bytes_ = bytes;
            state_ = State::Completed;
            return;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE) {
            return;  // still pending
        }
        if (error == ERROR_OPERATION_ABORTED) {
            state_ = State::Cancelled;
            return;
        }
        fail(callFailed("ReadFile", file_.path(), error));
    }

    void fail(std::string error) {
        state_ = State::Failed;
        error_ = std::move(error);
    }

    const WindowsHandle& file_;
    std::unique_ptr<Io> io_;
    State state_ = State::Pending;
    DWORD bytes_ = 0;
    std::string error_;
};

// Leaves the report event unsignalled, however the call ends.
class ResetOnExit {
  public:
    explicit ResetOnExit(HANDLE event) : event_(event) {}
    ~ResetOnExit() { ResetEvent(event_); }
    ResetOnExit(const ResetOnExit&) = delete;
    ResetOnExit& operator=(const ResetOnExit&) = delete;

  private:
    HANDLE event_;
};

ReadResult delivered(std::vector<std::uint8_t> report, std::span<std::uint8_t> buffer) {
    const std::size_t n = std::min(report.size(), buffer.size());
    std::copy_n(report.begin(), n, buffer.begin());
    std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(n), buffer.end(), std::uint8_t{0});
    return ReadResult{ReadOutcome::Report, n, {}};
}

ReadResult gone(std::string error) { return ReadResult{ReadOutcome::Gone, 0, std::move(error)}; }

}  // namespace

ReadResult readNewestReport(const WindowsHandle& handle, const WindowsWaitEvent& event,
                            std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) {
    if (event.woken()) {
        return ReadResult{ReadOutcome::Woken, 0, {}};
    }
    if (buffer.empty()) {
        return gone("ReadFile " + handle.path() + ": the device declares no input report");
    }
    ResetOnExit resetEvent(event.reportEvent());

    std::optional<std::vector<std::uint8_t>> newest;
    for (int reads = 0; reads < kMaxReadsPerCall; ++reads) {
        OverlappedRead read(handle, event.reportEvent(), buffer.size());
        if (read.state() == OverlappedRead::State::Pending) {
            if (newest) {
                // The queue is empty: the report in hand is the newest there is.
                if (!read.completedNow()) {
                    read.cancel();
                }
            } else {
                const HANDLE events[] = {event.reportEvent(), event.wakeEvent()};
                const DWORD waited = WaitForMultipleObjects(2, events, FALSE, toWaitMs(timeout));
                if (waited == WAIT_OBJECT_0) {
                    read.collect();
                } else if (waited == WAIT_OBJECT_0 + 1) {
                    read.cancel();
                    return ReadResult{ReadOutcome::Woken, 0, {}};
                } else if (waited == WAIT_TIMEOUT) {
                    read.cancel();
                } else {
                    const DWORD error = GetLastError();
                    read.cancel();
                    return gone(callFailed("WaitForMultipleObjects", handle.path(), error));
                }
            }
        }

        switch (read.state()) {
            case OverlappedRead::State::Completed:
                newest = read.takeReport();
                continue;  // more may be queued behind it
            case OverlappedRead::State::Failed:
                // Also behind reports read before it: the device is gone now, and its last
                // report must not make it look present for one more reading.
                return gone(read.error());
            case OverlappedRead::State::Cancelled:
            case OverlappedRead::State::Pending:
                break;
        }
        break;
    }
    if (newest) {
        return delivered(std::move(*newest), buffer);
    }
    return ReadResult{ReadOutcome::TimedOut, 0, {}};
}

}  // namespace thermo::hid
