// Runs the engine over a recording hop after hop, and little else, for
// counting instructions under an emulator (bench/count-instructions.sh).
//
//   engine_hops FILE HOPS [LEVEL]    LEVEL: portable, neon, avx2, avx512;
//                                    without it, the path zek takes
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "agc/process_fast.h"
#include "audio/samples.h"
#include "zek/settings.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: engine_hops FILE HOPS [portable|neon|avx2|avx512]\n", stderr);
        return 2;
    }
    std::ifstream f(argv[1], std::ios::binary);
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(f), {}};
    std::vector<std::int16_t> samples(bytes.size() / 2);
    zek::decode_le(bytes.data(), samples.data(), samples.size());
    const std::size_t hops_in_file = samples.size() / zek::hop;
    if (hops_in_file == 0) {
        std::fprintf(stderr, "engine_hops: %s holds less than a hop\n", argv[1]);
        return 1;
    }

    const long hops = std::atol(argv[2]);
    bool fixed = false;
    agc::simd_level level = agc::simd_level::portable;
    for (agc::simd_level l : agc::all_simd_levels) {
        if (argc > 3 && std::strcmp(argv[3], agc::simd_level_name(l)) == 0) fixed = true, level = l;
    }
    if (argc > 3 && (!fixed || !agc::simd_level_runs(level))) {
        std::fprintf(stderr, "engine_hops: level %s does not run here\n", argv[3]);
        return 1;
    }

    static agc_state state;
    zek::init_engine(state);
    std::int16_t out[zek::hop];
    const std::int16_t* const end = samples.data() + hops_in_file * zek::hop;
    const std::int16_t* in = samples.data();
    long gains = 0;
    for (long h = 0; h < hops; ++h, in = in + zek::hop == end ? samples.data() : in + zek::hop) {
        gains += fixed ? agc::process_fast(in, out, state, zek::mix, level) : agc::process_hop(in, out, state, zek::mix);
    }
    std::printf("%ld hops, gain sum %ld, last sample %d\n", hops, gains, out[zek::hop - 1]);
    return 0;
}
