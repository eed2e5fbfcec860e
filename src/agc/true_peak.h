// True peak: the largest magnitude of the signal between its samples as
// well as at them, found by interpolating three points between each pair
// of samples (four times the rate) with a windowed-sinc filter.
#ifndef AGC_TRUE_PEAK_H
#define AGC_TRUE_PEAK_H

#include <cstddef>
#include <cstdint>

namespace agc {

// Taps per interpolated point, and the fraction bits of the interpolated
// values over sample units (the filter's taps are Q14 and sum to 1).
inline constexpr int TRUE_PEAK_TAPS = 16;
inline constexpr int TRUE_PEAK_FRACTION = 14;
// The points between samples k-8 and k-7 are known once sample k is: the
// interpolator looks this many samples ahead.
inline constexpr int TRUE_PEAK_DELAY = TRUE_PEAK_TAPS / 2;

// The last TRUE_PEAK_TAPS - 1 samples of a channel, oldest first.
struct true_peak_history {
    std::int16_t x[TRUE_PEAK_TAPS - 1] = {};
};

// The largest interpolated magnitude over the n new samples x (and the
// points between them and the history), in Q14 sample units, where it is
// above `floor`; `floor` where nothing is. Stretches that cannot reach over
// `floor` (twice their largest sample bounds every point the filter makes
// of them) are not interpolated at all, which on programme material spares
// most of the work once the loudest peak so far is known. When `each` is
// not null, each[i] receives the largest of the four points that follow
// sample i - TRUE_PEAK_DELAY (the sample itself and the three after it),
// or a value at most `floor` where that cannot be above it. Updates the
// history.
std::int32_t true_peak_scan(true_peak_history& h, const std::int16_t* x, std::size_t n, std::int32_t floor,
                            std::int32_t* each);

} // namespace agc

#endif
