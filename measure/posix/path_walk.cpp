#include "measure/posix/path_walk.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <deque>
#include <system_error>
#include <utility>

#include "measure/atomic_file.h"

namespace thermo::posix {

namespace {

using os::UniqueFd;

// The kernel's own limit on links met in one lookup.
constexpr int kMaxLinks = 40;

[[noreturn]] void fail(std::error_code code, const std::string& what) {
    throw std::system_error(code, what);
}

[[noreturn]] void failErrno(const std::string& what) {
    fail(std::error_code(errno, std::generic_category()), what);
}

std::string joined(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

UniqueFd openPath(int at, const char* name, int flags, const std::string& shown) {
    UniqueFd fd(::openat(at, name, O_PATH | O_NOFOLLOW | O_CLOEXEC | flags));
    if (!fd) failErrno("open " + shown);
    return fd;
}

// A link in a sticky folder that everyone may write is followed only when this user or the
// folder's owner owns it: anyone may plant a link there, and following it would let them choose
// which file this user's privileges open.
bool mayFollow(int folder, const struct stat& link) {
    struct stat status {};
    if (::fstat(folder, &status) != 0) return false;
    const bool shared = (status.st_mode & S_ISVTX) != 0 && (status.st_mode & S_IWOTH) != 0;
    return !shared || link.st_uid == ::geteuid() || link.st_uid == status.st_uid;
}

std::string linkText(int link, const std::string& shown) {
    std::string text(PATH_MAX, '\0');
    // An empty name reads the link the descriptor itself stands for.
    const ssize_t length = ::readlinkat(link, "", text.data(), text.size());
    if (length < 0) failErrno("read link " + shown);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

class Walk {
  public:
    explicit Walk(const std::filesystem::path& path) {
        const std::string text = path.native();
        if (text.empty()) fail(std::error_code(ENOENT, std::generic_category()), "open");
        startAt(text.front() == '/' ? "/" : ".", text.front() == '/' ? "/" : "");
        queue(text);
    }

    FoundFile run() {
        while (true) {
            std::string name = std::move(pending_.front());
            pending_.pop_front();
            const bool last = pending_.empty();
            if (name == ".") {
                if (last) break;
                continue;
            }
            if (last) return finish(name);
            descend(name);
        }
        // The path ends in a folder ("dir/", "."): nothing to read or replace there.
        fail(std::error_code(EISDIR, std::generic_category()), "open " + where_);
    }

  private:
    void startAt(const char* root, std::string shown) {
        folder_ = openPath(AT_FDCWD, root, O_DIRECTORY, root);
        where_ = std::move(shown);
    }

    // The names of `text` go before those still to walk.
    void queue(const std::string& text) {
        std::deque<std::string> names;
        std::size_t begin = 0;
        while (begin <= text.size()) {
            const std::size_t end = std::min(text.find('/', begin), text.size());
            if (end > begin) names.emplace_back(text.substr(begin, end - begin));
            begin = end + 1;
        }
        if (!text.empty() && text.back() == '/') names.emplace_back(".");
        if (names.empty()) names.emplace_back(".");
        pending_.insert(pending_.begin(), names.begin(), names.end());
    }

    // Takes the link `name` (opened at `link`) in place of its name, when it may be followed.
    void follow(UniqueFd link, const struct stat& status, const std::string& shown) {
        if (!mayFollow(folder_.get(), status)) fail(FileError::LinkNotFollowed, "follow " + shown);
        if (++links_ > kMaxLinks) {
            fail(std::error_code(ELOOP, std::generic_category()), "follow " + shown);
        }
        const std::string text = linkText(link.get(), shown);
        if (text.empty()) fail(std::error_code(ENOENT, std::generic_category()), "follow " + shown);
        // A final name that a link gives is the link's: if nothing is there, the link is dangling.
        if (pending_.empty()) finalLink_ = shown;
        if (text.front() == '/') startAt("/", "/");
        queue(text);
    }

    void descend(const std::string& name) {
        const std::string shown = joined(where_, name);
        UniqueFd next = openPath(folder_.get(), name.c_str(), 0, shown);
        struct stat status {};
        if (::fstat(next.get(), &status) != 0) failErrno("stat " + shown);
        if (S_ISLNK(status.st_mode)) {
            follow(std::move(next), status, shown);
            return;
        }
        if (!S_ISDIR(status.st_mode)) {
            fail(std::error_code(ENOTDIR, std::generic_category()), "open " + shown);
        }
        folder_ = std::move(next);
        where_ = shown;
    }

    FoundFile finish(const std::string& name) {
        const std::string shown = joined(where_, name);
        UniqueFd file(::openat(folder_.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!file) {
            if (errno != ENOENT) failErrno("open " + shown);
            FoundFile found;
            found.folder = std::move(folder_);
            found.name = name;
            found.shown = shown;
            found.danglingLink = finalLink_;
            return found;
        }
        struct stat status {};
        if (::fstat(file.get(), &status) != 0) failErrno("stat " + shown);
        if (S_ISLNK(status.st_mode)) {
            follow(std::move(file), status, shown);
            return run();
        }
        FoundFile found;
        found.folder = std::move(folder_);
        found.name = name;
        found.shown = shown;
        found.file = std::move(file);
        found.status = status;
        return found;
    }

    UniqueFd folder_;
    std::string where_;
    std::deque<std::string> pending_;
    int links_ = 0;
    std::string finalLink_;  // the last link met as the final name, if any
};

}  // namespace

FoundFile findFile(const std::filesystem::path& path) { return Walk(path).run(); }

}  // namespace thermo::posix
