// The signal path: measurement, level, crossfade and history, hop by hop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "engine_fixture.h"

namespace {

constexpr int HOP = 240;

// Feeds a signal hop by hop; collects outputs, gains and levels.
struct run_log {
    std::vector<std::int16_t> out;
    std::vector<std::int16_t> gains;
    std::vector<std::int16_t> levels;
};

template <typename Signal>
run_log run_hops(agc_state& s, int hops, Signal signal, std::int16_t mix = zek::mix) {
    run_log log;
    agc_frame f{};
    for (int h = 0; h < hops; ++h) {
        for (int j = 0; j < HOP; ++j) f.in[j] = signal(h * HOP + j);
        log.gains.push_back(agc_process(f, s, mix));
        log.levels.push_back(s.level);
        log.out.insert(log.out.end(), f.out, f.out + HOP);
    }
    return log;
}

std::int16_t sine(int n, double amplitude) {
    return static_cast<std::int16_t>(std::lround(amplitude * std::sin(2 * std::numbers::pi * 1000.0 * n / 48000.0)));
}

TEST(Process, FirstHopIsSilenceWhateverTheInput) {
    for (std::int16_t value : {std::int16_t{0}, std::int16_t{12345}, std::int16_t{-32768}}) {
        agc_state s = builtin_state();
        const run_log log = run_hops(s, 1, [&](int) { return value; });
        EXPECT_TRUE(std::all_of(log.out.begin(), log.out.end(), [](std::int16_t v) { return v == 0; }));
        if (value == 0) {
            EXPECT_EQ(log.gains[0], 264);
        }
    }
}

TEST(Process, SilenceSettlesAt1846) {
    agc_state s = builtin_state();
    const run_log log = run_hops(s, 700, [](int) { return std::int16_t{0}; });
    EXPECT_EQ(log.gains[0], 264);
    EXPECT_EQ(log.gains[1], 272);
    EXPECT_EQ(log.gains.back(), 1846);
    EXPECT_TRUE(std::all_of(log.out.begin(), log.out.end(), [](std::int16_t v) { return v == 0; }));
    EXPECT_TRUE(std::all_of(log.levels.begin(), log.levels.end(), [](std::int16_t v) { return v == 0; }));
}

// ±10000, 24 samples high and 24 low: every quoted figure of the first hops,
// then the level ceiling taking over on hop 261.
TEST(Process, SquareWaveFigures) {
    agc_state s = builtin_state();
    const run_log log = run_hops(s, 400, [](int n) { return std::int16_t(n % 48 < 24 ? 10000 : -10000); });
    const std::int16_t levels[] = {198, 392, 582};
    const std::int16_t gains[] = {259, 262, 265};
    for (std::size_t h = 0; h < 3; ++h) {
        EXPECT_EQ(log.levels[h], levels[h]) << "hop " << h;
        EXPECT_EQ(log.gains[h], gains[h]) << "hop " << h;
    }
    const std::int16_t hop1[] = {9948, 9948, 9947, 9947};
    for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(log.out[HOP + j], hop1[j]) << "j " << j;

    // The gain rises until the level ceiling first acts on hop 261, then holds.
    const auto first_657 = std::find(log.gains.begin(), log.gains.end(), 657) - log.gains.begin();
    EXPECT_EQ(first_657, 261);
    EXPECT_EQ(log.levels[261], 9812);
    EXPECT_LT(log.gains[260], 657);
    for (std::size_t h = 261; h < log.gains.size(); ++h) ASSERT_EQ(log.gains[h], 657) << "hop " << h;
}

// A full-scale sine is held by the peak ceiling from the first hop, and the
// crossfade of two held gains never wraps a sample.
TEST(Process, FullScaleSineHeldAt253WithoutWrap) {
    agc_state s = builtin_state();
    const run_log log = run_hops(s, 200, [](int n) { return sine(n, 32767.0); });
    for (std::size_t h = 0; h < log.gains.size(); ++h) ASSERT_EQ(log.gains[h], 253) << "hop " << h;
    int largest = 0;
    for (std::size_t k = HOP; k < log.out.size(); ++k) {
        const std::int16_t in = sine(static_cast<int>(k) - HOP, 32767.0);
        ASSERT_GE(in * log.out[k], 0) << "sample " << k << " changed sign: wrapped";
        largest = std::max(largest, std::abs(int{log.out[k]}));
    }
    EXPECT_LT(largest, 32767);
    EXPECT_GT(largest, 31000);
}

// Amplitude 100: each hop's magnitudes sum below 32768, so the mean and the
// level stay 0 and only the curves act; the gain climbs toward 16383 and stops
// within 201 of it.
TEST(Process, QuietSineLeavesLevelAtZero) {
    agc_state s = builtin_state();
    const run_log log = run_hops(s, 3000, [](int n) { return sine(n, 100.0); });
    EXPECT_TRUE(std::all_of(log.levels.begin(), log.levels.end(), [](std::int16_t v) { return v == 0; }));
    const std::int16_t settled = log.gains.back();
    EXPECT_LE(16383 - settled, 201);
    EXPECT_GT(16383 - settled, 201 - 163 * 201 / 32768 - 1);
    EXPECT_EQ(log.gains[log.gains.size() - 2], settled);
    EXPECT_TRUE(std::is_sorted(log.gains.begin(), log.gains.end()));
}

TEST(Process, MostNegativeSampleCountsAsFullScalePeak) {
    agc_state s = builtin_state();
    const run_log log = run_hops(s, 3, [](int) { return std::int16_t{-32768}; });
    EXPECT_EQ(log.gains[0], 253);
    EXPECT_EQ(s.prev_peak, 32767);
    for (std::size_t k = HOP; k < log.out.size(); ++k) ASSERT_LT(log.out[k], 0) << k;
}

// The new hop reaches the output only through its peak and mean magnitude:
// reordering or flipping the signs of its samples changes nothing this call.
TEST(Process, NewHopActsOnlyThroughPeakAndMean) {
    agc_state a = builtin_state();
    const run_log warm = run_hops(a, 5, [](int n) { return sine(n, 5000.0); });
    agc_state b = a;
    agc_frame fa{}, fb{};
    for (int j = 0; j < HOP; ++j) {
        fa.in[j] = static_cast<std::int16_t>((j * 7919) % 20011 - 10005);
        fb.in[HOP - 1 - j] = static_cast<std::int16_t>(-fa.in[j]);
    }
    EXPECT_EQ(agc_process(fa, a, zek::mix), agc_process(fb, b, zek::mix));
    EXPECT_TRUE(std::equal(fa.out, fa.out + HOP, fb.out));
    EXPECT_EQ(a.level, b.level);
}

// The output lags by exactly one hop and follows the crossfade of the two
// gains along the half-windows, up to the truncations.
TEST(Process, OutputIsPreviousHopUnderCrossfadedGain) {
    agc_state s = builtin_state();
    const auto signal = [](int n) { return sine(n, 3000.0 + 2000.0 * std::sin(n / 3000.0)); };
    const run_log log = run_hops(s, 60, signal);
    for (std::size_t h = 1; h < log.gains.size(); ++h) {
        for (int j = 0; j < HOP; ++j) {
            const double w_rise = s.window[j], w_fall = s.window[HOP - 1 - j];
            const double gain = (log.gains[h - 1] * w_fall + log.gains[h] * w_rise) / (1 << 23);
            const double expected = signal(static_cast<int>(h - 1) * HOP + j) * gain;
            // Each term loses under 1 in the window shift (scaled by its gain) and
            // under 1 in the gain shift.
            const double tolerance = (log.gains[h - 1] + log.gains[h]) / 256.0 + 2.0;
            ASSERT_NEAR(log.out[h * HOP + static_cast<std::size_t>(j)], expected, tolerance) << "hop " << h << " j " << j;
        }
    }
}

} // namespace
