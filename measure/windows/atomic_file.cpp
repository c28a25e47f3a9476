#include "measure/atomic_file.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <system_error>
#include <utility>

namespace thermo {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void throwLastError(const std::string& what) {
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), what);
}

// Error texts are UTF-8 whatever the user's code page.
std::string displayName(const fs::path& path) {
    const std::u8string name = path.u8string();
    return std::string(name.begin(), name.end());
}

class Handle {
  public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (valid()) {
            ::CloseHandle(handle_);
        }
    }

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

    // False, with the reason in GetLastError, when closing failed: for a written file that can be
    // the first report that its data could not be stored.
    bool close() {
        return !valid() || ::CloseHandle(std::exchange(handle_, INVALID_HANDLE_VALUE)) != 0;
    }

  private:
    HANDLE handle_;
};

std::wstring randomSuffix() {
    static constexpr std::wstring_view kAlphabet = L"abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device entropy;
    std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
    std::wstring suffix(6, L' ');
    for (wchar_t& c : suffix) {
        c = kAlphabet[pick(entropy)];
    }
    return suffix;
}

// A new file beside the target, deleted again unless it has been moved over the target.
// Created in the target's directory because only a move within one volume replaces atomically.
class TemporaryFile {
  public:
    explicit TemporaryFile(const fs::path& target) : handle_(createExclusive(target, path_)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!committed_) {
            handle_.close();  // Windows deletes no file that is still open
            ::DeleteFileW(path_.c_str());
        }
    }

    HANDLE get() const { return handle_.get(); }
    std::string name() const { return displayName(path_); }

    void close() {
        if (!handle_.close()) {
            throwLastError("close " + name());
        }
    }

    void moveOver(const fs::path& target) {
        if (!::MoveFileExW(path_.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            throwLastError("rename " + name() + " to " + displayName(target));
        }
        committed_ = true;
    }

  private:
    static HANDLE createExclusive(const fs::path& target, fs::path& chosen) {
        constexpr int kAttempts = 100;
        for (int attempt = 1;; ++attempt) {
            chosen = target;
            chosen += L".tmp" + randomSuffix();
            const HANDLE handle = ::CreateFileW(chosen.c_str(), GENERIC_WRITE, 0, nullptr,
                                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (handle != INVALID_HANDLE_VALUE) {
                return handle;
            }
            if (::GetLastError() != ERROR_FILE_EXISTS || attempt == kAttempts) {
                throwLastError("create " + displayName(chosen));
            }
        }
    }

    fs::path path_;  // declared before handle_: createExclusive fills it
    Handle handle_;
    bool committed_ = false;
};

void writeAll(const TemporaryFile& temporary, std::string_view content) {
    while (!content.empty()) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(content.size(), 1U << 20));
        DWORD written = 0;
        if (!::WriteFile(temporary.get(), content.data(), chunk, &written, nullptr)) {
            throwLastError("write " + temporary.name());
        }
        content.remove_prefix(written);
    }
}

void flushToDisk(const TemporaryFile& temporary) {
    if (!::FlushFileBuffers(temporary.get())) {
        throwLastError("flush " + temporary.name());
    }
}

}  // namespace

void replaceFileAtomically(const fs::path& path, std::string_view content) {
    TemporaryFile temporary(path);
    writeAll(temporary, content);
    flushToDisk(temporary);
    temporary.close();
    temporary.moveOver(path);
}

std::optional<std::string> readFileIfPresent(const fs::path& path, std::size_t limit) {
    // Shares writing and deleting too, so that a file an editor holds open can still be read.
    const Handle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
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
