#include "measure/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <random>
#include <string>
#include <system_error>
#include <utility>

namespace thermo {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void throwSystemError(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    int get() const { return fd_; }

    // Returns 0 or the errno of a failed close. On some file systems (NFS, quotas) close is the
    // first to report that written data could not be stored, so a writer must look at it.
    int close() {
        const int fd = std::exchange(fd_, -1);
        return ::close(fd) == 0 ? 0 : errno;
    }

  private:
    int fd_;
};

std::string randomSuffix() {
    static constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device entropy;
    std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
    std::string suffix(6, ' ');
    for (char& c : suffix) {
        c = kAlphabet[pick(entropy)];
    }
    return suffix;
}

fs::path directoryOf(const fs::path& path) {
    const fs::path parent = path.parent_path();
    return parent.empty() ? fs::path(".") : parent;
}

// A new file beside the target, removed again unless it has been renamed over the target.
// Created in the target's directory because rename is only atomic within one file system.
// Where the file system allows, it has no name while it is written (O_TMPFILE) and gets one only
// once complete, just before the rename: a process killed while writing then leaves nothing
// behind. Elsewhere it is named from the start, and such a kill leaves it there.
class TemporaryFile {
  public:
    explicit TemporaryFile(const fs::path& target)
        : target_(target), fd_(openUnnamedOrCreate(target, path_)) {}
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

    void close() {
        if (path_.empty()) {
            giveName();
        }
        if (const int error = fd_.close(); error != 0) {
            throwSystemError(error, "close " + name());
        }
    }

    void renameOver(const fs::path& target) {
        if (::rename(path_.c_str(), target.c_str()) != 0) {
            throwSystemError(errno, "rename " + name() + " to " + target.string());
        }
        committed_ = true;
    }

  private:
    static constexpr int kAttempts = 100;

    static fs::path candidateFor(const fs::path& target) {
        fs::path candidate = target;
        candidate += ".tmp" + randomSuffix();
        return candidate;
    }

    static int openUnnamedOrCreate(const fs::path& target, fs::path& chosen) {
        // Naming the file later goes through /proc; without it the file is named from the start.
        if (::access("/proc/self/fd", F_OK) == 0) {
            const int fd =
                ::open(directoryOf(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
            if (fd >= 0) {
                return fd;
            }
            // Not supported here, or not allowed: the named way reports a real failure itself.
        }
        return createExclusive(target, chosen);
    }

    static int createExclusive(const fs::path& target, fs::path& chosen) {
        for (int attempt = 1;; ++attempt) {
            chosen = candidateFor(target);
            // 0666 lets the umask decide, as for any file the user creates.
            const int fd = ::open(chosen.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                return fd;
            }
            if (errno != EEXIST || attempt == kAttempts) {
                throwSystemError(errno, "create " + chosen.string());
            }
        }
    }

    // Links the complete unnamed file into the directory under a fresh temporary name.
    void giveName() {
        const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
        for (int attempt = 1;; ++attempt) {
            const fs::path candidate = candidateFor(target_);
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
    fs::path path_;  // empty while unnamed; declared before fd_: openUnnamedOrCreate fills it
    FileDescriptor fd_;
    bool committed_ = false;
};

// A replaced file keeps the permissions the user gave it (a group-writable cal.txt, say).
void keepPermissions(const TemporaryFile& temporary, const fs::path& target) {
    struct stat status {};
    if (::stat(target.c_str(), &status) != 0) {
        return;  // a new file: the umask has decided
    }
    if (::fchmod(temporary.fd(), status.st_mode & 07777) != 0) {
        throwSystemError(errno, "chmod " + temporary.name());
    }
}

void writeAll(const TemporaryFile& temporary, std::string_view content) {
    while (!content.empty()) {
        const ssize_t written = ::write(temporary.fd(), content.data(), content.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            throwSystemError(written < 0 ? errno : EIO, "write " + temporary.name());
        }
        content.remove_prefix(static_cast<std::size_t>(written));
    }
}

void flushToDisk(const TemporaryFile& temporary) {
    while (::fsync(temporary.fd()) != 0) {
        if (errno != EINTR) {
            throwSystemError(errno, "fsync " + temporary.name());
        }
    }
}

// Makes the rename itself survive a power cut. Best effort: by now the new content is in place
// and visible, and some file systems refuse to sync a directory, which is no reason to report
// the replacement as failed.
void flushDirectory(const fs::path& directory) {
    const FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) {
        ::fsync(dir.get());
    }
}

}  // namespace

void replaceFileAtomically(const fs::path& path, std::string_view content) {
    TemporaryFile temporary(path);
    keepPermissions(temporary, path);
    writeAll(temporary, content);
    flushToDisk(temporary);
    temporary.close();
    temporary.renameOver(path);
    flushDirectory(directoryOf(path));
}

std::optional<std::string> readFileIfPresent(const fs::path& path, std::size_t limit) {
    // O_NONBLOCK: opening a pipe for reading would otherwise wait until someone opens it for
    // writing. It changes nothing for a regular file.
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) {
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
