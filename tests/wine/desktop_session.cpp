#include "tests/windows/desktop_session.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace thermo::desktop {

namespace {

// Owns a file descriptor.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string key = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string& x : extra) replaced = replaced || x.rfind(key, 0) == 0;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

int decodeStatus(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
            const std::filesystem::path& dir, int outFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A group of its own, so that ending it ends what it started (wine's processes included).
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);

    std::vector<std::string> args = argv;
    std::vector<std::string> env = environmentWith(extraEnv);
    std::vector<char*> argp = pointers(args);
    std::vector<char*> envp = pointers(env);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argp[0], &actions, &attributes, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) throw std::system_error(error, std::generic_category(), "spawn " + argv[0]);
    return pid;
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                 const std::filesystem::path& dir, const std::filesystem::path& log) {
    Fd out(::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (out.get() < 0) throw std::system_error(errno, std::generic_category(), log.string());
    pid_ = spawn(argv, extraEnv, dir, out.get());
}

Process::~Process() {
    if (status_ || pid_ <= 0) return;
    ::kill(-pid_, SIGTERM);
    if (!waitFor(milliseconds(5000))) {
        ::kill(-pid_, SIGKILL);
        int raw = 0;
        ::waitpid(pid_, &raw, 0);
    }
}

std::optional<int> Process::poll() {
    if (status_) return status_;
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) == pid_) status_ = decodeStatus(raw);
    return status_;
}

std::optional<int> Process::waitFor(milliseconds timeout) {
    waitUntil([this] { return poll().has_value(); }, timeout);
    return status_;
}

RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv) {
    char name[] = "/tmp/thermo-run-XXXXXX";
    Fd out(::mkstemp(name));
    if (out.get() < 0) throw std::system_error(errno, std::generic_category(), "mkstemp");
    ::unlink(name);
    const pid_t pid = spawn(argv, extraEnv, {}, out.get());
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    RunResult result{decodeStatus(raw), {}};
    ::lseek(out.get(), 0, SEEK_SET);
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(out.get(), buffer, sizeof buffer)) > 0) {
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    return result;
}

bool haveProgram(const std::string& program) {
    return run({"sh", "-c", "command -v \"$0\" >/dev/null", program}).status == 0;
}

XServer::XServer(const std::filesystem::path& dir) {
    // A display number of its own choosing, well above those that servers started elsewhere
    // (in a chroot that does not see this machine's lock files, say) begin counting at: the
    // abstract X sockets are shared, so two servers on one number would catch each other's
    // clients. Xvfb writes the number to fd 3 once it accepts clients, or ends when the number
    // is taken.
    const std::filesystem::path number = dir / "xvfb.display";
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int n = 100 + static_cast<int>((::getpid() + attempt * 37) % 800);
        const std::string display = ":" + std::to_string(n);
        std::filesystem::remove(number);
        server_.reset();
        server_.emplace(std::vector<std::string>{"sh", "-c",
                                                 "exec Xvfb \"$1\" -displayfd 3 -screen 0 "
                                                 "800x600x24 -nolisten tcp 3>\"$0\"",
                                                 number.string(), display},
                        std::vector<std::string>{}, dir, dir / "xvfb.log");
        bool ended = false;
        const bool up = waitUntil(
            [&] {
                std::ifstream in(number);
                std::string text;
                if (std::getline(in, text) && !text.empty()) return true;
                ended = server_->poll().has_value();
                return ended;
            },
            milliseconds(10000));
        if (up && !ended) {
            display_ = display;
            return;
        }
    }
    throw std::runtime_error("Xvfb did not start; see " + (dir / "xvfb.log").string());
}

std::string describe(const Rgb& c) {
    return "rgb(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) +
           ")";
}

int Image::count(const Rgb& colour, int x0, int y0, int x1, int y1) const {
    int n = 0;
    for (int y = std::max(0, y0); y < std::min(height, y1); ++y) {
        for (int x = std::max(0, x0); x < std::min(width, x1); ++x) n += at(x, y) == colour;
    }
    return n;
}

std::optional<std::string> Screen::findWindow(const std::string& title) const {
    const RunResult found =
        run({"xdotool", "search", "--onlyvisible", "--name", "^" + title + "$"}, env());
    std::istringstream lines(found.output);
    std::string id;
    if (found.status == 0 && std::getline(lines, id) && !id.empty()) return id;
    return std::nullopt;
}

std::optional<WindowGeometry> Screen::geometry(const std::string& window) const {
    const RunResult info = run({"xwininfo", "-id", window}, env());
    if (info.status != 0) return std::nullopt;
    auto field = [&](const char* name) -> std::optional<int> {
        const std::regex pattern(std::string(name) + ":\\s*(-?[0-9]+)");
        std::smatch match;
        if (!std::regex_search(info.output, match, pattern)) return std::nullopt;
        return std::stoi(match[1]);
    };
    const auto x = field("Absolute upper-left X");
    const auto y = field("Absolute upper-left Y");
    const auto w = field("Width");
    const auto h = field("Height");
    if (!x || !y || !w || !h) return std::nullopt;
    return WindowGeometry{*x, *y, *w, *h};
}

// The window as the screen shows it, read back as a binary PPM.
std::optional<Image> Screen::grab(const std::string& window) const {
    const RunResult shot =
        run({"import", "-silent", "-window", window, "-depth", "8", "ppm:-"}, env());
    if (shot.status != 0) return std::nullopt;
    std::istringstream in(shot.output);
    std::string magic;
    int width = 0, height = 0, max = 0;
    in >> magic >> width >> height >> max;
    in.get();  // the single whitespace before the samples
    if (magic != "P6" || width <= 0 || height <= 0 || max != 255) return std::nullopt;
    Image image{width, height, {}};
    image.pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (Rgb& p : image.pixels) {
        p.r = in.get();
        p.g = in.get();
        p.b = in.get();
    }
    if (!in) return std::nullopt;
    return image;
}

void Screen::click(const std::string& window, int x, int y) const {
    run({"xdotool", "mousemove", "--window", window, std::to_string(x), std::to_string(y), "click",
         "1"},
        env());
}

void Screen::key(const std::string& keys) const { run({"xdotool", "key", keys}, env()); }

}  // namespace thermo::desktop
