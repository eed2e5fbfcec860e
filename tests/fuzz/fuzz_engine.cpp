// Feeds arbitrary bytes to the plain and the vectorised signal paths side by
// side and stops at the first sample, gain or state field where they differ.
//
// Layout of an input: 2 bytes of mix, 2 choosing the window size, 1 byte of
// flags, then hops of samples (little-endian) until the bytes run out. Flag
// bit 0 makes the first hop's bytes the window and history; bits 1 and 2
// choose the path: the default hop, the speech-aware hop, or the hop in two
// halves at a gain the bytes choose (the mix bytes), with its mean measured.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "agc/hop.h"
#include "agc/process_fast.h"
#include "agc/speech.h"
#include "zek/settings.h"

namespace {

std::int16_t sample_at(const std::uint8_t* p) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
}

void require(bool ok) {
    if (!ok) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    const std::int16_t mix = sample_at(data);
    const auto size_code = static_cast<std::uint16_t>(sample_at(data + 2));
    const auto win_size = static_cast<std::int16_t>(4 * (1 + size_code % (AGC_MAX_HOP / 2)));
    const std::uint8_t flags = data[4];
    data += 5;
    size -= 5;

    agc_state start{};
    agc_init(start, win_size, zek::flat_curve, zek::comp_curve, zek::peak_limit, zek::attack, zek::release,
             zek::level_limit, zek::level_coef);
    const int half = win_size >> 1;
    if (flags & 1) {
        // A state no stream reaches: the first hop's bytes become the window and history.
        for (int j = 0; j < half && 2 * static_cast<std::size_t>(j) + 1 < size; ++j) {
            start.window[j] = start.prev_hop[j] = start.tail[j] = sample_at(data + 2 * j);
        }
    }

    const int path = (flags >> 1) % 3;
    for (agc::simd_level level : agc::all_simd_levels) {
        if (!agc::simd_level_runs(level)) continue;
        agc_state ref = start, fast = start;
        agc_speech sr, sf;
        agc_speech_init(sr);
        agc_speech_init(sf);
        agc_frame fr{}, ff{};
        for (std::size_t at = 0; at + 2 * static_cast<std::size_t>(half) <= size; at += 2 * static_cast<std::size_t>(half)) {
            for (int j = 0; j < half; ++j) fr.in[j] = ff.in[j] = sample_at(data + at + 2 * static_cast<std::size_t>(j));
            if (path == 0) {
                require(agc::process_reference(fr.in, fr.out, ref, mix) == agc::process_fast(ff.in, ff.out, fast, mix, level));
            } else if (path == 1) {
                require(agc::process_speech_reference(fr.in, fr.out, ref, sr, mix) ==
                        agc::process_speech_fast(ff.in, ff.out, fast, sf, mix, level));
            } else {
                const agc::hop_measure mr = agc::measure_reference(fr.in, ref, true);
                const agc::hop_measure mf = agc::measure_fast(ff.in, fast, true, level);
                require(mr.peak == mf.peak && mr.sum == mf.sum && mr.mean == mf.mean);
                require(agc::apply_reference(fr.in, fr.out, ref, mix, true, mr.mean) ==
                        agc::apply_fast(ff.in, ff.out, fast, mf, mix, true, level));
            }
            require(std::memcmp(fr.out, ff.out, sizeof(std::int16_t) * static_cast<std::size_t>(half)) == 0);
            require(std::memcmp(&ref, &fast, sizeof ref) == 0);
            require(std::memcmp(&sr, &sf, sizeof sr) == 0);
        }
    }
    return 0;
}
