// Conversion between the file format (16-bit little-endian two's complement)
// and host samples, independent of the host's byte order.
#ifndef ZEK_SAMPLES_H
#define ZEK_SAMPLES_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

} // namespace zek

#endif
