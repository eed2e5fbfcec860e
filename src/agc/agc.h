// zek: automatic gain control with dynamic-range compression for 16-bit PCM,
// in bit-exact 16-bit fixed-point arithmetic.
//
// The engine owns nothing: the caller keeps one agc_state (zero-filled, then
// agc_init) and one agc_frame per stream, and calls agc_process once per hop
// of win_size/2 samples. Output lags input by one hop.
//
// Formats: samples are plain int16; gains are Q8 (256 = unity); window values
// and coefficients are Q15 (32767 stands for 1.0).
#ifndef AGC_AGC_H
#define AGC_AGC_H

#include <cstdint>

// Capacity of every per-hop array: hops of up to 516 samples, windows up to 1032.
inline constexpr int AGC_MAX_HOP = 516;

struct agc_state {
    std::int16_t win_size;              // window size n; the hop is n/2 samples
    std::int16_t prev_peak;             // peak magnitude of the last hop processed
    std::int16_t window[AGC_MAX_HOP];   // Q15 rising half-window, n/2 entries used
    std::int16_t prev_hop[AGC_MAX_HOP]; // last hop processed, unweighted
    std::int16_t tail[AGC_MAX_HOP];     // last hop, weighted by falling window and its gain
    std::int16_t slope_a[16];           // Q8 per-octave slopes of the first gain curve
    std::int16_t base_a[16];            // Q8 per-octave bases of the first gain curve
    std::int16_t slope_b[16];           // Q8 per-octave slopes of the second gain curve
    std::int16_t base_b[16];            // Q8 per-octave bases of the second gain curve
    std::int16_t peak_limit;            // ceiling for gain x peak
    std::int16_t gain;                  // Q8 current gain
    std::int16_t attack;                // Q15 share of the distance covered per hop when falling
    std::int16_t release;               // Q15 share of the distance covered per hop when rising
    std::int16_t level_limit;           // ceiling for gain x smoothed level
    std::int16_t level;                 // smoothed mean magnitude of the input
    std::int16_t level_coef;            // Q15 smoothing coefficient of level
    std::int16_t inv_hop;               // about 32767 / (n/2): turns a hop's sum into a mean
};

// The caller's hop buffers: `in` holds the new hop, `out` receives the hop before it.
struct agc_frame {
    std::int16_t in[AGC_MAX_HOP];
    std::int16_t out[AGC_MAX_HOP];
};

// Sets up a zero-filled state. win_size must be a positive multiple of 4 with
// win_size/2 <= AGC_MAX_HOP; curve_a and curve_b are 16-point Q8 gain curves,
// point k being the gain wanted for a peak of 2^(15-k).
void agc_init(agc_state& state, std::int16_t win_size, const std::int16_t* curve_a,
              const std::int16_t* curve_b, std::int16_t peak_limit, std::int16_t attack,
              std::int16_t release, std::int16_t level_limit, std::int16_t level_coef);

// Writes the n/2 entries of the rising raised-cosine half-window (Q15).
void agc_make_window(std::int16_t* window, std::int16_t n);

// The gain law: target from the curves blended by `mix` (Q15), smoothed toward
// it, then held under the peak and level ceilings. Stores and returns the new
// Q8 gain. Needs peak >= 1.
std::int16_t agc_gain(agc_state& state, std::int16_t peak, std::int16_t mix, std::int16_t level);

// Processes frame.in[0 .. n/2) and writes the previous hop, crossfaded from the
// previous gain to the new one, to frame.out[0 .. n/2). Returns the new gain.
std::int16_t agc_process(agc_frame& frame, agc_state& state, std::int16_t mix);

#endif
