// K-weighting in integers: the coefficients from the analogue prototype by
// the bilinear transform, and the two biquads with error feedback.
#include "agc/k_weighting.h"

#include "agc/process_fast.h"

#if defined(__x86_64__) && !defined(__EMSCRIPTEN__)
#include "agc/x86_intrinsics.h"
#endif

namespace agc {

namespace {

constexpr std::int64_t ONE = std::int64_t{1} << 30; // Q30

// The prototype, in Q30 (shelf: centre 1681.97 Hz, Q 0.70718, +4.0 dB at
// the top with the mid-band gain Vb; high-pass: 38.135 Hz, Q 0.50033).
constexpr std::int64_t PI_F_SHELF = 5673736171196; // pi * 1681.974450955533 * 2^30
constexpr std::int64_t PI_F_HIGH = 128640836602;   // pi * 38.13547087602444 * 2^30
constexpr std::int64_t INV_Q_SHELF = 1518353257;   // 1 / 0.7071752369554196
constexpr std::int64_t INV_Q_HIGH = 2146079952;    // 1 / 0.5003270373238773
constexpr std::int64_t VH = 1701735515;            // 10^(3.999843853973347 / 20)
constexpr std::int64_t VB = 1351541308;            // VH^0.4996667741545416

constexpr std::int64_t divide_rounded(std::int64_t n, std::int64_t d) {
    return n >= 0 ? (n + d / 2) / d : -((-n + d / 2) / d);
}

constexpr std::int64_t mul_q30(std::int64_t a, std::int64_t b) { return divide_rounded(a * b, ONE); }

// tan(x) for 0 <= x < 0.7 in Q30: sine and cosine from seven terms of
// their series each, which leaves an error below 2^-30 there.
std::int64_t tan_q30(std::int64_t x) {
    const std::int64_t x2 = mul_q30(x, x);
    std::int64_t s = x, st = x, c = ONE, ct = ONE;
    for (std::int64_t k = 1; k <= 7; ++k) {
        st = -divide_rounded(mul_q30(st, x2), (2 * k) * (2 * k + 1));
        ct = -divide_rounded(mul_q30(ct, x2), (2 * k - 1) * (2 * k));
        s += st;
        c += ct;
    }
    return divide_rounded(s * ONE, c);
}

// Q30 quotient num / den (den > 0), as a Q29 coefficient.
std::int32_t coefficient(std::int64_t num, std::int64_t den) {
    return static_cast<std::int32_t>(divide_rounded(divide_rounded(num * ONE, den), 2));
}

} // namespace

k_coefficients k_coefficients_for(int rate) {
    k_coefficients k{};
    // The shelf.
    std::int64_t t = tan_q30(divide_rounded(PI_F_SHELF, rate));
    std::int64_t t2 = mul_q30(t, t);
    std::int64_t tq = mul_q30(t, INV_Q_SHELF);
    std::int64_t a0 = ONE + tq + t2;
    k.b0 = coefficient(VH + mul_q30(VB, tq) + t2, a0);
    k.b1 = coefficient(2 * (t2 - VH), a0);
    k.b2 = coefficient(VH - mul_q30(VB, tq) + t2, a0);
    k.a1 = coefficient(2 * (t2 - ONE), a0);
    k.a2 = coefficient(ONE - tq + t2, a0);
    // The high-pass, its numerator left at 1 -2 1 as the 48 kHz reference
    // filter has it (the measure's -0.691 dB offset is set for that).
    t = tan_q30(divide_rounded(PI_F_HIGH, rate));
    t2 = mul_q30(t, t);
    tq = mul_q30(t, INV_Q_HIGH);
    a0 = ONE + tq + t2;
    k.c1 = coefficient(2 * (t2 - ONE), a0);
    k.c2 = coefficient(ONE - tq + t2, a0);
    return k;
}

// Each stage is a direct-form biquad whose output is the floor of its
// accumulator. Left alone, that rounding error would pass through the
// stage's poles, which for the high-pass at 96 kHz lie so near z = 1 that
// it would come out 100 dB louder at DC. Feeding the error of the two last
// outputs back with weights 2 and -1 shapes it by (1 - 1/z)^2, which
// cancels the poles' gain at low frequencies.
//
// The error is what the floor dropped, e = acc - y * 2^29, so the feedback
// 2 e1 - e2 - a1 y1 - a2 y2 is, exactly, 2 acc1 - acc2 - (a1 + 2^30) y1 -
// (a2 - 2^29) y2: the loop keeps the accumulators and no error at all, one
// mask and one subtraction a stage fewer per sample, the same outputs.
//
// Over runs of up to RUN samples, the shelf's numerator goes first (it has
// no feedback, so nothing chains one sample to the next), then the poles of
// both stages in one loop, whose two chains overlap, and last the squares.
// The middle loop keeps no more than fits the CPU's registers (the outputs
// two back are the accumulators' floors, taken again), as a value spilled
// to memory would chain each sample to the last through a store and a load;
// the other two run in vector lanes.
namespace {

constexpr std::int64_t UNIT = std::int64_t{1} << K_COEF_FRACTION;
constexpr std::size_t RUN = 256;

[[gnu::always_inline]] inline void numerator(const k_coefficients& k, const std::int16_t* in, std::int64_t p1,
                                             std::int64_t p2, std::int64_t* v, std::size_t m) {
    const std::int64_t b0 = k.b0, b1 = k.b1, b2 = k.b2;
    v[0] = (b0 * in[0] + b1 * p1 + b2 * p2) * (1 << K_SIGNAL_FRACTION);
    if (m > 1) v[1] = (b0 * in[1] + b1 * in[0] + b2 * p1) * (1 << K_SIGNAL_FRACTION);
    for (std::size_t i = 2; i < m; ++i) {
        v[i] = (b0 * in[i] + b1 * in[i - 1] + b2 * in[i - 2]) * (1 << K_SIGNAL_FRACTION);
    }
}

// The weighted squares of a run of the high-pass's outputs, which fit 32 bits.
[[gnu::always_inline]] inline std::uint64_t squares(const std::int32_t* z, std::size_t m) {
    std::uint64_t energy = 0;
    for (std::size_t i = 0; i < m; ++i) {
        energy += static_cast<std::uint64_t>(std::int64_t{z[i]} * z[i]) >> (2 * K_SIGNAL_FRACTION - K_ENERGY_FRACTION);
    }
    return energy;
}

// In AVX2's lanes where the CPU has them (32-bit products into 64-bit
// lanes): integers, so every CPU gets the same sums.
#if defined(__x86_64__) && !defined(__EMSCRIPTEN__)
[[gnu::target("avx2")]] void numerator_avx2(const k_coefficients& k, const std::int16_t* in, std::int64_t p1,
                                            std::int64_t p2, std::int64_t* v, std::size_t m) {
    numerator(k, in, p1, p2, v, m);
}
[[gnu::target("avx2")]] std::uint64_t squares_avx2(const std::int32_t* z, std::size_t m) { return squares(z, m); }
#endif

void shelf_numerator(const k_coefficients& k, const std::int16_t* in, std::int64_t p1, std::int64_t p2, std::int64_t* v,
                     std::size_t m) {
#if defined(__x86_64__) && !defined(__EMSCRIPTEN__)
    if (simd_level_runs(simd_level::avx2)) {
        numerator_avx2(k, in, p1, p2, v, m);
        return;
    }
#endif
    numerator(k, in, p1, p2, v, m);
}

std::uint64_t run_squares(const std::int32_t* z, std::size_t m) {
#if defined(__x86_64__) && !defined(__EMSCRIPTEN__)
    if (simd_level_runs(simd_level::avx2)) return squares_avx2(z, m);
#endif
    return squares(z, m);
}

} // namespace

std::uint64_t k_filter_energy(const k_coefficients& k, k_filter& f, const std::int16_t* x, std::size_t n) {
    const std::int64_t a1 = k.a1 + 2 * UNIT, a2 = k.a2 - UNIT, c1 = k.c1 + 2 * UNIT, c2 = k.c2 - UNIT;
    std::int64_t acc1 = f.y1 * UNIT + f.e1, acc2 = f.y2 * UNIT + f.e2;
    std::int64_t g1 = f.z1 * UNIT + f.f1, g2 = f.z2 * UNIT + f.f2;
    std::uint64_t energy = 0;
    std::int64_t v[RUN]; // the shelf's numerator's output
    std::int32_t out[RUN]; // the high-pass's
    for (std::size_t done = 0; done < n;) {
        const std::size_t m = n - done < RUN ? n - done : RUN;
        const std::int16_t* in = x + done;
        shelf_numerator(k, in, f.x1, f.x2, v, m);
        f.x2 = m > 1 ? in[m - 2] : f.x1;
        f.x1 = in[m - 1];
        std::int64_t y1 = acc1 >> K_COEF_FRACTION, z1 = g1 >> K_COEF_FRACTION;
        for (std::size_t i = 0; i < m; ++i) {
            const std::int64_t y2 = acc2 >> K_COEF_FRACTION, z2 = g2 >> K_COEF_FRACTION;
            const std::int64_t acc = v[i] + 2 * acc1 - acc2 - a2 * y2 - a1 * y1;
            const std::int64_t y = acc >> K_COEF_FRACTION;
            const std::int64_t g = (y - 2 * y1 + y2) * UNIT + 2 * g1 - g2 - c2 * z2 - c1 * z1;
            const std::int64_t z = g >> K_COEF_FRACTION;
            acc2 = acc1, acc1 = acc, y1 = y;
            g2 = g1, g1 = g, z1 = z;
            out[i] = static_cast<std::int32_t>(z);
        }
        energy += run_squares(out, m);
        done += m;
    }
    const std::int64_t y1 = acc1 >> K_COEF_FRACTION, y2 = acc2 >> K_COEF_FRACTION;
    const std::int64_t z1 = g1 >> K_COEF_FRACTION, z2 = g2 >> K_COEF_FRACTION;
    f.y1 = static_cast<std::int32_t>(y1), f.y2 = static_cast<std::int32_t>(y2);
    f.e1 = acc1 - y1 * UNIT, f.e2 = acc2 - y2 * UNIT;
    f.z1 = static_cast<std::int32_t>(z1), f.z2 = static_cast<std::int32_t>(z2);
    f.f1 = g1 - z1 * UNIT, f.f2 = g2 - z2 * UNIT;
    return energy;
}

#if defined(__x86_64__) && !defined(__EMSCRIPTEN__)
// The loop of k_filter_energy in 64-bit lanes, one stretch each (k_lanes.inc):
// four in AVX2's registers, eight in AVX-512's.
AGC_TARGET_REGION("avx2")
namespace k_avx2 {
using vec = __m256i;
constexpr int LANES = 4;
inline vec all(std::int64_t a) { return _mm256_set1_epi64x(a); }
inline vec add(vec a, vec b) { return _mm256_add_epi64(a, b); }
inline vec sub(vec a, vec b) { return _mm256_sub_epi64(a, b); }
inline vec mul(vec a, vec b) { return _mm256_mul_epi32(a, b); }
inline vec up(vec a, int s) { return _mm256_slli_epi64(a, s); }
inline vec down(vec a, int s) { return _mm256_srli_epi64(a, s); }
inline vec samples(const std::int16_t* const* p, std::ptrdiff_t at) {
    return _mm256_set_epi64x(p[3][at], p[2][at], p[1][at], p[0][at]);
}
inline vec load(const std::uint64_t* from) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(from)); }
inline void store(std::uint64_t* to, vec a) { _mm256_store_si256(reinterpret_cast<__m256i*>(to), a); }
#include "agc/k_lanes.inc"
} // namespace k_avx2
AGC_TARGET_REGION_END

AGC_TARGET_REGION("avx2,avx512f")
namespace k_avx512 {
using vec = __m512i;
constexpr int LANES = 8;
inline vec all(std::int64_t a) { return _mm512_set1_epi64(a); }
inline vec add(vec a, vec b) { return _mm512_add_epi64(a, b); }
inline vec sub(vec a, vec b) { return _mm512_sub_epi64(a, b); }
inline vec mul(vec a, vec b) { return _mm512_mul_epi32(a, b); }
inline vec up(vec a, int s) { return _mm512_slli_epi64(a, static_cast<unsigned>(s)); }
inline vec down(vec a, int s) { return _mm512_srli_epi64(a, static_cast<unsigned>(s)); }
inline vec samples(const std::int16_t* const* p, std::ptrdiff_t at) {
    return _mm512_set_epi64(p[7][at], p[6][at], p[5][at], p[4][at], p[3][at], p[2][at], p[1][at], p[0][at]);
}
inline vec load(const std::uint64_t* from) { return _mm512_load_si512(from); }
inline void store(std::uint64_t* to, vec a) { _mm512_store_si512(to, a); }
#include "agc/k_lanes.inc"
} // namespace k_avx512
AGC_TARGET_REGION_END

namespace {
const simd_level lanes_level = best_simd_level();
static_assert(K_LANES == 2 * k_avx2::LANES && K_LANES == k_avx512::LANES, "one pass of AVX-512's lanes, or two of AVX2's");
} // namespace
#endif

bool k_filter_lanes(const k_coefficients& k, const k_filter& f, const std::int16_t* x, std::ptrdiff_t stride,
                    const std::size_t (&start)[K_LANES], std::size_t blocks, std::size_t block, std::uint64_t* energy) {
#if defined(__x86_64__) && !defined(__EMSCRIPTEN__)
    if (lanes_level == simd_level::avx512) {
        k_avx512::lanes(k, &f, x, stride, start, blocks, block, energy);
        return true;
    }
    if (lanes_level == simd_level::avx2) {
        k_avx2::lanes(k, &f, x, stride, start, blocks, block, energy);
        k_avx2::lanes(k, nullptr, x, stride, start + k_avx2::LANES, blocks, block, energy + k_avx2::LANES * blocks);
        return true;
    }
#endif
    (void)k, (void)f, (void)x, (void)stride, (void)start, (void)blocks, (void)block, (void)energy;
    return false;
}

} // namespace agc
