// Base-2 logarithms by repeated squaring and powers of two by a table of
// roots: exact integer recipes, so that a loudness read out of a meter is
// the same to the last digit on every CPU.
#include "agc/log_scale.h"

#include <bit>

namespace agc {

namespace {

constexpr std::int64_t ONE_Q30 = std::int64_t{1} << 30;

// Entry k-1: 2^(2^-k) in Q30, rounded, for k = 1 .. 24.
constexpr std::uint32_t ROOTS_OF_TWO[24] = {
    1518500250, 1276901417, 1170923762, 1121280436, 1097253708, 1085434106, 1079572136, 1076653033,
    1075196443, 1074468888, 1074105294, 1073923544, 1073832680, 1073787251, 1073764537, 1073753181,
    1073747502, 1073744663, 1073743244, 1073742534, 1073742179, 1073742001, 1073741913, 1073741868,
};

// n / d rounded to the nearest, halves away from zero; d > 0.
constexpr std::int64_t divide_rounded(std::int64_t n, std::int64_t d) {
    return n >= 0 ? (n + d / 2) / d : -((-n + d / 2) / d);
}

// 10 log10(2) and 20 log10(2) in units of 1/100000 dB: the error of the
// rounding is 1.4e-8 of the figure, a millionth of a dB at 70 dB.
constexpr std::int64_t POWER_DB_PER_OCTAVE = 301030;
constexpr std::int64_t AMPLITUDE_DB_PER_OCTAVE = 602060;

} // namespace

std::int64_t log2_q24(std::uint64_t x) {
    if (x == 0) return 0;
    const int n = 63 - std::countl_zero(x);
    // The mantissa in Q30, 1 <= m < 2. Each squaring doubles the logarithm
    // of what is left: past 2, a fraction bit is 1 and m is halved back.
    std::uint64_t m = n >= 30 ? x >> (n - 30) : x << (30 - n);
    std::int64_t r = static_cast<std::int64_t>(n) << LOG2_FRACTION;
    for (int bit = LOG2_FRACTION - 1; bit >= 0; --bit) {
        m = (m * m) >> 30;
        if (m >= (std::uint64_t{1} << 31)) {
            m >>= 1;
            r |= std::int64_t{1} << bit;
        }
    }
    return r;
}

std::int64_t log2_q24(std::uint64_t hi, std::uint64_t lo) {
    if (hi == 0) return log2_q24(lo);
    const int shift = 64 - std::countl_zero(hi); // 1..64: the bits hi takes above lo's
    const std::uint64_t top = shift == 64 ? hi : (hi << (64 - shift)) | (lo >> shift);
    return log2_q24(top) + (static_cast<std::int64_t>(shift) << LOG2_FRACTION);
}

std::uint32_t exp2_fraction_q30(std::int64_t f) {
    std::uint64_t r = ONE_Q30;
    for (int k = 1; k <= LOG2_FRACTION; ++k) {
        if (f & (std::int64_t{1} << (LOG2_FRACTION - k))) r = (r * ROOTS_OF_TWO[k - 1] + (ONE_Q30 >> 1)) >> 30;
    }
    return static_cast<std::uint32_t>(r);
}

std::int32_t log2_to_milli_db_power(std::int64_t log2) {
    return static_cast<std::int32_t>(divide_rounded(log2 * POWER_DB_PER_OCTAVE, std::int64_t{100} << LOG2_FRACTION));
}

std::int32_t log2_to_milli_db_amplitude(std::int64_t log2) {
    return static_cast<std::int32_t>(
        divide_rounded(log2 * AMPLITUDE_DB_PER_OCTAVE, std::int64_t{100} << LOG2_FRACTION));
}

std::int64_t milli_db_amplitude_to_log2(std::int32_t milli_db) {
    return divide_rounded((static_cast<std::int64_t>(milli_db) << LOG2_FRACTION) * 100, AMPLITUDE_DB_PER_OCTAVE);
}

std::uint64_t exp2_q24(std::int64_t log2, int shift) {
    const std::int64_t total = log2 + (static_cast<std::int64_t>(shift) << LOG2_FRACTION);
    if (total < 0) return 0;
    const int n = static_cast<int>(total >> LOG2_FRACTION);
    const std::uint64_t m = exp2_fraction_q30(total & ((std::int64_t{1} << LOG2_FRACTION) - 1));
    if (n >= 30) return m << (n - 30);
    return (m + (std::uint64_t{1} << (29 - n))) >> (30 - n);
}

} // namespace agc
