#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "os/posix/unique_fd.h"

namespace thermo::posix {

// A file about to be read or replaced, found one name at a time from the folder's descriptor, as
// the kernel would, but following a link only where its protection of shared folders allows
// (fs.protected_symlinks: in a sticky folder that everyone may write, only a link owned by this
// user or by the folder's owner), whatever the system's setting says. Nothing on the way is
// opened by a path that could be swapped between the check and the use.
struct FoundFile {
    os::UniqueFd folder;    // O_PATH: the folder that holds it
    std::string name;       // its name there
    std::string shown;      // the path it was reached by, for messages
    os::UniqueFd file;      // O_PATH, not following: empty when nothing of that name is there
    struct stat status {};  // of `file`, when it is there
    // When nothing is there and the name came from a link: the link, by the path it was met at.
    std::string danglingLink;
};

// Throws std::system_error: a folder on the way that cannot be opened, a link that may not be
// followed (FileError::LinkNotFollowed), a loop of links (ELOOP).
FoundFile findFile(const std::filesystem::path& path);

}  // namespace thermo::posix
