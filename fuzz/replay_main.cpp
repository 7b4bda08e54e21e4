// Replays saved fuzz inputs through a fuzz target without libFuzzer, so that the seeds and
// every crash once found stay regression tests of the normal build. Each argument is a
// directory (replayed file by file, in name order) or a file; a missing directory is empty.

#include <algorithm>
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

bool replay_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<char> content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A heap block of exactly the input's size, as libFuzzer passes it, so an over-read shows.
    std::vector<std::uint8_t> input(content.begin(), content.end());
    std::fprintf(stderr, "replaying %s (%zu bytes)\n", path.c_str(), input.size());
    LLVMFuzzerTestOneInput(input.data(), input.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t replayed = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path target(argv[i]);
        std::error_code error;
        if (std::filesystem::is_regular_file(target, error)) {
            ok = replay_file(target) && ok;
            ++replayed;
            continue;
        }
        if (!std::filesystem::is_directory(target, error)) continue;
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(target, error)) {
            if (entry.is_regular_file() && entry.path().filename().string().front() != '.')
                files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            ok = replay_file(file) && ok;
            ++replayed;
        }
    }
    std::printf("replayed %zu inputs\n", replayed);
    // No input at all means the corpus went missing, which must not pass as clean.
    return ok && replayed > 0 ? 0 : 1;
}
