// The NEON (ASIMD) signal path for aarch64: the lane operations of
// simd_kernel.inc for groups of 128-bit registers of 16-bit lanes.
//
// A vec is three registers, loaded and stored by one multi-register ld1/st1:
// 24 samples, which divide the tool's 240-sample hop, with room left in the
// 32 vector registers for the five inputs of an output chunk.
#include "agc/process_fast.h"

#if AGC_NEON_PATH

#include <arm_neon.h>

#include "agc/fixed_point.h"
#include "agc/hop.h"
#include "agc/lane_groups.h"

namespace agc::neon {

constexpr int REGS = 3;
constexpr int LANES = 8 * REGS;
using vec = int16x8x3_t;

inline vec load(const std::int16_t* p) { return vld1q_s16_x3(p); }
inline void store(std::int16_t* p, vec v) { vst1q_s16_x3(p, v); }

inline int16x8_t as_s16(uint16x8_t v) { return vreinterpretq_s16_u16(v); }
inline uint16x8_t as_u16(int16x8_t v) { return vreinterpretq_u16_s16(v); }

// One tbl per register reverses its eight lanes (as byte pairs).
inline vec load_reversed(const std::int16_t* p) {
    static const std::uint8_t reverse_bytes[16] = {14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1};
    const uint8x16_t reverse = vld1q_u8(reverse_bytes);
    const vec v = load(p);
    vec r;
    for (int k = 0; k < REGS; ++k) {
        r.val[k] = vreinterpretq_s16_u8(vqtbl1q_u8(vreinterpretq_u8_s16(v.val[REGS - 1 - k]), reverse));
    }
    return r;
}
inline vec splat(std::int16_t v) { return {vdupq_n_s16(v), vdupq_n_s16(v), vdupq_n_s16(v)}; }
inline vec add16(vec a, vec b) { return each(a, b, [](int16x8_t x, int16x8_t y) { return vaddq_s16(x, y); }); }
inline vec sub_sat16(vec a, vec b) { return each(a, b, [](int16x8_t x, int16x8_t y) { return vqsubq_s16(x, y); }); }
// Saturating absolute value: -32768 gives 32767.
inline vec magnitude_sat(vec s) { return each(s, [](int16x8_t x) { return vqabsq_s16(x); }); }
inline vec max_u16(vec a, vec b) {
    return each(a, b, [](int16x8_t x, int16x8_t y) { return as_s16(vmaxq_u16(as_u16(x), as_u16(y))); });
}
inline vec min16(vec a, vec b) { return each(a, b, [](int16x8_t x, int16x8_t y) { return vminq_s16(x, y); }); }
// One uadalp per register: pairwise add and accumulate into 32-bit lanes.
struct sums {
    uint32x4_t val[REGS];
};
inline sums pair_sums(vec a) {
    sums s;
    for (int k = 0; k < REGS; ++k) s.val[k] = vpaddlq_u16(as_u16(a.val[k]));
    return s;
}
inline sums add_pair_sums(sums acc, vec a) {
    for (int k = 0; k < REGS; ++k) acc.val[k] = vpadalq_u16(acc.val[k], as_u16(a.val[k]));
    return acc;
}
// sadalp for signed lanes, kept in the same unsigned registers: the bits of a
// two's-complement sum are those of the unsigned one.
inline sums signed_pair_sums(vec a) {
    sums s;
    for (int k = 0; k < REGS; ++k) s.val[k] = vreinterpretq_u32_s32(vpaddlq_s16(a.val[k]));
    return s;
}
inline sums add_signed_pair_sums(sums acc, vec a) {
    for (int k = 0; k < REGS; ++k) acc.val[k] = vreinterpretq_u32_s32(vpadalq_s16(vreinterpretq_s32_u32(acc.val[k]), a.val[k]));
    return acc;
}
inline vec keep_last(vec a, int count) {
    static const std::int16_t ramp[2 * LANES] = {0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,
                                                 0,  0,  0,  0,  0,  0,  0,  0,  -1, -1, -1, -1, -1, -1, -1, -1,
                                                 -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    return each(a, load(ramp + count), [](int16x8_t x, int16x8_t m) { return vandq_s16(x, m); });
}
inline std::int32_t max_u16_of(vec v) {
    uint16x8_t m = as_u16(v.val[0]);
    for (int k = 1; k < REGS; ++k) m = vmaxq_u16(m, as_u16(v.val[k]));
    return vmaxvq_u16(m);
}
inline std::int16_t min16_of(vec v) {
    int16x8_t m = v.val[0];
    for (int k = 1; k < REGS; ++k) m = vminq_s16(m, v.val[k]);
    return vminvq_s16(m);
}
inline std::int32_t sum32_of(sums v) {
    uint32x4_t s = v.val[0];
    for (int k = 1; k < REGS; ++k) s = vaddq_u32(s, v.val[k]);
    return static_cast<std::int32_t>(vaddvq_u32(s));
}

// sqdmulh gives (2 * w * x) >> 16 = (w * x) >> 15, saturating only for
// w = x = -32768, which the kernel never passes.
inline vec mul_q15(vec w, vec x) { return each(w, x, [](int16x8_t a, int16x8_t b) { return vqdmulhq_s16(a, b); }); }

// (g * r) >> 8 with g = 256 * high + low (low 0..255) is high * r, exact to
// 16 bits by a plain multiply, plus (low * r) >> 8, which sqdmulh forms from
// low << 7 (at most 32640, so it never saturates): one sqdmulh and one mla.
struct gain {
    int16x8_t high, low7;
};
inline gain gain_of(std::int16_t g) { return {vdupq_n_s16(store16(g >> 8)), vdupq_n_s16(store16((g & 255) << 7))}; }
inline vec mul_q8(const gain& g, vec r) {
    for (int k = 0; k < REGS; ++k) r.val[k] = vmlaq_s16(vqdmulhq_s16(r.val[k], g.low7), r.val[k], g.high);
    return r;
}

#include "agc/simd_kernel.inc"

} // namespace agc::neon

#endif // AGC_NEON_PATH
