// The gain law: a static curve over the peak, smoothed with separate fall and
// rise rates, then held under a peak ceiling and a level ceiling.
#include "agc/agc.h"
#include "agc/fixed_point.h"

using agc::store16;

std::int16_t agc_gain(agc_state& state, std::int16_t peak, std::int16_t mix, std::int16_t level) {
    // Target: both curves interpolated linearly within the peak's octave.
    // f is the Q15 position of the peak between 2^(14-i) and 2^(15-i).
    const agc::norm_result pn = agc::norm_shift(peak);
    const int i = pn.shift;
    const std::int16_t f = agc::mantissa_fraction(pn.x);
    const std::int16_t a = store16(((state.slope_a[i] * f) >> 15) + state.base_a[i]);
    const std::int16_t b = store16(((state.slope_b[i] * f) >> 15) + state.base_b[i]);
    // Blend with weight mix (Q15); 32767 - mix is not stored, so it keeps 32 bits.
    // Each product is shifted on its own, then the two are added.
    std::int16_t t = store16(((a * (32767 - mix)) >> 15) + ((b * mix) >> 15));

    // Smoothing: cover a fixed share of the distance per hop. The truncating
    // shift makes a falling gain settle 1 above a steady target and a rising
    // one stop within 32768 / release of it.
    const std::int16_t cur = state.gain;
    if (t < cur) {
        std::int16_t d = store16(cur - t);
        d = store16((d * state.attack) >> 15);
        t = store16(cur - d);
    } else {
        std::int16_t d = store16(t - cur);
        d = store16((d * state.release) >> 15);
        t = store16(cur + d);
    }

    // Peak ceiling: keep gain x peak near peak_limit. The quotient replaces t
    // even where it is a little larger (six-bit mantissa); no minimum is taken.
    if (t * peak > (state.peak_limit << 8)) {
        t = agc::limit_quotient(state.peak_limit, pn.shift, f);
    }

    // Level ceiling, tested on what the peak ceiling left. u is compared in
    // 32 bits, untruncated: only a direct call with a large level and a fresh
    // gain can take it past 16 bits, and then the ceiling must still act.
    const std::int32_t u = (level * t) >> 12;
    if (u > (state.level_limit >> 4)) {
        const agc::norm_result ln = agc::norm_shift(level);
        t = agc::limit_quotient(state.level_limit, ln.shift, agc::mantissa_fraction(ln.x));
    }

    state.gain = t;
    return t;
}
