// Run-time dispatch of the signal path to the widest vector unit the CPU has.
//
// The vector kernels are compiled inside target regions (function attributes
// applied by pragma), so the default build needs no -m flags and still runs
// AVX2 or AVX-512 where present; every other CPU runs the plain path, which
// the compiler vectorises for the base instruction set.
#include "agc/process_fast.h"

#include "agc/fixed_point.h"
#include "agc/hop.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define AGC_X86_DISPATCH 1
// GCC 12 reports its own AVX-512 intrinsics' deliberately undefined
// pass-through operands as uninitialized when they are inlined at -O3.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif

#if AGC_X86_DISPATCH
#if defined(__clang__)
#define AGC_TARGET_REGION(isa) _Pragma(AGC_STR(clang attribute push(__attribute__((target(isa))), apply_to = function)))
#define AGC_TARGET_REGION_END _Pragma("clang attribute pop")
#else
#define AGC_TARGET_REGION(isa) _Pragma("GCC push_options") _Pragma(AGC_STR(GCC target(isa)))
#define AGC_TARGET_REGION_END _Pragma("GCC pop_options")
#endif
#define AGC_STR(x) #x
#endif

namespace agc {

#if AGC_X86_DISPATCH

AGC_TARGET_REGION("avx2")
namespace avx2 {

using vec = __m256i;
constexpr int LANES = 16;

inline vec load(const std::int16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline void store(std::int16_t* p, vec v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
// LANES values ending at `last`, in reverse order: result[k] = last[-k].
inline vec load_reversed(const std::int16_t* last) {
    const vec v = load(last - (LANES - 1));
    const vec within = _mm256_setr_epi8(14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1,
                                        14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1);
    return _mm256_permute4x64_epi64(_mm256_shuffle_epi8(v, within), 0x4E);
}
inline vec zero() { return _mm256_setzero_si256(); }
inline vec splat(std::int16_t v) { return _mm256_set1_epi16(v); }
inline vec add16(vec a, vec b) { return _mm256_add_epi16(a, b); }
inline vec add32(vec a, vec b) { return _mm256_add_epi32(a, b); }
inline vec bit_or(vec a, vec b) { return _mm256_or_si256(a, b); }
inline vec mullo(vec a, vec b) { return _mm256_mullo_epi16(a, b); }
inline vec mulhi(vec a, vec b) { return _mm256_mulhi_epi16(a, b); }
template <int N> vec shl(vec a) { return _mm256_slli_epi16(a, N); }
template <int N> vec shr(vec a) { return _mm256_srli_epi16(a, N); }
// v in the lanes where a == b, 0 elsewhere.
inline vec where_equal(vec a, vec b, vec v) { return _mm256_and_si256(_mm256_cmpeq_epi16(a, b), v); }
// |s|, with -32768 saturated to 32767.
inline vec magnitude_sat(vec s) { return _mm256_min_epu16(_mm256_abs_epi16(s), _mm256_set1_epi16(32767)); }
inline vec max_u16(vec a, vec b) { return _mm256_max_epu16(a, b); }
inline vec pair_sums(vec a) { return _mm256_madd_epi16(a, _mm256_set1_epi16(1)); }
// a with all but its last `count` lanes cleared (0 < count < LANES).
inline vec keep_last(vec a, int count) {
    alignas(64) static const std::int16_t ramp[2 * LANES] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                              -1, -1, -1, -1, -1, -1, -1, -1,
                                                              -1, -1, -1, -1, -1, -1, -1, -1};
    return _mm256_and_si256(a, load(ramp + count));
}
inline std::int32_t max_u16_of(vec v) {
    __m128i m = _mm_max_epu16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    // minpos finds the minimum of unsigned words: the maximum of their complements.
    m = _mm_minpos_epu16(_mm_xor_si128(m, _mm_set1_epi16(-1)));
    return 0xFFFF ^ (_mm_cvtsi128_si32(m) & 0xFFFF);
}
inline std::int32_t sum32_of(vec v) {
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
    return _mm_cvtsi128_si32(s);
}

#include "agc/simd_kernel.inc"

} // namespace avx2
AGC_TARGET_REGION_END

AGC_TARGET_REGION("avx2,avx512f,avx512bw,avx512vl")
namespace avx512 {

using vec = __m512i;
constexpr int LANES = 32;

inline vec load(const std::int16_t* p) { return _mm512_loadu_si512(p); }
inline void store(std::int16_t* p, vec v) { _mm512_storeu_si512(p, v); }
inline vec load_reversed(const std::int16_t* last) {
    const vec reverse = _mm512_set_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
                                         20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    return _mm512_permutexvar_epi16(reverse, load(last - (LANES - 1)));
}
inline vec zero() { return _mm512_setzero_si512(); }
inline vec splat(std::int16_t v) { return _mm512_set1_epi16(v); }
inline vec add16(vec a, vec b) { return _mm512_add_epi16(a, b); }
inline vec add32(vec a, vec b) { return _mm512_add_epi32(a, b); }
inline vec bit_or(vec a, vec b) { return _mm512_or_si512(a, b); }
inline vec mullo(vec a, vec b) { return _mm512_mullo_epi16(a, b); }
inline vec mulhi(vec a, vec b) { return _mm512_mulhi_epi16(a, b); }
template <int N> vec shl(vec a) { return _mm512_slli_epi16(a, N); }
template <int N> vec shr(vec a) { return _mm512_srli_epi16(a, N); }
inline vec where_equal(vec a, vec b, vec v) { return _mm512_maskz_mov_epi16(_mm512_cmpeq_epi16_mask(a, b), v); }
inline vec magnitude_sat(vec s) { return _mm512_min_epu16(_mm512_abs_epi16(s), _mm512_set1_epi16(32767)); }
inline vec max_u16(vec a, vec b) { return _mm512_max_epu16(a, b); }
inline vec pair_sums(vec a) { return _mm512_madd_epi16(a, _mm512_set1_epi16(1)); }
inline vec keep_last(vec a, int count) { return _mm512_maskz_mov_epi16(~0u << (LANES - count), a); }
inline __m256i upper_half(vec v) { return _mm512_extracti64x4_epi64(v, 1); }
inline std::int32_t max_u16_of(vec v) {
    return avx2::max_u16_of(_mm256_max_epu16(_mm512_castsi512_si256(v), upper_half(v)));
}
inline std::int32_t sum32_of(vec v) {
    return avx2::sum32_of(_mm256_add_epi32(_mm512_castsi512_si256(v), upper_half(v)));
}

#include "agc/simd_kernel.inc"

} // namespace avx512
AGC_TARGET_REGION_END

#endif // AGC_X86_DISPATCH

simd_level best_simd_level() {
#if AGC_X86_DISPATCH
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl")) {
        return simd_level::avx512;
    }
    if (__builtin_cpu_supports("avx2")) return simd_level::avx2;
#endif
    return simd_level::portable;
}

const char* simd_level_name(simd_level level) {
    switch (level) {
    case simd_level::avx512: return "avx512";
    case simd_level::avx2: return "avx2";
    case simd_level::portable: break;
    }
    return "portable";
}

namespace {
// Chosen once, before main. A namespace-scope constant needs no guard variable,
// so the engine does not depend on the C++ runtime (C programs link it with
// cc). Code that runs before it is set (another static initialiser) sees the
// zero value, the plain path: slower, the same bytes.
const simd_level cpu_best = best_simd_level();
} // namespace

std::int16_t process_hop(const std::int16_t* in, std::int16_t* out, agc_state& state, std::int16_t mix) {
    return process_fast(in, out, state, mix, cpu_best);
}

std::int16_t process_fast(const std::int16_t* in, std::int16_t* out, agc_state& state, std::int16_t mix,
                          simd_level level) {
    if (level > cpu_best) level = cpu_best;
    switch (level) {
#if AGC_X86_DISPATCH
    case simd_level::avx512: return avx512::process_vectors(in, out, state, mix);
    case simd_level::avx2: return avx2::process_vectors(in, out, state, mix);
#endif
    default: return process_reference(in, out, state, mix);
    }
}

} // namespace agc
