// The loudness meter alone over a recording: 16-bit mono samples at 48 kHz,
// raw or in a plain 44-byte-header WAV file, fed in chunks of 64k frames
// through <agc/loudness.h> with every figure kept; prints the figures.
//   loudness_meter FILE
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
    std::vector<unsigned char> bytes(std::size_t{1} << 17);
    std::vector<std::int16_t> s(bytes.size() / 2);
    std::size_t got = std::fread(bytes.data(), 1, 44, f);
    const bool wav = got == 44 && std::memcmp(bytes.data(), "RIFF", 4) == 0;
    std::size_t carried = wav ? 0 : got;
    for (;;) {
        got = std::fread(bytes.data() + carried, 1, bytes.size() - carried, f) + carried;
        if (got < 2) break;
        const std::size_t n = got / 2;
        for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        agc_loudness_add_frames(m, s.data(), n);
        carried = got % 2;
        if (carried) bytes[0] = bytes[got - 1];
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
