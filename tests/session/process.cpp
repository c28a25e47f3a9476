#include "tests/session/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>
#include <utility>

#include "os/posix/unique_fd.h"

extern char** environ;

namespace thermo::e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    for (const std::string& entry : extra) {
        const std::string key = entry.substr(0, entry.find('=') + 1);
        std::erase_if(env, [&](const std::string& v) { return v.rfind(key, 0) == 0; });
        env.push_back(entry);
    }
    return env;
}

// posix_spawn's file actions, destroyed with their owner.
class FileActions {
  public:
    FileActions() { posix_spawn_file_actions_init(&actions_); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
};

int decodeStatus(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

}  // namespace

Process::Process(const Spawn& spawn) {
    FileActions actions;
    if (!spawn.dir.empty()) posix_spawn_file_actions_addchdir_np(actions.get(), spawn.dir.c_str());
    const std::string log = spawn.log.empty() ? std::string("/dev/null") : spawn.log.string();
    posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (spawn.dropErrors) {
        posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    } else {
        posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO);
    }

    std::vector<std::string> env = mergedEnvironment(spawn.env);
    std::vector<char*> args;
    for (const std::string& a : spawn.argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& v : env) envp.push_back(v.data());
    envp.push_back(nullptr);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (spawn.ownGroup) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    const int rc =
        posix_spawnp(&pid_, args[0], actions.get(), &attributes, args.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    ownGroup_ = spawn.ownGroup;
    if (rc != 0) {
        pid_ = -1;
        throw std::system_error(rc, std::generic_category(), "spawn " + spawn.argv[0]);
    }
}

Process::~Process() {
    if (pid_ > 0 && !status_) stop();
}

std::optional<int> Process::poll() {
    if (status_ || pid_ <= 0) return status_;
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) == pid_) status_ = decodeStatus(raw);
    return status_;
}

std::optional<int> Process::waitFor(milliseconds timeout) {
    pollUntil([&] { return poll().has_value(); }, timeout, 5ms);
    return status_;
}

int Process::stop(milliseconds grace) {
    if (poll()) return *status_;
    const pid_t target = ownGroup_ ? -pid_ : pid_;
    ::kill(target, SIGTERM);
    if (waitFor(grace)) return *status_;
    ::kill(target, SIGKILL);
    int raw = 0;
    if (::waitpid(pid_, &raw, 0) == pid_) status_ = decodeStatus(raw);
    return status_.value_or(-1);
}

RunResult run(const Spawn& spawn, milliseconds timeout) {
    TempDir dir;
    Spawn captured = spawn;
    captured.log = dir.path() / "output";
    Process process(captured);
    RunResult result;
    const auto status = process.waitFor(timeout);
    result.status = status ? *status : (process.stop(), -1);
    result.output = readFile(captured.log);
    return result;
}

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> children;
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        // /proc/PID/stat: "pid (comm) state ppid ..."; comm may hold spaces and parentheses.
        const std::string stat = readFile(it->path() / "stat");
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 1));
        char state = 0;
        pid_t ppid = 0;
        if (rest >> state >> ppid && ppid == parent) children.push_back(std::stoi(name));
    }
    return children;
}

XServer::XServer(const std::filesystem::path& logDir) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category());
    os::UniqueFd readEnd(fds[0]);
    os::UniqueFd writeEnd(fds[1]);
    // Xvfb writes its display number to this one: a copy without close-on-exec.
    os::UniqueFd inherited(::dup(writeEnd.get()));
    server_.emplace(Spawn{{"Xvfb", "-displayfd", std::to_string(inherited.get()), "-screen", "0",
                           "640x480x24", "-nolisten", "tcp", "-noreset"},
                          {},
                          {},
                          logDir / "xvfb.log"});
    inherited.reset();
    writeEnd.reset();

    std::string number;
    const auto deadline = Clock::now() + 20s;
    while (Clock::now() < deadline && number.find('\n') == std::string::npos) {
        pollfd p{readEnd.get(), POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char c = 0;
        if (::read(readEnd.get(), &c, 1) != 1) break;
        number += c;
    }
    if (number.find('\n') == std::string::npos) throw std::runtime_error("Xvfb did not start");
    display_ = ":" + number.substr(0, number.find('\n'));
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::int64_t monotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace thermo::e2e
