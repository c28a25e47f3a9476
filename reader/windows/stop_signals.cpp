#include <windows.h>

#include <atomic>

#include "reader/stop_requests.h"

namespace thermo::reader {

namespace {

// A console control handler takes no argument, so the one request it serves has to be found
// through this; the console runs the handler on a thread of its own.
std::atomic<StopRequest*>& handledRequest() {
    static std::atomic<StopRequest*> request{nullptr};
    return request;
}

BOOL WINAPI onConsoleControl(DWORD /*event*/) {
    StopRequest* request = handledRequest().load();
    if (request == nullptr) return FALSE;
    request->request();
    return TRUE;
}

}  // namespace

struct StopSignals::Watcher {
    explicit Watcher(StopRequest& stop) {
        handledRequest().store(&stop);
        SetConsoleCtrlHandler(onConsoleControl, TRUE);
    }
    ~Watcher() {
        SetConsoleCtrlHandler(onConsoleControl, FALSE);
        handledRequest().store(nullptr);
    }
};

StopSignals::StopSignals(StopRequest& stop) : watcher_(std::make_unique<Watcher>(stop)) {}

StopSignals::~StopSignals() = default;

}  // namespace thermo::reader
