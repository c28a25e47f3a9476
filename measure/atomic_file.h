#pragma once

#include <cstddef>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace thermo {

// Replaces (or creates) the file at `path` with `content` so that a reader, a crash or a full disk
// never sees anything but the old or the new complete content: a temporary file in the same
// directory, flushed to disk, renamed over the target. The temporary is removed on every failure,
// and a successful replacement removes those that killed replacements left (temporary_name.h).
// - A file the user may not write (read-only) is not replaced, though the folder would allow it.
// - A link is kept: the file it leads to is replaced, in that file's folder.
// - When the folder refuses the temporary file, a writable file is rewritten in place instead.
// - The replaced file keeps its owner, group and permissions where the system allows.
// Throws std::system_error naming the failing step on failure; on Windows its code is in
// os::windowsErrorCategory() (os/windows/text.h). One implementation per platform.
void replaceFileAtomically(const std::filesystem::path& path, std::string_view content);

// The content of the file at `path`, at most `limit` bytes of it, or no value when it does not
// exist. Any other failure (no permission, a directory in its place) throws std::system_error, so
// that a caller never mistakes an unreadable file for a missing one. Never waits for a writer: a
// pipe in the file's place gives what it holds now.
std::optional<std::string> readFileIfPresent(
    const std::filesystem::path& path, std::size_t limit = std::numeric_limits<std::size_t>::max());

}  // namespace thermo
