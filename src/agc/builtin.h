// The built-in processing settings: the gain curves, ceilings and rates that
// define what zek does to a recording, shared by the tool and the stream API.
#ifndef AGC_BUILTIN_H
#define AGC_BUILTIN_H

#include <cstdint>

#include "agc/agc.h"

namespace agc {

// Compression weight in Q15: comp = 1.0 scaled by 32766 and truncated, so the
// compressing curve gets almost all of the weight.
inline constexpr std::int16_t mix = 32766;

// Samples copied unchanged before processing starts, at every sample rate.
inline constexpr int LEAD_IN_SAMPLES = 512;

// Q8 gain wanted at peaks of 32768, 16384, ... 2, 1.
// Unity down to a peak of 4, then none for the two lowest octaves.
inline constexpr std::int16_t flat_curve[16] = {256, 256, 256, 256, 256, 256, 256, 256,
                                                256, 256, 256, 256, 256, 256, 0,   0};
// Peak x gain held at full scale down to a peak of 512 (gain x64), flat down to
// 8, then falling so that the noise floor is not raised.
inline constexpr std::int16_t comp_curve[16] = {256,   512,   1024,  2048,  4096,  8192,
                                                16384, 16384, 16384, 16384, 16384, 16384,
                                                16384, 8192,  2048,  2048};

inline constexpr std::int16_t peak_limit = 32200;  // ceiling for gain x peak
inline constexpr std::int16_t attack = 32439;      // ~0.99 of the distance per hop when falling
inline constexpr std::int16_t release = 163;       // ~0.005 of the distance per hop when rising
inline constexpr std::int16_t level_limit = 25000; // ceiling for gain x smoothed level
inline constexpr std::int16_t level_coef = 655;    // ~0.02: level smoothing per hop

// Sets up `state`, whatever it held, with the built-in settings and a window
// of win_size samples (a multiple of 4, at most 2 * AGC_MAX_HOP).
inline void init_builtin(agc_state& state, std::int16_t win_size) {
    state = agc_state{};
    agc_init(state, win_size, flat_curve, comp_curve, peak_limit, attack, release, level_limit, level_coef);
}

} // namespace agc

#endif
