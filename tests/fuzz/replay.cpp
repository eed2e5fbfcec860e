// Drives a libFuzzer target without libFuzzer, so that every build (cross
// builds under emulation among them) runs the target's checks: each seed as
// it is, then a fixed series of mutations of the seeds.
//
//   <target>_replay CORPUS_DIR [MUTATIONS]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: replay CORPUS_DIR [MUTATIONS]\n", stderr);
        return 2;
    }
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1])) paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end()); // the same series whatever the directory order
    std::vector<std::vector<std::uint8_t>> seeds;
    for (const auto& path : paths) {
        std::ifstream f(path, std::ios::binary);
        seeds.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(seeds.back().data(), seeds.back().size());
    }
    if (seeds.empty()) {
        std::fprintf(stderr, "replay: no seeds in %s\n", argv[1]);
        return 1;
    }

    // Each mutation rewrites a few bytes, half of them in the first five (the
    // targets read their settings there), and sometimes cuts the input short.
    const long mutations = argc > 2 ? std::atol(argv[2]) : 1000;
    std::mt19937 rng(1);
    for (long m = 0; m < mutations; ++m) {
        std::vector<std::uint8_t> input = seeds[rng() % seeds.size()];
        for (int edits = 1 + static_cast<int>(rng() % 8); edits > 0 && !input.empty(); --edits) {
            const std::size_t at = rng() % 2 ? rng() % std::min<std::size_t>(5, input.size()) : rng() % input.size();
            input[at] = static_cast<std::uint8_t>(rng());
        }
        if (rng() % 8 == 0) input.resize(rng() % (input.size() + 1));
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("replay: %zu seeds and %ld mutations passed\n", seeds.size(), mutations);
    return 0;
}
