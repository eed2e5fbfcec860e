// The loudness meter alone over a recording: 16-bit mono samples at 48 kHz,
// raw or in a plain 44-byte-header WAV file, fed in chunks of 64k frames
// through <agc/loudness.h> with every figure kept; prints the figures.
//   loudness_meter FILE
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "agc/loudness.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: loudness_meter FILE\n");
        return 2;
    }
    std::FILE* f = std::fopen(argv[1], "rb");
    if (f == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    agc_loudness* m = agc_loudness_create(48000, 1, AGC_LOUDNESS_MODE_ALL, nullptr);
    // Read straight into the samples: little-endian on disk, swapped where
    // the CPU is not.
    std::vector<std::int16_t> s(std::size_t{1} << 16);
    unsigned char header[44];
    const std::size_t got = std::fread(header, 1, sizeof header, f);
    const bool wav = got == sizeof header && std::memcmp(header, "RIFF", 4) == 0;
    std::size_t carried = 0;
    if (!wav) {
        std::memcpy(s.data(), header, got);
        carried = got;
    }
    for (;;) {
        char* at = reinterpret_cast<char*>(s.data());
        const std::size_t bytes = std::fread(at + carried, 1, s.size() * 2 - carried, f) + carried;
        const std::size_t n = bytes / 2;
        if (n == 0) break;
        if constexpr (std::endian::native == std::endian::big) {
            for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<std::int16_t>((s[i] & 0xff) << 8 | ((s[i] >> 8) & 0xff));
        }
        agc_loudness_add_frames(m, s.data(), n);
        carried = bytes % 2;
        if (carried) at[0] = at[bytes - 1];
    }
    std::fclose(f);
    int32_t i = 0, lra = 0, tp = 0;
    agc_loudness_integrated(m, &i);
    agc_loudness_range(m, &lra);
    agc_loudness_true_peak(m, 0, &tp);
    std::printf("I %.3f LUFS  LRA %.3f LU  TP %.3f dBTP\n", i / 1000.0, lra / 1000.0, tp / 1000.0);
    agc_loudness_destroy(m);
    return 0;
}
