#include "measure/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include "measure/posix/path_walk.h"
#include "measure/temporary_name.h"
#include "os/posix/unique_fd.h"

namespace thermo {

namespace {

namespace fs = std::filesystem;

using os::UniqueFd;
using posix::FoundFile;

[[noreturn]] void throwSystemError(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Only a regular file, or nothing, is ever replaced: a rename over a device node, a pipe or a
// socket would take it from everyone who uses it (as root, /dev/null itself).
void requireReplaceable(const FoundFile& found) {
    if (!found.file) {
        // A dangling link would have the save create a file wherever the link points.
        if (!found.danglingLink.empty()) {
            throw std::system_error(FileError::DanglingLink, "replace " + found.danglingLink);
        }
        return;
    }
    if (S_ISDIR(found.status.st_mode)) throwSystemError(EISDIR, "replace " + found.shown);
    if (!S_ISREG(found.status.st_mode)) {
        throw std::system_error(FileError::NotARegularFile, "replace " + found.shown);
    }
}

// The file about to be replaced, opened for writing: that is the user's permission to change it
// (a rename needs only the folder's), and the handle for a rewrite in place, which reads the old
// content first where the file lets it. Not opened when nothing is there.
UniqueFd openExistingForWriting(const FoundFile& found) {
    if (!found.file) return UniqueFd();
    // O_NONBLOCK: should a pipe take its place meanwhile, the open must not wait for a reader.
    constexpr int kFlags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW;
    UniqueFd file(::openat(found.folder.get(), found.name.c_str(), O_RDWR | kFlags));
    if (!file && errno == EACCES) {
        file = UniqueFd(::openat(found.folder.get(), found.name.c_str(), O_WRONLY | kFlags));
    }
    if (!file) throwSystemError(errno, "open " + found.shown);
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) throwSystemError(errno, "stat " + found.shown);
    if (!sameFile(status, found.status)) {
        throw std::system_error(FileError::ChangedMeanwhile, "open " + found.shown);
    }
    return file;
}

// Held from creation until the rename so that another program's clean-up of killed saves' files
// (removeLeftovers) never takes this one while it is in use.
void lockExclusively(int fd, const std::string& name) {
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) throwSystemError(errno, "lock " + name);
    }
}

// A new file beside the target, removed again unless it has been renamed over the target.
// Created in the target's folder because rename is only atomic within one file system.
// Where the file system allows, it has no name while it is written (O_TMPFILE) and gets one only
// once complete, just before the rename: a process killed while writing then leaves nothing
// behind. Elsewhere it is named from the start, and such a kill leaves it there until the next
// save removes it.
class TemporaryFile {
  public:
    explicit TemporaryFile(const FoundFile& target) : target_(target) { openUnnamedOrCreate(); }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!committed_ && !name_.empty()) ::unlinkat(target_.folder.get(), name_.c_str(), 0);
    }

    int fd() const { return fd_.get(); }
    std::string name() const {
        return name_.empty() ? "temporary file for " + target_.shown : shown(name_);
    }

    // The name, given to an unnamed file only now that its content is complete, then the rename.
    // The descriptor stays open (and locked) until the end: fsync has already said whether the
    // data is stored, and closing only after the rename keeps the file locked while it has its
    // temporary name. Whatever stands under the target's name by now must still be replaceable.
    void renameOverTarget() {
        if (name_.empty()) giveName();
        const int folder = target_.folder.get();
        struct stat now {};
        if (::fstatat(folder, target_.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISREG(now.st_mode) && !S_ISLNK(now.st_mode)) {
            throw std::system_error(FileError::ChangedMeanwhile, "replace " + target_.shown);
        }
        if (::renameat(folder, name_.c_str(), folder, target_.name.c_str()) != 0) {
            throwSystemError(errno, "rename " + name() + " to " + target_.shown);
        }
        committed_ = true;
    }

  private:
    static constexpr int kAttempts = 100;

    std::string shown(const std::string& name) const {
        const auto slash = target_.shown.rfind('/');
        return slash == std::string::npos ? name : target_.shown.substr(0, slash + 1) + name;
    }

    void openUnnamedOrCreate() {
        // Naming the file later goes through /proc; without it the file is named from the start.
        if (::access("/proc/self/fd", F_OK) == 0) {
            fd_ = UniqueFd(
                ::openat(target_.folder.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
            if (fd_) {
                lockExclusively(fd_.get(), target_.shown);
                return;
            }
            // Not supported here, or not allowed: the named way reports a real failure itself.
        }
        createExclusive();
    }

    void createExclusive() {
        for (int attempt = 1;; ++attempt) {
            const std::string candidate = temporaryNameFor(target_.name);
            // 0666 lets the umask decide, as for any file the user creates.
            UniqueFd fd(::openat(target_.folder.get(), candidate.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
            if (!fd) {
                if (errno != EEXIST || attempt == kAttempts) {
                    throwSystemError(errno, "create " + shown(candidate));
                }
                continue;
            }
            lockExclusively(fd.get(), shown(candidate));
            // Between the creation and the lock, another save may have taken the new file for a
            // killed save's and removed it: then start again under another name.
            struct stat status {};
            if (::fstat(fd.get(), &status) == 0 && status.st_nlink > 0) {
                fd_ = std::move(fd);
                name_ = candidate;
                return;
            }
        }
    }

    // Links the complete unnamed file into the folder under a fresh temporary name.
    void giveName() {
        const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
        for (int attempt = 1;; ++attempt) {
            const std::string candidate = temporaryNameFor(target_.name);
            if (::linkat(AT_FDCWD, self.c_str(), target_.folder.get(), candidate.c_str(),
                         AT_SYMLINK_FOLLOW) == 0) {
                name_ = candidate;
                return;
            }
            if (errno != EEXIST || attempt == kAttempts) {
                throwSystemError(errno, "link " + shown(candidate));
            }
        }
    }

    const FoundFile& target_;
    std::string name_;  // in the target's folder; empty while unnamed
    UniqueFd fd_;
    bool committed_ = false;
};

// A replaced file keeps its owner, group and permissions (a group-writable cal.txt, one that root
// saves for a user). Owner first: changing it clears the set-id bits that the mode then restores.
// A new file has what the umask left, unless it is to be readable by all: then exactly 0644, by
// fchmod, which the umask does not touch.
void keepOwnerAndMode(const TemporaryFile& temporary, const UniqueFd& existing,
                      NewFileMode newFileMode) {
    struct stat status {};
    if (!existing || ::fstat(existing.get(), &status) != 0) {
        if (newFileMode == NewFileMode::ReadableByAll && ::fchmod(temporary.fd(), 0644) != 0) {
            throwSystemError(errno, "chmod " + temporary.name());
        }
        return;
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

// Writes all of `content` at `offset`; returns 0 when done, or the error and, through `written`,
// how much was written before it.
int writeAt(int fd, std::string_view content, off_t offset, std::size_t& written) {
    written = 0;
    while (written < content.size()) {
        const ssize_t count = ::pwrite(fd, content.data() + written, content.size() - written,
                                       offset + static_cast<off_t>(written));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return count < 0 ? errno : EIO;
        written += static_cast<std::size_t>(count);
    }
    return 0;
}

void writeAll(int fd, std::string_view content, const std::string& name) {
    std::size_t written = 0;
    if (const int error = writeAt(fd, content, 0, written); error != 0) {
        throwSystemError(error, "write " + name);
    }
}

int flushToDisk(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

// Makes the rename itself survive a power cut. Best effort: by now the new content is in place
// and visible, and some file systems refuse to sync a directory, which is no reason to report
// the replacement as failed.
void flushFolder(const FoundFile& target) {
    const UniqueFd dir(::openat(target.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) ::fsync(dir.get());
}

// What the file holds now, to be named should the rewrite in place damage it. No value when the
// file cannot be read (opened write-only) or holds more than a message can carry.
std::optional<std::string> contentBefore(int fd) {
    constexpr std::size_t kLimit = 64 * 1024;
    std::string content;
    std::array<char, 4096> buffer{};
    while (content.size() <= kLimit) {
        const ssize_t count =
            ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(content.size()));
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return std::nullopt;
        if (count == 0) return content;
        content.append(buffer.data(), static_cast<std::size_t>(count));
    }
    return std::nullopt;
}

// A folder the user may not write still lets them change a file in it that they may write.
// Not atomic, so only the fallback: the new content goes over the old and only then is the file
// cut to its length, so that a failure before the first byte changed leaves it as it was, and
// one after says that the file may be damaged and what it held.
void rewriteInPlace(const UniqueFd& existing, std::string_view content, const FoundFile& target) {
    const std::optional<std::string> before = contentBefore(existing.get());
    std::size_t written = 0;
    int error = writeAt(existing.get(), content, 0, written);
    std::string step = "write ";
    if (error == 0 && ::ftruncate(existing.get(), static_cast<off_t>(content.size())) != 0) {
        error = errno;
        step = "truncate ";
    }
    if (error == 0 && (error = flushToDisk(existing.get())) != 0) step = "fsync ";
    if (error == 0) return;
    const std::error_code code(error, std::generic_category());
    if (written == 0 && step == "write ") throw std::system_error(code, step + target.shown);
    throw FileMayBeDamaged(code, step + target.shown, before);
}

bool folderRefused(const std::system_error& error) {
    if (error.code().category() != std::generic_category()) return false;
    const int code = error.code().value();
    return code == EACCES || code == EPERM;
}

// Files a killed save of this user left beside the target. Each is taken only while it can be
// locked at once, and only while its name still leads to the locked file: a save in flight holds
// its lock, and a file renamed meanwhile is no leftover. Another user's are theirs to clean up.
// Best effort: what cannot be removed now may be next time.
void removeLeftovers(const FoundFile& target) {
    const int folder = target.folder.get();
    UniqueFd listing(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing) return;
    const std::unique_ptr<DIR, int (*)(DIR*)> entries(::fdopendir(listing.get()), ::closedir);
    if (!entries) return;
    static_cast<void>(listing.release());  // the stream owns it now
    while (const dirent* entry = ::readdir(entries.get())) {
        const char* name = entry->d_name;
        if (!isTemporaryNameFor(name, target.name)) continue;
        const UniqueFd file(
            ::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat held {};
        struct stat named {};
        if (!file || ::fstat(file.get(), &held) != 0 || !S_ISREG(held.st_mode) ||
            held.st_uid != ::geteuid() || ::flock(file.get(), LOCK_EX | LOCK_NB) != 0 ||
            ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(named, held)) {
            continue;
        }
        ::unlinkat(folder, name, 0);
    }
}

}  // namespace

void replaceFileAtomically(const fs::path& path, std::string_view content,
                           NewFileMode newFileMode) {
    const FoundFile target = posix::findFile(path);
    requireReplaceable(target);
    const UniqueFd existing = openExistingForWriting(target);
    std::optional<TemporaryFile> temporary;
    try {
        temporary.emplace(target);
    } catch (const std::system_error& error) {
        if (!existing || !folderRefused(error)) throw;
        rewriteInPlace(existing, content, target);
        return;
    }
    keepOwnerAndMode(*temporary, existing, newFileMode);
    writeAll(temporary->fd(), content, temporary->name());
    if (const int error = flushToDisk(temporary->fd()); error != 0) {
        throwSystemError(error, "fsync " + temporary->name());
    }
    temporary->renameOverTarget();
    flushFolder(target);
    removeLeftovers(target);
}

std::optional<std::string> readFileIfPresent(const fs::path& path, std::size_t limit) {
    const FoundFile found = posix::findFile(path);
    if (!found.file) return std::nullopt;
    // O_NONBLOCK: opening a pipe for reading would otherwise wait until someone opens it for
    // writing. It changes nothing for a regular file.
    const UniqueFd file(::openat(found.folder.get(), found.name.c_str(),
                                 O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
    if (!file) throwSystemError(errno, "open " + found.shown);
    std::string content;
    std::array<char, 4096> buffer{};
    while (content.size() < limit) {
        const std::size_t wanted = std::min(buffer.size(), limit - content.size());
        const ssize_t count = ::read(file.get(), buffer.data(), wanted);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) throwSystemError(errno, "read " + found.shown);
        if (count == 0) return content;
        content.append(buffer.data(), static_cast<std::size_t>(count));
    }
    return content;
}

}  // namespace thermo
