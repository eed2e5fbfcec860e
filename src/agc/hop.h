// Per-hop pieces shared by the plain and the vectorised signal paths.
#ifndef AGC_HOP_H
#define AGC_HOP_H

#include <cstdint>

#include "agc/agc.h"
#include "agc/fixed_point.h"
#include "agc/speech.h"

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

// What the measuring pass finds in a hop: what the gain law needs (largest
// magnitude, sum of magnitudes) and, for the speech detector, the hop's mean,
// about which the output pass then sums the hop's magnitudes: a measure that
// leaves out what changes more slowly than the hop (rumble, the swell of
// brown noise, most of mains hum).
struct hop_measure {
    std::int32_t peak = 0, sum = 0;
    std::int16_t mean = 0; // measured only when asked for
    bool plain = false;    // the hop must be applied the plain way (a window a vector path cannot take)
};

// The hop's mean sample from its signed sum: (sum >> 6) x inv_hop >> 9 is
// about sum x (32767 / half) >> 15. The product is formed in 64 bits, so that
// a hand-made inv_hop cannot overflow it, and the mean is held to 16 bits.
constexpr std::int16_t hop_mean(const agc_state& state, std::int32_t signed_sum) {
    const std::int64_t m = (static_cast<std::int64_t>(signed_sum >> 6) * state.inv_hop) >> 9;
    return store16(static_cast<std::int32_t>(m < -32768 ? -32768 : m > 32767 ? 32767 : m));
}

// A sample's distance from the mean, held to 16 bits as a saturating
// subtraction holds it, then its saturated magnitude.
constexpr std::int32_t distance(std::int16_t s, std::int16_t mean) {
    const std::int32_t d = s - mean;
    return magnitude(store16(d < -32768 ? -32768 : d > 32767 ? 32767 : d));
}

// The plain per-sample signal path: the reference the fast path must match
// bit for bit, and the fallback where no vector path is built. Reads the hop
// from `in` and writes the previous one to `out` (distinct buffers).
std::int16_t process_reference(const std::int16_t* in, std::int16_t* out, agc_state& state, std::int16_t mix);

// The same path in its two halves, for callers that decide the gain
// themselves (linked channels, the speech gate): the measurement of a hop
// (with `mean`, its mean too), and the output pass, which emits the previous
// hop crossfaded from the last gain applied to `gain` and takes in this one.
// With `ac`, the output pass returns the sum of the distances of this hop's
// samples from `mean`; otherwise 0.
hop_measure measure_reference(const std::int16_t* in, const agc_state& state, bool mean);
std::int32_t apply_reference(const std::int16_t* in, std::int16_t* out, agc_state& state, std::int16_t gain,
                             bool ac, std::int16_t mean);
// The sum of the distances of a hop's samples from `mean`: the speech
// detector's measure, taken as the hop comes in.
std::int32_t distance_reference(const std::int16_t* in, const agc_state& state, std::int16_t mean);
// The speech-aware hop (agc_process_speech) the plain way.
std::int16_t process_speech_reference(const std::int16_t* in, std::int16_t* out, agc_state& state,
                                      agc_speech& speech, std::int16_t mix);

// The speech-aware hop in its steps, for the stream's linked channels:
// speech_take keeps a hop that came in (its samples, when there is
// look-ahead, and what was measured of it) and runs the detector on its
// measure `ac`; it returns the samples of the hop to level now, or null
// while the look-ahead fills. speech_delay does the same for a channel whose
// gain another channel's detector decides: it keeps the samples only.
// speech_decide gives the gain of the hop to level (the law's, then the
// gate's).
const std::int16_t* speech_take(agc_speech& speech, const std::int16_t* in, const hop_measure& m, std::int32_t ac,
                                std::int16_t win_size);
const std::int16_t* speech_delay(agc_speech& speech, const std::int16_t* in);
std::int16_t speech_decide(agc_speech& speech, agc_state& state, std::int16_t mix);

} // namespace agc

#endif
