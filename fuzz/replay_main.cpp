// Runs each fuzz target's entry point over files, without libFuzzer: so that any compiler's build
// (and its sanitizers) checks the corpus and every saved crash input on every test run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

bool replayFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
        return false;
    }
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
    // A copy of exactly the input's size, so that AddressSanitizer sees a read past its end.
    const std::vector<std::uint8_t> exact(bytes);
    LLVMFuzzerTestOneInput(exact.data(), exact.size());
    return true;
}

}  // namespace

// Arguments: files, or directories whose regular files are all replayed.
int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE-OR-DIRECTORY...\n", argv[0]);
        return 2;
    }
    int replayed = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const fs::path root(argv[i]);
        std::error_code ec;
        if (fs::is_directory(root, ec)) {
            for (const auto& entry : fs::recursive_directory_iterator(root, ec)) {
                if (entry.is_regular_file()) {
                    ok = replayFile(entry.path()) && ok;
                    ++replayed;
                }
            }
        } else {
            ok = replayFile(root) && ok;
            ++replayed;
        }
        if (ec) {
            std::fprintf(stderr, "cannot list %s: %s\n", root.string().c_str(),
                         ec.message().c_str());
            ok = false;
        }
    }
    // An empty corpus would pass without checking anything.
    if (replayed == 0) {
        std::fprintf(stderr, "no inputs found\n");
        return 1;
    }
    std::printf("replayed %d inputs\n", replayed);
    return ok ? 0 : 1;
}
