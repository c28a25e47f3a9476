#pragma once

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace thermo::testing {

// A fresh folder in the system's temporary folder, removed with everything in it when its owner
// goes. Made with the standard library alone, so that the Windows build has it too.
class TempDir {
  public:
    explicit TempDir(std::string_view prefix = "thermo-test") {
        // Six letters or digits, as mkdtemp has them: the names stay short enough for the Unix
        // sockets that tests make deep inside.
        constexpr std::string_view kLetters =
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        const auto base = std::filesystem::temp_directory_path();
        std::random_device seed;
        std::mt19937 random(seed());
        std::uniform_int_distribution<std::size_t> letter(0, kLetters.size() - 1);
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string name(prefix);
            name += '-';
            for (int i = 0; i < 6; ++i) name += kLetters[letter(random)];
            auto candidate = base / name;
            std::error_code error;
            if (std::filesystem::create_directory(candidate, error)) {
                path_ = std::move(candidate);
                return;
            }
            if (error)
                throw std::filesystem::filesystem_error("create_directory", candidate, error);
        }
        throw std::runtime_error("no unused temporary folder name in " + base.string());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace thermo::testing
