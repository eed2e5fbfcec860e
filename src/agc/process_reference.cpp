// The plain signal path, one sample per pass, written as the arithmetic reads.
#include "agc/fixed_point.h"
#include "agc/hop.h"

namespace agc {

std::int16_t process_reference(const std::int16_t* in, std::int16_t* out, agc_state& state, std::int16_t mix) {
    const int half = state.win_size >> 1;
    const int quarter = state.win_size >> 2;

    std::int32_t peak = 0;
    std::int32_t sum = 0;
    for (int j = 0; j < half; ++j) {
        const std::int32_t a = magnitude(in[j]);
        if (a > peak) peak = a;
        sum += a;
    }

    const std::int16_t g = hop_gain(state, peak, sum, mix);

    // Output: the previous hop under the falling window at the previous gain
    // (already in tail) plus the rising window at the new gain. The window
    // product is shifted back to Q0 before the Q8 gain multiplies it; the sum
    // wraps to 16 bits unsaturated (the peak ceiling keeps it in range).
    for (int j = 0; j < 2 * quarter; ++j) {
        const std::int32_t windowed = (state.window[j] * state.prev_hop[j]) >> 15;
        out[j] = store16(state.tail[j] + ((g * windowed) >> 8));
    }
    // New tail: this hop under the falling window (the rising one read
    // backwards) at the new gain, for the next call's crossfade.
    for (int j = 0; j < 2 * quarter; ++j) {
        const std::int32_t windowed = (state.window[half - 1 - j] * in[j]) >> 15;
        state.tail[j] = store16((g * windowed) >> 8);
    }
    for (int j = 0; j < 2 * quarter; ++j) {
        state.prev_hop[j] = in[j];
    }
    return g;
}

} // namespace agc
