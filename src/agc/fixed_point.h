// Fixed-point helpers shared by every engine operation.
//
// Rules: products are formed in 32 bits (int16 operands sign-extend), right
// shifts are arithmetic (C++20 guarantees it), and every value kept in a
// 16-bit variable or state field passes through store16, which keeps the low
// 16 bits (two's-complement wrap, no saturation).
#ifndef AGC_FIXED_POINT_H
#define AGC_FIXED_POINT_H

#include <bit>
#include <cstdint>

namespace agc {

// The one place where a 32-bit intermediate becomes a 16-bit value.
// C++20 defines the narrowing as modular, so this is a wrap, never UB.
constexpr std::int16_t store16(std::int32_t v) { return static_cast<std::int16_t>(v); }

// recip_tab[k] = round(32767 * 64 / (64 + k)): Q15 reciprocal of the mantissa 1 + k/64.
extern const std::int16_t recip_tab[65];
// cos_tab[k] = round(32767 * cos(k * pi / 128)): a quarter period in 64 steps.
extern const std::int16_t cos_tab[65];

struct norm_result {
    std::int16_t shift; // i: how far v was shifted left
    std::int16_t x;     // v << i, with bit 14 set for any v > 0
};

// Shifts v left until bit 14 or 15 is set. For v > 0 this leaves 16384 <= x <= 32767
// with shift 0..14. Negative v returns at once; v == 0 stops after 15 shifts.
// Counting leading zeros gives the same count as shifting one bit at a time.
constexpr norm_result norm_shift(std::int16_t v) {
    const int zeros = std::countl_zero(static_cast<std::uint16_t>(v)); // 0..16
    const int i = zeros == 0 ? 0 : zeros - 1;
    return {store16(i), store16(v << i)};
}

// Q15 position of a normalised value within its octave: (x AND 16383) << 1.
constexpr std::int16_t mantissa_fraction(std::int16_t x) { return store16((x & 16383) << 1); }

// Top six bits of the fraction: the recip_tab index, 0..63.
constexpr int mantissa_index(std::int16_t fraction) { return fraction >> 9; }

// 256 * limit / v in Q8 for v normalised as (shift, fraction): the table sees
// only six mantissa bits, so the quotient can be up to 1/64 above the exact one.
inline std::int16_t limit_quotient(std::int16_t limit, std::int16_t shift, std::int16_t fraction) {
    return store16((limit * recip_tab[mantissa_index(fraction)]) >> (21 - shift));
}

// About 32767 / v in plain integer units.
inline std::int16_t inverse(std::int16_t v) {
    const norm_result n = norm_shift(v);
    return store16(recip_tab[mantissa_index(mantissa_fraction(n.x))] >> (14 - n.shift));
}

// log2_tab[k] = round(256 * log2(1 + k/16)); exp2_tab[k] = round(16384 * 2^(k/16)).
extern const std::int16_t log2_tab[17];
extern const std::int32_t exp2_tab[17];

// Base-2 logarithm of v >= 1 in 1/256 octave (0 to 8191): the octave from
// the leading bit, the position within it from the table, interpolated over
// the next 12 bits. Within 0.01 octave (0.06 dB) of the exact value.
inline std::int16_t log2_q8(std::uint32_t v) {
    const std::int16_t* tab = log2_tab;
    const int e = 31 - std::countl_zero(v | 1u);
    const std::uint32_t frac = (e >= 16 ? v >> (e - 16) : v << (16 - e)) & 0xFFFFu; // Q16 within the octave
    const auto k = static_cast<int>(frac >> 12);
    const auto rest = static_cast<std::int32_t>(frac & 0xFFFu);
    return store16(e * 256 + tab[k] + (((tab[k + 1] - tab[k]) * rest) >> 12));
}

// 2 to the power l / 256 for 0 <= l < 15 * 256, held to 32767: a Q8 gain
// from its logarithm.
inline std::int16_t exp2_q8(std::int16_t l) {
    if (l < 0) return 0;
    const int e = l >> 8;
    const int k = (l & 255) >> 4, rest = l & 15;
    const std::int32_t m = exp2_tab[k] + (((exp2_tab[k + 1] - exp2_tab[k]) * rest) >> 4); // Q14, 1 to 2
    const std::int32_t v = e >= 15 ? INT32_MAX : (m << e) >> 14;
    return store16(v > 32767 ? 32767 : v);
}

} // namespace agc

#endif
