#include "tools/thermometer-sim/sim_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <string>
#include <string_view>

#include "tools/thermometer-sim/sys_error.h"

namespace thermo::sim {
namespace {

constexpr std::array<const char*, 16> kKeptDevEntries = {
    "null", "zero", "full",   "random", "urandom", "tty",   "ptmx",   "fuse",
    "pts",  "shm",  "mqueue", "dri",    "fd",      "stdin", "stdout", "stderr",
};

void writeProcFile(const char* path, const std::string& text, bool optional = false) {
    os::UniqueFd fd(::open(path, O_WRONLY | O_CLOEXEC));
    if (!fd) {
        if (optional && errno == ENOENT) return;
        throwSysError("open", path);
    }
    if (::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throwSysError("write", path);
}

void enterNamespaces(bool userNamespace) {
    if (!userNamespace) {
        if (::unshare(CLONE_NEWNS) != 0) throwSysError("unshare", "CLONE_NEWNS");
        return;
    }
    uid_t uid = ::geteuid();
    gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        throwSysError("unshare", "CLONE_NEWUSER|CLONE_NEWNS");
    // An unprivileged process may write gid_map only after giving up setgroups().
    writeProcFile("/proc/self/setgroups", "deny", true);
    writeProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    writeProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

// The path of `name` inside the directory `dirFd` refers to, even when a mount covers it now.
std::string through(int dirFd, std::string_view name) {
    return "/proc/self/fd/" + std::to_string(dirFd) + "/" + std::string(name);
}

void bindMount(const std::string& from, const std::string& to, bool recursive) {
    unsigned long flags = MS_BIND | (recursive ? MS_REC : 0);
    if (::mount(from.c_str(), to.c_str(), nullptr, flags, nullptr) != 0)
        throwSysError("bind mount " + from + " on", to);
}

void keepDevEntry(int oldDev, const char* name) {
    struct stat st {};
    if (::fstatat(oldDev, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;  // not on this system
    std::string target = std::string("/dev/") + name;
    if (S_ISLNK(st.st_mode)) {
        char link[256];
        ssize_t length = ::readlinkat(oldDev, name, link, sizeof link - 1);
        if (length < 0) throwSysError("readlink", target);
        link[length] = '\0';
        if (::symlink(link, target.c_str()) != 0) throwSysError("symlink", target);
    } else if (S_ISDIR(st.st_mode)) {
        if (::mkdir(target.c_str(), 0755) != 0) throwSysError("mkdir", target);
        bindMount(through(oldDev, name), target, true);
    } else {
        os::UniqueFd placeholder(
            ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!placeholder) throwSysError("create", target);
        bindMount(through(oldDev, name), target, false);
    }
}

os::UniqueFd openDirectory(const char* path) {
    os::UniqueFd fd(::open(path, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd) throwSysError("open", path);
    return fd;
}

void mountTmpfs(const char* path) {
    if (::mount("tmpfs", path, "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") != 0)
        throwSysError("mount tmpfs on", path);
}

}  // namespace

void enterPrivateSystemView(const NamespaceOptions& options) {
    enterNamespaces(options.userNamespace);
    // Nothing mounted from here on may leak back into the namespace we came from.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        throwSysError("make private", "/");

    os::UniqueFd oldDev = openDirectory("/dev");
    mountTmpfs("/dev");
    for (const char* name : kKeptDevEntries) keepDevEntry(oldDev.get(), name);

    os::UniqueFd oldSys = openDirectory("/sys");
    mountTmpfs("/sys");
    if (::mkdir("/sys/devices", 0755) != 0) throwSysError("mkdir", "/sys/devices");
    struct stat st {};
    if (::fstatat(oldSys.get(), "devices/system", &st, 0) == 0) {
        if (::mkdir("/sys/devices/system", 0755) != 0)
            throwSysError("mkdir", "/sys/devices/system");
        bindMount(through(oldSys.get(), "devices/system"), "/sys/devices/system", true);
    }
}

}  // namespace thermo::sim
