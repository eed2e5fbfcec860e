// The vectorised paths against the plain ones: every output sample, gain and
// state field must be identical, at every instruction-set level this CPU has,
// for the default hop, the speech-aware hop, and the hop in two halves (the
// linked channels' way: measured with its mean, then applied at the law's
// gain with the distances from that mean summed).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>

#include "agc/hop.h"
#include "agc/process_fast.h"
#include "agc/speech.h"
#include "agc/true_peak.h"
#include "engine_fixture.h"

namespace {

using agc::simd_level;

std::vector<simd_level> levels_here() {
    std::vector<simd_level> v;
    for (simd_level level : agc::all_simd_levels) {
        if (agc::simd_level_runs(level)) v.push_back(level);
    }
    return v;
}

// Hop generators: what real and hostile streams contain.
enum class kind { silence, full_scale, most_negative, burst_after_silence, noise_octave, square, random_bits };

void fill_hop(std::mt19937& rng, kind k, int hop_index, int octave, std::int16_t* in, int half) {
    std::uniform_int_distribution<int> any(-32768, 32767);
    for (int j = 0; j < half; ++j) {
        switch (k) {
        case kind::silence: in[j] = 0; break;
        case kind::full_scale: in[j] = static_cast<std::int16_t>(j % 2 ? 32767 : -32767); break;
        case kind::most_negative: in[j] = INT16_MIN; break;
        case kind::burst_after_silence:
            in[j] = hop_index % 40 < 37 ? std::int16_t{0} : static_cast<std::int16_t>(any(rng));
            break;
        case kind::noise_octave: {
            const int amp = (1 << octave) - 1;
            in[j] = static_cast<std::int16_t>(std::uniform_int_distribution<int>(-amp - 1, amp)(rng));
            break;
        }
        case kind::square: in[j] = static_cast<std::int16_t>((hop_index * half + j) % 48 < 24 ? 10000 : -10000); break;
        case kind::random_bits: in[j] = static_cast<std::int16_t>(any(rng)); break;
        }
    }
}

template <typename T>
bool same(const T& a, const T& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

enum class path { plain, speech, halves };
constexpr path all_paths[] = {path::plain, path::speech, path::halves};

// What one hop along a path gives besides its output and states.
struct outcome {
    std::int32_t gain = 0, peak = 0, sum = 0, mean = 0, ac = 0;
    bool operator==(const outcome&) const = default;
};

// One hop along `p`, plainly (level: none) or at `level`.
outcome hop_along(path p, const std::optional<simd_level>& level, agc_frame& f, agc_state& state, agc_speech& speech,
                  std::int16_t mix) {
    switch (p) {
    case path::plain:
        return {level ? agc::process_fast(f.in, f.out, state, mix, *level) : agc::process_reference(f.in, f.out, state, mix)};
    case path::speech:
        return {level ? agc::process_speech_fast(f.in, f.out, state, speech, mix, *level)
                      : agc::process_speech_reference(f.in, f.out, state, speech, mix)};
    case path::halves: break;
    }
    const agc::hop_measure m = level ? agc::measure_fast(f.in, state, true, *level) : agc::measure_reference(f.in, state, true);
    const std::int16_t g = agc::hop_gain(state, m.peak, m.sum, mix);
    const std::int32_t ac = level ? agc::apply_fast(f.in, f.out, state, m, g, true, *level)
                                  : agc::apply_reference(f.in, f.out, state, g, true, m.mean);
    return {g, m.peak, m.sum, m.mean, ac};
}

// Runs the plain and the vectorised way side by side on `hops` hops along
// every path and stops at the first difference.
void compare_paths(std::mt19937& rng, agc_state start, std::int16_t mix, kind k, int hops,
                   const std::string& label) {
    const int half = start.win_size >> 1;
    for (path p : all_paths) {
        for (simd_level level : levels_here()) {
            agc_state ref = start, fast = start;
            agc_speech sr, sf;
            agc_speech_init(sr);
            agc_speech_init(sf);
            agc_frame fr{}, ff{};
            std::mt19937 local = rng;
            for (int h = 0; h < hops; ++h) {
                fill_hop(local, k, h, h % 16, fr.in, half);
                std::memcpy(ff.in, fr.in, sizeof fr.in);
                const outcome gr = hop_along(p, std::nullopt, fr, ref, sr, mix);
                const outcome gf = hop_along(p, level, ff, fast, sf, mix);
                const auto where = [&] {
                    return label + " path " + std::to_string(static_cast<int>(p)) + " level " +
                           agc::simd_level_name(level) + " hop " + std::to_string(h);
                };
                ASSERT_TRUE(gr == gf) << where() << ": gain " << gr.gain << " and " << gf.gain << ", mean " << gr.mean
                                      << " and " << gf.mean << ", measure " << gr.ac << " and " << gf.ac;
                ASSERT_EQ(std::memcmp(fr.out, ff.out, sizeof(std::int16_t) * static_cast<std::size_t>(half)), 0) << where();
                ASSERT_TRUE(same(ref, fast)) << where();
                ASSERT_TRUE(same(sr, sf)) << where();
            }
        }
    }
    rng.discard(1);
}

TEST(Differential, EveryKindOfHopAtEveryMix) {
    std::mt19937 rng(12345);
    const kind kinds[] = {kind::silence, kind::full_scale, kind::most_negative, kind::burst_after_silence,
                          kind::noise_octave, kind::square, kind::random_bits};
    const std::int16_t mixes[] = {0, 1, 8192, 16384, 32766, 32767, -1, INT16_MIN};
    for (kind k : kinds) {
        for (std::int16_t mix : mixes) {
            compare_paths(rng, builtin_state(), mix, k, 300,
                          "kind " + std::to_string(static_cast<int>(k)) + " mix " + std::to_string(mix));
        }
    }
}

TEST(Differential, EveryWindowSize) {
    std::mt19937 rng(777);
    for (int n = 4; n <= 2 * AGC_MAX_HOP; n += 4) {
        compare_paths(rng, builtin_state(static_cast<std::int16_t>(n)), zek::mix, kind::noise_octave, 40,
                      "n " + std::to_string(n));
        compare_paths(rng, builtin_state(static_cast<std::int16_t>(n)), zek::mix, kind::random_bits, 10,
                      "n " + std::to_string(n));
    }
}

// States no stream reaches but a caller can hand over: arbitrary history,
// gains, levels and window values, -32768 included. A window holding -32768
// sends the vector paths to the plain one, so every other trial keeps it out
// of the window and the vector arithmetic meets everything else.
TEST(Differential, ArbitraryStates) {
    std::mt19937 rng(4242);
    std::uniform_int_distribution<int> any(-32768, 32767);
    const auto pick = [&] {
        const int r = any(rng);
        return static_cast<std::int16_t>(r % 7 == 0 ? INT16_MIN : r);
    };
    for (int trial = 0; trial < 400; ++trial) {
        agc_state s = builtin_state();
        for (int j = 0; j < AGC_MAX_HOP; ++j) {
            s.window[j] = trial % 4 < 2 ? pick() : static_cast<std::int16_t>(std::max(-32767, any(rng)));
            s.prev_hop[j] = pick();
            s.tail[j] = pick();
        }
        s.gain = pick();
        s.level = pick();
        s.prev_peak = pick();
        s.level_coef = pick();
        compare_paths(rng, s, pick(), trial % 2 ? kind::random_bits : kind::most_negative, 3,
                      "trial " + std::to_string(trial));
    }
}

// The true-peak interpolator's points, at four and at eight a sample, and
// the bound that spares most of them, on every path: the same sums, added in
// another order by each, must give the same bits, down to the loudest spans
// a 16-bit signal can make (full scale alternating at the Nyquist frequency,
// -32768 in it) and random ones.
TEST(Differential, TruePeakPointsOnEveryPath) {
    std::mt19937 rng(1770);
    std::uniform_int_distribution<int> any(-32768, 32767);
    constexpr int SPAN = agc::TRUE_PEAK_BLOCK + agc::TRUE_PEAK_TAPS - 1;
    for (int trial = 0; trial < 3000; ++trial) {
        std::int16_t w[SPAN];
        for (int j = 0; j < SPAN; ++j) {
            const int alternating = (j % 2 ? -1 : 1) * (trial % 3 == 0 ? 32768 : 32767);
            const int v = trial < 30 ? alternating : trial % 5 == 0 ? any(rng) / (1 << (trial % 15)) : any(rng);
            w[j] = static_cast<std::int16_t>(std::clamp(v, -32768, 32767));
        }
        const std::int32_t top = agc::largest_magnitude(w, SPAN);
        for (const bool eighths : {false, true}) {
            std::int32_t want[agc::TRUE_PEAK_BLOCK], got[agc::TRUE_PEAK_BLOCK];
            agc::true_peak_block_by(w, want, eighths, simd_level::portable);
            const std::int32_t largest = *std::max_element(want, want + agc::TRUE_PEAK_BLOCK);
            ASSERT_EQ(agc::true_peak_block_largest(w, eighths), largest) << "trial " << trial;
            // The near taps' bound: never under the points it bounds, the same on every path.
            const std::int32_t bound = agc::true_peak_block_bound_by(w, top, simd_level::portable);
            if (!eighths) {
                ASSERT_GE(bound, largest) << "trial " << trial;
            }
            for (simd_level level : levels_here()) {
                agc::true_peak_block_by(w, got, eighths, level);
                for (int j = 0; j < agc::TRUE_PEAK_BLOCK; ++j) {
                    ASSERT_EQ(got[j], want[j]) << agc::simd_level_name(level) << (eighths ? " eighths" : " quarters")
                                               << ", trial " << trial << ", point " << j;
                }
                ASSERT_EQ(agc::true_peak_block_bound_by(w, top, level), bound) << agc::simd_level_name(level) << ", trial " << trial;
            }
        }
    }
}

} // namespace
