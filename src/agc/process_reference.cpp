// The plain signal path, one sample per pass, written as the arithmetic reads.
#include "agc/fixed_point.h"
#include "agc/hop.h"

namespace agc {

hop_measure measure_reference(const std::int16_t* in, const agc_state& state, bool mean) {
    const int half = state.win_size >> 1;
    hop_measure m;
    m.plain = true;
    for (int j = 0; j < half; ++j) {
        const std::int32_t a = magnitude(in[j]);
        if (a > m.peak) m.peak = a;
        m.sum += a;
    }
    if (mean) {
        std::int32_t signed_sum = 0;
        for (int j = 0; j < half; ++j) signed_sum += in[j];
        m.mean = hop_mean(state, signed_sum);
    }
    return m;
}

std::int32_t apply_reference(const std::int16_t* in, std::int16_t* out, agc_state& state, std::int16_t gain,
                             bool ac, std::int16_t mean) {
    const int half = state.win_size >> 1;
    const int quarter = state.win_size >> 2;
    // Output: the previous hop under the falling window at the previous gain
    // (already in tail) plus the rising window at the new gain. The window
    // product is shifted back to Q0 before the Q8 gain multiplies it; the sum
    // wraps to 16 bits unsaturated (the peak ceiling keeps it in range).
    for (int j = 0; j < 2 * quarter; ++j) {
        const std::int32_t windowed = (state.window[j] * state.prev_hop[j]) >> 15;
        out[j] = store16(state.tail[j] + ((gain * windowed) >> 8));
    }
    // New tail: this hop under the falling window (the rising one read
    // backwards) at the new gain, for the next call's crossfade.
    for (int j = 0; j < 2 * quarter; ++j) {
        const std::int32_t windowed = (state.window[half - 1 - j] * in[j]) >> 15;
        state.tail[j] = store16((gain * windowed) >> 8);
    }
    for (int j = 0; j < 2 * quarter; ++j) {
        state.prev_hop[j] = in[j];
    }
    std::int32_t sum = 0;
    if (ac) {
        for (int j = 0; j < 2 * quarter; ++j) sum += distance(in[j], mean);
    }
    return sum;
}

std::int16_t process_reference(const std::int16_t* in, std::int16_t* out, agc_state& state, std::int16_t mix) {
    const hop_measure m = measure_reference(in, state, false);
    const std::int16_t g = hop_gain(state, m.peak, m.sum, mix);
    apply_reference(in, out, state, g, false, 0);
    return g;
}

std::int32_t distance_reference(const std::int16_t* in, const agc_state& state, std::int16_t mean) {
    const int half = state.win_size >> 1;
    std::int32_t sum = 0;
    for (int j = 0; j < half; ++j) sum += distance(in[j], mean);
    return sum;
}

} // namespace agc
