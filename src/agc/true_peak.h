// True peak: the largest magnitude of the signal between its samples as
// well as at them, found by interpolating three points between each pair
// of samples (four times the rate) with a windowed-sinc filter.
#ifndef AGC_TRUE_PEAK_H
#define AGC_TRUE_PEAK_H

#include <cstddef>
#include <cstdint>

#include "agc/process_fast.h"

namespace agc {

// Taps per interpolated point, and the fraction bits of the interpolated
// values over the input's units (the filter's taps are Q14 and sum to 1).
inline constexpr int TRUE_PEAK_TAPS = 32;
inline constexpr int TRUE_PEAK_FRACTION = 14;
// The points between samples k-16 and k-15 are known once sample k is: the
// interpolator looks this many samples ahead.
inline constexpr int TRUE_PEAK_DELAY = TRUE_PEAK_TAPS / 2;
// Twice the largest sum of tap magnitudes (2.39), in Q14: no point the
// filter makes of samples within +-a exceeds a * TRUE_PEAK_BOUND / 16384.
inline constexpr std::int32_t TRUE_PEAK_BOUND = 39157;

// The last TRUE_PEAK_TAPS - 1 samples of a channel, oldest first.
struct true_peak_history {
    std::int16_t x[TRUE_PEAK_TAPS - 1] = {};
};
// The largest interpolated magnitude over the n new samples x (and the
// points between them and the history), in Q14 sample units, where it is
// above `floor`; `floor` where nothing is. Stretches that cannot reach over
// `floor` are not interpolated at all, which on programme material spares
// most of the work once the loudest peak so far is known. Updates the history.
std::int32_t true_peak_scan(true_peak_history& h, const std::int16_t* x, std::size_t n, std::int32_t floor);

// The largest magnitude of n samples, 32768 for -32768: from the largest
// and the smallest sample, which lanes of 16 bits hold (-32768 has no
// magnitude there), so that the loop takes 8 or 16 samples an instruction.
inline std::int32_t largest_magnitude(const std::int16_t* x, std::size_t n) {
    std::int16_t hi = 0, lo = 0;
    for (std::size_t i = 0; i < n; ++i) {
        hi = x[i] > hi ? x[i] : hi;
        lo = x[i] < lo ? x[i] : lo;
    }
    return hi > -lo ? hi : -lo;
}

// Points interpolated together.
inline constexpr int TRUE_PEAK_BLOCK = 16;

// The four points after each of the samples w[15] .. w[30] (w holds
// TRUE_PEAK_BLOCK + 31 samples): the largest magnitude of the sample and
// the three interpolated after it, in Q14 sample units, into m; with
// `eighths`, of the eight points at eight times the rate.
void true_peak_block(const std::int16_t* w, std::int32_t* m, bool eighths);
// The largest of the 16 magnitudes true_peak_block gives.
std::int32_t true_peak_block_largest(const std::int16_t* w, bool eighths);
// A bound on true_peak_block_largest(w, false), never under it, for a
// quarter of its work, from `top`, the largest magnitude of w's 47 samples
// (or any number as large): at most 2.5 dB over the points where they reach
// the samples' level, so that blocks it holds under a level need not be
// interpolated at all.
std::int32_t true_peak_block_bound(const std::int16_t* w, std::int32_t top);
std::int32_t true_peak_block_bound_by(const std::int16_t* w, std::int32_t top, simd_level level); // in the lanes of `level`
// The same in the lanes of `level` (the portable code where the CPU lacks
// them), which every build must agree with to the last bit.
void true_peak_block_by(const std::int16_t* w, std::int32_t* m, bool eighths, simd_level level);

} // namespace agc

#endif
