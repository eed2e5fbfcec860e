// The interpolator: a sinc under a Kaiser window (beta 8) of 32 taps for
// each of the points a quarter, a half and three quarters of the way from
// one sample to the next; each phase's taps sum to exactly 1 (16384), so a
// steady level reads as itself. Its gain stays within 0.003 dB of flat up
// to 80% of the Nyquist frequency (19 kHz at 48 kHz, 3.2 kHz in a
// telephone recording at 8 kHz) and is 0.012 dB down at 85%, where the
// 12-tap filter of the loudness recommendation ripples by 0.2 dB and falls
// 0.4 dB short at 90%.
#include "agc/true_peak.h"

#include <cstring>
#if defined(__x86_64__) && !defined(__EMSCRIPTEN__)
#include "agc/x86_intrinsics.h"
#endif

#include "agc/fetch_ahead.h"
#include "agc/process_fast.h"

namespace agc {

namespace {

constexpr std::int16_t PHASES[3][TRUE_PEAK_TAPS] = {
    {-2,  5,    -11, 22,    -39,   64,    -102, 154,  -227, 326,  -465, 663,  -971, 1522, -2884, 14741,
     4877, -2015, 1200, -799, 554, -390, 272, -187, 126, -81, 50, -29, 16, -8, 3, -1},
    {-2,    6,    -13, 26,    -48,   81,    -129,  197,   -292, 422,  -602, 857,  -1243, 1903, -3364, 10393,
     10393, -3364, 1903, -1243, 857, -602, 422, -292, 197, -129, 81, -48, 26, -13, 6, -2},
    {-1,    3,    -8,  16,    -29,  50,    -81,  126,  -187, 272,  -390, 554, -799, 1200, -2015, 4877,
     14741, -2884, 1522, -971, 663, -465, 326, -227, 154, -102, 64, -39, 22, -11, 5, -2},
};

// The points an eighth, three, five and seven eighths of the way, for a
// look twice as fine (the limiter's): between four points a sample a peak
// can still stand up to 0.4 dB higher at 80% of the Nyquist frequency,
// which a meter that oversamples more (ffmpeg's, at a low rate) would see.
constexpr std::int16_t EIGHTHS[4][TRUE_PEAK_TAPS] = {
    {-1, 3, -7, 13, -22, 37, -58, 88, -128, 185, -263, 376, -553, 879, -1741, 15960,
     2256, -1011, 615, -412, 287, -202, 141, -97, 65, -42, 26, -15, 8, -4, 1, 0},
    {-2, 6, -13, 26, -47, 79, -126, 191, -282, 408, -581, 828, -1207, 1867, -3409, 12824,
     7665, -2853, 1659, -1094, 757, -532, 372, -257, 173, -113, 70, -41, 23, -11, 5, -1},
    {-1, 5, -11, 23, -41, 70, -113, 173, -257, 372, -532, 757, -1094, 1659, -2853, 7665,
     12824, -3409, 1867, -1207, 828, -581, 408, -282, 191, -126, 79, -47, 26, -13, 6, -2},
    {0, 1, -4, 8, -15, 26, -42, 65, -97, 141, -202, 287, -412, 615, -1011, 2256,
     15960, -1741, 879, -553, 376, -263, 185, -128, 88, -58, 37, -22, 13, -7, 3, -1},
};

constexpr int HISTORY = TRUE_PEAK_TAPS - 1;
constexpr int BLOCK = TRUE_PEAK_BLOCK;
constexpr std::size_t CHUNK = 1024;

constexpr std::int32_t abs32(std::int32_t v) { return v < 0 ? -v : v; }

// The block's own samples among its points: their magnitudes in Q14, into m.
[[gnu::always_inline]] inline void own_points(const std::int16_t* w, std::int32_t* m) {
    for (int j = 0; j < BLOCK; ++j) m[j] = abs32(static_cast<std::int32_t>(w[j + TRUE_PEAK_DELAY - 1]) * (1 << TRUE_PEAK_FRACTION));
}

// The four points after each of the samples 15 .. 15 + BLOCK - 1 of w
// (which holds BLOCK + 31 samples): the sample, exact, and the three
// interpolated ones, the largest magnitude of them into m. Each sum is at
// most 32768 * 39156 (the phases' largest sum of tap magnitudes), inside 31 bits.
template <int N>
[[gnu::always_inline]] inline void interpolate(const std::int16_t (&phases)[N][TRUE_PEAK_TAPS], const std::int16_t* w,
                                               std::int32_t* m) {
    std::int32_t p[N][BLOCK] = {};
    for (int t = 0; t < TRUE_PEAK_TAPS; ++t) {
        for (int q = 0; q < N; ++q) {
            const std::int32_t c = phases[q][t];
            for (int j = 0; j < BLOCK; ++j) p[q][j] += c * w[j + t];
        }
    }
    for (int j = 0; j < BLOCK; ++j) {
        std::int32_t a = m[j];
        for (int q = 0; q < N; ++q) a = a > abs32(p[q][j]) ? a : abs32(p[q][j]);
        m[j] = a;
    }
}

void quarters_plain(const std::int16_t* w, std::int32_t* m) { interpolate(PHASES, w, m); }
void eighths_plain(const std::int16_t* w, std::int32_t* m) { interpolate(EIGHTHS, w, m); }

// A bound on a block's points from the eight taps of each phase nearest its
// point (12 to 19), which carry all but a seventh of its sum of magnitudes:
// the others can add no more than that seventh (FAR, a third of unity) times
// the span's largest magnitude, or any number as large. A quarter of the
// work of the points themselves, and at most 2.5 dB over them where a
// block's points reach its samples' level (on speech, far closer than the
// whole sum's 7.6 dB), so that a block it holds under a level needs no
// more; exact integer arithmetic, the same on every path.
constexpr int NEAR_FIRST = 12, NEAR_TAPS = 8;
constexpr std::int32_t far_magnitude() {
    std::int32_t most = 0;
    for (const auto& phase : PHASES) {
        std::int32_t far = 0;
        for (int k = 0; k < TRUE_PEAK_TAPS; ++k) far += k < NEAR_FIRST || k >= NEAR_FIRST + NEAR_TAPS ? abs32(phase[k]) : 0;
        most = far > most ? far : most;
    }
    return most;
}
constexpr std::int32_t FAR = far_magnitude();

[[gnu::always_inline]] inline std::int32_t bound_of(const std::int16_t* w, std::int32_t top) {
    const std::int32_t rest = FAR * top;
    std::int32_t most = 0;
    for (int j = 0; j < BLOCK; ++j) {
        std::int32_t a = abs32(static_cast<std::int32_t>(w[j + TRUE_PEAK_DELAY - 1]) * (1 << TRUE_PEAK_FRACTION));
        for (const auto& phase : PHASES) {
            std::int32_t near = 0;
            for (int k = NEAR_FIRST; k < NEAR_FIRST + NEAR_TAPS; ++k) near += phase[k] * w[j + k];
            a = a > abs32(near) + rest ? a : abs32(near) + rest;
        }
        most = a > most ? a : most;
    }
    return most;
}
std::int32_t bound_plain(const std::int16_t* w, std::int32_t top) { return bound_of(w, top); }

// The same sums where the CPU has AVX2 (chosen once, as the signal path
// is), two taps an instruction: each 32-bit lane multiplies a pair of
// neighbouring samples by the pair of taps and adds the two products, exact
// in 32 bits as the sums above are, so every CPU gets the same points.
#if defined(__x86_64__) && !defined(__EMSCRIPTEN__)
template <int N>
struct tap_pairs {
    std::int32_t at[N][TRUE_PEAK_TAPS / 2];
};
template <int N>
constexpr tap_pairs<N> pairs_of(const std::int16_t (&phases)[N][TRUE_PEAK_TAPS]) {
    tap_pairs<N> p{};
    for (int q = 0; q < N; ++q) {
        for (int t = 0; t < TRUE_PEAK_TAPS / 2; ++t) {
            const auto low = static_cast<std::uint16_t>(phases[q][2 * t]);
            const auto high = static_cast<std::uint16_t>(phases[q][2 * t + 1]);
            p.at[q][t] = static_cast<std::int32_t>(static_cast<std::uint32_t>(high) << 16 | low);
        }
    }
    return p;
}
constexpr tap_pairs<3> PHASE_PAIRS = pairs_of(PHASES);
constexpr tap_pairs<4> EIGHTH_PAIRS = pairs_of(EIGHTHS);

// The lanes hold the points of samples 0-3 and 8-11 (the low halves of
// the interleaved pairs) and 4-7 and 12-15 (the high ones), put back in
// order at the end.
template <int N>
[[gnu::target("avx2"), gnu::always_inline]] inline void interpolate_avx2(const tap_pairs<N>& taps, const std::int16_t* w,
                                                                        std::int32_t* m) {
    __m256i lo[N], hi[N];
    for (int q = 0; q < N; ++q) lo[q] = hi[q] = _mm256_setzero_si256();
    for (int t = 0; t < TRUE_PEAK_TAPS / 2; ++t) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 2 * t));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 2 * t + 1));
        const __m256i first = _mm256_unpacklo_epi16(a, b), second = _mm256_unpackhi_epi16(a, b);
        for (int q = 0; q < N; ++q) {
            const __m256i c = _mm256_set1_epi32(taps.at[q][t]);
            lo[q] = _mm256_add_epi32(lo[q], _mm256_madd_epi16(first, c));
            hi[q] = _mm256_add_epi32(hi[q], _mm256_madd_epi16(second, c));
        }
    }
    __m256i top_lo = _mm256_abs_epi32(lo[0]), top_hi = _mm256_abs_epi32(hi[0]);
    for (int q = 1; q < N; ++q) {
        top_lo = _mm256_max_epi32(top_lo, _mm256_abs_epi32(lo[q]));
        top_hi = _mm256_max_epi32(top_hi, _mm256_abs_epi32(hi[q]));
    }
    auto* out = reinterpret_cast<__m256i*>(m);
    const __m256i first = _mm256_permute2x128_si256(top_lo, top_hi, 0x20);
    const __m256i second = _mm256_permute2x128_si256(top_lo, top_hi, 0x31);
    _mm256_storeu_si256(out, _mm256_max_epi32(_mm256_loadu_si256(out), first));
    _mm256_storeu_si256(out + 1, _mm256_max_epi32(_mm256_loadu_si256(out + 1), second));
}
static_assert(BLOCK == 16, "two vectors of eight points");

[[gnu::target("avx2")]] void quarters_avx2(const std::int16_t* w, std::int32_t* m) { interpolate_avx2(PHASE_PAIRS, w, m); }
[[gnu::target("avx2")]] void eighths_avx2(const std::int16_t* w, std::int32_t* m) { interpolate_avx2(EIGHTH_PAIRS, w, m); }

// With AVX-512's lanes, one register holds the sample pairs of all 16
// points for a pair of taps: the 17 samples from w[2t] on, each pair
// (w[j + 2t], w[j + 2t + 1]) put in lane j by one permutation, so that a
// pair of taps costs a load, a permutation and one multiply-add per phase
// (the same sums as above, added in another order: integers, so the same points).
[[gnu::target("avx512f,avx512bw"), gnu::always_inline]] inline __m512i pairs_for(const std::int16_t* w, int t) {
    const __m512i pairs_of = _mm512_set_epi16(16, 15, 15, 14, 14, 13, 13, 12, 12, 11, 11, 10, 10, 9, 9, 8, 8, 7, 7, 6, 6,
                                              5, 5, 4, 4, 3, 3, 2, 2, 1, 1, 0);
    // (A span holds no more than the 17 samples read for its last pair.)
    return _mm512_permutexvar_epi16(pairs_of, _mm512_maskz_loadu_epi16(0x1FFFF, w + 2 * t));
}
// The sums of N phases over the pairs of taps from `first` to `last` - 1.
template <int N>
[[gnu::target("avx512f,avx512bw"), gnu::always_inline]] inline void sums_avx512(const tap_pairs<N>& taps,
                                                                               const std::int16_t* w, int first,
                                                                               int last, __m512i* sum) {
    for (int q = 0; q < N; ++q) sum[q] = _mm512_setzero_si512();
    for (int t = first; t < last; ++t) {
        const __m512i pairs = pairs_for(w, t);
        for (int q = 0; q < N; ++q) sum[q] = _mm512_add_epi32(sum[q], _mm512_madd_epi16(pairs, _mm512_set1_epi32(taps.at[q][t])));
    }
}
template <int N>
[[gnu::target("avx512f,avx512bw"), gnu::always_inline]] inline __m512i interpolate_avx512(const tap_pairs<N>& taps,
                                                                                         const std::int16_t* w,
                                                                                         __m512i top) {
    __m512i sum[N];
    sums_avx512(taps, w, 0, TRUE_PEAK_TAPS / 2, sum);
    for (int q = 0; q < N; ++q) top = _mm512_max_epi32(top, _mm512_abs_epi32(sum[q]));
    return top;
}
[[gnu::target("avx512f,avx512bw")]] void quarters_avx512(const std::int16_t* w, std::int32_t* m) {
    _mm512_storeu_si512(m, interpolate_avx512(PHASE_PAIRS, w, _mm512_loadu_si512(m)));
}
[[gnu::target("avx512f,avx512bw")]] void eighths_avx512(const std::int16_t* w, std::int32_t* m) {
    _mm512_storeu_si512(m, interpolate_avx512(EIGHTH_PAIRS, w, _mm512_loadu_si512(m)));
}
// A block's largest point in the lanes throughout: the samples' own
// magnitudes, the points between, and the largest of the 16 lanes.
[[gnu::target("avx512f,avx512bw")]] std::int32_t largest_avx512(const std::int16_t* w, bool finer) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + TRUE_PEAK_DELAY - 1));
    __m512i top = _mm512_slli_epi32(_mm512_abs_epi32(_mm512_cvtepi16_epi32(x)), TRUE_PEAK_FRACTION);
    top = interpolate_avx512(PHASE_PAIRS, w, top);
    if (finer) top = interpolate_avx512(EIGHTH_PAIRS, w, top);
    return _mm512_reduce_max_epi32(top);
}
[[gnu::target("avx2")]] std::int32_t bound_avx2(const std::int16_t* w, std::int32_t top) { return bound_of(w, top); }
[[gnu::target("avx512f,avx512bw")]] std::int32_t bound_avx512(const std::int16_t* w, std::int32_t top) {
    __m512i sum[3];
    sums_avx512(PHASE_PAIRS, w, NEAR_FIRST / 2, (NEAR_FIRST + NEAR_TAPS) / 2, sum);
    const __m512i rest = _mm512_set1_epi32(FAR * top);
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + TRUE_PEAK_DELAY - 1));
    __m512i most = _mm512_slli_epi32(_mm512_abs_epi32(_mm512_cvtepi16_epi32(x)), TRUE_PEAK_FRACTION);
    for (int q = 0; q < 3; ++q) most = _mm512_max_epi32(most, _mm512_add_epi32(_mm512_abs_epi32(sum[q]), rest));
    return _mm512_reduce_max_epi32(most);
}
void quarters_at(const std::int16_t* w, std::int32_t* m, simd_level level) {
    if (level == simd_level::avx512) return quarters_avx512(w, m);
    if (level == simd_level::avx2) return quarters_avx2(w, m);
    quarters_plain(w, m);
}
void eighths_at(const std::int16_t* w, std::int32_t* m, simd_level level) {
    if (level == simd_level::avx512) return eighths_avx512(w, m);
    if (level == simd_level::avx2) return eighths_avx2(w, m);
    eighths_plain(w, m);
}
std::int32_t bound_at(const std::int16_t* w, std::int32_t top, simd_level level) {
    if (level == simd_level::avx512) return bound_avx512(w, top);
    if (level == simd_level::avx2) return bound_avx2(w, top);
    return bound_plain(w, top);
}
#else
std::int32_t bound_at(const std::int16_t* w, std::int32_t top, simd_level) { return bound_plain(w, top); }
void quarters_at(const std::int16_t* w, std::int32_t* m, simd_level) { quarters_plain(w, m); }
void eighths_at(const std::int16_t* w, std::int32_t* m, simd_level) { eighths_plain(w, m); }
#endif
// The lanes the signal path takes, chosen once (elsewhere the plain code,
// with no start-up work: the engine keeps no data of its own).
#if defined(__x86_64__) && !defined(__EMSCRIPTEN__)
const simd_level lanes = best_simd_level();
#else
constexpr simd_level lanes = simd_level::portable;
#endif

// The most any point of samples within the larger of two magnitudes can
// reach (Q14).
constexpr std::int64_t reach(std::int32_t a, std::int32_t b) { return static_cast<std::int64_t>(a > b ? a : b) * TRUE_PEAK_BOUND; }

// The input after the history, BLOCK outputs at a time. A block's points
// are made of the 47 samples from its own start on; the largest magnitude of
// the three 16-sample stretches that hold them bounds them all, so a block
// that cannot reach over the peak so far is passed by for a few compares.
// Quarters interpolates a block's three points between each pair.
template <void (*Quarters)(const std::int16_t*, std::int32_t*), std::int32_t (*Bound)(const std::int16_t*, std::int32_t)>
[[gnu::always_inline]] inline std::int32_t scan(true_peak_history& h, const std::int16_t* x, std::size_t n,
                                                std::int32_t floor) {
    constexpr int STRETCHES = (HISTORY + CHUNK + BLOCK) / BLOCK + 1;
    constexpr std::size_t RUN = STRETCHES * BLOCK;
    std::int16_t run[RUN]; // the history, the chunk, and zeros after it
    std::memcpy(run, h.x, HISTORY * sizeof(std::int16_t));
    std::int32_t peak = floor;
    bool quiet = true; // the chunk before could not reach the peak
    for (std::size_t done = 0; done < n;) {
        const std::size_t k = n - done < CHUNK ? n - done : CHUNK;
        for (std::size_t at = 0; at < k; at += FETCH_STEP) fetch_ahead(x, done + at, n);
        // A chunk whose samples, and the history's, all lie too low for any
        // point of theirs to reach over the peak: passed by whole, for one
        // pass of the widest lanes over it (the quiet stretches of a
        // recording, and nearly all of one held under a floor far above it).
        // Looked for only after a chunk as quiet: within loud passages the
        // look would cost more than it spares. (Read where it lies: a copy
        // into the run first would cost as much as the look.)
        if (quiet && reach(largest_magnitude(x + done, k), largest_magnitude(run, HISTORY)) <= peak) {
            if (k >= HISTORY) {
                std::memcpy(run, x + done + k - HISTORY, HISTORY * sizeof(std::int16_t));
            } else {
                std::memmove(run, run + k, (HISTORY - k) * sizeof(std::int16_t));
                std::memcpy(run + HISTORY - k, x + done, k * sizeof(std::int16_t));
            }
            done += k;
            continue;
        }
        std::memcpy(run + HISTORY, x + done, k * sizeof(std::int16_t));
        std::memset(run + HISTORY + k, 0, (RUN - HISTORY - k) * sizeof(std::int16_t));
        std::int32_t top[STRETCHES], chunk_most = 0;
        for (int s = 0; s < STRETCHES; ++s) {
            top[s] = largest_magnitude(run + s * BLOCK, BLOCK);
            chunk_most = top[s] > chunk_most ? top[s] : chunk_most;
        }
        for (std::size_t i = 0; i < k; i += BLOCK) {
            const std::size_t s = i / BLOCK;
            const std::int32_t most = top[s] > top[s + 1] ? (top[s] > top[s + 2] ? top[s] : top[s + 2])
                                                          : (top[s + 1] > top[s + 2] ? top[s + 1] : top[s + 2]);
            if (static_cast<std::int64_t>(most) * TRUE_PEAK_BOUND <= peak) continue;
            // Past its k - i outputs the block reads what is left of the run: unused.
            const std::int16_t* w = run + i;
            if (Bound(w, most) <= peak) continue;
            std::int32_t m[BLOCK];
            own_points(w, m);
            Quarters(w, m);
            const int b = k - i < BLOCK ? static_cast<int>(k - i) : BLOCK;
            for (int j = 0; j < b; ++j) peak = m[j] > peak ? m[j] : peak;
        }
        for (int j = 0; j < HISTORY; ++j) run[j] = run[k + static_cast<std::size_t>(j)]; // may overlap
        done += k;
        quiet = reach(chunk_most, 0) <= peak;
    }
    std::memcpy(h.x, run, HISTORY * sizeof(std::int16_t));
    return peak;
}

// The scan's own loops (the stretches' tops, the points' largest) in AVX2's
// or AVX-512's lanes too where the CPU has them, the interpolation inlined.
#if defined(__x86_64__) && !defined(__EMSCRIPTEN__)
[[gnu::target("avx2")]] std::int32_t scan_avx2(true_peak_history& h, const std::int16_t* x, std::size_t n, std::int32_t floor) {
    return scan<quarters_avx2, bound_avx2>(h, x, n, floor);
}
[[gnu::target("avx512f,avx512bw")]] std::int32_t scan_avx512(true_peak_history& h, const std::int16_t* x, std::size_t n,
                                                           std::int32_t floor) {
    return scan<quarters_avx512, bound_avx512>(h, x, n, floor);
}
#endif

} // namespace

std::int32_t true_peak_scan(true_peak_history& h, const std::int16_t* x, std::size_t n, std::int32_t floor) {
#if defined(__x86_64__) && !defined(__EMSCRIPTEN__)
    if (lanes == simd_level::avx512) return scan_avx512(h, x, n, floor);
    if (lanes == simd_level::avx2) return scan_avx2(h, x, n, floor);
#endif
    return scan<quarters_plain, bound_plain>(h, x, n, floor);
}

void true_peak_block(const std::int16_t* w, std::int32_t* m, bool finer) { true_peak_block_by(w, m, finer, lanes); }

std::int32_t true_peak_block_bound(const std::int16_t* w, std::int32_t top) { return bound_at(w, top, lanes); }

std::int32_t true_peak_block_bound_by(const std::int16_t* w, std::int32_t top, simd_level level) {
    return bound_at(w, top, simd_level_runs(level) ? level : simd_level::portable);
}

std::int32_t true_peak_block_largest(const std::int16_t* w, bool finer) {
#if defined(__x86_64__) && !defined(__EMSCRIPTEN__)
    if (lanes == simd_level::avx512) return largest_avx512(w, finer);
#endif
    std::int32_t m[BLOCK];
    true_peak_block(w, m, finer);
    std::int32_t most = 0;
    for (int j = 0; j < BLOCK; ++j) most = m[j] > most ? m[j] : most;
    return most;
}

void true_peak_block_by(const std::int16_t* w, std::int32_t* m, bool finer, simd_level level) {
    const simd_level at = simd_level_runs(level) ? level : simd_level::portable;
    own_points(w, m);
    quarters_at(w, m, at);
    if (finer) eighths_at(w, m, at);
}

} // namespace agc
