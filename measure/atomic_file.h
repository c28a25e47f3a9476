#pragma once

#include <cstddef>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace thermo {

// Replaces (or creates) the file at `path` with `content` so that a reader, a crash or a full disk
// never sees anything but the old or the new complete content: a temporary file in the same
// directory, flushed to disk, renamed over the target. The temporary is removed on every failure,
// and a successful replacement removes those that killed replacements of the same user left
// (temporary_name.h).
// - Only a regular file, or nothing, is replaced: a device, pipe, socket or folder at the path is
//   an error (FileError::NotARegularFile, or EISDIR).
// - A link is kept: the file it leads to is replaced, in that file's folder. A link is followed
//   only where the kernel's protection of shared folders would let this user follow it (in a
//   sticky folder that everyone may write, only a link of the user's or of the folder's owner),
//   whatever the system's setting; every folder on the way is opened from the one before without
//   following anything else, so nothing can be swapped in between. A link that leads nowhere is
//   an error (FileError::DanglingLink), never a creation.
// - A file the user may not write (read-only) is not replaced, though the folder would allow it.
// - When the folder refuses the temporary file, a writable file is rewritten in place instead: the
//   new content over the old, then the file cut to its length. Should that fail once the first
//   byte has changed, FileMayBeDamaged says so, with what the file held before.
// - The replaced file keeps its owner, group and permissions where the system allows; a new
//   one's are left to the umask, or with NewFileMode::ReadableByAll are rw-r--r-- (0644) whatever
//   the umask (a file that a collector running as another user reads). Windows' files take
//   their folder's permissions either way.
// Throws std::system_error naming the failing step on failure; on Windows its code is in
// os::windowsErrorCategory() (os/windows/text.h). One implementation per platform.
enum class NewFileMode {
    UmaskDecides,
    ReadableByAll,
};
void replaceFileAtomically(const std::filesystem::path& path, std::string_view content,
                           NewFileMode newFileMode = NewFileMode::UmaskDecides);

// Why a file was not read or replaced, where the system has no error number for it.
enum class FileError {
    NotARegularFile = 1,
    DanglingLink,
    LinkNotFollowed,
    ChangedMeanwhile,
};
const std::error_category& fileErrorCategory();
std::error_code make_error_code(FileError error);

// A rewrite in place that failed after it had begun to change the file: the file may now hold
// neither the old content nor the new. previous() is what it held before, so that the user can
// put it back; no value when it could not be read.
class FileMayBeDamaged : public std::system_error {
  public:
    FileMayBeDamaged(std::error_code code, const std::string& what,
                     std::optional<std::string> previous)
        : std::system_error(code, what), previous_(std::move(previous)) {}
    const std::optional<std::string>& previous() const { return previous_; }

  private:
    std::optional<std::string> previous_;
};

// The content of the file at `path`, at most `limit` bytes of it, or no value when it does not
// exist. Any other failure (no permission, a directory in its place, a link the replacement would
// not follow, one that leads nowhere) throws std::system_error, so that a caller never mistakes an
// unreadable file for a missing one. Never waits for a writer: a pipe in the file's place gives
// what it holds now.
std::optional<std::string> readFileIfPresent(
    const std::filesystem::path& path, std::size_t limit = std::numeric_limits<std::size_t>::max());

}  // namespace thermo

template <>
struct std::is_error_code_enum<thermo::FileError> : std::true_type {};
