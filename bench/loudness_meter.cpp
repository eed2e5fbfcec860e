// The loudness meter alone over a recording: 16-bit samples, raw (mono at
// 48 kHz) or in a plain 44-byte-header WAV file (its rate and channels from
// the header), fed in the meter's whole batches through <agc/loudness.h>
// with every figure kept; prints the figures (the true peak: the largest
// over the channels).
//   loudness_meter FILE
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "agc/k_weighting.h"
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
    // Read straight into the samples: little-endian on disk, swapped where
    // the CPU is not.
    std::vector<std::int16_t> s(std::size_t{1} << 16);
    unsigned char header[44];
    const std::size_t got = std::fread(header, 1, sizeof header, f);
    const bool wav = got == sizeof header && std::memcmp(header, "RIFF", 4) == 0;
    const auto le = [&](int at, int bytes) {
        std::uint32_t v = 0;
        for (int i = bytes - 1; i >= 0; --i) v = v << 8 | header[at + i];
        return static_cast<int>(v);
    };
    int rate = 48000, channels = 1;
    std::size_t carried = 0;
    if (wav) {
        rate = le(24, 4), channels = le(22, 2);
        if (le(20, 2) != 1 || le(34, 2) != 16 || std::memcmp(header + 36, "data", 4) != 0 || channels < 1) {
            std::fprintf(stderr, "%s: not a plain 16-bit PCM WAV file with a 44-byte header\n", argv[1]);
            return 1;
        }
    } else {
        std::memcpy(s.data(), header, got);
        carried = got;
    }
    int err = 0;
    agc_loudness* m = agc_loudness_create(rate, channels, AGC_LOUDNESS_MODE_ALL, &err);
    if (m == nullptr) {
        std::fprintf(stderr, "%s: the meter cannot take %d Hz, %d channels (error %d)\n", argv[1], rate, channels, err);
        return 1;
    }
    // Reads of whole batches, which the meter filters in vector lanes.
    const auto nc = static_cast<std::size_t>(channels);
    s.resize(agc::k_batch_frames(rate) * nc);
    for (;;) {
        char* at = reinterpret_cast<char*>(s.data());
        const std::size_t fresh = std::fread(at + carried, 1, s.size() * 2 - carried, f);
        if (fresh == 0) break; // a partial frame at the end is left out
        const std::size_t bytes = carried + fresh, whole = bytes / 2 / nc * nc;
        if constexpr (std::endian::native == std::endian::big) {
            for (std::size_t i = 0; i < whole; ++i) s[i] = static_cast<std::int16_t>((s[i] & 0xff) << 8 | ((s[i] >> 8) & 0xff));
        }
        agc_loudness_add_frames(m, s.data(), whole / nc);
        // What is left of a frame (and of a sample) starts the next read.
        carried = bytes - whole * 2;
        std::memmove(at, at + whole * 2, carried);
    }
    std::fclose(f);
    int32_t i = 0, lra = 0, tp = AGC_LOUDNESS_NONE;
    agc_loudness_integrated(m, &i);
    agc_loudness_range(m, &lra);
    for (int c = 0; c < channels; ++c) {
        int32_t one = 0;
        agc_loudness_true_peak(m, c, &one);
        if (one != AGC_LOUDNESS_NONE && (tp == AGC_LOUDNESS_NONE || one > tp)) tp = one;
    }
    std::printf("I %.3f LUFS  LRA %.3f LU  TP %.3f dBTP\n", i / 1000.0, lra / 1000.0, tp / 1000.0);
    agc_loudness_destroy(m);
    return 0;
}
