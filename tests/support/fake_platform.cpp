#include "tests/support/fake_platform.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace thermo::hid {

namespace {

const char* modeName(OpenMode mode) { return mode == OpenMode::Plain ? "plain" : "reports"; }

}  // namespace

struct FakePlatform::State {
    struct Slot {
        Interface iface;
        std::deque<ScriptedRead> reads;
        std::uint64_t generation = 0;
    };
    struct OpenFailure {
        std::string path;
        std::string message;
        std::optional<OpenMode> mode;
        std::string hint;
    };

    std::mutex mutex;
    std::condition_variable changed;

    std::vector<Slot> slots;  // in listing order
    std::uint64_t nextGeneration = 1;
    std::vector<OpenFailure> openFailures;
    std::map<std::string, std::string> idsFailures;
    std::optional<std::string> listingFailure;

    bool blocking = false;
    int releases = 0;

    std::vector<std::string> calls;
    int openHandles = 0;
    int readsStarted = 0;
    int readsEnded = 0;
    std::size_t lastReadSize = 0;
    std::chrono::milliseconds lastReadTimeout{0};

    Slot* find(const std::string& path) {
        auto it = std::find_if(slots.begin(), slots.end(),
                               [&](const Slot& s) { return s.iface.path == path; });
        return it == slots.end() ? nullptr : &*it;
    }
};

namespace {

using State = FakePlatform::State;

class FakeHandle : public Handle {
  public:
    FakeHandle(std::shared_ptr<State> state, std::string path, OpenMode mode,
               std::uint64_t generation)
        : state_(std::move(state)), path_(std::move(path)), mode_(mode), generation_(generation) {}

    ~FakeHandle() override {
        std::lock_guard lock(state_->mutex);
        state_->calls.push_back("close " + path_ + " " + modeName(mode_));
        --state_->openHandles;
        state_->changed.notify_all();
    }

    const std::string& path() const { return path_; }

    // The interface this handle was opened on, while it is still plugged in. Caller holds the
    // state's mutex.
    State::Slot* slot() const {
        State::Slot* s = state_->find(path_);
        return s != nullptr && s->generation == generation_ ? s : nullptr;
    }

  private:
    std::shared_ptr<State> state_;
    std::string path_;
    OpenMode mode_;
    std::uint64_t generation_;
};

class FakeEvent : public WaitEvent {
  public:
    explicit FakeEvent(std::shared_ptr<State> state) : state_(std::move(state)) {}

    void wake() override {
        std::lock_guard lock(state_->mutex);
        state_->calls.push_back("wake");
        woken_ = true;
        state_->changed.notify_all();
    }

    // Caller holds the state's mutex.
    bool woken() const { return woken_; }

  private:
    std::shared_ptr<State> state_;
    bool woken_ = false;
};

FakeHandle& asFake(Handle& handle) {
    auto* fake = dynamic_cast<FakeHandle*>(&handle);
    if (fake == nullptr) throw std::logic_error("FakePlatform was given a handle it did not open");
    return *fake;
}

}  // namespace

FakePlatform::FakePlatform() : state_(std::make_shared<State>()) {}

// Handles and events may outlive the platform object; they share its state.
FakePlatform::~FakePlatform() = default;

void FakePlatform::addInterface(Interface iface) {
    std::lock_guard lock(state_->mutex);
    State::Slot slot{iface, {}, state_->nextGeneration++};
    if (State::Slot* existing = state_->find(iface.path)) {
        *existing = std::move(slot);
    } else {
        state_->slots.push_back(std::move(slot));
    }
    state_->changed.notify_all();
}

void FakePlatform::addThermometer(const std::string& path, int reportLength, std::string port) {
    addInterface({path, kThermometerIds, reportLength, true, std::move(port)});
}

void FakePlatform::removeInterface(const std::string& path) {
    std::lock_guard lock(state_->mutex);
    std::erase_if(state_->slots, [&](const State::Slot& s) { return s.iface.path == path; });
    state_->changed.notify_all();
}

void FakePlatform::queue(const std::string& path, ScriptedRead read) {
    std::lock_guard lock(state_->mutex);
    State::Slot* slot = state_->find(path);
    if (slot == nullptr) throw std::logic_error("queue: no interface " + path);
    slot->reads.push_back(std::move(read));
    state_->changed.notify_all();
}

void FakePlatform::queueReport(const std::string& path, std::vector<std::uint8_t> bytes) {
    queue(path, {ReadOutcome::Report, std::move(bytes), {}});
}

void FakePlatform::queueTimeout(const std::string& path) {
    queue(path, {ReadOutcome::TimedOut, {}, {}});
}

void FakePlatform::queueGone(const std::string& path, std::string error) {
    queue(path, {ReadOutcome::Gone, {}, std::move(error)});
}

void FakePlatform::queueWoken(const std::string& path) {
    queue(path, {ReadOutcome::Woken, {}, {}});
}

void FakePlatform::failOpen(const std::string& path, std::string message,
                            std::optional<OpenMode> mode, std::string hint) {
    std::lock_guard lock(state_->mutex);
    state_->openFailures.push_back({path, std::move(message), mode, std::move(hint)});
}

void FakePlatform::clearOpenFailures() {
    std::lock_guard lock(state_->mutex);
    state_->openFailures.clear();
}

void FakePlatform::failListing(std::optional<std::string> message) {
    std::lock_guard lock(state_->mutex);
    state_->listingFailure = std::move(message);
}

void FakePlatform::failReadIds(const std::string& path, std::string message) {
    std::lock_guard lock(state_->mutex);
    state_->idsFailures[path] = std::move(message);
}

void FakePlatform::setBlockingReads(bool on) {
    std::lock_guard lock(state_->mutex);
    state_->blocking = on;
    state_->changed.notify_all();
}

void FakePlatform::releaseRead() {
    std::lock_guard lock(state_->mutex);
    ++state_->releases;
    state_->changed.notify_all();
}

bool FakePlatform::waitForReadsStarted(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->readsStarted >= count; });
}

std::vector<std::string> FakePlatform::calls() const {
    std::lock_guard lock(state_->mutex);
    return state_->calls;
}

void FakePlatform::clearCalls() {
    std::lock_guard lock(state_->mutex);
    state_->calls.clear();
}

namespace {

int countCalls(const std::vector<std::string>& calls, const std::string& prefix) {
    return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&](const std::string& c) {
        return c.compare(0, prefix.size(), prefix) == 0;
    }));
}

}  // namespace

int FakePlatform::listCount() const { return countCalls(calls(), "list"); }
int FakePlatform::createEventCount() const { return countCalls(calls(), "event"); }
int FakePlatform::openCount(const std::string& path) const {
    return countCalls(calls(), "open " + path + " ");
}
int FakePlatform::closeCount(const std::string& path) const {
    return countCalls(calls(), "close " + path + " ");
}
int FakePlatform::readCount() const { return countCalls(calls(), "read "); }

int FakePlatform::readsInProgress() const {
    std::lock_guard lock(state_->mutex);
    return state_->readsStarted - state_->readsEnded;
}

int FakePlatform::openHandleCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->openHandles;
}

std::size_t FakePlatform::lastReadSize() const {
    std::lock_guard lock(state_->mutex);
    return state_->lastReadSize;
}

std::chrono::milliseconds FakePlatform::lastReadTimeout() const {
    std::lock_guard lock(state_->mutex);
    return state_->lastReadTimeout;
}

std::vector<InterfaceEntry> FakePlatform::listInterfaces() {
    std::lock_guard lock(state_->mutex);
    state_->calls.emplace_back("list");
    if (state_->listingFailure) throw PlatformError(*state_->listingFailure);
    std::vector<InterfaceEntry> entries;
    for (const State::Slot& slot : state_->slots) {
        InterfaceEntry entry{slot.iface.path, std::nullopt, slot.iface.port};
        if (slot.iface.listingKnowsIds) entry.ids = slot.iface.ids;
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::unique_ptr<Handle> FakePlatform::open(const std::string& path, OpenMode mode) {
    std::lock_guard lock(state_->mutex);
    // Attempts are recorded, failed ones too: tests count what was tried.
    state_->calls.push_back("open " + path + " " + modeName(mode));
    for (const State::OpenFailure& failure : state_->openFailures) {
        if (failure.path == path && (!failure.mode || *failure.mode == mode)) {
            throw PlatformError(failure.message, failure.hint);
        }
    }
    State::Slot* slot = state_->find(path);
    if (slot == nullptr) throw PlatformError("open " + path + ": No such file or directory");
    ++state_->openHandles;
    return std::make_unique<FakeHandle>(state_, path, mode, slot->generation);
}

DeviceIds FakePlatform::readIds(Handle& handle) {
    FakeHandle& fake = asFake(handle);
    std::lock_guard lock(state_->mutex);
    state_->calls.push_back("ids " + fake.path());
    if (auto it = state_->idsFailures.find(fake.path()); it != state_->idsFailures.end()) {
        throw PlatformError(it->second);
    }
    State::Slot* slot = fake.slot();
    if (slot == nullptr) throw PlatformError("ids " + fake.path() + ": No such device");
    return slot->iface.ids;
}

int FakePlatform::inputReportLength(Handle& handle) {
    FakeHandle& fake = asFake(handle);
    std::lock_guard lock(state_->mutex);
    state_->calls.push_back("length " + fake.path());
    State::Slot* slot = fake.slot();
    if (slot == nullptr) throw PlatformError("length " + fake.path() + ": No such device");
    return slot->iface.reportLength;
}

std::unique_ptr<WaitEvent> FakePlatform::createReportEvent() {
    std::lock_guard lock(state_->mutex);
    state_->calls.emplace_back("event");
    return std::make_unique<FakeEvent>(state_);
}

ReadResult FakePlatform::readReport(Handle& reportHandle, WaitEvent& event,
                                    std::span<std::uint8_t> buffer,
                                    std::chrono::milliseconds timeout) {
    FakeHandle& handle = asFake(reportHandle);
    auto* fakeEvent = dynamic_cast<FakeEvent*>(&event);
    if (fakeEvent == nullptr) throw std::logic_error("FakePlatform was given a foreign event");

    std::unique_lock lock(state_->mutex);
    state_->calls.push_back("read " + handle.path() + " " + std::to_string(buffer.size()));
    ++state_->readsStarted;
    // Counted on every way out, while the lock is still held.
    struct EndCount {
        int& ended;
        ~EndCount() { ++ended; }
    } endCount{state_->readsEnded};
    state_->lastReadSize = buffer.size();
    state_->lastReadTimeout = timeout;
    state_->changed.notify_all();

    if (state_->blocking) {
        bool released = state_->changed.wait_for(lock, timeout, [&] {
            return fakeEvent->woken() || handle.slot() == nullptr || state_->releases > 0 ||
                   !state_->blocking;
        });
        if (!released) return {ReadOutcome::TimedOut, 0, {}};
        if (!fakeEvent->woken() && handle.slot() != nullptr && state_->releases > 0) {
            --state_->releases;
        }
    }

    if (fakeEvent->woken()) return {ReadOutcome::Woken, 0, {}};
    State::Slot* slot = handle.slot();
    if (slot == nullptr)
        return {ReadOutcome::Gone, 0, "read " + handle.path() + ": No such device"};
    if (slot->reads.empty()) return {ReadOutcome::TimedOut, 0, {}};

    ScriptedRead read = std::move(slot->reads.front());
    slot->reads.pop_front();
    if (read.outcome != ReadOutcome::Report) return {read.outcome, 0, read.error};
    std::size_t n = std::min(buffer.size(), read.bytes.size());
    std::copy_n(read.bytes.begin(), n, buffer.begin());
    return {ReadOutcome::Report, n, {}};
}

}  // namespace thermo::hid
