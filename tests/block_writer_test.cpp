// The writer's meter: the frames of blocks of any size, gathered into the
// meter's whole batches (which it filters in vector lanes) and the rest
// taken when the writer finishes, give the figures of a meter fed the whole
// recording at once, with the writer on its own thread and without one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <unistd.h>
#include <vector>

#include "audio/block_writer.h"

namespace {

struct figures {
    std::int32_t integrated, range, momentary, true_peak;
    bool operator==(const figures&) const = default;
};

figures read(agc_loudness* m) {
    figures f{};
    agc_loudness_integrated(m, &f.integrated);
    agc_loudness_range(m, &f.range);
    agc_loudness_momentary_max(m, &f.momentary);
    agc_loudness_true_peak(m, 0, &f.true_peak);
    return f;
}

TEST(BlockWriter, TheMetersBatchesChangeNoFigure) {
    const int rate = 48000;
    for (const int channels : {1, 2}) {
        for (const bool thread : {true, false}) {
            // 37 s of noise at levels that change every half second, the
            // last 5 s (the last batch's rest) louder than all before.
            const auto nc = static_cast<std::size_t>(channels), frames = static_cast<std::size_t>(37 * rate);
            std::vector<std::int16_t> s(frames * nc);
            std::mt19937 rng(5);
            std::normal_distribution<double> g(0.0, 1.0);
            double level = 0;
            for (std::size_t i = 0; i < s.size(); ++i) {
                if (i % (nc * rate / 2) == 0) level = i >= (frames - 5 * rate) * nc ? 9000 : std::uniform_real_distribution<double>(30, 3000)(rng);
                s[i] = static_cast<std::int16_t>(std::clamp(std::lround(level * g(rng)), -32768L, 32767L));
            }
            agc_loudness* whole = agc_loudness_create(rate, channels, AGC_LOUDNESS_MODE_ALL, nullptr);
            agc_loudness_add_frames(whole, s.data(), frames);

            agc_loudness* fed = agc_loudness_create(rate, channels, AGC_LOUDNESS_MODE_ALL, nullptr);
            std::vector<unsigned char> block0(1 << 16), block1(1 << 16);
            zek::block_writer w;
            zek::writer_start(w, block0.data(), block1.data(), thread);
            w.fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
            ASSERT_GE(w.fd, 0);
            w.channels = channels;
            w.meter = fed;
            w.meter_batch = zek::meter_batch_frames(rate, channels);
            ASSERT_GT(w.meter_batch, 0u);
            int b = 0;
            for (std::size_t at = 0, size = 1; at < frames; at += size, size = size * 7 % 15013 + 1) {
                size = std::min(size, frames - at);
                ASSERT_TRUE(zek::writer_wait_free(w, b));
                unsigned char* out = b == 0 ? block0.data() : block1.data();
                for (std::size_t i = 0; i < size * nc; ++i) { // little-endian, as a raw output's bytes
                    const auto v = static_cast<std::uint16_t>(s[at * nc + i]);
                    out[2 * i] = static_cast<unsigned char>(v & 0xff);
                    out[2 * i + 1] = static_cast<unsigned char>(v >> 8);
                }
                zek::writer_submit(w, b, size * nc * 2);
                b ^= 1;
            }
            EXPECT_EQ(zek::writer_finish(w), 0);
            close(w.fd);
            EXPECT_EQ(read(fed), read(whole)) << channels << " channels, " << (thread ? "a thread" : "no thread");
            agc_loudness_destroy(fed);
            agc_loudness_destroy(whole);
        }
    }
}

} // namespace
