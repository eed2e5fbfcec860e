// Per-hop pieces shared by the plain and the vectorised signal paths.
#ifndef AGC_HOP_H
#define AGC_HOP_H

#include <cstdint>

#include "agc/agc.h"

namespace agc {

// Magnitude of a sample, saturated so that -32768 counts as 32767 and fits 16 bits.
constexpr std::int32_t magnitude(std::int16_t s) {
    return s > 0 ? s : (s == INT16_MIN ? 32767 : -s);
}

// From a hop's peak and magnitude sum to its gain: updates the smoothed level,
// takes the larger peak of this hop and the previous one (the gain weights
// both), calls the gain law and records this hop's peak.
std::int16_t hop_gain(agc_state& state, std::int32_t peak, std::int32_t sum, std::int16_t mix);

// The plain per-sample signal path: the reference the fast path must match
// bit for bit, and the fallback where no vector path is built. Reads the hop
// from `in` and writes the previous one to `out` (distinct buffers).
std::int16_t process_reference(const std::int16_t* in, std::int16_t* out, agc_state& state, std::int16_t mix);

} // namespace agc

#endif
