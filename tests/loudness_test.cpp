// The loudness meter on signals whose loudness is known by construction:
// the meter-conformance tone sequences for integrated, momentary and
// short-term loudness, the loudness-range steps and the inter-sample peaks,
// each within its tolerance; then what a meter must keep whatever it is
// fed (chunking, rates, channel weights) and its figures bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <numeric>
#include <random>
#include <vector>

#include "agc/k_weighting.h"
#include "agc/loudness.h"

namespace {

using samples = std::vector<std::int16_t>;

// One stretch of a 1 kHz sine, its peak in dBFS on each channel (a NaN level
// is silence on that channel).
struct tone {
    double seconds;
    std::vector<double> dbfs;
};

// The stretches one after the other, interleaved, the sine continuous
// across them.
samples tones(int rate, const std::vector<tone>& parts, double hz = 1000.0) {
    samples s;
    std::size_t t = 0;
    const double step = 2 * std::numbers::pi * hz / rate;
    // A whole number of hertz repeats every rate / gcd(rate, hz) samples:
    // one period worked out, then read over and over.
    const auto whole = static_cast<std::size_t>(hz);
    const std::size_t period = static_cast<double>(whole) == hz ? static_cast<std::size_t>(rate) / std::gcd(static_cast<std::size_t>(rate), whole) : 0;
    std::vector<double> cycle(period);
    for (std::size_t i = 0; i < period; ++i) cycle[i] = std::sin(step * static_cast<double>(i));
    for (const tone& p : parts) {
        const auto n = static_cast<std::size_t>(std::llround(p.seconds * rate));
        std::vector<double> gain;
        for (double db : p.dbfs) gain.push_back(std::isnan(db) ? 0.0 : std::pow(10.0, db / 20) * 32768);
        for (std::size_t i = 0; i < n; ++i, ++t) {
            const double unit = period ? cycle[t % period] : std::sin(step * static_cast<double>(t));
            for (double g : gain) s.push_back(static_cast<std::int16_t>(std::clamp(std::lround(g * unit), -32768L, 32767L)));
        }
    }
    return s;
}

struct meter {
    agc_loudness* m;
    meter(int rate, int channels, int modes = AGC_LOUDNESS_MODE_ALL) : m(agc_loudness_create(rate, channels, modes, nullptr)) {}
    ~meter() { agc_loudness_destroy(m); }
    meter(const meter&) = delete;
    meter& operator=(const meter&) = delete;
    void add(const samples& s, int channels) {
        ASSERT_EQ(agc_loudness_add_frames(m, s.data(), s.size() / static_cast<std::size_t>(channels)), 0);
    }
    double read(int (*f)(const agc_loudness*, int32_t*)) const {
        int32_t v = 0;
        EXPECT_EQ(f(m, &v), 0);
        return v == AGC_LOUDNESS_NONE ? -INFINITY : v / 1000.0;
    }
    double peak(int (*f)(const agc_loudness*, int, int32_t*), int channel) const {
        int32_t v = 0;
        EXPECT_EQ(f(m, channel, &v), 0);
        return v == AGC_LOUDNESS_NONE ? -INFINITY : v / 1000.0;
    }
};

const double NONE = std::nan("");
const std::vector<double> STEREO_23 = {-23, -23};

struct integrated_case {
    const char* name;
    std::vector<tone> parts;
    double lufs;
};

// Integrated loudness within 0.1 LU, at 48 and 44.1 kHz: steady tones, tones
// with quieter stretches that the relative gate must drop and ones under the
// absolute gate, and five channels weighted as front and surround.
TEST(LoudnessConformance, IntegratedWithinATenthOfAnLU) {
    const std::vector<integrated_case> cases = {
        {"stereo -23 dBFS", {{20, STEREO_23}}, -23.0},
        {"stereo -33 dBFS", {{20, {-33, -33}}}, -33.0},
        {"-36, -23, -36 dBFS", {{10, {-36, -36}}, {60, STEREO_23}, {10, {-36, -36}}}, -23.0},
        {"-72, -36, -23, -36, -72 dBFS",
         {{10, {-72, -72}}, {10, {-36, -36}}, {60, STEREO_23}, {10, {-36, -36}}, {10, {-72, -72}}},
         -23.0},
        {"-26, -20, -26 dBFS", {{20, {-26, -26}}, {20.1, {-20, -20}}, {20, {-26, -26}}}, -23.0},
        {"five channels L R C Ls Rs", {{20, {-28, -28, -24, -30, -30}}}, -23.0},
        {"mono -20 dBFS", {{20, {-20}}}, -23.01},
    };
    for (const int rate : {48000, 44100}) {
        for (const integrated_case& c : cases) {
            if (rate != 48000 && c.parts.size() > 1) continue; // the gating is the same at every rate
            const int channels = static_cast<int>(c.parts[0].dbfs.size());
            meter m(rate, channels);
            m.add(tones(rate, c.parts), channels);
            EXPECT_NEAR(m.read(agc_loudness_integrated), c.lufs, 0.1) << c.name << " at " << rate << " Hz";
        }
    }
}

// A steady tone reads the same momentary and short-term as integrated, and
// sequences built so that every 400 ms (or 3 s) window holds one period of
// them read steady at -23 LUFS once the window is full.
TEST(LoudnessConformance, MomentaryAndShortTermHoldSteady) {
    for (const double level : {-23.0, -33.0}) {
        meter m(48000, 2);
        m.add(tones(48000, {{20, {level, level}}}), 2);
        EXPECT_NEAR(m.read(agc_loudness_momentary), level, 0.1);
        EXPECT_NEAR(m.read(agc_loudness_shortterm), level, 0.1);
        EXPECT_NEAR(m.read(agc_loudness_momentary_max), level, 0.1);
        EXPECT_NEAR(m.read(agc_loudness_shortterm_max), level, 0.1);
    }
    struct sequence {
        const char* name;
        double loud, quiet; // seconds at -20 and at -30 dBFS, one period
        int (*read)(const agc_loudness*, int32_t*);
        double settle;      // seconds before the window is full
    };
    const sequence sequences[] = {
        {"short-term: 1.34 s at -20, 1.66 s at -30 dBFS", 1.34, 1.66, agc_loudness_shortterm, 3.0},
        {"momentary: 0.18 s at -20, 0.22 s at -30 dBFS", 0.18, 0.22, agc_loudness_momentary, 0.4},
    };
    for (const sequence& q : sequences) {
        std::vector<tone> parts;
        for (int k = 0; k < 10; ++k) {
            parts.push_back({q.loud, {-20, -20}});
            parts.push_back({q.quiet, {-30, -30}});
        }
        const samples s = tones(48000, parts);
        meter m(48000, 2);
        const std::size_t step = 4800 * 2;
        for (std::size_t at = 0; at < s.size(); at += step) {
            m.add(samples(s.begin() + static_cast<std::ptrdiff_t>(at), s.begin() + static_cast<std::ptrdiff_t>(at + step)), 2);
            if (static_cast<double>(at + step) / 2 / 48000 < q.settle + 0.05) continue;
            ASSERT_NEAR(m.read(q.read), -23.0, 0.1) << q.name << " at " << static_cast<double>(at + step) / 2 / 48000 << " s";
        }
    }
}

// Loudness range within 1 LU: stereo steps of 20 s each.
TEST(LoudnessConformance, RangeWithinOneLU) {
    struct range_case {
        std::vector<double> steps; // dBFS, 20 s each
        double lu;
    };
    const range_case cases[] = {
        {{-20, -30}, 10}, {{-20, -15}, 5}, {{-40, -20}, 20}, {{-50, -35, -20, -35, -50}, 15},
    };
    for (const range_case& c : cases) {
        std::vector<tone> parts;
        for (double db : c.steps) parts.push_back({20, {db, db}});
        meter m(48000, 2);
        m.add(tones(48000, parts), 2);
        EXPECT_NEAR(m.read(agc_loudness_range), c.lu, 1.0) << "steps starting at " << c.steps[0];
    }
}

// True peak within +0.2 / -0.4 dB of the peak of the continuous sine, for
// sines whose samples miss their crests by a known phase: a quarter, a
// sixth and an eighth of the rate, and one whose crests lie 3 dB over full
// scale while its samples stay within it.
TEST(LoudnessConformance, TruePeakBetweenTheSamples) {
    struct peak_case {
        double fraction_of_rate, degrees, dbfs; // sine frequency, phase of the first sample, crest level
        double expected;
    };
    const peak_case cases[] = {
        {1.0 / 4, 0, -6, -6.0},   {1.0 / 4, 45, -6, -6.0},  {1.0 / 6, 60, -6, -6.0},
        {1.0 / 8, 67.5, -6, -6.0}, {1.0 / 4, 45, 3.0103, 3.0},
    };
    for (const peak_case& c : cases) {
        const int rate = 48000;
        samples s;
        for (int i = 0; i < rate; ++i) {
            // Faded in over 10 ms: an abrupt start would ring over the crest.
            const double fade = i < 480 ? 0.5 - 0.5 * std::cos(std::numbers::pi * i / 480) : 1.0;
            const double v = fade * std::pow(10.0, c.dbfs / 20) * 32768 *
                             std::sin(2 * std::numbers::pi * c.fraction_of_rate * i + c.degrees * std::numbers::pi / 180);
            s.push_back(static_cast<std::int16_t>(std::clamp(std::lround(v), -32768L, 32767L)));
        }
        meter m(rate, 1);
        m.add(s, 1);
        const double tp = m.peak(agc_loudness_true_peak, 0);
        EXPECT_LE(tp, c.expected + 0.2) << c.fraction_of_rate << " of the rate at " << c.degrees << " degrees";
        EXPECT_GE(tp, c.expected - 0.4) << c.fraction_of_rate << " of the rate at " << c.degrees << " degrees";
        EXPECT_LE(m.peak(agc_loudness_sample_peak, 0), tp);
    }
}

// The weighting filter at 48 kHz against the coefficients published for
// it (to 2e-8, the resolution of Q29 and of the published digits).
TEST(KWeighting, CoefficientsAt48kHzAreThePublishedOnes) {
    const agc::k_coefficients k = agc::k_coefficients_for(48000);
    const double q = std::ldexp(1.0, -agc::K_COEF_FRACTION);
    EXPECT_NEAR(k.b0 * q, 1.53512485958697, 2e-8);
    EXPECT_NEAR(k.b1 * q, -2.69169618940638, 2e-8);
    EXPECT_NEAR(k.b2 * q, 1.19839281085285, 2e-8);
    EXPECT_NEAR(k.a1 * q, -1.69065929318241, 2e-8);
    EXPECT_NEAR(k.a2 * q, 0.73248077421585, 2e-8);
    EXPECT_NEAR(k.c1 * q, -1.99004745483398, 2e-8);
    EXPECT_NEAR(k.c2 * q, 0.99007225036621, 2e-8);
}

// At every rate a 1 kHz tone reads the same, and so, within the bend of the
// transform, does a 40 Hz one (where the high-pass's poles sit nearest
// z = 1); the filters' own rounding leaves silence after a loud tone at
// digital silence.
TEST(KWeighting, EveryRateReadsAlike) {
    const auto integrated_at = [](int rate, double hz) {
        meter m(rate, 1);
        m.add(tones(rate, {{10, {-20}}}, hz), 1);
        return m.read(agc_loudness_integrated);
    };
    const double at_48k_1k = integrated_at(48000, 1000), at_48k_40 = integrated_at(48000, 40);
    EXPECT_NEAR(at_48k_1k, -23.01, 0.02);
    for (const int rate : {8000, 11025, 16000, 22050, 32000, 44100, 88200, 96000, 8001, 95999}) {
        EXPECT_NEAR(integrated_at(rate, 1000), at_48k_1k, 0.05) << rate << " Hz, 1 kHz tone";
        // On the high-pass's slope the bilinear transform bends the response
        // at low rates: 0.22 dB at 8 kHz, as in every meter derived this way.
        EXPECT_NEAR(integrated_at(rate, 40), at_48k_40, 0.25) << rate << " Hz, 40 Hz tone";
    }
    meter m(96000, 1, AGC_LOUDNESS_MODE_M);
    m.add(tones(96000, {{2, {0}}, {2, {NONE}}}), 1);
    EXPECT_EQ(m.read(agc_loudness_momentary), -INFINITY) << "the filter's rounding leaves something after the tone";
}

samples noise(std::uint32_t seed, std::size_t n) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(0.0, 3000.0);
    samples s(n);
    double level = 1;
    for (std::size_t i = 0; i < n; ++i) {
        if (i % 24000 == 0) level = std::pow(10.0, std::uniform_real_distribution<double>(-2.5, 0.5)(rng));
        s[i] = static_cast<std::int16_t>(std::clamp(std::lround(g(rng) * level), -32768L, 32767L));
    }
    return s;
}

struct figures {
    int32_t i, lra, m_max, s_max, sp, tp;
    bool operator==(const figures&) const = default;
};

figures all_figures(const agc_loudness* m, int peak_channel = 1) {
    figures f{};
    agc_loudness_integrated(m, &f.i);
    agc_loudness_range(m, &f.lra);
    agc_loudness_momentary_max(m, &f.m_max);
    agc_loudness_shortterm_max(m, &f.s_max);
    agc_loudness_sample_peak(m, peak_channel, &f.sp);
    agc_loudness_true_peak(m, peak_channel, &f.tp);
    return f;
}

std::ostream& operator<<(std::ostream& o, const figures& f) {
    return o << "{" << f.i << ", " << f.lra << ", " << f.m_max << ", " << f.s_max << ", " << f.sp << ", " << f.tp << "}";
}

// Any split of a recording into calls gives the same figures, and these
// are the figures of this machine's build on every CPU (the cross builds
// run this test): integer arithmetic leaves nothing to a compiler or an FPU.
// Long enough for the calls that bring whole batches of 4 s segments,
// which this machine filters side by side in vector lanes (the cross builds,
// without them, one after another), between calls that bring less.
TEST(LoudnessMeter, SameFiguresWhateverTheChunkingAndTheCPU) {
    struct format {
        int rate, channels;
    };
    for (const format f : {format{44100, 2}, format{8000, 3}, format{96000, 1}}) {
        const auto nc = static_cast<std::size_t>(f.channels);
        const samples s = noise(28, static_cast<std::size_t>(f.rate) * nc * 37);
        const std::size_t frames = s.size() / nc, batch = agc::k_batch_frames(f.rate);
        figures reference{};
        for (const std::size_t chunk : {std::size_t{7}, std::size_t{4410}, batch + 5, batch * 3 / 2, frames}) {
            meter m(f.rate, f.channels);
            for (std::size_t at = 0; at < frames; at += chunk) {
                const std::size_t n = std::min(chunk, frames - at);
                ASSERT_EQ(agc_loudness_add_frames(m.m, s.data() + nc * at, n), 0);
            }
            const figures got = all_figures(m.m, f.channels - 1);
            if (chunk == 7) reference = got;
            EXPECT_EQ(got, reference) << f.rate << " Hz, " << f.channels << " channels, chunks of " << chunk << " frames";
        }
        if (f.rate == 44100) {
            EXPECT_EQ(reference, (figures{-13026, 10313, -6416, -10718, 0, 1712})) << "the figures of another CPU";
        }
    }
}

// A recording measured in parts, by meters started where a part begins and
// joined in order, reads as one meter fed it all, to the last bit of every
// figure, and the joined meter measures on from there; a last part shorter
// than a short-term block and a part in the middle both join. Where a part
// cannot begin or join, nothing is changed and the call says so.
TEST(LoudnessMeter, PartsJoinedReadAsTheWhole) {
    struct format {
        int rate, channels;
        std::vector<std::size_t> starts; // of the parts after the first, in parts' frames
    };
    for (const format& f : {format{44100, 2, {1}}, format{8000, 3, {2, 6}}, format{96000, 1, {9}}, format{48000, 6, {4, 5}}}) {
        const auto nc = static_cast<std::size_t>(f.channels);
        const samples s = noise(31, static_cast<std::size_t>(f.rate) * nc * 37);
        const samples more = noise(32, static_cast<std::size_t>(f.rate) * nc);
        const std::size_t frames = s.size() / nc;
        meter whole(f.rate, f.channels), first(f.rate, f.channels);
        whole.add(s, f.channels);
        const std::size_t part = agc_loudness_part_frames(first.m), lead = agc_loudness_lead_frames(first.m);
        std::size_t at = 0;
        for (std::size_t k = 0; k <= f.starts.size(); ++k) {
            const std::size_t end = k < f.starts.size() ? f.starts[k] * part : frames;
            if (k == 0) {
                ASSERT_EQ(agc_loudness_add_frames(first.m, s.data(), end), 0);
            } else {
                meter next(f.rate, f.channels);
                ASSERT_EQ(agc_loudness_start_part(next.m, s.data() + (at - lead) * nc, lead), 0);
                ASSERT_EQ(agc_loudness_add_frames(next.m, s.data() + at * nc, end - at), 0);
                ASSERT_EQ(agc_loudness_join(first.m, next.m), 0);
            }
            at = end;
        }
        const std::string where = std::to_string(f.rate) + " Hz, " + std::to_string(f.channels) + " channels";
        for (int c = 0; c < f.channels; ++c) EXPECT_EQ(all_figures(first.m, c), all_figures(whole.m, c)) << where << ", channel " << c;
        EXPECT_EQ(agc_loudness_steps(first.m), agc_loudness_steps(whole.m)) << where;
        whole.add(more, f.channels);
        first.add(more, f.channels);
        EXPECT_EQ(all_figures(first.m, 0), all_figures(whole.m, 0)) << where << ", measured on after the join";
        std::int32_t short_first = 0, short_whole = 0;
        agc_loudness_shortterm(first.m, &short_first);
        agc_loudness_shortterm(whole.m, &short_whole);
        EXPECT_EQ(short_first, short_whole) << where;
    }
    meter a(48000, 1), b(48000, 1), fresh(48000, 1), other(44100, 1);
    const samples s = noise(33, 48000 * 5);
    a.add(samples(s.begin(), s.begin() + 48000), 1); // not a whole part
    EXPECT_EQ(agc_loudness_start_part(b.m, s.data(), 100), AGC_ERR_ARG) << "a lead that is not 0.3 s";
    ASSERT_EQ(agc_loudness_start_part(b.m, s.data(), agc_loudness_lead_frames(b.m)), 0);
    EXPECT_EQ(agc_loudness_start_part(b.m, s.data(), agc_loudness_lead_frames(b.m)), AGC_ERR_ARG) << "started twice";
    EXPECT_EQ(agc_loudness_start_part(a.m, s.data(), agc_loudness_lead_frames(a.m)), AGC_ERR_ARG) << "a meter that has measured";
    EXPECT_EQ(agc_loudness_join(a.m, b.m), AGC_ERR_ARG) << "joined after a second";
    EXPECT_EQ(agc_loudness_join(fresh.m, a.m), AGC_ERR_ARG) << "a meter not started as a part";
    EXPECT_EQ(agc_loudness_join(other.m, b.m), AGC_ERR_ARG) << "another rate";
    EXPECT_EQ(agc_loudness_steps(a.m), 10);
}

// What each channel counts for: the LFE of a 5.1 recording is left out, a
// surround channel weighs 1.5 dB more, and a channel set as unused or dual
// mono counts as that.
TEST(LoudnessMeter, ChannelWeights) {
    // 5.1: a tone on the LFE alone reads as silence; on a surround channel 1.5 dB louder than on a front one.
    const auto on = [](int channel, int channels) {
        std::vector<double> levels(static_cast<std::size_t>(channels), NONE);
        levels[static_cast<std::size_t>(channel)] = -20;
        return tones(48000, {{5, levels}});
    };
    meter lfe(48000, 6), front(48000, 6), surround(48000, 6);
    lfe.add(on(3, 6), 6);
    front.add(on(0, 6), 6);
    surround.add(on(4, 6), 6);
    EXPECT_EQ(lfe.read(agc_loudness_integrated), -INFINITY);
    EXPECT_NEAR(surround.read(agc_loudness_integrated) - front.read(agc_loudness_integrated), 1.49, 0.01);
    meter dual(48000, 1);
    ASSERT_EQ(agc_loudness_set_channel(dual.m, 0, AGC_CHANNEL_DUAL_MONO), 0);
    dual.add(tones(48000, {{5, {-20}}}), 1);
    EXPECT_NEAR(dual.read(agc_loudness_integrated), -23.01 + 3.01, 0.02);
}

// Bad arguments and figures a meter was not set up for are errors, never
// a figure; silence and a recording shorter than a block have no loudness.
TEST(LoudnessMeter, ErrorsAndFiguresThatDoNotExist) {
    int err = 0;
    EXPECT_EQ(agc_loudness_create(7999, 1, AGC_LOUDNESS_MODE_ALL, &err), nullptr);
    EXPECT_EQ(err, AGC_ERR_RATE);
    EXPECT_EQ(agc_loudness_create(48000, 0, AGC_LOUDNESS_MODE_ALL, &err), nullptr);
    EXPECT_EQ(err, AGC_ERR_CHANNELS);
    EXPECT_EQ(agc_loudness_create(48000, 1, 0x40, &err), nullptr);
    EXPECT_EQ(err, AGC_ERR_MODE);
    EXPECT_EQ(agc_loudness_size(1, 0), 0u);
    EXPECT_LT(agc_loudness_size(1, AGC_LOUDNESS_MODE_TRUE_PEAK), agc_loudness_size(1, AGC_LOUDNESS_MODE_ALL));

    meter peaks(48000, 2, AGC_LOUDNESS_MODE_TRUE_PEAK);
    int32_t v = 0;
    EXPECT_EQ(agc_loudness_integrated(peaks.m, &v), AGC_ERR_MODE);
    EXPECT_EQ(agc_loudness_range(peaks.m, &v), AGC_ERR_MODE);
    EXPECT_EQ(agc_loudness_true_peak(peaks.m, 2, &v), AGC_ERR_ARG);
    EXPECT_EQ(agc_loudness_true_peak(peaks.m, 0, nullptr), AGC_ERR_ARG);
    EXPECT_EQ(agc_loudness_set_channel(peaks.m, 0, 4), AGC_ERR_ARG);
    EXPECT_EQ(agc_loudness_add_frames(peaks.m, nullptr, 1), AGC_ERR_ARG);
    EXPECT_EQ(agc_loudness_add_frames(peaks.m, nullptr, 0), 0);
    EXPECT_EQ(peaks.peak(agc_loudness_true_peak, 0), -INFINITY);

    meter quiet(48000, 1);
    quiet.add(samples(48000 * 10, 0), 1);
    EXPECT_EQ(quiet.read(agc_loudness_integrated), -INFINITY);
    EXPECT_EQ(quiet.read(agc_loudness_range), -INFINITY);
    EXPECT_EQ(quiet.read(agc_loudness_shortterm_max), -INFINITY);
    meter brief(48000, 1);
    brief.add(tones(48000, {{0.35, {-20}}}), 1);
    EXPECT_EQ(brief.read(agc_loudness_integrated), -INFINITY) << "350 ms make no 400 ms block";
    EXPECT_NE(brief.read(agc_loudness_momentary), -INFINITY);

    // Full-scale extremes: the most negative sample is a peak of 0 dBFS.
    meter edge(48000, 1);
    edge.add(samples{-32768, 0, 0}, 1);
    EXPECT_EQ(edge.peak(agc_loudness_sample_peak, 0), 0.0);
    ASSERT_EQ(agc_loudness_reset(edge.m), 0);
    EXPECT_EQ(edge.peak(agc_loudness_sample_peak, 0), -INFINITY);
}

} // namespace
