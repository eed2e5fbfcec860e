// Per-hop pieces shared by the plain and the vectorised signal paths.
#ifndef AGC_HOP_H
#define AGC_HOP_H

#include <cstdint>

#include "agc/agc.h"
#include "agc/fixed_point.h"

namespace agc {

// Magnitude of a sample, saturated so that -32768 counts as 32767 and fits 16 bits.
constexpr std::int32_t magnitude(std::int16_t s) {
    return s > 0 ? s : (s == INT16_MIN ? 32767 : -s);
}

// From a hop's peak and magnitude sum to its gain: updates the smoothed level,
// takes the larger peak of this hop and the previous one (the gain weights
// both), calls the gain law and records this hop's peak. Inline, so that each
// signal path keeps its measurements in registers on the way to the gain law.
inline std::int16_t hop_gain(agc_state& state, std::int32_t peak, std::int32_t sum, std::int16_t mix) {
    // Mean magnitude: the sum is shifted before the multiplication, so e moves
    // in steps of inv_hop and is 0 for any hop whose magnitudes sum below 32768.
    // For hops above 240 samples the product can pass 32767 on a full-scale
    // hop; it saturates there instead of wrapping to a negative level.
    std::int32_t mean = (sum >> 15) * state.inv_hop;
    if (mean > 32767) mean = 32767;
    const std::int16_t e = store16(mean);

    // One-pole smoothing in two stores: decay, then add the new share.
    state.level = store16(((32767 - state.level_coef) * state.level) >> 15);
    state.level = store16(state.level + ((state.level_coef * e) >> 15));

    // The gain of this hop weights the previous hop as well, so it must respect
    // both peaks. A silent pair still counts as peak 1, the smallest the law takes.
    std::int16_t pk = store16(state.prev_peak > peak ? state.prev_peak : peak);
    if (pk <= 1) pk = 1;

    const std::int16_t g = agc_gain(state, pk, mix, state.level);
    state.prev_peak = store16(peak);
    return g;
}

// The plain per-sample signal path: the reference the fast path must match
// bit for bit, and the fallback where no vector path is built. Reads the hop
// from `in` and writes the previous one to `out` (distinct buffers).
std::int16_t process_reference(const std::int16_t* in, std::int16_t* out, agc_state& state, std::int16_t mix);

} // namespace agc

#endif
