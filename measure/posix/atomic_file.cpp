#include "measure/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

#include "measure/temporary_name.h"
#include "os/posix/unique_fd.h"

namespace thermo {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void throwSystemError(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

using os::UniqueFd;

fs::path directoryOf(const fs::path& path) {
    const fs::path parent = path.parent_path();
    return parent.empty() ? fs::path(".") : parent;
}

fs::path temporaryPathFor(const fs::path& target) {
    return directoryOf(target) / temporaryNameFor(target.filename().string());
}

bool isRegularFile(const fs::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// A cal.txt that is a link to a shared file stays one: the save replaces the file it leads to,
// in that file's directory. A link to anything but a regular file (or to nothing yet) is
// replaced itself, as a plain file would be, so that no save ever renames over a device.
fs::path followLinks(const fs::path& path) {
    constexpr int kMaxLinks = 40;  // the kernel's own limit
    fs::path current = path;
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(current, error))) {
            return current == path || !fs::exists(current, error) || isRegularFile(current)
                       ? current
                       : path;
        }
        const fs::path link = fs::read_symlink(current, error);
        if (error) {
            return path;
        }
        current = link.is_absolute() ? link : directoryOf(current) / link;
    }
    throwSystemError(ELOOP, "follow " + path.string());
}

// The file about to be replaced, opened for writing: that is the user's permission to change it
// (a rename needs only the directory's), and the handle for a rewrite in place. Not opened when it
// does not exist or is not a regular file.
UniqueFd openExistingForWriting(const fs::path& target) {
    if (!isRegularFile(target)) {
        return UniqueFd();
    }
    // O_NONBLOCK: should a pipe take its place meanwhile, the open must not wait for a reader.
    UniqueFd file(
        ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW));
    if (!file) {
        throwSystemError(errno, "open " + target.string());
    }
    return file;
}

// Held from creation until the rename so that another program's clean-up of killed saves' files
// (removeLeftovers) never takes this one while it is in use.
void lockExclusively(int fd, const fs::path& name) {
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            throwSystemError(errno, "lock " + name.string());
        }
    }
}

// A new file beside the target, removed again unless it has been renamed over the target.
// Created in the target's directory because rename is only atomic within one file system.
// Where the file system allows, it has no name while it is written (O_TMPFILE) and gets one only
// once complete, just before the rename: a process killed while writing then leaves nothing
// behind. Elsewhere it is named from the start, and such a kill leaves it there until the next
// save removes it.
class TemporaryFile {
  public:
    explicit TemporaryFile(const fs::path& target) : target_(target) { openUnnamedOrCreate(); }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!committed_ && !path_.empty()) {
            ::unlink(path_.c_str());
        }
    }

    int fd() const { return fd_.get(); }
    std::string name() const {
        return path_.empty() ? "temporary file for " + target_.string() : path_.string();
    }

    // The name, given to an unnamed file only now that its content is complete, then the rename.
    // The descriptor stays open (and locked) until the end: fsync has already said whether the
    // data is stored, and closing only after the rename keeps the file locked while it has its
    // temporary name.
    void renameOverTarget() {
        if (path_.empty()) {
            giveName();
        }
        if (::rename(path_.c_str(), target_.c_str()) != 0) {
            throwSystemError(errno, "rename " + name() + " to " + target_.string());
        }
        committed_ = true;
    }

  private:
    static constexpr int kAttempts = 100;

    void openUnnamedOrCreate() {
        // Naming the file later goes through /proc; without it the file is named from the start.
        if (::access("/proc/self/fd", F_OK) == 0) {
            fd_ = UniqueFd(
                ::open(directoryOf(target_).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
            if (fd_) {
                lockExclusively(fd_.get(), target_);
                return;
            }
            // Not supported here, or not allowed: the named way reports a real failure itself.
        }
        createExclusive();
    }

    void createExclusive() {
        for (int attempt = 1;; ++attempt) {
            const fs::path candidate = temporaryPathFor(target_);
            // 0666 lets the umask decide, as for any file the user creates.
            UniqueFd fd(::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (!fd) {
                if (errno != EEXIST || attempt == kAttempts) {
                    throwSystemError(errno, "create " + candidate.string());
                }
                continue;
            }
            lockExclusively(fd.get(), candidate);
            // Between the creation and the lock, another save may have taken the new file for a
            // killed save's and removed it: then start again under another name.
            struct stat status {};
            if (::fstat(fd.get(), &status) == 0 && status.st_nlink > 0) {
                fd_ = std::move(fd);
                path_ = candidate;
                return;
            }
        }
    }

    // Links the complete unnamed file into the directory under a fresh temporary name.
    void giveName() {
        const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
        for (int attempt = 1;; ++attempt) {
            const fs::path candidate = temporaryPathFor(target_);
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) ==
                0) {
                path_ = candidate;
                return;
            }
            if (errno != EEXIST || attempt == kAttempts) {
                throwSystemError(errno, "link " + candidate.string());
            }
        }
    }

    fs::path target_;
    fs::path path_;  // empty while unnamed
    UniqueFd fd_;
    bool committed_ = false;
};

// A replaced file keeps its owner, group and permissions (a group-writable cal.txt, one that root
// saves for a user). Owner first: changing it clears the set-id bits that the mode then restores.
void keepOwnerAndMode(const TemporaryFile& temporary, const UniqueFd& existing) {
    struct stat status {};
    if (!existing || ::fstat(existing.get(), &status) != 0) {
        return;  // a new file: the umask has decided
    }
    if (::fchown(temporary.fd(), status.st_uid, status.st_gid) != 0 &&
        ::fchown(temporary.fd(), static_cast<uid_t>(-1), status.st_gid) != 0) {
        // Only root may give a file away, and a user only to a group of theirs: the new file
        // then stays the saving user's, as any file they write.
    }
    if (::fchmod(temporary.fd(), status.st_mode & 07777) != 0) {
        throwSystemError(errno, "chmod " + temporary.name());
    }
}

void writeAll(int fd, std::string_view content, const std::string& name) {
    while (!content.empty()) {
        const ssize_t written = ::write(fd, content.data(), content.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            throwSystemError(written < 0 ? errno : EIO, "write " + name);
        }
        content.remove_prefix(static_cast<std::size_t>(written));
    }
}

void flushToDisk(int fd, const std::string& name) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) {
            throwSystemError(errno, "fsync " + name);
        }
    }
}

// Makes the rename itself survive a power cut. Best effort: by now the new content is in place
// and visible, and some file systems refuse to sync a directory, which is no reason to report
// the replacement as failed.
void flushDirectory(const fs::path& directory) {
    const UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) {
        ::fsync(dir.get());
    }
}

// A directory the user may not write still lets them change a file in it that they may write.
// Not atomic: a crash in the middle can leave the file short, which is why this is only the
// fallback.
void rewriteInPlace(const UniqueFd& existing, std::string_view content, const fs::path& target) {
    const std::string name = target.string();
    if (::ftruncate(existing.get(), 0) != 0) {
        throwSystemError(errno, "truncate " + name);
    }
    writeAll(existing.get(), content, name);
    flushToDisk(existing.get(), name);
}

bool directoryRefused(const std::system_error& error) {
    const int code = error.code().value();
    return code == EACCES || code == EPERM;
}

// Files a killed save left beside the target. Each is taken only while it can be locked at once,
// and only while its name still leads to the locked file: a save in flight holds its lock, and a
// file renamed meanwhile is no leftover. Best effort: what cannot be removed now may be next time.
void removeLeftovers(const fs::path& target) {
    const std::string targetName = target.filename().string();
    std::error_code error;
    for (fs::directory_iterator it(directoryOf(target), error), end; !error && it != end;
         it.increment(error)) {
        const fs::path& candidate = it->path();
        if (!isTemporaryNameFor(candidate.filename().string(), targetName)) {
            continue;
        }
        const UniqueFd file(
            ::open(candidate.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat held {};
        struct stat named {};
        if (!file || ::fstat(file.get(), &held) != 0 || !S_ISREG(held.st_mode) ||
            ::flock(file.get(), LOCK_EX | LOCK_NB) != 0 ||
            ::lstat(candidate.c_str(), &named) != 0 || named.st_dev != held.st_dev ||
            named.st_ino != held.st_ino) {
            continue;
        }
        ::unlink(candidate.c_str());
    }
}

}  // namespace

void replaceFileAtomically(const fs::path& path, std::string_view content) {
    const fs::path target = followLinks(path);
    const UniqueFd existing = openExistingForWriting(target);
    std::optional<TemporaryFile> temporary;
    try {
        temporary.emplace(target);
    } catch (const std::system_error& error) {
        if (!existing || !directoryRefused(error)) {
            throw;
        }
        rewriteInPlace(existing, content, target);
        return;
    }
    keepOwnerAndMode(*temporary, existing);
    writeAll(temporary->fd(), content, temporary->name());
    flushToDisk(temporary->fd(), temporary->name());
    temporary->renameOverTarget();
    flushDirectory(directoryOf(target));
    removeLeftovers(target);
}

std::optional<std::string> readFileIfPresent(const fs::path& path, std::size_t limit) {
    // O_NONBLOCK: opening a pipe for reading would otherwise wait until someone opens it for
    // writing. It changes nothing for a regular file.
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!file) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        throwSystemError(errno, "open " + path.string());
    }
    std::string content;
    std::array<char, 4096> buffer{};
    while (content.size() < limit) {
        const std::size_t wanted = std::min(buffer.size(), limit - content.size());
        const ssize_t count = ::read(file.get(), buffer.data(), wanted);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            throwSystemError(errno, "read " + path.string());
        }
        if (count == 0) {
            return content;
        }
        content.append(buffer.data(), static_cast<std::size_t>(count));
    }
    return content;
}

}  // namespace thermo
