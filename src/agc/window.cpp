// Synthesis of the rising raised-cosine half-window, without trigonometry or
// division: the phase step comes from the reciprocal table and the cosine from
// the quarter-period table with 4-bit linear interpolation.
#include "agc/agc.h"
#include "agc/fixed_point.h"
#include "agc/precondition.h"

using agc::store16;

void agc_make_window(std::int16_t* window, std::int16_t n) {
    AGC_EXPECT(n > 0 && n % 4 == 0 && n / 2 <= AGC_MAX_HOP);
    // step ~ 32767 / n: the phase advance per sample, in 1/8192 of a quarter period.
    const std::int16_t step = agc::inverse(n);
    const int half = n >> 1;
    const int quarter = n >> 2;

    for (int j = 0; j < quarter; ++j) {
        // Phase in 1/1024 of a quarter period: 6 bits of table position, 4 of fraction.
        const std::int16_t e = store16((j * step) >> 3);
        const int p = e >> 4;
        const int frac = e & 15;
        const std::int16_t c0 = agc::cos_tab[p];
        const std::int16_t d = store16(agc::cos_tab[p + 1] - c0);
        const std::int16_t v = store16(c0 + ((d * frac) >> 4));
        window[j] = store16((32767 - v) >> 1); // (1 - cos) / 2 in Q15
    }
    // The second quarter mirrors the first, so that every rising value and its
    // falling partner sum to the same constant 32767 - 8 * step: the crossfade
    // of two equal gains then has a flat envelope.
    for (int k = quarter; k < half; ++k) {
        window[k] = store16(32767 - (step << 3) - window[half - 1 - k]);
    }
}
