// Number formats, normalisation, the two tables and engine set-up.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "agc/fixed_point.h"
#include "engine_fixture.h"

namespace {

struct norm_case {
    std::int16_t v, shift, x, index, inverse;
};

TEST(NormShift, QuotedFigures) {
    const norm_case cases[] = {
        {1, 14, 16384, 0, 32767},  // smallest peak: fraction 0
        {32767, 0, 32767, 63, 1},  // full scale: fraction 32766
        {480, 6, 30720, 56, 68},   // the window size: its inverse is the window step
        {240, 7, 30720, 56, 136},  // the hop: its inverse turns a sum into a mean
    };
    for (const auto& c : cases) {
        const agc::norm_result n = agc::norm_shift(c.v);
        EXPECT_EQ(n.shift, c.shift) << "v=" << c.v;
        EXPECT_EQ(n.x, c.x) << "v=" << c.v;
        EXPECT_EQ(agc::mantissa_index(agc::mantissa_fraction(n.x)), c.index) << "v=" << c.v;
        EXPECT_EQ(agc::inverse(c.v), c.inverse) << "v=" << c.v;
    }
    EXPECT_EQ(agc::mantissa_fraction(agc::norm_shift(32767).x), 32766);
}

TEST(NormShift, NormalisesEveryPositiveValueAndTerminatesOnTheRest) {
    for (int v = 1; v <= 32767; ++v) {
        const agc::norm_result n = agc::norm_shift(static_cast<std::int16_t>(v));
        ASSERT_GE(n.x, 16384) << v;
        ASSERT_EQ(static_cast<int>(n.x), v << n.shift) << v;
    }
    EXPECT_EQ(agc::norm_shift(0).shift, 15);
    EXPECT_EQ(agc::norm_shift(-5).shift, 0);
    EXPECT_EQ(agc::norm_shift(INT16_MIN).shift, 0);
}

// The tables are data typed in from their definitions; a slipped digit would
// pass every other test that does not happen to read that entry.
TEST(Tables, MatchTheirDefinitions) {
    for (int k = 0; k <= 64; ++k) {
        const double recip = 32767.0 * 64.0 / (64.0 + k);
        const double cosine = 32767.0 * std::cos(k * std::numbers::pi / 128.0);
        EXPECT_LE(std::fabs(agc::recip_tab[k] - recip), 0.5) << "recip_tab[" << k << "]";
        EXPECT_LE(std::fabs(agc::cos_tab[k] - cosine), 0.5) << "cos_tab[" << k << "]";
    }
    EXPECT_EQ(agc::recip_tab[64], 16384); // exactly 16383.5 before rounding
}

TEST(LimitQuotient, FullScalePeakGivesQuotedGain) {
    const agc::norm_result n = agc::norm_shift(32767);
    EXPECT_EQ(agc::limit_quotient(32200, n.shift, agc::mantissa_fraction(n.x)), 253); // exact: 251.6
}

TEST(Init, BuiltinWindowAndSettings) {
    const agc_state s = builtin_state();
    EXPECT_EQ(s.win_size, 480);
    EXPECT_EQ(s.inv_hop, 136);
    EXPECT_EQ(s.gain, 256);
    EXPECT_EQ(s.level, 0);
    EXPECT_EQ(s.prev_peak, 0);
    EXPECT_EQ(s.peak_limit, 32200);
    EXPECT_EQ(s.attack, 32439);
    EXPECT_EQ(s.release, 163);
    EXPECT_EQ(s.level_limit, 25000);
    EXPECT_EQ(s.level_coef, 655);

    const std::pair<int, int> window_points[] = {{0, 0},         {1, 2},       {119, 16057},
                                                 {120, 16166},   {239, 32223}};
    for (auto [j, w] : window_points) EXPECT_EQ(s.window[j], w) << "window[" << j << "]";
    for (int k = 0; k < 240; ++k) ASSERT_EQ(s.window[k] + s.window[239 - k], 32223) << k;
    for (int k = 0; k < 120; ++k) {
        // A raised cosine to within the six-bit reciprocal and four-bit interpolation.
        const double ideal = 32767.0 * (1 - std::cos(2 * std::numbers::pi * k / 480.0)) / 2;
        EXPECT_NEAR(s.window[k], ideal, 120.0) << k;
    }
}

TEST(Init, CurveSegments) {
    const agc_state s = builtin_state();
    const std::int16_t slope_b[15] = {-256, -512, -1024, -2048, -4096, -8192, 0, 0,
                                      0,    0,    0,     0,     8192,  6144,  0};
    const std::int16_t base_b[15] = {512,   1024,  2048,  4096,  8192, 16384, 16384, 16384,
                                     16384, 16384, 16384, 16384, 8192, 2048,  2048};
    for (int j = 0; j < 15; ++j) {
        EXPECT_EQ(s.slope_a[j], j == 13 ? 256 : 0) << j;
        EXPECT_EQ(s.base_a[j], j <= 12 ? 256 : 0) << j;
        EXPECT_EQ(s.slope_b[j], slope_b[j]) << j;
        EXPECT_EQ(s.base_b[j], base_b[j]) << j;
    }
}

// agc_init on a record left over from an earlier stream must start it afresh.
TEST(Init, ClearsHistoryOfAUsedRecord) {
    agc_state s = builtin_state();
    for (int j = 0; j < AGC_MAX_HOP; ++j) s.prev_hop[j] = s.tail[j] = 1234;
    s.gain = 999;
    s.level = 77;
    s.prev_peak = 5;
    agc_init(s, zek::winsize, zek::flat_curve, zek::comp_curve, zek::peak_limit, zek::attack,
             zek::release, zek::level_limit, zek::level_coef);
    EXPECT_EQ(s.gain, 256);
    EXPECT_EQ(s.level, 0);
    EXPECT_EQ(s.prev_peak, 0);
    for (int j = 0; j < 240; ++j) {
        ASSERT_EQ(s.prev_hop[j], 0) << j;
        ASSERT_EQ(s.tail[j], 0) << j;
    }
}

// Every legal window size: the mirror invariant, the hop's inverse, and a first
// quarter that follows the raised cosine up to the phase drift that the
// table-derived step (a little off 32767 / n) accumulates over the quarter.
TEST(Init, EveryWindowSize) {
    for (int n = 4; n <= 2 * AGC_MAX_HOP; n += 4) {
        const agc_state s = builtin_state(static_cast<std::int16_t>(n));
        const int half = n / 2;
        const int step = agc::inverse(static_cast<std::int16_t>(n));
        EXPECT_EQ(s.inv_hop, agc::inverse(static_cast<std::int16_t>(half))) << n;
        EXPECT_NEAR(step, 32767.0 / n, 32767.0 / n / 64 + 1) << n;
        for (int k = 0; k < half; ++k) {
            ASSERT_EQ(agc::store16(s.window[k] + s.window[half - 1 - k]),
                      agc::store16(32767 - 8 * step))
                << "n=" << n << " k=" << k;
        }
        const double drift = std::fabs(step * n / 32767.0 - 1.0);
        const double tolerance = 16384.0 * std::numbers::pi / 2 * drift + 40.0;
        for (int k = 0; k < n / 4; ++k) {
            const double ideal = 32767.0 * (1 - std::cos(2 * std::numbers::pi * k / n)) / 2;
            ASSERT_NEAR(s.window[k], ideal, tolerance) << "n=" << n << " k=" << k;
        }
    }
}

#ifndef NDEBUG
// A debug build stops at a window size the per-hop arrays cannot take, or the
// crossfade cannot split, instead of writing past the state.
TEST(InitDeathTest, StopsAtWindowSizesItIsNotBuiltFor) {
    for (const int n : {0, -4, 6, 2 * AGC_MAX_HOP + 4}) {
        EXPECT_DEATH(builtin_state(static_cast<std::int16_t>(n)), "") << n;
    }
}
#endif

} // namespace
