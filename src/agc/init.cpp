// Engine set-up: settings, the half-window, and the per-octave curve segments.
#include "agc/agc.h"
#include "agc/fixed_point.h"
#include "agc/precondition.h"

using agc::store16;

void agc_init(agc_state& state, std::int16_t win_size, const std::int16_t* curve_a,
              const std::int16_t* curve_b, std::int16_t peak_limit, std::int16_t attack,
              std::int16_t release, std::int16_t level_limit, std::int16_t level_coef) {
    AGC_EXPECT(win_size > 0 && win_size % 4 == 0 && win_size / 2 <= AGC_MAX_HOP);
    state.win_size = win_size;
    state.prev_peak = 0;
    state.attack = attack;
    state.release = release;
    state.level_limit = level_limit;
    state.inv_hop = agc::inverse(store16(win_size >> 1));
    state.level = 0;
    state.level_coef = level_coef;
    state.gain = 256; // unity in Q8
    agc_make_window(state.window, win_size);
    const int half = win_size >> 1;
    for (int j = 0; j < half; ++j) {
        state.prev_hop[j] = 0;
        state.tail[j] = 0; // a re-initialised record must not replay an old tail
    }
    // Segment j spans peaks 2^(14-j) .. 2^(15-j): base at the low end (point j+1),
    // slope up to the high end (point j).
    for (int j = 0; j < 15; ++j) {
        state.base_a[j] = curve_a[j + 1];
        state.slope_a[j] = store16(curve_a[j] - curve_a[j + 1]);
        state.base_b[j] = curve_b[j + 1];
        state.slope_b[j] = store16(curve_b[j] - curve_b[j + 1]);
    }
    state.peak_limit = peak_limit;
}
