// The stream's loudness options: a gain and a true-peak limit are the
// limiter applied to what the stream levels, frame for frame, in any
// chunking; the latency says so; a live target brings the output to its
// loudness as the recording goes.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "agc/limiter.h"
#include "agc/loudness.h"
#include "agc/stream.h"

namespace {

using samples = std::vector<std::int16_t>;

// Speech-like bursts at levels that vary by 20 dB, with pauses.
samples bursts(int rate, double seconds, int channels, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(0.0, 1.0);
    samples s;
    double level = 0, smooth = 0;
    for (int i = 0; i < static_cast<int>(seconds * rate); ++i) {
        if (i % (rate / 4) == 0) level = std::uniform_int_distribution<int>(0, 3)(rng) == 0 ? 0.0 : std::pow(10.0, std::uniform_real_distribution<double>(2.6, 3.9)(rng));
        for (int c = 0; c < channels; ++c) {
            smooth = 0.7 * smooth + 0.3 * level * g(rng); // a gentle low-pass, as a voice has
            s.push_back(static_cast<std::int16_t>(std::clamp(std::lround(smooth), -32768L, 32767L)));
        }
    }
    return s;
}

struct stream_run {
    samples out;
    int latency;
};

// The whole recording through a stream in chunks of `chunk` frames, then
// its flush: the output, latency frames late.
stream_run through(const samples& in, int rate, int channels, const agc_stream_options& o, std::size_t chunk) {
    int err = 0;
    agc_stream* st = agc_stream_create_with(rate, channels, &o, &err);
    EXPECT_NE(st, nullptr) << agc_strerror(err);
    if (st == nullptr) return {};
    const int latency = agc_stream_latency(st);
    const auto nc = static_cast<std::size_t>(channels);
    samples out(in.size() + static_cast<std::size_t>(latency) * nc);
    for (std::size_t at = 0; at < in.size(); at += chunk * nc) {
        const std::size_t n = std::min(chunk, (in.size() - at) / nc);
        EXPECT_EQ(agc_stream_process(st, in.data() + at, out.data() + at, static_cast<int>(n)), static_cast<int>(n));
    }
    EXPECT_EQ(agc_stream_flush(st, out.data() + in.size()), latency);
    agc_stream_destroy(st);
    return {out, latency};
}

// A gain and a ceiling are the limiter over what the stream without them
// gives, bit for bit, whatever the chunking, the rate, the channels and the
// levelling's own options; the latency is the two latencies added.
TEST(StreamLoudness, GainAndCeilingAreTheLimiterOverTheLevelledOutput) {
    struct setup {
        int rate, channels;
        bool speech, link;
        int gain, ceiling;
    };
    const setup setups[] = {
        {48000, 1, false, false, 3000, -1000}, {44100, 2, true, true, 6000, -2000},
        {16000, 1, true, false, 0, -1000},     {96000, 2, false, false, -3000, 0},
    };
    for (const setup& u : setups) {
        const samples in = bursts(u.rate, 3, u.channels, 5);
        agc_stream_options plain;
        agc_stream_options_init(&plain);
        plain.speech = u.speech;
        plain.link = u.link;
        const stream_run levelled = through(in, u.rate, u.channels, plain, 4096);
        // The limiter alone over that, the stream's latency and its own after it.
        std::vector<unsigned char> storage(agc::limiter_size(u.channels) + 64);
        auto* l = reinterpret_cast<agc::limiter*>((reinterpret_cast<std::uintptr_t>(storage.data()) + 63) & ~std::uintptr_t{63});
        agc::limiter_init(*l, u.rate, u.channels, u.ceiling);
        agc::limiter_set_gain(*l, u.gain, 0);
        samples expected = levelled.out;
        expected.resize(expected.size() + static_cast<std::size_t>(l->latency * u.channels), 0);
        agc::limiter_process(*l, expected.data(), expected.data(), static_cast<int>(expected.size() / static_cast<std::size_t>(u.channels)));

        agc_stream_options o = plain;
        o.gain = u.gain;
        o.limit = 1;
        o.ceiling = u.ceiling;
        for (const std::size_t chunk : {std::size_t{1}, std::size_t{127}, std::size_t{48000}}) {
            const stream_run limited = through(in, u.rate, u.channels, o, chunk);
            EXPECT_EQ(limited.latency, levelled.latency + l->latency) << u.rate << " Hz";
            EXPECT_EQ(limited.out, expected) << u.rate << " Hz, " << u.channels << " channels, chunks of " << chunk;
        }
    }
}

// A live target: the gain heads for the loudness of the recording so far
// at 1 dB a second, so after the first seconds the output's loudness is the
// target's; the same in any chunking.
TEST(StreamLoudness, ALiveTargetConvergesOnTheLoudnessSoFar) {
    const int rate = 48000;
    const samples in = bursts(rate, 40, 1, 7);
    for (const int target : {-23000, -16000}) {
        agc_stream_options o;
        agc_stream_options_init(&o);
        o.target = 1;
        o.loudness = target;
        o.limit = 1;
        o.ceiling = -1000;
        const stream_run a = through(in, rate, 1, o, 4096), b = through(in, rate, 1, o, 333);
        EXPECT_EQ(a.out, b.out);
        // The last 25 s of the output, aligned.
        agc_loudness* m = agc_loudness_create(rate, 1, AGC_LOUDNESS_MODE_ALL, nullptr);
        const std::size_t from = static_cast<std::size_t>(a.latency + 15 * rate);
        agc_loudness_add_frames(m, a.out.data() + from, a.out.size() - from);
        int32_t lufs = 0, tp = 0;
        agc_loudness_integrated(m, &lufs);
        agc_loudness_true_peak(m, 0, &tp);
        agc_loudness_destroy(m);
        std::printf("live target %d: last 25 s at %d\n", target, lufs);
        EXPECT_NEAR(lufs / 1000.0, target / 1000.0, 0.5) << "target " << target;
        EXPECT_LE(tp, -1000);
    }
}

// Loudness options out of their ranges are refused; the storage that
// agc_stream_size_with gives holds a stream with them.
TEST(StreamLoudness, OptionsAndStorage) {
    agc_stream_options o;
    agc_stream_options_init(&o);
    EXPECT_EQ(agc_stream_size_with(2, &o), agc_stream_size(2));
    EXPECT_EQ(agc_stream_size_with(2, nullptr), agc_stream_size(2));
    const auto refused = [](void (*change)(agc_stream_options&)) {
        agc_stream_options bad;
        agc_stream_options_init(&bad);
        change(bad);
        int err = 0;
        EXPECT_EQ(agc_stream_create_with(48000, 1, &bad, &err), nullptr);
        EXPECT_EQ(err, AGC_ERR_ARG);
        EXPECT_EQ(agc_stream_size_with(1, &bad), 0u);
    };
    refused([](agc_stream_options& b) { b.gain = 48001; });
    refused([](agc_stream_options& b) { b.limit = 1, b.ceiling = 1; });
    refused([](agc_stream_options& b) { b.limit = 1, b.ceiling = -9001; });
    refused([](agc_stream_options& b) { b.target = 1, b.loudness = -4999; });
    refused([](agc_stream_options& b) { b.target = 1, b.loudness = -70001; });

    o.target = 1;
    o.loudness = -16000;
    o.limit = 1;
    o.ceiling = -1000;
    for (const int channels : {1, 3, 8}) {
        const std::size_t size = agc_stream_size_with(channels, &o);
        EXPECT_GT(size, agc_stream_size(channels));
        // At an odd 16-byte offset: whatever the alignment, the stream stays inside.
        std::vector<unsigned char> storage(size + 16 + 64, 0xa5);
        auto* st = reinterpret_cast<agc_stream*>(storage.data() + 16);
        ASSERT_EQ(agc_stream_init_with(st, 44100, channels, &o), 0);
        const samples in = bursts(44100, 2, channels, 3);
        samples out(in.size());
        ASSERT_EQ(agc_stream_process(st, in.data(), out.data(), static_cast<int>(in.size()) / channels),
                  static_cast<int>(in.size()) / channels);
        for (std::size_t k = 16 + size; k < storage.size(); ++k) ASSERT_EQ(storage[k], 0xa5) << "written past the storage";
        EXPECT_EQ(agc_stream_reset(st), 0);
    }
}

} // namespace
