// The gain law: quoted operating points, truncation details, and sweeps over
// every peak and level that check what the law guarantees.
#include <gtest/gtest.h>

#include "engine_fixture.h"

namespace {

constexpr std::int16_t MIX = zek::mix;

TEST(Gain, OperatingPointsFromAFreshState) {
    struct {
        std::int16_t peak, mix, level, gain;
        const char* why;
    } const cases[] = {
        {1, MIX, 0, 264, "silence: target 2047, first rising step of 8"},
        {1, 0, 0, 3, "first curve alone: target 0, one falling step"},
        {32767, MIX, 0, 253, "full scale: held by the peak ceiling"},
        {100, MIX, 0, 336, "quiet: target 16383"},
        {12000, MIX, 9812, 657, "level ceiling: quotient above the smoothed 653"},
    };
    for (const auto& c : cases) {
        agc_state s = builtin_state();
        if (c.level == 9812) s.gain = 653; // the smoothed value the ceiling then replaces
        EXPECT_EQ(agc_gain(s, c.peak, c.mix, c.level), c.gain) << c.why;
        EXPECT_EQ(s.gain, c.gain) << c.why;
    }
}

// The level ceiling acts once (level x t) >> 12 passes 25000 >> 4 = 1562,
// tested on the smoothed 653, and its quotient then replaces it even upward.
TEST(Gain, LevelCeilingThreshold) {
    struct {
        std::int16_t level, gain;
    } const cases[] = {{0, 653}, {9804, 653}, {9805, 657}, {9812, 657}};
    for (const auto& c : cases) {
        agc_state s = builtin_state();
        s.gain = 653;
        EXPECT_EQ(agc_gain(s, 12000, MIX, c.level), c.gain) << "level " << c.level;
    }
}

TEST(Gain, SilenceClimbsBy8AndStops201BelowTarget) {
    agc_state s = builtin_state();
    EXPECT_EQ(agc_gain(s, 1, MIX, 0), 264);
    int calls = 1;
    std::int16_t last = 264;
    for (;;) {
        const std::int16_t g = agc_gain(s, 1, MIX, 0);
        if (g == last) break;
        ASSERT_GT(g, last);
        last = g;
        ++calls;
        ASSERT_LT(calls, 5000);
    }
    EXPECT_EQ(last, 1846);
    EXPECT_EQ(2047 - last, 201);
    EXPECT_EQ(calls, 543);
}

// With truncating steps a falling gain cannot reach its target: a distance of
// 1 gives a step of 0, so it settles exactly 1 above.
TEST(Gain, FallingGainSettlesOneAboveTarget) {
    agc_state s = builtin_state();
    s.gain = 30000;
    std::int16_t g = 0;
    for (int k = 0; k < 2000; ++k) g = agc_gain(s, 1, 0, 0); // target 0
    EXPECT_EQ(g, 1);
}

// A negative slope times a fraction must round toward minus infinity, as an
// arithmetic shift does; division or truncation toward zero would be 1 higher.
TEST(Gain, NegativeSlopeProductRoundsDown) {
    std::int16_t curve_a[16] = {};
    curve_a[0] = 100; // segment 0 falls by 1 from 101 at a peak of 16384 to 100 at 32768
    curve_a[1] = 101;
    const std::int16_t curve_b[16] = {};
    agc_state s{};
    agc_init(s, 480, curve_a, curve_b, 32767, 32767, 163, 25000, 655);
    // peak 20000: f = 7232, a = ((-1 * 7232) >> 15) + 101 = 100; with mix 0,
    // target (100 * 32767) >> 15 = 99; from 256 one step of 156 leaves 100.
    EXPECT_EQ(agc_gain(s, 20000, 0, 0), 100);
}

// Wherever the peak ceiling acts, it holds gain x peak at the limit, allowing
// for the six-bit mantissa (up to 1/64 over) and the final truncation; where it
// does not act, the product is already under the limit. Either way the stored
// gain respects the limit, from any gain the law can be in.
TEST(Gain, PeakCeilingHoldsForEveryPeak) {
    const std::int32_t limit = zek::peak_limit << 8;
    const std::int16_t starts[] = {1, 3, 256, 1846, 8000, 16182, 32767};
    for (std::int16_t start : starts) {
        for (int peak = 1; peak <= 32767; ++peak) {
            agc_state s = builtin_state();
            s.gain = start;
            const std::int32_t g = agc_gain(s, static_cast<std::int16_t>(peak), MIX, 0);
            ASSERT_GT(g, 0) << "peak " << peak << " from " << start;
            ASSERT_LE(g * peak, limit + limit / 64) << "peak " << peak << " from " << start;
        }
    }
}

// The same for the level ceiling: (level x gain) >> 12 near 25000 >> 4 at most.
TEST(Gain, LevelCeilingHoldsForEveryLevel) {
    const std::int32_t limit = zek::level_limit << 8;
    const std::int16_t peaks[] = {1, 100, 3000, 32767};
    const std::int16_t starts[] = {256, 1846, 16182};
    for (std::int16_t peak : peaks) {
        for (std::int16_t start : starts) {
            for (int level = 1; level <= 32767; ++level) {
                agc_state s = builtin_state();
                s.gain = start;
                const std::int32_t g = agc_gain(s, peak, MIX, static_cast<std::int16_t>(level));
                ASSERT_GT(g, 0) << "level " << level;
                ASSERT_LE(g * level, limit + limit / 64) << "level " << level << " peak " << peak;
            }
        }
    }
}

// Every peak, a spread of mixes, levels and gains, including the extremes a
// direct caller may pass: no undefined behaviour (the sanitizer build runs
// this), and the gain is always a value the law could have stored.
TEST(Gain, ExtremeArgumentsStayDefined) {
    const std::int16_t mixes[] = {0, 1, 16384, 32766, 32767};
    const std::int16_t levels[] = {0, 1, 9812, 32767};
    const std::int16_t starts[] = {-32768, 1, 256, 16383, 32767};
    for (std::int16_t mix : mixes) {
        for (std::int16_t level : levels) {
            for (std::int16_t start : starts) {
                for (int peak = 1; peak <= 32767; peak += 7) {
                    agc_state s = builtin_state();
                    s.gain = start;
                    const std::int16_t g = agc_gain(s, static_cast<std::int16_t>(peak), mix, level);
                    ASSERT_EQ(g, s.gain);
                }
            }
        }
    }
}

} // namespace
