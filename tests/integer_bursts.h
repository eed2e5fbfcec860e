// A test signal every CPU makes alike: speech-like bursts in integers.
#ifndef ZEK_TESTS_INTEGER_BURSTS_H
#define ZEK_TESTS_INTEGER_BURSTS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

// Speech-like bursts in integers alone, so that every CPU makes the same
// input: noise from xorshift, smoothed by a running sum of 4 (or not, for
// the full band), at levels that change every 200 ms, pauses among them,
// and crests up to full scale.
inline std::vector<std::int16_t> integer_bursts(int rate, int seconds, std::uint32_t seed, int channels, bool full_band = false) {
    std::uint32_t state = seed;
    const auto next = [&] {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        return state;
    };
    const auto nc = static_cast<std::size_t>(channels);
    const std::size_t frames = static_cast<std::size_t>(rate) * static_cast<std::size_t>(seconds);
    std::vector<std::int16_t> s(frames * nc);
    std::vector<std::int32_t> last(nc * 4, 0);
    std::int32_t level = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        if (i % static_cast<std::size_t>(rate / 5) == 0) level = next() % 4 == 0 ? 0 : static_cast<std::int32_t>(4000 + next() % 12000);
        for (std::size_t c = 0; c < nc; ++c) {
            const std::int32_t noise = static_cast<std::int32_t>(next() % 65536) - 32768; // -32768 .. 32767
            const std::int32_t x = static_cast<std::int32_t>((static_cast<std::int64_t>(noise) * level) >> 13);
            std::int32_t* h = &last[c * 4];
            h[i % 4] = x;
            const std::int32_t v = full_band ? x : (h[0] + h[1] + h[2] + h[3]) / 2;
            s[i * nc + c] = static_cast<std::int16_t>(std::clamp(v, -32768, 32767));
        }
    }
    return s;
}

#endif
