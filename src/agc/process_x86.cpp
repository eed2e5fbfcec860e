// The AVX2 and AVX-512 signal paths: the lane operations of simd_kernel.inc
// for 256- and 512-bit vectors of 16-bit lanes.
//
// Both are compiled inside target regions (function attributes applied by
// pragma), so the default build needs no -m flags and still runs AVX2 or
// AVX-512 where the CPU has them; process_fast.cpp chooses at run time.
#include "agc/process_fast.h"

#if AGC_X86_PATHS

#include "agc/fixed_point.h"
#include "agc/hop.h"

#include "agc/x86_intrinsics.h"

namespace agc {

AGC_TARGET_REGION("avx2")
namespace avx2 {

using vec = __m256i;
constexpr int LANES = 16;

inline vec load(const std::int16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline void store(std::int16_t* p, vec v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
inline vec load_reversed(const std::int16_t* p) {
    const vec v = load(p);
    const vec within = _mm256_setr_epi8(14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1,
                                        14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1);
    return _mm256_permute4x64_epi64(_mm256_shuffle_epi8(v, within), 0x4E);
}
inline vec splat(std::int16_t v) { return _mm256_set1_epi16(v); }
inline vec add16(vec a, vec b) { return _mm256_add_epi16(a, b); }
inline vec sub_sat16(vec a, vec b) { return _mm256_subs_epi16(a, b); }
inline vec magnitude_sat(vec s) { return _mm256_min_epu16(_mm256_abs_epi16(s), _mm256_set1_epi16(32767)); }
inline vec max_u16(vec a, vec b) { return _mm256_max_epu16(a, b); }
inline vec min16(vec a, vec b) { return _mm256_min_epi16(a, b); }
using sums = vec;
inline sums pair_sums(vec a) { return _mm256_madd_epi16(a, _mm256_set1_epi16(1)); }
inline sums add_pair_sums(sums acc, vec a) { return _mm256_add_epi32(acc, pair_sums(a)); }
// madd multiplies signed lanes: the same instruction sums signed pairs.
inline sums signed_pair_sums(vec a) { return pair_sums(a); }
inline sums add_signed_pair_sums(sums acc, vec a) { return add_pair_sums(acc, a); }
inline vec keep_last(vec a, int count) {
    alignas(64) static const std::int16_t ramp[2 * LANES] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                              -1, -1, -1, -1, -1, -1, -1, -1,
                                                              -1, -1, -1, -1, -1, -1, -1, -1};
    return _mm256_and_si256(a, load(ramp + count));
}
// minpos finds the smallest unsigned word: the largest of the complements,
// and with the sign bit flipped, the smallest signed word.
inline std::int32_t max_u16_of(vec v) {
    const __m128i m = _mm_max_epu16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return 0xFFFF ^ (_mm_cvtsi128_si32(_mm_minpos_epu16(_mm_xor_si128(m, _mm_set1_epi16(-1)))) & 0xFFFF);
}
inline std::int16_t min16_of(vec v) {
    const __m128i m = _mm_min_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return store16(0x8000 ^ (_mm_cvtsi128_si32(_mm_minpos_epu16(_mm_xor_si128(m, _mm_set1_epi16(INT16_MIN)))) & 0xFFFF));
}
inline std::int32_t sum32_of(vec v) {
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
    return _mm_cvtsi128_si32(s);
}
// The wanted 16 bits of a 32-bit product straddle its low and high halves
// (mullo, mulhi): (a * b) >> N is bits N..N+15, so (w * x) >> 15 is bits
// 15..30 and (g * r) >> 8 bits 8..23.
template <int N>
inline vec mul_shift(vec a, vec b) {
    return _mm256_or_si256(_mm256_slli_epi16(_mm256_mulhi_epi16(a, b), 16 - N),
                           _mm256_srli_epi16(_mm256_mullo_epi16(a, b), N));
}
inline vec mul_q15(vec w, vec x) { return mul_shift<15>(w, x); }
using gain = vec;
inline gain gain_of(std::int16_t g) { return splat(g); }
inline vec mul_q8(const gain& g, vec r) { return mul_shift<8>(g, r); }

#include "agc/simd_kernel.inc"

} // namespace avx2
AGC_TARGET_REGION_END

AGC_TARGET_REGION("avx2,avx512f,avx512bw,avx512vl")
namespace avx512 {

using vec = __m512i;
constexpr int LANES = 32;

inline vec load(const std::int16_t* p) { return _mm512_loadu_si512(p); }
inline void store(std::int16_t* p, vec v) { _mm512_storeu_si512(p, v); }
inline vec load_reversed(const std::int16_t* p) {
    const vec reverse = _mm512_set_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
                                         20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    return _mm512_permutexvar_epi16(reverse, load(p));
}
inline vec splat(std::int16_t v) { return _mm512_set1_epi16(v); }
inline vec add16(vec a, vec b) { return _mm512_add_epi16(a, b); }
inline vec sub_sat16(vec a, vec b) { return _mm512_subs_epi16(a, b); }
inline vec magnitude_sat(vec s) { return _mm512_min_epu16(_mm512_abs_epi16(s), _mm512_set1_epi16(32767)); }
inline vec max_u16(vec a, vec b) { return _mm512_max_epu16(a, b); }
inline vec min16(vec a, vec b) { return _mm512_min_epi16(a, b); }
using sums = vec;
inline sums pair_sums(vec a) { return _mm512_madd_epi16(a, _mm512_set1_epi16(1)); }
inline sums add_pair_sums(sums acc, vec a) { return _mm512_add_epi32(acc, pair_sums(a)); }
inline sums signed_pair_sums(vec a) { return pair_sums(a); } // as avx2's
inline sums add_signed_pair_sums(sums acc, vec a) { return add_pair_sums(acc, a); }
inline vec keep_last(vec a, int count) { return _mm512_maskz_mov_epi16(~0u << (LANES - count), a); }
inline __m256i upper_half(vec v) { return _mm512_extracti64x4_epi64(v, 1); }
inline std::int32_t max_u16_of(vec v) {
    return avx2::max_u16_of(_mm256_max_epu16(_mm512_castsi512_si256(v), upper_half(v)));
}
inline std::int16_t min16_of(vec v) { return avx2::min16_of(_mm256_min_epi16(_mm512_castsi512_si256(v), upper_half(v))); }
inline std::int32_t sum32_of(vec v) {
    return avx2::sum32_of(_mm256_add_epi32(_mm512_castsi512_si256(v), upper_half(v)));
}
template <int N> // as avx2::mul_shift
inline vec mul_shift(vec a, vec b) {
    return _mm512_or_si512(_mm512_slli_epi16(_mm512_mulhi_epi16(a, b), 16 - N),
                           _mm512_srli_epi16(_mm512_mullo_epi16(a, b), N));
}
inline vec mul_q15(vec w, vec x) { return mul_shift<15>(w, x); }
using gain = vec;
inline gain gain_of(std::int16_t g) { return splat(g); }
inline vec mul_q8(const gain& g, vec r) { return mul_shift<8>(g, r); }

#include "agc/simd_kernel.inc"

} // namespace avx512
AGC_TARGET_REGION_END

} // namespace agc

#endif // AGC_X86_PATHS
