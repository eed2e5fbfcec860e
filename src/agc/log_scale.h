// Logarithms and powers of two in integers, for the figures a meter reads
// out (loudness, peaks in dB) and the gains that come back from them. Each
// is worked bit by bit from integer products, so it gives the same bits on
// every CPU; none runs per sample.
#ifndef AGC_LOG_SCALE_H
#define AGC_LOG_SCALE_H

#include <cstdint>

namespace agc {

// Fraction bits of a base-2 logarithm.
inline constexpr int LOG2_FRACTION = 24;

// log2(x) in Q24 for x >= 1 (0 gives 0): the integer part from the highest
// set bit, then one fraction bit per squaring of the mantissa.
std::int64_t log2_q24(std::uint64_t x);

// log2 of the 128-bit value hi * 2^64 + lo (not 0), in Q24.
std::int64_t log2_q24(std::uint64_t hi, std::uint64_t lo);

// 2^(f / 2^24) in Q30 for a fraction 0 <= f < 2^24: one table factor
// 2^(2^-k) per set bit of f.
std::uint32_t exp2_fraction_q30(std::int64_t f);

// A base-2 logarithm (Q24) as thousandths of a decibel of power (10 log10)
// and of amplitude (20 log10), rounded to the nearest.
std::int32_t log2_to_milli_db_power(std::int64_t log2);
std::int32_t log2_to_milli_db_amplitude(std::int64_t log2);

// Thousandths of a decibel of amplitude as a base-2 logarithm in Q24.
std::int64_t milli_db_amplitude_to_log2(std::int32_t milli_db);

// 2^(log2 / 2^24) scaled by 2^shift, for log2 + shift * 2^24 within
// 0 .. 62 * 2^24: a gain or a level back from the log domain.
std::uint64_t exp2_q24(std::int64_t log2, int shift);

// A 128-bit running sum, for energies that add up over hours of blocks.
struct wide_sum {
    std::uint64_t hi = 0, lo = 0;
    void add(std::uint64_t v) {
        lo += v;
        if (lo < v) ++hi;
    }
    void add(const wide_sum& w) {
        add(w.lo);
        hi += w.hi;
    }
    bool empty() const { return hi == 0 && lo == 0; }
};

} // namespace agc

#endif
