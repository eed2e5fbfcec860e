// The K-weighting of loudness measurement: a high shelf of about +4 dB
// above 1.5 kHz (the head's effect on what reaches the ear) and a high-pass
// at 38 Hz (the ear's loss of sensitivity to rumble), two biquads whose
// coefficients are derived for the sample rate from their analogue
// prototype, in integers.
#ifndef AGC_K_WEIGHTING_H
#define AGC_K_WEIGHTING_H

#include <cstddef>
#include <cstdint>

namespace agc {

// Fraction bits of the coefficients: the shelf's b1 reaches -2.9 at 96 kHz,
// so three integer bits and a sign.
inline constexpr int K_COEF_FRACTION = 29;
// Fraction bits of the filter's signals over the input's sample units:
// room below the sample's last bit for the filters' own rounding.
inline constexpr int K_SIGNAL_FRACTION = 8;
// The energy the filter adds up per sample: (K-weighted sample)^2 in units
// of 2^-K_ENERGY_FRACTION sample^2.
inline constexpr int K_ENERGY_FRACTION = 6;

struct k_coefficients {
    // The shelf: b0 b1 b2 over a1 a2 (a0 = 1). The high-pass: 1 -2 1 over c1 c2.
    std::int32_t b0, b1, b2, a1, a2, c1, c2;
};

// One channel's filter memory: inputs and outputs of both stages, and the
// rounding error each stage carries into its next output.
struct k_filter {
    std::int32_t x1 = 0, x2 = 0; // shelf input, as samples
    std::int32_t y1 = 0, y2 = 0; // shelf output, high-pass input
    std::int32_t z1 = 0, z2 = 0; // high-pass output
    std::int64_t e1 = 0, e2 = 0; // shelf rounding error
    std::int64_t f1 = 0, f2 = 0; // high-pass rounding error
};

// The coefficients for a sample rate of 8000 to 96000 Hz. Integer
// arithmetic throughout: tan of the prototype's warped frequency from its
// Taylor series in Q30, the bilinear transform's divisions done once here.
k_coefficients k_coefficients_for(int rate);

// Filters n samples and returns the sum of their weighted squares in units
// of 2^-K_ENERGY_FRACTION sample^2.
std::uint64_t k_filter_energy(const k_coefficients& k, k_filter& f, const std::int16_t* x, std::size_t n);

// The meter starts the filter afresh every K_SEGMENT_STEPS steps of 100 ms
// (4 s), each time from a filter that has heard only silence until
// K_WARM_STEPS steps (0.3 s) before; K_LANES segments in one call are
// filtered side by side. The frames of such a batch at a rate: a caller
// that feeds the meter whole batches has all of its filtering done in lanes.
inline constexpr int K_SEGMENT_STEPS = 40;
inline constexpr int K_WARM_STEPS = 3;
inline constexpr int K_LANES = 8;
constexpr std::size_t k_batch_frames(int rate) {
    return static_cast<std::size_t>(K_LANES) * K_SEGMENT_STEPS * static_cast<std::size_t>((rate + 5) / 10);
}

// K_LANES stretches of one channel through the filter at once, in vector lanes
// where the CPU has them: stretch j starts at x[start[j] * stride] (samples
// `stride` apart), stretch 0 from the filter f, the others from a filter
// that has heard only silence, and each runs on for `blocks` blocks of
// `block` samples; the energy of block b of stretch j (as k_filter_energy
// sums it) goes to energy[j * blocks + b]. The same sums as filters one
// after another would give. False, with nothing done, where the CPU has no
// such lanes: the caller filters the stretches itself.
bool k_filter_lanes(const k_coefficients& k, const k_filter& f, const std::int16_t* x, std::ptrdiff_t stride,
                    const std::size_t (&start)[K_LANES], std::size_t blocks, std::size_t block, std::uint64_t* energy);

} // namespace agc

#endif
