#include "measure/atomic_file.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "measure/temporary_name.h"
#include "os/windows/text.h"
#include "os/windows/unique_handle.h"
#include "os/windows/windows.h"

namespace thermo {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void throwError(DWORD error, const std::string& what) {
    throw std::system_error(os::windowsError(error), what);
}

[[noreturn]] void throwLastError(const std::string& what) { throwError(::GetLastError(), what); }

// Error texts are UTF-8 whatever the user's code page.
std::string displayName(const fs::path& path) {
    const std::u8string name = path.u8string();
    return std::string(name.begin(), name.end());
}

using os::UniqueHandle;

// A scanner, an indexer or a sync client that has just opened cal.txt or the new file makes a
// replacement fail for a moment. Waiting a little, about a quarter of a second in all, rides that
// out without keeping the user waiting on a file that stays locked.
template <typename Attempt>
bool retryWhileBriefly(Attempt&& attempt) {
    constexpr std::array<DWORD, 5> kPausesMs = {10, 20, 40, 80, 100};
    for (const DWORD pause : kPausesMs) {
        if (attempt()) {
            return true;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) {
            return false;
        }
        ::Sleep(pause);
        ::SetLastError(error);
    }
    return attempt();
}

// A read-only cal.txt, or one the user may not write, is not replaced: a move needs only the
// folder's permission, and would change a file its owner protected. Checked before any retry so
// that the refusal comes at once. Wine, unlike Windows, lets a move replace a read-only file.
void refuseUnwritable(const fs::path& target) {
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return;  // missing: created; a directory: the move reports it
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        throwError(ERROR_ACCESS_DENIED, "open " + displayName(target));
    }
    const UniqueHandle file(::CreateFileW(target.c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file && ::GetLastError() == ERROR_ACCESS_DENIED) {
        throwLastError("open " + displayName(target));
    }
}

// The rename through a handle takes the native form of a whole path ("\??\C:\dir\cal.txt"); a
// bare name would be taken relative to the working folder by some implementations.
std::wstring ntPath(const fs::path& absolute) {
    const std::wstring path = absolute.wstring();
    if (path.starts_with(LR"(\\?\)")) {
        return LR"(\??\)" + path.substr(4);
    }
    if (path.starts_with(LR"(\\)")) {
        return LR"(\??\UNC\)" + path.substr(2);
    }
    return LR"(\??\)" + path;
}

// A new file beside the target, deleted again unless it has replaced the target. Created in the
// target's folder because only a rename within one volume replaces atomically. Opened without
// sharing, and renamed through its own handle, so that no other program can open or delete it
// while it is in use: that is what tells another save's clean-up that it is not a leftover.
class TemporaryFile {
  public:
    explicit TemporaryFile(const fs::path& target) : target_(target) { createExclusive(); }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!committed_) {
            FILE_DISPOSITION_INFO dispose{};
            dispose.DeleteFile = TRUE;
            ::SetFileInformationByHandle(handle_.get(), FileDispositionInfo, &dispose,
                                         sizeof(dispose));
        }
    }

    HANDLE get() const { return handle_.get(); }
    std::string name() const { return displayName(path_); }

    void renameOverTarget() {
        const std::wstring newName = ntPath(target_);
        const std::size_t size =
            offsetof(FILE_RENAME_INFO, FileName) + (newName.size() + 1) * sizeof(wchar_t);
        std::vector<std::byte> buffer(size);
        auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
        rename->ReplaceIfExists = TRUE;
        rename->RootDirectory = nullptr;
        rename->FileNameLength = static_cast<DWORD>(newName.size() * sizeof(wchar_t));
        std::copy(newName.begin(), newName.end(), rename->FileName);
        rename->FileName[newName.size()] = L'\0';
        const bool renamed = retryWhileBriefly([&] {
            return ::SetFileInformationByHandle(handle_.get(), FileRenameInfo, rename,
                                                static_cast<DWORD>(size)) != 0;
        });
        if (!renamed) {
            throwLastError("rename " + name() + " to " + displayName(target_));
        }
        committed_ = true;
    }

  private:
    void createExclusive() {
        constexpr int kAttempts = 100;
        for (int attempt = 1;; ++attempt) {
            const std::string name = temporaryNameFor(displayName(target_.filename()));
            path_ = target_.parent_path() / std::u8string(name.begin(), name.end());
            handle_ = UniqueHandle(::CreateFileW(path_.c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (handle_) {
                return;
            }
            if (::GetLastError() != ERROR_FILE_EXISTS || attempt == kAttempts) {
                throwLastError("create " + displayName(path_));
            }
        }
    }

    fs::path target_;
    fs::path path_;
    UniqueHandle handle_;
    bool committed_ = false;
};

void writeAll(HANDLE file, std::string_view content, const std::string& name) {
    while (!content.empty()) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(content.size(), 1U << 20));
        DWORD written = 0;
        if (!::WriteFile(file, content.data(), chunk, &written, nullptr)) {
            throwLastError("write " + name);
        }
        content.remove_prefix(written);
    }
}

void flushToDisk(HANDLE file, const std::string& name) {
    if (!::FlushFileBuffers(file)) {
        throwLastError("flush " + name);
    }
}

// What the file holds now, to be named should the rewrite in place damage it. No value when it
// cannot be read or holds more than a message can carry.
std::optional<std::string> contentBefore(HANDLE file) {
    constexpr std::size_t kLimit = 64 * 1024;
    std::string content;
    std::array<char, 4096> buffer{};
    while (content.size() <= kLimit) {
        DWORD count = 0;
        if (!::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &count, nullptr)) {
            return std::nullopt;
        }
        if (count == 0) return content;
        content.append(buffer.data(), count);
    }
    return std::nullopt;
}

// A folder the user may not write still lets them change a file in it that they may write.
// Not atomic, so only the fallback: the new content goes over the old and only then is the file
// cut to its length, so that a failure before the first byte changed leaves it as it was, and
// one after says that the file may be damaged and what it held.
void rewriteInPlace(const fs::path& target, std::string_view content) {
    const std::string name = displayName(target);
    UniqueHandle file(::CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::optional<std::string> before;
    if (file) {
        before = contentBefore(file.get());
    } else if (::GetLastError() == ERROR_ACCESS_DENIED) {
        file = UniqueHandle(::CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    if (!file) throwLastError("open " + name);
    LARGE_INTEGER start{};
    std::size_t written = 0;
    std::string step = "write ";
    bool done = ::SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN) != 0;
    while (done && written < content.size()) {
        const auto chunk =
            static_cast<DWORD>(std::min<std::size_t>(content.size() - written, 1U << 20));
        DWORD count = 0;
        done = ::WriteFile(file.get(), content.data() + written, chunk, &count, nullptr) != 0;
        if (done && count == 0) {
            ::SetLastError(ERROR_WRITE_FAULT);
            done = false;
        }
        written += count;
    }
    if (done) {
        step = "truncate ";
        done = ::SetEndOfFile(file.get()) != 0;
    }
    if (done) {
        step = "flush ";
        done = ::FlushFileBuffers(file.get()) != 0;
    }
    if (done) return;
    const DWORD error = ::GetLastError();
    if (written == 0 && step == "write ") throwError(error, step + name);
    throw FileMayBeDamaged(os::windowsError(error), step + name, before);
}

// Files a killed save left beside the target. A save in flight holds its file open without
// sharing, so deleting that one fails and it stays; what cannot be deleted now may be next time.
void removeLeftovers(const fs::path& target) {
    const std::string targetName = displayName(target.filename());
    std::error_code error;
    for (fs::directory_iterator it(target.parent_path(), error), end; !error && it != end;
         it.increment(error)) {
        std::error_code notRegular;
        if (isTemporaryNameFor(displayName(it->path().filename()), targetName) &&
            fs::is_regular_file(it->symlink_status(notRegular))) {
            ::DeleteFileW(it->path().c_str());
        }
    }
}

}  // namespace

// A new file takes its folder's inherited permissions; the mode asks nothing more here.
void replaceFileAtomically(const fs::path& path, std::string_view content,
                           NewFileMode /*newFileMode*/) {
    // Absolute, so that the temporary file's folder is the target's whatever the path looks like.
    const fs::path target = fs::absolute(path);
    refuseUnwritable(target);
    std::optional<TemporaryFile> temporary;
    try {
        temporary.emplace(target);
    } catch (const std::system_error& error) {
        const bool folderRefused = error.code().value() == ERROR_ACCESS_DENIED;
        if (!folderRefused || ::GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES) {
            throw;
        }
        rewriteInPlace(target, content);
        return;
    }
    writeAll(temporary->get(), content, temporary->name());
    flushToDisk(temporary->get(), temporary->name());
    temporary->renameOverTarget();
    removeLeftovers(target);
}

std::optional<std::string> readFileIfPresent(const fs::path& path, std::size_t limit) {
    // Shares writing and deleting too, so that a file an editor holds open can still be read.
    const UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        if (::GetLastError() == ERROR_FILE_NOT_FOUND) {
            return std::nullopt;
        }
        throwLastError("open " + displayName(path));
    }
    std::string content;
    std::array<char, 4096> buffer{};
    while (content.size() < limit) {
        const std::size_t wanted = std::min(buffer.size(), limit - content.size());
        DWORD count = 0;
        if (!::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(wanted), &count, nullptr)) {
            throwLastError("read " + displayName(path));
        }
        if (count == 0) {
            return content;
        }
        content.append(buffer.data(), count);
    }
    return content;
}

}  // namespace thermo
