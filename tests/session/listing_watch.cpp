// Runs a program after starting a watcher that writes the CLOCK_MONOTONIC time of every opening
// of /sys/class/hidraw to a file, one line each: the program lists that folder once per search
// for the thermometer, so the file shows how often it searched, and when.
//
//   e2e_listing_watch OUT PROGRAM [ARGS...]
//
// The program keeps this process's pid (the watcher is a child that ends with it), so that
// whoever started us can treat it as the program itself.
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char* kClassDir = "/sys/class/hidraw";

long long monotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

[[noreturn]] void watch(const char* out, int ready, pid_t parent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(0);
    const int notify = ::inotify_init1(IN_CLOEXEC);
    // Closes are watched too, although only opens are written: inotify merges an event into an
    // identical one still unread, and open, close, open, close never has two alike in a row.
    const std::uint32_t mask = IN_OPEN | IN_CLOSE_NOWRITE | IN_ONLYDIR;
    if (notify < 0 || ::inotify_add_watch(notify, kClassDir, mask) < 0) {
        std::fprintf(stderr, "e2e_listing_watch: %s: %s\n", kClassDir, std::strerror(errno));
        ::_exit(1);
    }
    std::FILE* file = std::fopen(out, "w");
    if (file == nullptr) ::_exit(1);
    const char ok = 1;
    if (::write(ready, &ok, 1) != 1) ::_exit(1);
    ::close(ready);
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(notify, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) ::_exit(1);
        const long long now = monotonicNs();
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            // Events on the folder itself have no name; its entries' own opens are not listings.
            if ((event->mask & IN_OPEN) != 0 && event->len == 0) std::fprintf(file, "%lld\n", now);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
        std::fflush(file);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: e2e_listing_watch OUT PROGRAM [ARGS...]\n");
        return 2;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return 1;
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) return 1;
    if (child == 0) {
        ::close(pipeFds[0]);
        watch(argv[1], pipeFds[1], parent);
    }
    ::close(pipeFds[1]);
    char ok = 0;
    if (::read(pipeFds[0], &ok, 1) != 1) return 1;
    ::close(pipeFds[0]);
    ::execvp(argv[2], argv + 2);
    std::fprintf(stderr, "e2e_listing_watch: %s: %s\n", argv[2], std::strerror(errno));
    return 127;
}
