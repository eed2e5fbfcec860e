// The true-peak limiter: under the ceiling it is a plain delay; over it,
// every point between the output's samples stays at the ceiling or under
// it, by this engine's meter and by an independent sinc interpolation in
// double precision; on a steady tone it settles to one
// gain and adds no distortion; and it says its latency.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "agc/limiter.h"
#include "agc/loudness.h"
#include "agc/true_peak.h"
#include "integer_bursts.h"

namespace {

using samples = std::vector<std::int16_t>;

struct limited {
    std::vector<unsigned char> storage;
    agc::limiter* l;
    limited(int rate, int channels, int ceiling_mdb, int gain_mdb = 0)
        : storage(agc::limiter_size(channels) + 64), l(reinterpret_cast<agc::limiter*>(
                                                         (reinterpret_cast<std::uintptr_t>(storage.data()) + 63) & ~std::uintptr_t{63})) {
        agc::limiter_init(*l, rate, channels, ceiling_mdb);
        agc::limiter_set_gain(*l, gain_mdb, 0);
    }
    // The whole signal through, and the latency's frames of silence after
    // it: the output aligned on the input.
    samples run(const samples& in, int channels, std::size_t chunk = 1000) {
        samples padded = in;
        padded.resize(in.size() + static_cast<std::size_t>(l->latency * channels), 0);
        samples out(padded.size());
        const auto nc = static_cast<std::size_t>(channels);
        for (std::size_t at = 0; at < padded.size(); at += chunk * nc) {
            const std::size_t n = std::min(chunk, (padded.size() - at) / nc);
            agc::limiter_process(*l, padded.data() + at, out.data() + at, static_cast<int>(n));
        }
        out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(l->latency * channels));
        return out;
    }
};

double meter_true_peak(const samples& s, int rate, int channels) {
    agc_loudness* m = agc_loudness_create(rate, channels, AGC_LOUDNESS_MODE_TRUE_PEAK, nullptr);
    agc_loudness_add_frames(m, s.data(), s.size() / static_cast<std::size_t>(channels));
    double tp = -INFINITY;
    for (int c = 0; c < channels; ++c) {
        int32_t v = 0;
        agc_loudness_true_peak(m, c, &v);
        if (v != AGC_LOUDNESS_NONE) tp = std::max(tp, v / 1000.0);
    }
    agc_loudness_destroy(m);
    return tp;
}

// An independent look between the samples at the four points per sample
// that true peak is defined by, from a 128-tap Hann-windowed sinc in double
// precision, after each sample of at least half the largest (a true peak
// lies near the large samples).
double sinc_true_peak(const samples& s, int channels) {
    constexpr int UP = 4, HALF = 64;
    // The taps for each of the four points, worked out once.
    std::vector<double> taps(UP * 2 * HALF);
    for (int q = 0; q < UP; ++q) {
        for (int k = -HALF + 1; k <= HALF; ++k) {
            const double x = static_cast<double>(q) / UP - k;
            const double w = 0.5 + 0.5 * std::cos(std::numbers::pi * x / (HALF + 1));
            taps[static_cast<std::size_t>(q * 2 * HALF + k + HALF - 1)] =
                (x == 0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x)) * w;
        }
    }
    double peak = 0;
    const auto nc = static_cast<std::size_t>(channels);
    const std::size_t frames = s.size() / nc;
    double largest = 0;
    for (std::int16_t v : s) largest = std::max(largest, std::abs(double(v)));
    for (std::size_t c = 0; c < nc; ++c) {
        for (std::size_t n = HALF; n + HALF < frames; ++n) {
            if (std::abs(double(s[n * nc + c])) < largest / 2 && std::abs(double(s[(n + 1) * nc + c])) < largest / 2) continue;
            for (int q = 0; q < UP; ++q) {
                double v = 0;
                const double* t = taps.data() + q * 2 * HALF;
                for (int k = -HALF + 1; k <= HALF; ++k) {
                    v += s[(n + static_cast<std::size_t>(k)) * nc + c] * t[k + HALF - 1];
                }
                peak = std::max(peak, std::abs(v));
            }
        }
    }
    return 20 * std::log10(peak / 32768);
}

samples tone(int rate, double hz, double dbfs, double seconds, int channels = 1) {
    samples s;
    for (int i = 0; i < static_cast<int>(seconds * rate); ++i) {
        const double v = std::pow(10.0, dbfs / 20) * 32768 * std::sin(2 * std::numbers::pi * hz * i / rate + 0.3);
        for (int c = 0; c < channels; ++c) s.push_back(static_cast<std::int16_t>(std::clamp(std::lround(v), -32768L, 32767L)));
    }
    return s;
}

// Speech-like: noise bursts of a few hundred milliseconds at random levels,
// their crests near full scale, with pauses; band-limited to 70% of the
// Nyquist frequency unless `full_band`, as a recording's microphone and
// converter leave it.
samples bursts(int rate, double seconds, std::uint32_t seed, int channels = 1, bool full_band = false) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(0.0, 1.0);
    const auto frames = static_cast<std::size_t>(seconds * rate);
    std::vector<double> x(frames * static_cast<std::size_t>(channels));
    double level = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        if (i % static_cast<std::size_t>(rate / 5) == 0) {
            level = std::uniform_int_distribution<int>(0, 3)(rng) == 0 ? 0.0 : std::uniform_real_distribution<double>(3000, 14000)(rng);
        }
        for (int c = 0; c < channels; ++c) x[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] = level * g(rng);
    }
    constexpr int HALF = 24;
    double taps[2 * HALF + 1];
    for (int k = -HALF; k <= HALF; ++k) {
        const double w = 0.5 + 0.5 * std::cos(std::numbers::pi * k / (HALF + 1));
        taps[k + HALF] = (k == 0 ? 0.7 : std::sin(0.7 * std::numbers::pi * k) / (std::numbers::pi * k)) * w;
    }
    samples s(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        double v = x[i];
        if (!full_band) {
            v = 0;
            const auto nc = static_cast<std::ptrdiff_t>(channels);
            for (int k = -HALF; k <= HALF; ++k) {
                const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(i) + k * nc;
                if (at < 0 || at >= static_cast<std::ptrdiff_t>(x.size())) continue;
                v += x[static_cast<std::size_t>(at)] * taps[k + HALF];
            }
        }
        s[i] = static_cast<std::int16_t>(std::clamp(std::lround(v), -32768L, 32767L));
    }
    return s;
}

std::uint64_t fnv1a(const samples& s) {
    std::uint64_t h = 14695981039346656037ull;
    for (const std::int16_t v : s) {
        for (const std::uint8_t byte : {static_cast<std::uint8_t>(v & 0xff), static_cast<std::uint8_t>((v >> 8) & 0xff)}) {
            h = (h ^ byte) * 1099511628211ull;
        }
    }
    return h;
}

// Under the ceiling the limiter is a delay of exactly its latency; the
// latency is the look-ahead (a power of two within 2 ms) and 48 frames.
TEST(Limiter, UnderTheCeilingItIsADelay) {
    struct rate_latency {
        int rate, latency;
    };
    for (const rate_latency r : {rate_latency{8000, 63}, {16000, 79}, {44100, 111}, {48000, 111}, {96000, 175}}) {
        limited l(r.rate, 2, -1000);
        EXPECT_EQ(l.l->latency, r.latency) << r.rate << " Hz";
        const samples in = tone(r.rate, 440, -6, 1, 2);
        EXPECT_EQ(l.run(in, 2), in) << r.rate << " Hz";
        EXPECT_EQ(l.l->reduced_frames, 0u);
    }
}

// Over it, whatever the signal, the gain, the rate and the chunking, the
// output's true peak is at the ceiling or under it: by the meter's
// interpolator always, and by the independent look where the signal is
// band-limited as recordings are (above 80% of the Nyquist frequency the
// interpolator, as any finite one, sees less than there is).
TEST(Limiter, HoldsEveryTruePeakAtTheCeiling) {
    struct signal_case {
        const char* name;
        samples in;
        int rate, channels, ceiling, gain;
        bool band_limited = true;
    };
    samples square;
    for (int i = 0; i < 48000; ++i) square.push_back(static_cast<std::int16_t>((i / 12) % 2 ? 30000 : -30000));
    samples clicks(48000, 0);
    for (std::size_t i = 1000; i < clicks.size(); i += 4801) clicks[i] = 32767;
    const signal_case cases[] = {
        {"speech-like bursts, +6 dB, -1 dBTP", bursts(48000, 2, 1), 48000, 1, -1000, 6000},
        {"stereo bursts, +3 dB, -1 dBTP", bursts(44100, 2, 2, 2), 44100, 2, -1000, 3000},
        {"a quarter of the rate at 0 dBFS, -1 dBTP", tone(48000, 12000, 0, 1), 48000, 1, -1000, 0},
        {"0.45 of the rate, +6 dB, -3 dBTP", tone(16000, 7200, -3, 1), 16000, 1, -3000, 6000},
        {"a square wave, +12 dB, -2 dBTP", square, 48000, 1, -2000, 12000, false},
        {"clicks, 0 dBTP", clicks, 48000, 1, 0, 0, false},
        {"full-band bursts, +6 dB, -1 dBTP", bursts(48000, 2, 4, 1, true), 48000, 1, -1000, 6000, false},
        {"bursts at 8 kHz, +9 dB, -9 dBTP", bursts(8000, 2, 3), 8000, 1, -9000, 9000},
        {"stereo bursts at 96 kHz, +6 dB, -1 dBTP", bursts(96000, 1, 10, 2), 96000, 2, -1000, 6000},
    };
    for (const signal_case& c : cases) {
        for (const std::size_t chunk : {std::size_t{1}, std::size_t{333}}) {
            limited l(c.rate, c.channels, c.ceiling, c.gain);
            const samples out = l.run(c.in, c.channels, chunk);
            EXPECT_LE(meter_true_peak(out, c.rate, c.channels), c.ceiling / 1000.0) << c.name << ", chunks of " << chunk;
            if (chunk == 1) continue; // the independent look is slow: once per case
            if (c.band_limited) {
                EXPECT_LE(sinc_true_peak(out, c.channels), c.ceiling / 1000.0 + 0.02) << c.name;
            }
            EXPECT_GT(l.l->reduced_frames, 0u) << c.name;
        }
    }
}

// A steady tone 6 dB over the ceiling: once the gain has settled it is one
// gain, 6.1 dB down, and the tone comes out as clean as it went in (its
// harmonics, by a DFT over whole periods, at least 90 dB down).
TEST(Limiter, ASteadyToneComesOutClean) {
    const int rate = 48000;
    limited l(rate, 1, -6000);
    const samples out = l.run(tone(rate, 1000, 0, 2), 1);
    const std::size_t from = rate, n = 48 * 500; // past the first second; 500 periods
    double fundamental = 0, harmonics = 0;
    for (int h = 1; h <= 10; ++h) {
        double re = 0, im = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double a = 2 * std::numbers::pi * h * 1000.0 * static_cast<double>(i) / rate;
            re += out[from + i] * std::cos(a);
            im += out[from + i] * std::sin(a);
        }
        (h == 1 ? fundamental : harmonics) += re * re + im * im;
    }
    EXPECT_LT(10 * std::log10(harmonics / fundamental), -90.0);
    // At the ceiling less the limiter's margin of 0.1 dB.
    EXPECT_NEAR(20 * std::log10(std::sqrt(fundamental) * 2 / static_cast<double>(n) / 32768), -6.1, 0.05);
}

// After a peak the gain recovers smoothly, by far less than a hundredth of a
// dB from one frame to the next, and is back at exactly unity (where the
// limiter has nothing to work out) within 0.6 s, not the second that the
// recovery's last thousandths of a dB would take: on a steady level, whose
// output reads the gain frame by frame, 7 dB over the ceiling for 20 ms.
TEST(Limiter, TheGainRecoversSmoothlyAndReachesUnity) {
    const int rate = 48000;
    const std::size_t burst = rate / 2, burst_end = burst + rate / 50;
    samples in(3 * static_cast<std::size_t>(rate), 10000);
    for (std::size_t i = burst; i < burst_end; ++i) in[i] = 32767;
    limited l(rate, 1, -1000, 6000);
    const samples out = l.run(in, 1);
    const double steady = out.back();
    double largest_step = 0, lowest = 0;
    std::size_t last_off = 0;
    for (std::size_t i = burst_end + 64; i < out.size(); ++i) {
        largest_step = std::max(largest_step, std::abs(20 * std::log10(out[i] / double(out[i - 1]))));
        lowest = std::min(lowest, 20 * std::log10(out[i] / steady));
        if (out[i] != out.back()) last_off = i;
    }
    EXPECT_LT(lowest, -6.0) << "the peak was limited";
    EXPECT_LT(largest_step, 0.005) << "dB from one frame to the next";
    EXPECT_LT(double(last_off - burst_end) / rate, 0.6) << "s to unity";
}

// One gain for all channels: a peak on one side lowers the other with it.
TEST(Limiter, ChannelsShareTheGain) {
    const int rate = 48000;
    samples in;
    const samples loud = tone(rate, 500, 0, 1), soft = tone(rate, 700, -20, 1);
    for (std::size_t i = 0; i < loud.size(); ++i) {
        in.push_back(loud[i]);
        in.push_back(soft[i]);
    }
    limited l(rate, 2, -6000);
    const samples out = l.run(in, 2);
    double soft_in = 0, soft_out = 0;
    for (std::size_t i = rate / 2; i < loud.size(); ++i) {
        soft_in = std::max(soft_in, std::abs(double(in[2 * i + 1])));
        soft_out = std::max(soft_out, std::abs(double(out[2 * i + 1])));
    }
    EXPECT_NEAR(20 * std::log10(soft_out / soft_in), -6.1, 0.1);
}

// A gain set to glide gets there in a straight line, and the output is the
// same in any chunking.
TEST(Limiter, GainGlidesAndChunkingChangesNothing) {
    const samples in = bursts(48000, 2, 9);
    samples reference;
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{64}, std::size_t{4097}}) {
        limited l(48000, 1, -1000, -12000);
        agc::limiter_set_gain(*l.l, 6000, 48000);
        const samples out = l.run(in, 1, chunk);
        if (reference.empty()) reference = out;
        EXPECT_EQ(out, reference) << "chunks of " << chunk;
        EXPECT_LE(meter_true_peak(out, 48000, 1), -1.0);
    }
}

// A steady gain takes the delay line's 32-bit arithmetic, a gliding one
// the 64-bit product it stands for; a glide that stays at one gain must give
// the same delay line and samples, at the largest gains and the extreme
// samples too, with the limiter at rest and at work, in one channel and in
// two (the channels' records follow the limiter's, as limiter_size counts
// them); and one channel comes out as a pair of it does.
TEST(Limiter, ASteadyGainIsTheGlidingOnesArithmetic) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> any(-32768, 32767);
    for (const int channels : {1, 2}) {
        samples in(static_cast<std::size_t>(20000 * channels));
        for (std::size_t i = 0; i < in.size(); ++i) {
            const std::size_t run = i / 512 % 4; // random, then full scale either way, then a quiet stretch
            in[i] = static_cast<std::int16_t>(run == 0 ? any(rng) : run == 1 ? (i % 2 ? 32767 : -32768) : run == 2 ? -32768 : any(rng) / 64);
        }
        for (const int gain : {-48000, -20000, -1, 0, 1, 6000, 24000, 47999, 48000}) {
            for (const int ceiling : {0, -9000}) {
                limited steady(44100, channels, ceiling, gain), gliding(44100, channels, ceiling, gain);
                agc::limiter_set_gain(*gliding.l, gain, 1 << 30); // a glide from the gain to itself
                // The delay lines too (they hold the signal in Q8, under the
                // output's rounding), after every chunk.
                const auto lines = [&](const limited& x) {
                    const auto* c = reinterpret_cast<const agc::limiter_channel*>(x.l + 1);
                    std::vector<std::int32_t> d;
                    for (int k = 0; k < channels; ++k) d.insert(d.end(), c[k].delay, c[k].delay + agc::LIMITER_RING);
                    return d;
                };
                samples a(in.size()), b(in.size());
                for (std::size_t at = 0; at < in.size(); at += 700 * static_cast<std::size_t>(channels)) {
                    const int n = static_cast<int>(std::min<std::size_t>(700, (in.size() - at) / static_cast<std::size_t>(channels)));
                    agc::limiter_process(*steady.l, in.data() + at, a.data() + at, n);
                    agc::limiter_process(*gliding.l, in.data() + at, b.data() + at, n);
                    ASSERT_EQ(lines(steady), lines(gliding)) << channels << " channels, gain " << gain << " mdB, at " << at;
                }
                EXPECT_EQ(a, b) << channels << " channels, gain " << gain << " mdB, ceiling " << ceiling << " mdB";
                if (channels != 1) continue;
                // One channel's samples leave under their gains in vector
                // lanes, two channels' one at a time: the same signal on
                // both sides of a pair must come out as the one channel does.
                limited pair(44100, 2, ceiling, gain);
                samples both(2 * in.size());
                for (std::size_t i = 0; i < in.size(); ++i) both[2 * i] = both[2 * i + 1] = in[i];
                samples out(both.size());
                for (std::size_t at = 0; at < both.size(); at += 1400) {
                    const int n = static_cast<int>(std::min<std::size_t>(700, (both.size() - at) / 2));
                    agc::limiter_process(*pair.l, both.data() + at, out.data() + at, n);
                }
                samples left(in.size());
                for (std::size_t i = 0; i < in.size(); ++i) left[i] = out[2 * i];
                EXPECT_EQ(left, a) << "a pair of one channel, gain " << gain << " mdB, ceiling " << ceiling << " mdB";
            }
        }
    }
}

// The largest point the true-peak interpolator makes of a recording, over
// its channels (Q14 sample units).
std::int32_t largest_point(const samples& s, int channels) {
    std::int32_t most = 0;
    for (int c = 0; c < channels; ++c) {
        samples one;
        for (std::size_t i = static_cast<std::size_t>(c); i < s.size(); i += static_cast<std::size_t>(channels)) one.push_back(s[i]);
        agc::true_peak_history h;
        most = std::max(most, agc::true_peak_scan(h, one.data(), one.size(), 0));
    }
    return most;
}

// Where the limiter says it rests on a recording, from the meter's true
// peak (taken, as the tool takes it, over the silence after the end too),
// or from its largest point against the resting point (as the tool looks
// in a recording held in memory), it never acts on it, and the gain alone
// is its output byte for byte; the point rests wherever the reading does
// (the reading is rounded up); and the claim is not idle: within a quarter
// of a dB of where the points under the gain reach the ceiling, it rests.
// Gains swept across that edge, on signals made to stand high between
// their samples; below 44.1 kHz, where the limiter looks between the
// meter's points, it never claims to rest.
TEST(Limiter, WhereItRestsTheGainAloneIsItsOutput) {
    samples square;
    for (int i = 0; i < 9600; ++i) square.push_back(static_cast<std::int16_t>((i / 12) % 2 ? 30000 : -30000));
    struct rest_case {
        const char* name;
        samples in;
        int rate, channels, ceiling;
    };
    const rest_case cases[] = {
        {"speech-like bursts, -1 dBTP", bursts(48000, 1, 5), 48000, 1, -1000},
        {"stereo bursts, 44.1 kHz, 0 dBTP", bursts(44100, 1, 6, 2), 44100, 2, 0},
        {"full-band bursts, 96 kHz, -9 dBTP", bursts(96000, 0.5, 7, 1, true), 96000, 1, -9000},
        {"a quarter of the rate, -1 dBTP", tone(48000, 12000, -0.5, 0.2), 48000, 1, -1000},
        {"a square wave, -2 dBTP", square, 48000, 1, -2000},
        {"a quiet tone, 48 dB up", tone(48000, 997, -55, 0.2), 48000, 1, -1000},
        {"bursts at 32 kHz, -1 dBTP", bursts(32000, 0.5, 8), 32000, 1, -1000},
    };
    for (const rest_case& c : cases) {
        samples tail = c.in;
        tail.resize(c.in.size() + static_cast<std::size_t>(agc::TRUE_PEAK_TAPS * c.channels), 0);
        const double tp = meter_true_peak(tail, c.rate, c.channels);
        const auto tp_mdb = static_cast<std::int32_t>(std::lround(tp * 1000));
        const std::int32_t point = largest_point(tail, c.channels);
        int rested = 0, highest_rest = INT32_MIN;
        for (int gain = c.ceiling - tp_mdb - 1000; gain <= c.ceiling - tp_mdb + 300; gain += 25) {
            const int g = std::min(gain, 48000);
            const bool by_reading = agc::limiter_rests(c.rate, c.ceiling, g, tp_mdb);
            const bool by_point = point <= agc::limiter_resting_point(c.rate, c.ceiling, g);
            EXPECT_TRUE(by_point || !by_reading) << c.name << ", gain " << g << " mdB";
            if (!by_point) continue;
            ++rested;
            highest_rest = std::max(highest_rest, g);
            limited l(c.rate, c.channels, c.ceiling, g);
            const samples out = l.run(c.in, c.channels, 333);
            samples alone(c.in.size());
            agc::limiter_gain_alone(c.in.data(), alone.data(), c.in.size(), g);
            EXPECT_EQ(l.l->reduced_frames, 0u) << c.name << ", gain " << g << " mdB";
            EXPECT_EQ(out, alone) << c.name << ", gain " << g << " mdB";
        }
        if (c.rate < 44100) {
            EXPECT_EQ(rested, 0) << c.name;
        } else {
            // The limiter's own ceiling stands 0.1 dB under the one asked for.
            EXPECT_GE(highest_rest, std::min(48000, c.ceiling - 100 - tp_mdb - 250)) << c.name;
        }
    }
    EXPECT_TRUE(agc::limiter_rests(48000, -1000, 48000, INT32_MIN)); // silence
}

// The limiter's bytes, pinned: the same on every CPU and on every path (the
// vector lanes where this CPU has them, the plain code elsewhere), and kept
// by changes that only make it faster. At rates under 44.1 kHz it looks
// between the quarter points too; the cases take it over the ceiling by up to
// 9 dB, in chunks of every size, from one channel to three.
TEST(Limiter, SameBytesOnEveryCPU) {
    struct {
        int rate, channels, ceiling, gain;
        bool full_band;
        std::size_t chunk;
        std::uint64_t hash;
    } cases[] = {
        {48000, 1, -1000, 3000, false, 1000, 0x1dd23f2d21cd03f1ull}, {48000, 1, -1000, -3000, false, 4096, 0x3655e2230bc98332ull},
        {44100, 2, -3000, 6000, false, 333, 0x1c98267ab7e8fc5eull},  {8000, 1, -1000, 2000, false, 1000, 0x4ae35e7dcf088afdull},
        {22050, 1, -500, 4000, true, 77, 0x7f1212296a1289f1ull},     {96000, 2, -1000, 3000, true, 1000, 0xb9ab62003fe74311ull},
        {16000, 3, -6000, 9000, false, 64, 0x19646278154aee66ull},
    };
    for (const auto& c : cases) {
        const samples in = integer_bursts(c.rate, 4, 1770u + static_cast<std::uint32_t>(c.rate), c.channels, c.full_band);
        limited l(c.rate, c.channels, c.ceiling, c.gain);
        const samples out = l.run(in, c.channels, c.chunk);
        EXPECT_GT(l.l->reduced_frames, 0u) << c.rate << " Hz";
        EXPECT_EQ(fnv1a(out), c.hash) << c.rate << " Hz, " << c.channels << " channels, gain " << c.gain;
    }
}

// A recording limited in two parts: a limiter for the second, started in
// a pause and fed from there, comes to the first one's state where that
// one has rested long enough, and gives out the same frames from there on;
// early in the pause the first is still recovering, and the two differ. Samples within the quiet magnitude never bring the limiter to act.
TEST(Limiter, APartStartedInAPauseTakesOver) {
    struct {
        int rate, channels, ceiling, gain;
    } cases[] = {{48000, 1, -1000, 3000}, {44100, 2, -3000, 6000}, {8000, 3, -1000, 2000}, {96000, 1, -500, 9000}};
    for (const auto& c : cases) {
        const auto nc = static_cast<std::size_t>(c.channels);
        limited probe(c.rate, c.channels, c.ceiling, c.gain);
        const std::int64_t rest = agc::limiter_rest_frames(*probe.l), warm = 1024;
        const auto pause = static_cast<std::size_t>(rest + warm + 2 * c.rate / 10);
        samples in = integer_bursts(c.rate, 3, 7u + static_cast<std::uint32_t>(c.rate), c.channels);
        const std::size_t loud_end = in.size() / nc;
        in.resize(in.size() + pause * nc, 0);
        const samples more = integer_bursts(c.rate, 3, 8u + static_cast<std::uint32_t>(c.rate), c.channels);
        in.insert(in.end(), more.begin(), more.end());
        const std::size_t frames = in.size() / nc;
        const std::string where = std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " channels";
        for (const bool rested : {true, false}) {
            // In the pause: after the rest, or too early, while the first recovers.
            const std::size_t at = loud_end + (rested ? pause - static_cast<std::size_t>(c.rate / 10)
                                                      : static_cast<std::size_t>(warm) + static_cast<std::size_t>(c.rate / 20));
            limited first(c.rate, c.channels, c.ceiling, c.gain), second(c.rate, c.channels, c.ceiling, c.gain);
            const auto from = static_cast<std::size_t>(static_cast<std::int64_t>(at) - warm);
            agc::limiter_skip_silence(*second.l, static_cast<std::int64_t>(from));
            samples a(frames * nc), b(frames * nc);
            agc::limiter_process(*first.l, in.data(), a.data(), static_cast<int>(at));
            agc::limiter_process(*second.l, in.data() + from * nc, b.data() + from * nc, static_cast<int>(at - from));
            EXPECT_EQ(agc::limiter_same_course(*first.l, *second.l), rested) << where;
            if (!rested) {
                EXPECT_LT(first.l->block_hold[(at / 16 - 1) % agc::LIMITER_BLOCKS], std::int64_t{1} << 30) << where;
                continue;
            }
            agc::limiter_process(*first.l, in.data() + at * nc, a.data() + at * nc, static_cast<int>(frames - at));
            agc::limiter_process(*second.l, in.data() + at * nc, b.data() + at * nc, static_cast<int>(frames - at));
            EXPECT_GT(second.l->reduced_frames, 0u) << where << ": the part after the pause is limited";
            EXPECT_TRUE(std::equal(a.begin() + static_cast<std::ptrdiff_t>(at * nc), a.end(), b.begin() + static_cast<std::ptrdiff_t>(at * nc)))
                << where;
        }
        // Full-band noise whose largest sample is the quiet magnitude.
        const std::int32_t quiet = agc::limiter_quiet_magnitude(*probe.l);
        ASSERT_GT(quiet, 0) << where;
        samples noise = integer_bursts(c.rate, 2, 9u, c.channels, true);
        const std::int16_t most = *std::max_element(noise.begin(), noise.end());
        for (std::int16_t& v : noise) v = static_cast<std::int16_t>(static_cast<std::int64_t>(v) * quiet / most);
        limited calm(c.rate, c.channels, c.ceiling, c.gain);
        calm.run(noise, c.channels);
        EXPECT_EQ(calm.l->reduced_frames, 0u) << where << ", quiet magnitude " << quiet;
    }
}

} // namespace
