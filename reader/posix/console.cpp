#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "os/posix/standard_streams.h"
#include "reader/console.h"

namespace thermo::reader {

// The signals are blocked in every thread and taken by one thread with sigwait(), so that the
// request is made from ordinary code rather than from a signal handler.
struct StopSignals::Watcher {
    explicit Watcher(StopRequest& stop) {
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals, &previous);
        thread = std::thread([this, &stop] {
            for (;;) {
                int signal = 0;
                sigwait(&signals, &signal);
                if (ending) return;
                stop.request();
            }
        });
    }

    ~Watcher() {
        ending = true;
        pthread_kill(thread.native_handle(), SIGTERM);
        thread.join();
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    sigset_t signals{};
    sigset_t previous{};
    std::atomic<bool> ending{false};
    std::thread thread;
};

StopSignals::StopSignals(StopRequest& stop) : watcher_(std::make_unique<Watcher>(stop)) {}

StopSignals::~StopSignals() = default;

Utf8Console::Utf8Console() = default;

Utf8Console::~Utf8Console() = default;

std::string openClosedStandardStreams() { return os::openClosedStandardStreams(); }

bool holdsData(std::FILE* stream) {
    struct stat status {};
    return ::fstat(::fileno(stream), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0;
}

}  // namespace thermo::reader
