#include "os/windows/windows.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdio>

#include "reader/console.h"

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

// The code page is the console's, shared with the shell that started the program, so it is put
// back as it was.
Utf8Console::Utf8Console() : previousCodePage_(GetConsoleOutputCP()) {
    if (previousCodePage_ != 0) SetConsoleOutputCP(CP_UTF8);
}

Utf8Console::~Utf8Console() {
    if (previousCodePage_ != 0) SetConsoleOutputCP(previousCodePage_);
}

// A handle the program opens never becomes a standard one, so there is nothing to protect.
std::string openClosedStandardStreams() { return {}; }

bool holdsData(std::FILE* stream) {
    struct _stati64 status {};
    return ::_fstati64(::_fileno(stream), &status) == 0 && (status.st_mode & _S_IFREG) != 0 &&
           status.st_size > 0;
}

}  // namespace thermo::reader
