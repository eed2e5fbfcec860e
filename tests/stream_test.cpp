// The stream API against the hop-level engine: whatever the chunking, the
// output is the aligned recording delayed by the latency, channel by channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "agc/agc.h"
#include "agc/builtin.h"
#include "agc/stream.h"

namespace {

using samples = std::vector<std::int16_t>;
constexpr int LEAD = agc::LEAD_IN_SAMPLES;

// The aligned result, built literally from the hop-level engine as zek runs
// it: the lead-in, then hops through agc_process on the input padded with
// zeros to whole hops plus one, with the engine's silent first hop removed.
samples aligned(const samples& x, int win) {
    const std::size_t n = x.size(), hop = static_cast<std::size_t>(win / 2);
    if (n <= LEAD) return x;
    samples padded = x;
    padded.resize(LEAD + (n - LEAD + hop - 1) / hop * hop + hop, 0);
    agc_state state;
    agc::init_builtin(state, static_cast<std::int16_t>(win));
    agc_frame frame{};
    samples y(x.begin(), x.begin() + LEAD);
    for (std::size_t at = LEAD; at < padded.size(); at += hop) {
        std::copy_n(padded.begin() + static_cast<std::ptrdiff_t>(at), hop, frame.in);
        agc_process(frame, state, agc::mix);
        if (at > LEAD) y.insert(y.end(), frame.out, frame.out + hop);
    }
    y.resize(n);
    return y;
}

// Speech-like test signal: bursts of noise at levels from -60 to 0 dBFS with
// pauses, a different pattern on every channel, full-scale extremes included.
samples interleaved_signal(std::mt19937& rng, std::size_t frames, int channels) {
    samples s(frames * static_cast<std::size_t>(channels));
    std::normal_distribution<double> noise(0.0, 1.0);
    for (int c = 0; c < channels; ++c) {
        double amp = 0;
        for (std::size_t f = 0; f < frames; ++f) {
            if (f % 1500 == 0) amp = std::uniform_int_distribution<int>(0, 4)(rng) == 0 ? 0.0 : std::pow(10.0, std::uniform_real_distribution<double>(-3, 0.3)(rng)) * 12000;
            const double v = std::clamp(amp * noise(rng), -32768.0, 32767.0);
            s[f * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] = static_cast<std::int16_t>(v);
        }
    }
    return s;
}

samples channel_of(const samples& s, int channels, int c) {
    samples x;
    for (std::size_t k = static_cast<std::size_t>(c); k < s.size(); k += static_cast<std::size_t>(channels)) x.push_back(s[k]);
    return x;
}

// What the stream must give for the whole recording and its flush: latency
// frames of silence, then every channel's aligned result, interleaved.
samples expected_stream(const samples& s, int rate, int channels, int latency) {
    const int win = 4 * ((rate + 200) / 400);
    const std::size_t frames = s.size() / static_cast<std::size_t>(channels);
    samples e(static_cast<std::size_t>(latency) * static_cast<std::size_t>(channels) + s.size());
    for (int c = 0; c < channels; ++c) {
        const samples y = aligned(channel_of(s, channels, c), win);
        for (std::size_t f = 0; f < frames; ++f) e[(static_cast<std::size_t>(latency) + f) * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] = y[f];
    }
    return e;
}

enum class chunking { whole, random_sizes, single_frames };

// Runs a recording through a stream in the given chunks, in place or not,
// and returns everything it wrote, the flush included.
samples stream_through(agc_stream* st, const samples& s, int channels, chunking how, bool in_place, std::mt19937& rng) {
    const std::size_t frames = s.size() / static_cast<std::size_t>(channels);
    samples out(s.size() + static_cast<std::size_t>(agc_stream_latency(st) * channels));
    samples work = s;
    std::size_t at = 0;
    while (at < frames) {
        std::size_t n = frames - at;
        if (how == chunking::random_sizes) n = std::min(n, std::size_t(std::uniform_int_distribution<int>(0, 5000)(rng)));
        if (how == chunking::single_frames) n = std::min(n, std::size_t(at % 997 < 600 ? 1 : 397));
        const std::size_t off = at * static_cast<std::size_t>(channels);
        const std::int16_t* in = (in_place ? work.data() : s.data()) + off;
        std::int16_t* dst = in_place ? work.data() + off : out.data() + off;
        EXPECT_EQ(agc_stream_process(st, in, dst, static_cast<int>(n)), static_cast<int>(n));
        at += n;
    }
    if (in_place) std::copy(work.begin(), work.end(), out.begin());
    EXPECT_EQ(agc_stream_flush(st, out.data() + s.size()), agc_stream_latency(st));
    return out;
}

struct rate_case {
    int rate, latency;
};
// How GoogleTest and ctest name each case.
void PrintTo(const rate_case& c, std::ostream* os) { *os << c.rate << "Hz"; }

class StreamRelation : public ::testing::TestWithParam<rate_case> {};

TEST_P(StreamRelation, AnyChunkingGivesTheAlignedResultDelayed) {
    const auto [rate, latency] = GetParam();
    const int hop = latency / 2;
    std::mt19937 rng(static_cast<unsigned>(rate));
    for (int channels : {1, 2, 6}) {
        // Lengths at the edges of the lead-in and of hops, and a long one.
        for (std::size_t frames : {std::size_t{0}, std::size_t{300}, std::size_t{LEAD}, std::size_t{LEAD + 1},
                                   std::size_t(LEAD + hop), std::size_t(LEAD + 2 * hop + 7), std::size_t{24011}}) {
            const samples s = interleaved_signal(rng, frames, channels);
            const samples want = expected_stream(s, rate, channels, latency);
            agc_stream* st = agc_stream_create(rate, channels, nullptr);
            ASSERT_NE(st, nullptr);
            ASSERT_EQ(agc_stream_latency(st), latency);
            for (chunking how : {chunking::whole, chunking::random_sizes, chunking::single_frames}) {
                for (bool in_place : {false, true}) {
                    SCOPED_TRACE(testing::Message() << rate << " Hz, " << channels << " channels, " << frames
                                                    << " frames, chunking " << int(how) << (in_place ? ", in place" : ""));
                    ASSERT_EQ(agc_stream_reset(st), 0);
                    const samples got = stream_through(st, s, channels, how, in_place, rng);
                    const auto diff = std::mismatch(got.begin(), got.end(), want.begin()).first;
                    ASSERT_TRUE(diff == got.end()) << "first difference at output sample " << (diff - got.begin());
                }
            }
            // The gain reported is that of the last whole hop taken in.
            if (frames > LEAD) {
                agc_state ref;
                agc::init_builtin(ref, static_cast<std::int16_t>(latency));
                agc_frame fr{};
                const samples x = channel_of(s, channels, channels - 1);
                for (std::size_t at = LEAD; at + static_cast<std::size_t>(hop) <= frames; at += static_cast<std::size_t>(hop)) {
                    std::copy_n(x.begin() + static_cast<std::ptrdiff_t>(at), hop, fr.in);
                    agc_process(fr, ref, agc::mix);
                }
                samples out(s.size());
                ASSERT_EQ(agc_stream_reset(st), 0);
                agc_stream_process(st, s.data(), out.data(), static_cast<int>(frames));
                EXPECT_EQ(agc_stream_gain(st, channels - 1), ref.gain);
            }
            agc_stream_destroy(st);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, StreamRelation,
                         ::testing::Values(rate_case{8000, 80}, rate_case{16000, 160}, rate_case{44100, 440},
                                           rate_case{48000, 480}, rate_case{96000, 960}),
                         [](const auto& info) { return std::to_string(info.param.rate); });

TEST(StreamApi, RefusalsWriteNothing) {
    int err = 0;
    EXPECT_EQ(agc_stream_create(7999, 1, &err), nullptr);
    EXPECT_EQ(err, AGC_ERR_RATE);
    EXPECT_EQ(agc_stream_create(96001, 1, &err), nullptr);
    EXPECT_EQ(err, AGC_ERR_RATE);
    EXPECT_EQ(agc_stream_create(48000, 0, &err), nullptr);
    EXPECT_EQ(err, AGC_ERR_CHANNELS);
    EXPECT_EQ(agc_stream_create(48000, AGC_MAX_CHANNELS + 1, nullptr), nullptr);
    EXPECT_EQ(agc_stream_size(0), 0u);
    EXPECT_EQ(agc_stream_size(AGC_MAX_CHANNELS + 1), 0u);
    EXPECT_LE(agc_stream_size(1), 8192u);

    // Caller-provided storage: misaligned storage is refused, aligned works.
    std::vector<std::max_align_t> storage(agc_stream_size(2) / sizeof(std::max_align_t) + 1);
    auto* st = reinterpret_cast<agc_stream*>(storage.data());
    EXPECT_EQ(agc_stream_init(reinterpret_cast<agc_stream*>(reinterpret_cast<char*>(storage.data()) + 1), 48000, 2), AGC_ERR_ARG);
    EXPECT_EQ(agc_stream_init(nullptr, 48000, 2), AGC_ERR_ARG);
    EXPECT_EQ(agc_stream_init(st, 48000, 2), 0);

    samples in(2000, 1234), out(2000, 7);
    const samples untouched = out;
    const struct {
        const char* what;
        int got, want;
    } calls[] = {
        {"NULL stream", agc_stream_process(nullptr, in.data(), out.data(), 10), AGC_ERR_ARG},
        {"negative count", agc_stream_process(st, in.data(), out.data(), -1), AGC_ERR_ARG},
        {"NULL input", agc_stream_process(st, nullptr, out.data(), 10), AGC_ERR_ARG},
        {"NULL output", agc_stream_process(st, in.data(), nullptr, 10), AGC_ERR_ARG},
        {"overlap, not in place", agc_stream_process(st, in.data(), in.data() + 1, 10), AGC_ERR_ARG},
        {"zero frames", agc_stream_process(st, in.data(), out.data(), 0), 0},
        {"gain of channel 2 of 2", agc_stream_gain(st, 2), AGC_ERR_ARG},
        {"gain of channel -1", agc_stream_gain(st, -1), AGC_ERR_ARG},
        {"gain before any hop", agc_stream_gain(st, 1), 256},
        {"latency of NULL", agc_stream_latency(nullptr), AGC_ERR_ARG},
        {"flush into NULL", agc_stream_flush(st, nullptr), AGC_ERR_ARG},
        {"flush", agc_stream_flush(st, out.data()), 480},
        {"process after flush", agc_stream_process(st, in.data(), out.data(), 10), AGC_ERR_FLUSHED},
        {"flush after flush", agc_stream_flush(st, out.data()), AGC_ERR_FLUSHED},
        {"reset NULL", agc_stream_reset(nullptr), AGC_ERR_ARG},
    };
    for (const auto& c : calls) EXPECT_EQ(c.got, c.want) << c.what;
    // Only the flush wrote: its 480 frames of silence (nothing was taken in).
    EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 2 * 480, [](std::int16_t v) { return v == 0; }));
    EXPECT_TRUE(std::equal(out.begin() + 2 * 480, out.end(), untouched.begin() + 2 * 480));

    const int codes[] = {0, AGC_ERR_RATE, AGC_ERR_CHANNELS, AGC_ERR_ARG, AGC_ERR_NOMEM, AGC_ERR_FLUSHED, 12345};
    for (int a : codes) {
        for (int b : codes) {
            if (a != b) {
                EXPECT_STRNE(agc_strerror(a), agc_strerror(b));
            }
        }
    }
}

// Buffers at an odd address (samples at a byte offset in a file image) give
// the bytes aligned ones give: mono's direct path, interleaved channels, in
// place, and the flush.
TEST(StreamApi, MisalignedBuffersGiveTheSameOutput) {
    std::mt19937 rng(3);
    for (int channels : {1, 2}) {
        for (bool in_place : {false, true}) {
            SCOPED_TRACE(testing::Message() << channels << " channels" << (in_place ? ", in place" : ""));
            const samples s = interleaved_signal(rng, 3000, channels);
            agc_stream* st = agc_stream_create(48000, channels, nullptr);
            const std::size_t bytes = 2 * s.size(), tail = 2 * 480 * static_cast<std::size_t>(channels);
            samples want(s.size() + tail / 2);
            agc_stream_process(st, s.data(), want.data(), 3000);
            agc_stream_flush(st, want.data() + s.size());
            ASSERT_EQ(agc_stream_reset(st), 0);

            std::vector<unsigned char> in_bytes(bytes + 1), out_bytes(bytes + tail + 1);
            std::memcpy(in_bytes.data() + 1, s.data(), bytes);
            auto* in = reinterpret_cast<std::int16_t*>(in_bytes.data() + 1);
            auto* out = reinterpret_cast<std::int16_t*>(out_bytes.data() + 1);
            for (int at = 0; at < 3000; at += 1000) {
                const std::ptrdiff_t off = at * channels;
                ASSERT_EQ(agc_stream_process(st, in + off, (in_place ? in : out) + off, 1000), 1000);
            }
            if (in_place) std::memcpy(out_bytes.data() + 1, in_bytes.data() + 1, bytes);
            ASSERT_EQ(agc_stream_flush(st, out + s.size()), 480);
            EXPECT_EQ(std::memcmp(out_bytes.data() + 1, want.data(), bytes + tail), 0);
            agc_stream_destroy(st);
        }
    }
}

TEST(StreamApi, ResetStartsANewRecordingAsAFreshStreamWould) {
    std::mt19937 rng(7);
    const samples s = interleaved_signal(rng, 30000, 2);
    agc_stream* fresh = agc_stream_create(44100, 2, nullptr);
    agc_stream* used = agc_stream_create(44100, 2, nullptr);
    samples a(s.size()), b(s.size());
    agc_stream_process(used, s.data(), b.data(), 12345); // part of a recording, not flushed
    ASSERT_EQ(agc_stream_reset(used), 0);
    agc_stream_process(fresh, s.data(), a.data(), 30000);
    agc_stream_process(used, s.data(), b.data(), 30000);
    EXPECT_EQ(a, b);
    agc_stream_destroy(fresh);
    agc_stream_destroy(used);
    agc_stream_destroy(nullptr);
}

} // namespace
