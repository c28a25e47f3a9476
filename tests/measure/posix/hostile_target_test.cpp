// What the atomic replacement does with each kind of thing an attacker, or a slip, can put where
// it is told to write: as root and as an ordinary user, the same table. Each row says which
// entries of the scene change; every other entry, and /dev/null, must stay as it was.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <system_error>
#include <vector>

#include "measure/atomic_file.h"
#include "os/posix/unique_fd.h"
#include "tests/support/row_name.h"
#include "tests/support/temp_dir.h"
#include "tests/support/unprivileged.h"

namespace thermo {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

constexpr uid_t kFolderOwner = 65532;  // owns the shared folder
constexpr uid_t kAnotherUser = 65533;  // plants links in it
constexpr uid_t kOrdinaryUser = 65534;

enum class Who { Root, OrdinaryUser };

// The places a row may use: `mine` and `outside` belong to the user who saves, `shared` is a
// sticky folder that everyone may write, as /tmp is, owned by somebody else.
struct Scene {
    fs::path root;
    uid_t user;
    fs::path mine() const { return root / "mine"; }
    fs::path shared() const { return root / "shared"; }
    fs::path outside() const { return root / "outside"; }
};

// Each entry under the scene as one word and its content: "file old", "link ../x", "fifo".
using Snapshot = std::map<std::string, std::string>;

std::string describe(const fs::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return "absent";
    if (S_ISREG(status.st_mode)) {
        std::ifstream in(path, std::ios::binary);
        return "file " + std::string(std::istreambuf_iterator<char>(in), {});
    }
    if (S_ISLNK(status.st_mode)) return "link " + fs::read_symlink(path).string();
    if (S_ISDIR(status.st_mode)) return "folder";
    if (S_ISCHR(status.st_mode)) return "char " + std::to_string(major(status.st_rdev));
    if (S_ISFIFO(status.st_mode)) return "fifo";
    if (S_ISSOCK(status.st_mode)) return "socket";
    return "other";
}

Snapshot snapshot(const Scene& scene) {
    Snapshot entries{{"/dev/null", describe("/dev/null")}};
    for (const auto& entry : fs::recursive_directory_iterator(scene.root)) {
        entries[entry.path().lexically_relative(scene.root).string()] = describe(entry.path());
    }
    return entries;
}

void put(const fs::path& path, const std::string& content, uid_t owner) {
    std::ofstream(path, std::ios::binary) << content;
    ::lchown(path.c_str(), owner, owner);
}

void link(const fs::path& path, const fs::path& to, uid_t owner) {
    fs::create_symlink(to, path);
    if (::lchown(path.c_str(), owner, owner) != 0) {
        throw std::system_error(errno, std::generic_category(), "lchown " + path.string());
    }
}

void node(const fs::path& path, mode_t mode, dev_t device, uid_t owner) {
    if (::mknod(path.c_str(), mode, device) != 0) {
        throw std::system_error(errno, std::generic_category(), "mknod " + path.string());
    }
    ::lchown(path.c_str(), owner, owner);
}

struct HostileRow {
    const char* name;
    const char* target;  // relative to the scene
    std::function<void(const Scene&)> prepare;
    std::vector<std::error_code> errors;  // any of them; none: the save succeeds
    Snapshot changes;                     // entries that differ afterwards, as they must be then
};

const std::error_code kNotRegular = make_error_code(FileError::NotARegularFile);
const std::error_code kDangling = make_error_code(FileError::DanglingLink);
const std::error_code kNotFollowed = make_error_code(FileError::LinkNotFollowed);
std::error_code posixError(int error) { return {error, std::generic_category()}; }

const std::vector<HostileRow> kRows = {
    {"RegularFile",
     "mine/t",
     [](const Scene& s) { put(s.mine() / "t", "old", s.user); },
     {},
     {{"mine/t", "file new"}}},
    {"Absent", "mine/t", [](const Scene&) {}, {}, {{"mine/t", "file new"}}},
    // Anyone may plant a link in /tmp; following it would let them pick the file root rewrites.
    {"LinkOfAnotherUserInSharedFolder",
     "shared/t",
     [](const Scene& s) { link(s.shared() / "t", s.outside() / "victim", kAnotherUser); },
     {kNotFollowed},
     {}},
    {"LinkOfTheUserInSharedFolder",
     "shared/t",
     [](const Scene& s) { link(s.shared() / "t", s.outside() / "victim", s.user); },
     {},
     {{"outside/victim", "file new"}}},
    {"LinkOfTheFolderOwnerInSharedFolder",
     "shared/t",
     [](const Scene& s) { link(s.shared() / "t", s.outside() / "victim", kFolderOwner); },
     {},
     {{"outside/victim", "file new"}}},
    // A folder on the way that is such a link is refused as well.
    {"FolderLinkOfAnotherUserInSharedFolder",
     "shared/d/victim",
     [](const Scene& s) { link(s.shared() / "d", s.outside(), kAnotherUser); },
     {kNotFollowed},
     {}},
    {"DanglingLink",
     "mine/t",
     [](const Scene& s) { link(s.mine() / "t", s.outside() / "new", s.user); },
     {kDangling},
     {}},
    {"LinkLoop",
     "mine/t",
     [](const Scene& s) {
         link(s.mine() / "t", "u", s.user);
         link(s.mine() / "u", "t", s.user);
     },
     {posixError(ELOOP)},
     {}},
    {"CharacterDevice",
     "mine/t",
     [](const Scene& s) { node(s.mine() / "t", S_IFCHR | 0666, makedev(1, 3), s.user); },
     {kNotRegular},
     {}},
    {"LinkToDevNull",
     "mine/t",
     [](const Scene& s) { link(s.mine() / "t", "/dev/null", s.user); },
     {kNotRegular},
     {}},
    {"Fifo",
     "mine/t",
     [](const Scene& s) { node(s.mine() / "t", S_IFIFO | 0644, 0, s.user); },
     {kNotRegular},
     {}},
    {"Socket",
     "mine/t",
     [](const Scene& s) {
         const os::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         const std::string path = (s.mine() / "t").string();
         path.copy(address.sun_path, sizeof address.sun_path - 1);
         if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
             throw std::system_error(errno, std::generic_category(), "bind " + path);
         }
         ::lchown(path.c_str(), s.user, s.user);
     },
     {kNotRegular},
     {}},
    {"Folder",
     "mine/t",
     [](const Scene& s) { fs::create_directory(s.mine() / "t"); },
     {posixError(EISDIR)},
     {}},
    // /dev/stdout is such a link: to a pipe it leads nowhere, and to a terminal to a device. What
    // is in its place is never replaced.
    {"LinkToStandardOutput",
     "mine/stdout",
     [](const Scene& s) { link(s.mine() / "stdout", "/proc/self/fd/1", s.user); },
     {kDangling, posixError(EACCES)},
     {}},
    // Only this program's own temporary names, and only the saving user's files of them.
    {"FilesOfOtherPatternsAndOwners",
     "mine/t",
     [](const Scene& s) {
         put(s.mine() / "t", "old", s.user);
         put(s.mine() / "t.tmp123456", "a user's", s.user);
         put(s.mine() / "t.usb-thermometer-ab12cd34.tmp", "left", s.user);
         put(s.mine() / "t.usb-thermometer-zz99yy88.tmp", "theirs", kAnotherUser);
     },
     {},
     {{"mine/t", "file new"}, {"mine/t.usb-thermometer-ab12cd34.tmp", "absent"}}},
};

// The scene for `who`, made as root where the suite runs as root (devices, other users' links).
// Empty when it can be made, else why not.
std::string makeScene(const Scene& scene) {
    const uid_t user = scene.user;
    for (const fs::path& folder : {scene.mine(), scene.outside()}) {
        fs::create_directory(folder);
        if (::chown(folder.c_str(), user, user) != 0 && user != ::geteuid()) {
            return "needs root to give a folder to user " + std::to_string(user);
        }
    }
    fs::create_directory(scene.shared());
    fs::permissions(scene.shared(), fs::perms::all | fs::perms::sticky_bit);
    if (::chown(scene.shared().c_str(), kFolderOwner, kFolderOwner) != 0) {
        return "needs root to make a shared folder of another user";
    }
    put(scene.outside() / "victim", "victim", user);
    return {};
}

struct Case {
    HostileRow row;
    Who who;
    std::string name;
};

std::vector<Case> cases() {
    std::vector<Case> all;
    for (const Who who : {Who::Root, Who::OrdinaryUser}) {
        for (const HostileRow& row : kRows) {
            all.push_back(
                {row, who, std::string(row.name) + (who == Who::Root ? "AsRoot" : "AsUser")});
        }
    }
    return all;
}

class HostileTarget : public ::testing::TestWithParam<Case> {};

std::string outcomeOf(const fs::path& target) {
    try {
        replaceFileAtomically(target, "new");
        return "saved";
    } catch (const std::system_error& error) {
        return error.code().category().name() + std::string(" ") +
               std::to_string(error.code().value()) + " (" + error.what() + ")";
    }
}

std::string expectedOutcome(const HostileRow& row, const std::string& got) {
    if (row.errors.empty()) return got == "saved" ? "" : "the save failed: " + got + "\n";
    for (const std::error_code& error : row.errors) {
        const std::string prefix =
            error.category().name() + std::string(" ") + std::to_string(error.value()) + " (";
        if (got.starts_with(prefix)) return "";
        if (got == "saved") break;
    }
    return "the save gave " + got + ", not " + row.errors.front().message() + "\n";
}

std::string differences(const Snapshot& before, const Snapshot& after, const Snapshot& changes) {
    Snapshot wanted = before;
    for (const auto& [entry, state] : changes) wanted[entry] = state;
    std::erase_if(wanted, [](const auto& entry) { return entry.second == "absent"; });
    std::string found;
    for (const auto& [entry, state] : after) {
        const auto it = wanted.find(entry);
        if (it == wanted.end())
            found += entry + " appeared as " + state + "\n";
        else if (it->second != state)
            found += entry + " is " + state + ", not " + it->second + "\n";
    }
    for (const auto& [entry, state] : wanted) {
        if (!after.contains(entry)) found += entry + " is gone (was " + state + ")\n";
    }
    return found;
}

TEST_P(HostileTarget, ChangesOnlyWhatTheRowSays) {
    const Case& c = GetParam();
    if (c.who == Who::Root && ::geteuid() != 0) GTEST_SKIP() << "needs root to save as root";
    const TempDir dir{"hostile"};
    const TempDir home{"hostile-home"};  // what the drop to an ordinary user hands over
    fs::permissions(dir.path(),
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    const uid_t user = c.who == Who::Root ? 0 : (::geteuid() == 0 ? kOrdinaryUser : ::geteuid());
    const Scene scene{dir.path(), user};
    if (const std::string why = makeScene(scene); !why.empty()) GTEST_SKIP() << why;
    try {
        c.row.prepare(scene);
    } catch (const std::system_error& error) {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to set the scene: " << error.what();
        throw;
    }
    const Snapshot before = snapshot(scene);
    const auto check = [&] {
        // Standard output on a pipe, whatever the test's own is: a link to it then leads nowhere.
        std::array<int, 2> pipe{};
        if (::pipe2(pipe.data(), O_CLOEXEC) != 0) return std::string("no pipe");
        const os::UniqueFd reading(pipe[0]);
        const os::UniqueFd writing(pipe[1]);
        const os::UniqueFd output(::fcntl(1, F_DUPFD_CLOEXEC, 3));
        ::dup2(writing.get(), 1);
        const std::string outcome = outcomeOf(dir.path() / c.row.target);
        ::dup2(output.get(), 1);
        return expectedOutcome(c.row, outcome);
    };
    std::string found;
    if (c.who == Who::Root) {
        found = check();
    } else {
        const test::UnprivilegedResult result = test::runUnprivileged(home.path(), check);
        if (!result.ran) GTEST_SKIP() << result.detail;
        found = result.detail;
    }
    EXPECT_EQ(found + differences(before, snapshot(scene), c.row.changes), "");
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileTarget, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace thermo
