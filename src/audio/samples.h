// Conversion between the file format (16-bit little-endian two's complement)
// and host samples, independent of the host's byte order; and from
// floating-point samples to the 16 bits the engine takes.
#ifndef ZEK_SAMPLES_H
#define ZEK_SAMPLES_H

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace zek {

inline void decode_le(const unsigned char* bytes, std::int16_t* samples, std::size_t count) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(samples, bytes, count * 2);
    } else {
        for (std::size_t k = 0; k < count; ++k) {
            const auto u = static_cast<std::uint16_t>(bytes[2 * k] | (bytes[2 * k + 1] << 8));
            samples[k] = static_cast<std::int16_t>(u);
        }
    }
}

inline void encode_le(const std::int16_t* samples, unsigned char* bytes, std::size_t count) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(bytes, samples, count * 2);
    } else {
        for (std::size_t k = 0; k < count; ++k) {
            const auto u = static_cast<std::uint16_t>(samples[k]);
            bytes[2 * k] = static_cast<unsigned char>(u & 0xFF);
            bytes[2 * k + 1] = static_cast<unsigned char>(u >> 8);
        }
    }
}

// Floating-point samples (full scale +-1.0) to 16 bits: scaled by 32768,
// rounded to nearest with halves to even, clipped to -32768..32767 (the
// infinities too). A NaN has no 16-bit value: it becomes 0, and the caller
// refuses the samples. Returns the index of the first NaN, or count when
// there is none. Branch-free, so that the compiler vectorises it. A file's
// infinity is a sample beyond full scale and is clipped; in a live signal
// chain it is what an unstable filter upstream blows up into, and with
// infinity_to_zero it becomes silence, as a NaN does (none is reported).
template <typename F, bool infinity_to_zero = false>
std::size_t float_to_int16(const F* in, std::int16_t* out, std::size_t count) {
    // Adding 1.5 * 2^(mantissa bits) to a value of magnitude below 2^(mantissa
    // bits - 1) leaves no bits for its fraction: the sum is rounded to an
    // integer as the FPU rounds, to nearest with halves to even, and taking
    // the constant away again is exact. Only where arithmetic is done in the
    // type itself: x87 (32-bit x86) keeps more bits, and rounds with nearbyint.
    constexpr bool exact_type = FLT_EVAL_METHOD == 0;
    constexpr F round = F(1.5) * F(std::uint64_t{1} << (std::numeric_limits<F>::digits - 1));
    unsigned nan = 0;
    for (std::size_t k = 0; k < count; ++k) {
        F x = in[k];
        if constexpr (infinity_to_zero) x = x - x == F(0) ? x : F(0); // x - x: NaN for both
        F v = x * F(32768);
        if constexpr (!infinity_to_zero) {
            nan |= v != v;
            v = v == v ? v : F(0);
        }
        // Clipped before the conversion, which is undefined out of range.
        v = v > F(-32768) ? v : F(-32768);
        v = v < F(32767) ? v : F(32767);
        out[k] = static_cast<std::int16_t>(exact_type ? (v + round) - round : std::nearbyint(v));
    }
    if (nan == 0) return count;
    std::size_t k = 0;
    while (in[k] == in[k]) ++k;
    return k;
}

// 16 bits to floating point, full scale +-1.0: exact, so that a sample taken
// back by float_to_int16 is the sample again.
template <typename F>
void int16_to_float(const std::int16_t* in, F* out, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) out[k] = F(in[k]) * (F(1) / F(32768));
}

} // namespace zek

#endif
