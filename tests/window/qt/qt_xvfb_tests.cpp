// The real program in a real X server: a private Xvfb display, the window found by its title,
// its client size and fixed border read back from the server, and START clicked through the
// server's input. Skipped where Xvfb and the X tools are not installed.
#include <fcntl.h>
#include <locale.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QImage>
#include <QRegularExpression>
#include <QString>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/window/form1_fixture.h"
#include "window/scale_geometry.h"

extern char** environ;

namespace thermo::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A pipe's two ends, each closed by its owner.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

struct Pipe {
    Fd read;
    Fd write;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category());
        read = Fd(fds[0]);
        write = Fd(fds[1]);
    }
};

// A child process, ended (SIGTERM, then SIGKILL) and reaped when its owner goes.
class Child {
  public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
          const std::filesystem::path& dir, int stdoutFd = -1) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (!dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
        if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
        const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (devnull >= 0) posix_spawn_file_actions_adddup2(&actions, devnull, STDERR_FILENO);

        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
        for (const std::string& extra : extraEnv) {
            const std::string key = extra.substr(0, extra.find('=') + 1);
            std::erase_if(env, [&](const std::string& v) { return v.rfind(key, 0) == 0; });
            env.push_back(extra);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& v : env) envp.push_back(v.data());
        envp.push_back(nullptr);

        const int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (devnull >= 0) ::close(devnull);
        if (rc != 0) throw std::system_error(rc, std::generic_category(), "spawn " + argv[0]);
    }
    ~Child() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        if (!waitExit(5s)) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // The exit status once it has ended within `timeout`.
    std::optional<int> waitExit(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        do {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return status;
            }
            std::this_thread::sleep_for(10ms);
        } while (Clock::now() < deadline);
        return std::nullopt;
    }

  private:
    pid_t pid_ = -1;
};

// Runs a command to its end (or kills it at the deadline) and returns what it printed.
std::optional<std::string> capture(const std::vector<std::string>& argv,
                                   const std::vector<std::string>& env,
                                   std::chrono::milliseconds timeout = 10s) {
    Pipe pipe;
    Child child(argv, env, {}, pipe.write.get());
    pipe.write.reset();
    std::string out;
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        pollfd p{pipe.read.get(), POLLIN, 0};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (::poll(&p, 1, static_cast<int>(std::max<long>(1, left.count()))) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(pipe.read.get(), buf, sizeof buf);
        if (n <= 0) {
            const auto status = child.waitExit(timeout);
            if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) return out;
            return std::nullopt;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    return std::nullopt;
}

bool onPath(const std::string& tool) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return false;
    const QStringList dirs = QString(path).split(':', Qt::SkipEmptyParts);
    for (const QString& d : dirs) {
        if (::access((d.toStdString() + "/" + tool).c_str(), X_OK) == 0) return true;
    }
    return false;
}

int field(const std::string& text, const char* pattern) {
    const auto m = QRegularExpression(pattern).match(QString::fromStdString(text));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

class RealWindow : public ::testing::Test {
  protected:
    void SetUp() override {
#if defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "not under ThreadSanitizer: on X11 the program's Qt starts a D-Bus thread, "
                        "and Qt, not built with the sanitizer, hands it events through locks the "
                        "sanitizer cannot see (the other builds run this test)";
#endif
        for (const char* tool : {"Xvfb", "xdotool", "xwininfo", "xprop", "import"}) {
            if (!onPath(tool)) {
                GTEST_SKIP() << "needs " << tool
                             << " (xvfb, xdotool, x11-utils, imagemagick) because this test "
                                "runs the program in a real X server";
            }
        }
        if (!std::filesystem::exists(THERMO_PROGRAM)) {
            GTEST_SKIP() << "needs the program built at " << THERMO_PROGRAM;
        }
        startServer();
    }

    void startServer() {
        // Xvfb picks a free display itself and writes its number to the pipe.
        Pipe pipe;
        const int fd = ::dup(pipe.write.get());  // without close-on-exec, for Xvfb
        ASSERT_GE(fd, 0);
        Fd inherited(fd);
        server_.emplace(std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fd),
                                                 "-screen", "0", "640x480x24", "-nolisten", "tcp"},
                        std::vector<std::string>{}, std::filesystem::path{});
        inherited.reset();
        pipe.write.reset();
        std::string number;
        const auto deadline = Clock::now() + 20s;
        while (Clock::now() < deadline && number.find('\n') == std::string::npos) {
            pollfd p{pipe.read.get(), POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char c = 0;
            if (::read(pipe.read.get(), &c, 1) != 1) break;
            number += c;
        }
        ASSERT_NE(number.find('\n'), std::string::npos) << "Xvfb did not start";
        display_ = "DISPLAY=:" + number.substr(0, number.find('\n'));
    }

    std::optional<std::string> x(const std::vector<std::string>& argv,
                                 std::chrono::milliseconds timeout = 10s) {
        return capture(argv, {display_}, timeout);
    }

    // The window's region of the button, as the X server shows it now.
    std::optional<QImage> buttonImage(const std::string& window) {
        const auto png = x({"import", "-window", window, "png:-"});
        if (!png) return std::nullopt;
        const QImage shot = QImage::fromData(reinterpret_cast<const uchar*>(png->data()),
                                             static_cast<int>(png->size()), "PNG");
        const PixelRect r = clientRect(ControlId::cmdOn);
        return shot.copy(r.left, r.top, r.width, r.height).convertToFormat(QImage::Format_RGB32);
    }

    // The whole window once it has settled (two equal pictures in a row).
    std::optional<QImage> settledWindowImage(const std::string& window) {
        std::optional<QImage> last;
        const auto deadline = Clock::now() + 10s;
        while (Clock::now() < deadline) {
            const auto png = x({"import", "-window", window, "png:-"});
            if (!png) continue;
            QImage now = QImage::fromData(reinterpret_cast<const uchar*>(png->data()),
                                          static_cast<int>(png->size()), "PNG")
                             .convertToFormat(QImage::Format_RGB32);
            if (last && now == *last) return now;
            last = std::move(now);
        }
        return std::nullopt;
    }

    // Clicks START/STOP, moves the pointer off it, and waits until the button has changed and
    // settled (two equal pictures in a row).
    std::optional<QImage> clickAndSettle(const std::string& window, const QImage& before) {
        const PixelRect r = clientRect(ControlId::cmdOn);
        const std::string cx = std::to_string(r.left + r.width / 2);
        const std::string cy = std::to_string(r.top + r.height / 2);
        if (!x({"xdotool", "mousemove", "--window", window, cx, cy, "click", "1", "mousemove",
                "--window", window, "30", "300"})) {
            return std::nullopt;
        }
        std::optional<QImage> last;
        const auto deadline = Clock::now() + 10s;
        while (Clock::now() < deadline) {
            auto now = buttonImage(window);
            if (now && *now != before && last && *now == *last) return now;
            last = std::move(now);
        }
        return std::nullopt;
    }

    // The program's environment: this display, the X platform, and (for sanitizer builds) the
    // leak suppressions for the libraries Qt loads on X.
    std::vector<std::string> programEnv() const {
        std::string lsan = "LSAN_OPTIONS=";
        if (const char* given = std::getenv("LSAN_OPTIONS")) lsan += std::string(given) + ":";
        lsan += "suppressions=" THERMO_LSAN_SUPPRESSIONS;
        return {display_, "QT_QPA_PLATFORM=xcb", lsan};
    }

    std::optional<Child> server_;
    std::string display_;
};

TEST_F(RealWindow, MapsAtTheFixedClientSizeAndStartTurnsToStop) {
    TempDir dir;
    Child program({THERMO_PROGRAM}, programEnv(), dir.path());

    const auto found =
        x({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^USB Thermometer$"}, 30s);
    ASSERT_TRUE(found) << "the window did not appear";
    const std::string window = found->substr(0, found->find('\n'));

    const auto info = x({"xwininfo", "-id", window});
    ASSERT_TRUE(info);
    EXPECT_EQ(field(*info, R"(Width: (\d+))"), 260);
    EXPECT_EQ(field(*info, R"(Height: (\d+))"), 321);
    const auto hints = x({"xprop", "-id", window, "WM_NORMAL_HINTS"});
    ASSERT_TRUE(hints);
    EXPECT_EQ(field(*hints, R"(minimum size: (\d+) by 321)"), 260) << *hints;
    EXPECT_EQ(field(*hints, R"(maximum size: (\d+) by 321)"), 260) << *hints;
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "cal.txt")) << "start-up loads cal.txt";

    const auto initial = buttonImage(window);
    ASSERT_TRUE(initial);
    // START -> STOP -> START -> STOP. Pictures taken in the same state (clicked, pointer away)
    // differ only by the caption: the two STOPs match each other and not the START between.
    const auto stop1 = clickAndSettle(window, *initial);
    ASSERT_TRUE(stop1) << "the button did not change after the first click";
    const auto start2 = clickAndSettle(window, *stop1);
    ASSERT_TRUE(start2) << "the button did not change after the second click";
    const auto stop3 = clickAndSettle(window, *start2);
    ASSERT_TRUE(stop3) << "the button did not change after the third click";
    EXPECT_EQ(*stop1, *stop3);
    EXPECT_NE(*stop1, *start2);
}

// The program reads no command line: Qt's own options must not reach Qt either, or -reverse
// would mirror the window and -style change its look.
TEST_F(RealWindow, QtOptionsOnTheCommandLineChangeNothing) {
    const std::vector<std::vector<std::string>> lines = {
        {THERMO_PROGRAM}, {THERMO_PROGRAM, "-reverse", "-style", "windows"}};
    std::vector<QImage> looks;
    for (const auto& line : lines) {
        TempDir dir;
        Child program(line, programEnv(), dir.path());
        const auto found =
            x({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^USB Thermometer$"}, 30s);
        ASSERT_TRUE(found) << "the window did not appear";
        const auto look = settledWindowImage(found->substr(0, found->find('\n')));
        ASSERT_TRUE(look) << "the window did not settle";
        looks.push_back(*look);
    }
    EXPECT_EQ(looks[0], looks[1]) << "-reverse -style windows changed the window";
}

// scripts/screenshot's tool reads its temperature whatever the user's locale: after QApplication
// has set a German one, std::stof would stop at the "." of "54.2".
TEST(ScreenshotTool, ReadsTheTemperatureInAGermanLocale) {
    if (locale_t german = ::newlocale(LC_ALL_MASK, "de_DE.UTF-8", locale_t{})) {
        ::freelocale(german);
    } else {
        GTEST_SKIP() << "needs the de_DE.UTF-8 locale (package locales) to run the tool in it";
    }
    TempDir dir;
    const auto out = dir.path() / "out.png";
    Child tool({THERMO_SCREENSHOT, out.string(), "54.2"},
               {"LC_ALL=de_DE.UTF-8", "QT_QPA_PLATFORM=offscreen"}, dir.path());
    const auto status = tool.waitExit(60s);
    ASSERT_TRUE(status) << "the tool did not end";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "status " << *status;
    EXPECT_FALSE(QImage(QString::fromStdString(out.string())).isNull()) << "no picture written";
}

// A cal.txt that does not hold two values ends the program at start-up: its message shows, the
// window never does, and the program ends with a failure once the message is dismissed.
TEST_F(RealWindow, StartUpFailureShowsTheMessageAndEndsWithoutTheWindow) {
    TempDir dir;
    { std::ofstream(dir.path() / "cal.txt", std::ios::binary) << "0.72\r\n"; }
    Child program({THERMO_PROGRAM}, programEnv(), dir.path());

    const auto found =
        x({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^USB Thermometer$"}, 30s);
    ASSERT_TRUE(found) << "no message appeared";
    const std::string box = found->substr(0, found->find('\n'));
    EXPECT_EQ(found->find('\n'), found->size() - 1) << "only the message is on screen";
    const auto info = x({"xwininfo", "-id", box});
    ASSERT_TRUE(info);
    EXPECT_FALSE(field(*info, R"(Width: (\d+))") == 260 && field(*info, R"(Height: (\d+))") == 321)
        << "the main window showed";

    ASSERT_TRUE(x({"xdotool", "windowfocus", "--sync", box, "key", "Return"}));
    const auto status = program.waitExit(20s);
    ASSERT_TRUE(status) << "the program did not end";
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    std::ifstream in(dir.path() / "cal.txt", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "0.72\r\n")
        << "cal.txt must stay as it was";
}

}  // namespace
}  // namespace thermo::testing
