// The stream API against the hop-level engine: whatever the chunking, the
// output is the aligned recording delayed by the latency, channel by channel;
// and what its options promise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "agc/agc.h"
#include "agc/builtin.h"
#include "agc/speech.h"
#include "agc/stream.h"

namespace {

using samples = std::vector<std::int16_t>;
constexpr int LEAD = agc::LEAD_IN_SAMPLES;

// The aligned result, built literally from the hop-level engine as zek runs
// it: the lead-in, then hops through agc_process (or agc_process_speech,
// with the stream's live look-ahead) on the input padded with zeros to whole
// hops plus one and the look-ahead, with the engine's silent first hop and
// the look-ahead's removed.
samples aligned(const samples& x, int win, bool speech = false) {
    const std::size_t n = x.size(), hop = static_cast<std::size_t>(win / 2);
    if (n <= LEAD) return x;
    const std::size_t ahead = speech ? AGC_SPEECH_AHEAD_LIVE : 0;
    samples padded = x;
    padded.resize(LEAD + (n - LEAD + hop - 1) / hop * hop + hop + ahead * hop, 0);
    agc_state state;
    agc::init_builtin(state, static_cast<std::int16_t>(win));
    agc_speech detector;
    std::vector<unsigned char> storage(agc_speech_storage(AGC_SPEECH_AHEAD_LIVE));
    agc_speech_init_ahead(detector, static_cast<std::int16_t>(win), static_cast<int>(ahead), storage.data());
    agc_frame frame{};
    samples y(x.begin(), x.begin() + LEAD);
    for (std::size_t at = LEAD; at < padded.size(); at += hop) {
        std::copy_n(padded.begin() + static_cast<std::ptrdiff_t>(at), hop, frame.in);
        if (speech) {
            agc_process_speech(frame, state, detector, agc::mix);
        } else {
            agc_process(frame, state, agc::mix);
        }
        if (at > LEAD + ahead * hop) y.insert(y.end(), frame.out, frame.out + hop);
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
samples expected_stream(const samples& s, int rate, int channels, int latency, bool speech = false) {
    const int win = 4 * ((rate + 200) / 400);
    const std::size_t frames = s.size() / static_cast<std::size_t>(channels);
    samples e(static_cast<std::size_t>(latency) * static_cast<std::size_t>(channels) + s.size());
    for (int c = 0; c < channels; ++c) {
        const samples y = aligned(channel_of(s, channels, c), win, speech);
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

// The options a stream is tested with: the default, speech-aware, linked, both.
struct mode {
    const char* name;
    bool speech, link;
};
constexpr mode modes[] = {{"default", false, false}, {"speech", true, false}, {"link", false, true}, {"speech+link", true, true}};

agc_stream* create(int rate, int channels, const mode& m) {
    agc_stream_options o;
    agc_stream_options_init(&o);
    o.speech = m.speech;
    o.link = m.link;
    return agc_stream_create_with(rate, channels, &o, nullptr);
}

// Unlinked, every channel is the hop-level engine's aligned result; linked
// channels (no hop-level counterpart) must give in every chunking what they
// give in one call.
TEST_P(StreamRelation, AnyChunkingGivesTheAlignedResultDelayed) {
    const auto [rate, latency] = GetParam();
    const int hop = latency / 2;
    std::mt19937 rng(static_cast<unsigned>(rate));
    for (const mode& m : modes) {
        for (int channels : {1, 2, 6}) {
            // Lengths at the edges of the lead-in and of hops, and a long one.
            for (std::size_t frames : {std::size_t{0}, std::size_t{300}, std::size_t{LEAD}, std::size_t{LEAD + 1},
                                       std::size_t(LEAD + hop), std::size_t(LEAD + 2 * hop + 7), std::size_t{24011}}) {
                const samples s = interleaved_signal(rng, frames, channels);
                agc_stream* st = create(rate, channels, m);
                ASSERT_NE(st, nullptr);
                // The speech-aware mode's look-ahead adds to the latency.
                const int delay = latency + (m.speech ? AGC_SPEECH_AHEAD_LIVE * hop : 0);
                ASSERT_EQ(agc_stream_latency(st), delay);
                const samples want = m.link && channels > 1 ? stream_through(st, s, channels, chunking::whole, false, rng)
                                                            : expected_stream(s, rate, channels, delay, m.speech);
                for (chunking how : {chunking::whole, chunking::random_sizes, chunking::single_frames}) {
                    for (bool in_place : {false, true}) {
                        SCOPED_TRACE(testing::Message() << m.name << ", " << rate << " Hz, " << channels << " channels, "
                                                        << frames << " frames, chunking " << int(how)
                                                        << (in_place ? ", in place" : ""));
                        ASSERT_EQ(agc_stream_reset(st), 0);
                        const samples got = stream_through(st, s, channels, how, in_place, rng);
                        const auto diff = std::mismatch(got.begin(), got.end(), want.begin()).first;
                        ASSERT_TRUE(diff == got.end()) << "first difference at output sample " << (diff - got.begin());
                    }
                }
                // The gain reported is that of the last whole hop taken in.
                if (frames > LEAD && !m.speech && !m.link) {
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
    EXPECT_LE(agc_stream_size(1), 16384u);
    agc_stream_options offline;
    agc_stream_options_init(&offline);
    offline.speech = offline.offline = 1;
    EXPECT_EQ(agc_stream_size_with(1, nullptr), agc_stream_size(1));
    EXPECT_GT(agc_stream_size_with(2, &offline), 2 * agc_stream_size(1)) << "the offline look-ahead has room of its own";
    EXPECT_EQ(agc_stream_size_with(AGC_MAX_CHANNELS + 1, &offline), 0u);

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

// A whole recording through a stream with options, aligned (latency dropped).
samples level(const samples& s, int channels, const agc_stream_options& o, int rate = 48000) {
    agc_stream* st = agc_stream_create_with(rate, channels, &o, nullptr);
    const auto frames = static_cast<int>(s.size() / static_cast<std::size_t>(channels));
    const std::size_t skip = static_cast<std::size_t>(agc_stream_latency(st) * channels);
    samples out(s.size() + skip);
    agc_stream_process(st, s.data(), out.data(), frames);
    agc_stream_flush(st, out.data() + s.size());
    agc_stream_destroy(st);
    return samples(out.begin() + static_cast<std::ptrdiff_t>(skip), out.end());
}

samples interleave(const samples& a, const samples& b) {
    samples s;
    for (std::size_t k = 0; k < a.size(); ++k) s.insert(s.end(), {a[k], b[k]});
    return s;
}

agc_stream_options with(bool speech, bool link, int comp = AGC_COMP_DEFAULT, const std::int16_t* mix = nullptr) {
    agc_stream_options o;
    agc_stream_options_init(&o);
    o.speech = speech;
    o.link = link;
    o.comp = comp;
    o.mix = mix;
    o.mix_count = mix ? 1 : 0;
    return o;
}

// What the options promise, as pairs of ways to level a recording that must
// give the same samples: per-hop weights against the constant weight, and
// linked channels against mono, for the default and the speech-aware mode.
TEST(StreamOptions, Equivalences) {
    std::mt19937 rng(11);
    const samples x = channel_of(interleaved_signal(rng, 30000, 1), 1, 0);
    const samples silence(x.size(), 0);
    const std::int16_t zero[] = {0}, builtin[] = {AGC_COMP_DEFAULT};
    EXPECT_EQ(level(x, 1, with(false, false, 0, zero)), level(x, 1, with(false, false, 0))) << "weights of 0, comp 0";
    EXPECT_EQ(level(x, 1, with(false, false, 0, builtin)), level(x, 1, with(false, false))) << "weights of 1.0, comp 1.0";
    for (bool speech : {false, true}) {
        SCOPED_TRACE(speech ? "speech-aware" : "default");
        const samples mono = level(x, 1, with(speech, false));
        EXPECT_EQ(level(x, 1, with(speech, true)), mono) << "linked mono";
        EXPECT_EQ(level(interleave(x, x), 2, with(speech, true)), interleave(mono, mono)) << "the same on both channels";
        EXPECT_EQ(level(interleave(x, silence), 2, with(speech, true)), interleave(mono, silence)) << "a silent channel";
    }
}

// A steady latency (for hosts that switch the speech-aware mode live): the
// latency is the live speech-aware mode's either way, and the aligned output
// is what the stream gives without it, whole or in small chunks.
TEST(StreamOptions, SteadyLatencyOnlyDelays) {
    std::mt19937 rng(5);
    for (const int rate : {8000, 44100, 48000}) {
        for (const int channels : {1, 2}) {
            SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(channels) + " channels");
            const samples x = interleaved_signal(rng, 20000, channels);
            for (const bool speech : {false, true}) {
                agc_stream_options steady = with(speech, false), live_speech = with(true, false);
                steady.steady_latency = 1;
                agc_stream* a = agc_stream_create_with(rate, channels, &steady, nullptr);
                agc_stream* b = agc_stream_create_with(rate, channels, &live_speech, nullptr);
                EXPECT_EQ(agc_stream_latency(a), agc_stream_latency(b)) << speech;
                const samples expected = level(x, channels, with(speech, false), rate);
                EXPECT_EQ(level(x, channels, steady, rate), expected) << speech;
                // In chunks of 37 frames, as a host's callback gives them.
                const int latency = agc_stream_latency(a);
                samples out(x.size() + static_cast<std::size_t>(latency * channels));
                const int frames = static_cast<int>(x.size()) / channels;
                for (int at = 0; at < frames; at += 37) {
                    const int n = std::min(37, frames - at);
                    agc_stream_process(a, x.data() + at * channels, out.data() + at * channels, n);
                }
                agc_stream_flush(a, out.data() + x.size());
                EXPECT_EQ(samples(out.begin() + latency * channels, out.end()), expected) << speech << ", in chunks";
                agc_stream_destroy(a);
                agc_stream_destroy(b);
            }
        }
    }
}

// Options out of range are refused by both ways of making a stream, before
// anything runs: a weight is a Q15 fraction from 0 to 32767, in comp as in
// every entry of the mix array (a negative one would send the gain below
// zero and wrap the output). A stream whose caller wrote a negative weight
// into its array afterwards is refused at reset and left as it was.
TEST(StreamOptions, WeightsOutsideQ15AreRefused) {
    std::vector<std::int16_t> ok(1000, 32767), last_negative(1000, 100), first_negative(1000, 0);
    last_negative.back() = -1;
    first_negative.front() = INT16_MIN;
    const auto mix = [](const std::vector<std::int16_t>& w, std::size_t count) {
        agc_stream_options o = with(false, false);
        o.mix = w.data();
        o.mix_count = count;
        return o;
    };
    agc_stream_options no_array = with(false, false);
    no_array.mix_count = 5;
    const struct {
        const char* what;
        agc_stream_options o;
        int want;
    } cases[] = {
        {"comp 32768", with(false, false, 32768), AGC_ERR_ARG},
        {"weights 0 to 32767", mix(ok, ok.size()), 0},
        {"the last weight -1", mix(last_negative, last_negative.size()), AGC_ERR_ARG},
        {"the first weight -32768", mix(first_negative, first_negative.size()), AGC_ERR_ARG},
        {"a negative weight past the count", mix(last_negative, last_negative.size() - 1), 0},
        {"an array with a count of 0", mix(ok, 0), AGC_ERR_ARG},
        {"a count without an array", no_array, AGC_ERR_ARG},
    };
    std::vector<std::max_align_t> storage(agc_stream_size(2) / sizeof(std::max_align_t) + 1);
    for (const auto& c : cases) {
        int err = 12345;
        agc_stream* st = agc_stream_create_with(48000, 2, &c.o, &err);
        EXPECT_EQ(err, c.want) << c.what;
        EXPECT_EQ(st != nullptr, c.want == 0) << c.what;
        agc_stream_destroy(st);
        EXPECT_EQ(agc_stream_init_with(reinterpret_cast<agc_stream*>(storage.data()), 48000, 2, &c.o), c.want) << c.what;
    }

    std::vector<std::int16_t> changing(4, 20000);
    const agc_stream_options o = mix(changing, changing.size());
    agc_stream* st = agc_stream_create_with(16000, 1, &o, nullptr);
    ASSERT_NE(st, nullptr);
    samples in(4000, 3000), out(4000);
    ASSERT_EQ(agc_stream_process(st, in.data(), out.data(), 4000), 4000);
    changing[2] = -5;
    EXPECT_EQ(agc_stream_reset(st), AGC_ERR_ARG);
    EXPECT_EQ(agc_stream_process(st, in.data(), out.data(), 10), 10) << "a refused reset leaves the stream running";
    changing[2] = 5;
    EXPECT_EQ(agc_stream_reset(st), 0);
    agc_stream_destroy(st);
}

// Weight 0 is the flat curve: no levelling. Away from digital silence (where
// the curve's lowest octaves shut the gain), every sample comes out as it
// went in, less the 1.7% the crossfade's window pair leaves out.
TEST(StreamOptions, CompZeroLevelsNothing) {
    std::mt19937 rng(3);
    std::normal_distribution<double> noise(0.0, 1.0);
    samples x(48000);
    for (std::size_t k = 0; k < x.size(); ++k) {
        const double amp = (k / 4800) % 2 ? 20.0 : 4000.0; // peaks under the ceiling
        x[k] = static_cast<std::int16_t>(std::clamp(amp * noise(rng), -32768.0, 32767.0));
    }
    const samples y = level(x, 1, with(false, false, 0));
    for (std::size_t k = LEAD; k < x.size(); ++k) {
        ASSERT_NEAR(y[k], x[k] * (32223.0 / 32768.0), 2.0) << "sample " << k;
    }
}

// Speech-aware mode on a burst of syllable-like noise between pauses over a
// faint noise floor: the pause after it keeps its level (the default mode
// raises it by over 20 dB) past its first 100 ms offline, where the
// look-ahead sees it coming, and past the bridge over a gap between words
// live (half a second); the weight that reaches the output is comp in the
// burst and 0 in the pause. (The levelling of real sentences is tested on
// real speech, in speech_test.cpp.)
TEST(StreamOptions, SpeechAwareModeLeavesPauses) {
    constexpr std::size_t rate = 48000, burst = rate, pause = 3 * rate; // 1 s of pause, 2 s of burst, 2 s of pause
    std::mt19937 rng(5);
    std::normal_distribution<double> noise(0.0, 1.0);
    samples x(5 * rate);
    for (std::size_t k = 0; k < x.size(); ++k) {
        const double syllables = k >= burst && k < pause ? 3000 * std::max(0.0, std::sin(6.2832 * 4.0 * double(k) / rate)) : 0;
        x[k] = static_cast<std::int16_t>(std::lround((30.0 + syllables) * noise(rng)));
    }
    const auto rms_db = [&](const samples& v, std::size_t from) {
        double acc = 0;
        for (std::size_t k = pause + from; k < x.size(); ++k) acc += double(v[k]) * v[k];
        return 10 * std::log10(acc);
    };
    EXPECT_GT(rms_db(level(x, 1, with(false, false)), rate / 10) - rms_db(x, rate / 10), 20.0);
    EXPECT_NEAR(rms_db(level(x, 1, with(true, false)), rate / 2), rms_db(x, rate / 2), 1.0) << "live";
    agc_stream_options offline = with(true, false);
    offline.offline = 1;
    EXPECT_NEAR(rms_db(level(x, 1, offline), rate / 10), rms_db(x, rate / 10), 1.0) << "offline";

    agc_stream_options o = with(true, false);
    agc_stream* st = agc_stream_create_with(48000, 1, &o, nullptr);
    samples out(x.size());
    const auto weight_at = [&](std::size_t from, std::size_t to) { // after frames [from, to) are taken in
        agc_stream_process(st, x.data() + from, out.data() + from, static_cast<int>(to - from));
        return agc_stream_weight(st, 0);
    };
    const std::size_t syllable_top = rate + rate / 16; // a syllable's top, a second into the burst
    EXPECT_EQ(weight_at(0, burst + syllable_top), AGC_COMP_DEFAULT);
    EXPECT_EQ(weight_at(burst + syllable_top, pause + rate), 0);
    agc_stream_destroy(st);
}

// A sentence that starts softly over a noise floor: 80 ms of a first sound
// standing only 4 dB over the floor (too little for the detector to be sure
// of), then syllables 30 dB over it. Offline, the gate opens where the sound
// first rose over the floor, so the soft start gets the sentence's gain
// instead of being faded in with the syllables; live, where the look-ahead
// is too short to rise before it, the gate catches up within 10 ms, so the
// soft start's last 25 ms have the gain. 150 ms before it the floor keeps
// its level.
TEST(StreamOptions, SpeechAwareModeOpensWhereASoftOnsetRose) {
    constexpr std::size_t rate = 48000, onset = 2 * rate, soft = rate * 80 / 1000, ms = rate / 1000;
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0.0, 1.0);
    samples x(4 * rate);
    for (std::size_t k = 0; k < x.size(); ++k) {
        double level = 30.0;
        if (k >= onset && k < onset + soft) level = 30.0 * 1.6;
        if (k >= onset + soft && k < onset + rate) {
            level = 30.0 * 31.6 * (0.5 + 0.5 * std::abs(std::sin(6.2832 * 2.0 * double(k - onset - soft) / rate)));
        }
        x[k] = static_cast<std::int16_t>(std::lround(level * noise(rng)));
    }
    for (const bool live : {false, true}) {
        agc_stream_options o = with(true, false);
        o.offline = live ? 0 : 1;
        const samples y = level(x, 1, o);
        const auto gain_db = [&](std::size_t from, std::size_t to) {
            double in = 0, out = 0;
            for (std::size_t k = from; k < to; ++k) in += double(x[k]) * x[k], out += double(y[k]) * y[k];
            return 10 * std::log10(out / in);
        };
        const double body = gain_db(onset + soft, onset + rate);
        ASSERT_GT(body, 12.0) << "the syllables are raised, live " << live;
        const std::size_t from = live ? onset + soft - 25 * ms : onset;
        EXPECT_GT(gain_db(from, from + 25 * ms), body - 3.0) << "the soft start, live " << live;
        EXPECT_NEAR(gain_db(onset - 400 * ms, onset - 150 * ms), 0.0, 1.0) << "the floor before it, live " << live;
    }
}

} // namespace
