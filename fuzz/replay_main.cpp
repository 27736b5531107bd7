// The fuzz targets without libFuzzer: each file named (or found in a folder named) on the
// command line is given to the target once, whole, in name order. A failed property aborts
// the process as it does under libFuzzer; the file being replayed is printed first, so
// the failure names it. Any compiler builds this, so the seeds and the saved regressions
// run with the ordinary tests.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Only some targets prepare the process first.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs(int argc, char** argv) {
    std::vector<fs::path> found;
    for (int i = 1; i < argc; ++i) {
        const fs::path named(argv[i]);
        if (!fs::is_directory(named)) {
            found.push_back(named);
            continue;
        }
        std::vector<fs::path> in_folder;
        for (const auto& entry : fs::directory_iterator(named))
            if (entry.is_regular_file()) in_folder.push_back(entry.path());
        std::sort(in_folder.begin(), in_folder.end());
        found.insert(found.end(), in_folder.begin(), in_folder.end());
    }
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    const auto files = inputs(argc, argv);
    if (files.empty()) {
        std::fprintf(stderr, "usage: %s FILE|FOLDER...: no input to replay\n", argv[0]);
        return 2;
    }
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", file.c_str());
            return 1;
        }
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
        std::printf("replaying %s (%zu bytes)\n", file.c_str(), bytes.size());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}
