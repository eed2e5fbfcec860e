// The WebAssembly SIMD128 signal path: the lane operations of simd_kernel.inc
// for groups of 128-bit vectors of 16-bit lanes.
//
// A vec is two vectors, 16 samples, which divide the tool's 240-sample hop:
// the loops run half as often as over single vectors, and an output chunk's
// inputs and products still fit the 16 vector registers that V8 and
// SpiderMonkey compile it to on x86-64 (three vectors measured 8% slower in
// Node, four 17%). Built only with -msimd128; the module without it takes
// the plain path, and the page chooses between them.
#include "agc/process_fast.h"

#if AGC_WASM_SIMD_PATH

#include <wasm_simd128.h>

#include "agc/fixed_point.h"
#include "agc/hop.h"
#include "agc/lane_groups.h"

namespace agc::simd128 {

constexpr int REGS = 2;
constexpr int LANES = 8 * REGS;
struct vec {
    v128_t val[REGS];
};

inline vec load(const std::int16_t* p) {
    vec v;
    for (int k = 0; k < REGS; ++k) v.val[k] = wasm_v128_load(p + 8 * k);
    return v;
}
inline void store(std::int16_t* p, vec v) {
    for (int k = 0; k < REGS; ++k) wasm_v128_store(p + 8 * k, v.val[k]);
}

// One byte shuffle per vector reverses its eight lanes (as byte pairs).
inline vec load_reversed(const std::int16_t* p) {
    const vec v = load(p);
    vec r;
    for (int k = 0; k < REGS; ++k) {
        r.val[k] = wasm_i8x16_shuffle(v.val[REGS - 1 - k], v.val[REGS - 1 - k], 14, 15, 12, 13, 10, 11, 8, 9, 6, 7,
                                      4, 5, 2, 3, 0, 1);
    }
    return r;
}
inline vec splat(std::int16_t v) {
    vec r;
    for (auto& x : r.val) x = wasm_i16x8_splat(v);
    return r;
}
inline vec add16(vec a, vec b) { return each(a, b, [](v128_t x, v128_t y) { return wasm_i16x8_add(x, y); }); }
inline vec sub_sat16(vec a, vec b) { return each(a, b, [](v128_t x, v128_t y) { return wasm_i16x8_sub_sat(x, y); }); }
// abs wraps -32768 to itself, which as an unsigned lane is 32768: the
// unsigned minimum with 32767 saturates it.
inline vec magnitude_sat(vec s) {
    return each(s, [](v128_t x) { return wasm_u16x8_min(wasm_i16x8_abs(x), wasm_i16x8_splat(32767)); });
}
inline vec max_u16(vec a, vec b) { return each(a, b, [](v128_t x, v128_t y) { return wasm_u16x8_max(x, y); }); }
inline vec min16(vec a, vec b) { return each(a, b, [](v128_t x, v128_t y) { return wasm_i16x8_min(x, y); }); }
// Magnitudes are at most 32767, so the signed dot product with ones sums
// pairs of them into 32-bit lanes in one instruction (pmaddwd), where the
// unsigned pairwise add takes three or four on x86.
struct sums {
    v128_t val[REGS];
};
inline v128_t pair_sum(v128_t a) { return wasm_i32x4_dot_i16x8(a, wasm_i16x8_splat(1)); }
inline sums pair_sums(vec a) {
    sums s;
    for (int k = 0; k < REGS; ++k) s.val[k] = pair_sum(a.val[k]);
    return s;
}
inline sums add_pair_sums(sums acc, vec a) {
    for (int k = 0; k < REGS; ++k) acc.val[k] = wasm_i32x4_add(acc.val[k], pair_sum(a.val[k]));
    return acc;
}
// The dot product is signed: the same sums pairs of signed lanes.
inline sums signed_pair_sums(vec a) { return pair_sums(a); }
inline sums add_signed_pair_sums(sums acc, vec a) { return add_pair_sums(acc, a); }
// A mask of LANES zeros then LANES all-ones lanes: loaded from `count` lanes
// before its middle, it keeps the last count lanes.
struct lane_ramp {
    std::int16_t v[2 * LANES];
};
constexpr lane_ramp make_ramp() {
    lane_ramp r{};
    for (int k = LANES; k < 2 * LANES; ++k) r.v[k] = -1;
    return r;
}
inline constexpr lane_ramp ramp = make_ramp();
inline vec keep_last(vec a, int count) {
    return each(a, load(ramp.v + count), [](v128_t x, v128_t m) { return wasm_v128_and(x, m); });
}
// Reductions fold the upper half of the lanes onto the lower, three times.
template <typename Op> inline v128_t fold16(v128_t m, Op op) {
    m = op(m, wasm_i64x2_shuffle(m, m, 1, 0));
    m = op(m, wasm_i32x4_shuffle(m, m, 1, 0, 3, 2));
    return op(m, wasm_i16x8_shuffle(m, m, 1, 0, 3, 2, 5, 4, 7, 6));
}
inline std::int32_t max_u16_of(vec v) {
    v128_t m = v.val[0];
    for (int k = 1; k < REGS; ++k) m = wasm_u16x8_max(m, v.val[k]);
    return wasm_u16x8_extract_lane(fold16(m, wasm_u16x8_max), 0);
}
inline std::int16_t min16_of(vec v) {
    v128_t m = v.val[0];
    for (int k = 1; k < REGS; ++k) m = wasm_i16x8_min(m, v.val[k]);
    return wasm_i16x8_extract_lane(fold16(m, wasm_i16x8_min), 0);
}
inline std::int32_t sum32_of(sums v) {
    v128_t s = v.val[0];
    for (int k = 1; k < REGS; ++k) s = wasm_i32x4_add(s, v.val[k]);
    s = wasm_i32x4_add(s, wasm_i64x2_shuffle(s, s, 1, 0));
    s = wasm_i32x4_add(s, wasm_i32x4_shuffle(s, s, 1, 0, 3, 2));
    return wasm_i32x4_extract_lane(s, 0);
}

// SIMD128 has no high-half multiply, but its dot product (pmaddwd on x86)
// forms 32-bit products whole: with the odd lanes of one operand cleared, each
// 32-bit lane holds the product of its even 16-bit lanes, and the other way
// round. Shifted into place, the bits of each product that the kernel keeps
// land in their own 16-bit lane, and a blend takes them from both: the low 16
// bits of the shifted product, a wrap as store16 makes.
inline v128_t even_lanes(v128_t x) { return wasm_v128_and(x, wasm_i32x4_splat(0xFFFF)); }
inline v128_t odd_lanes(v128_t x) { return wasm_v128_and(x, wasm_i32x4_splat(static_cast<std::int32_t>(0xFFFF0000u))); }
template <int N> inline v128_t from_products(v128_t even, v128_t odd) {
    return wasm_i16x8_shuffle(wasm_i32x4_shr(even, N), wasm_i32x4_shl(odd, 16 - N), 0, 9, 2, 11, 4, 13, 6, 15);
}
inline vec mul_q15(vec w, vec x) {
    return each(w, x, [](v128_t a, v128_t b) {
        return from_products<15>(wasm_i32x4_dot_i16x8(a, even_lanes(b)), wasm_i32x4_dot_i16x8(a, odd_lanes(b)));
    });
}
// The gain, once per hop, in the even lanes and in the odd lanes.
struct gain {
    v128_t even, odd;
};
inline gain gain_of(std::int16_t g) {
    const v128_t all = wasm_i16x8_splat(g);
    return {even_lanes(all), odd_lanes(all)};
}
inline vec mul_q8(const gain& g, vec r) {
    for (auto& v : r.val) v = from_products<8>(wasm_i32x4_dot_i16x8(v, g.even), wasm_i32x4_dot_i16x8(v, g.odd));
    return r;
}

#include "agc/simd_kernel.inc"

} // namespace agc::simd128

#endif // AGC_WASM_SIMD_PATH
