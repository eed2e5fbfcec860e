// The speech detector and the pause gate (see speech.h for what they do).
#include "agc/speech.h"

#include "agc/fixed_point.h"
#include "agc/process_fast.h"

using agc::store16;

namespace {

constexpr std::int16_t HANGOVER_HOPS = 8;  // 40 ms: a word ending, a gap between words
constexpr std::int16_t PAUSE_HOPS = 40;    // 200 ms shut: the next speech comes after a pause
constexpr std::int16_t STRETCH_HOPS = 100; // 0.5 s: one stretch of the floor tracker's window
constexpr std::int16_t UNITY = 256;        // Q8

// Speech stands 11 dB over the floor: 3.55 times its magnitude sum, as
// 227 / 64. Products in 64 bits: a sum reaches 2^24.
constexpr bool over_threshold(std::int32_t level, std::int32_t floor) {
    return std::int64_t{level} * 64 > std::int64_t{floor} * 227;
}

std::int16_t min16(std::int16_t a, std::int16_t b) { return a < b ? a : b; }

// The noise floor: the smallest stretch minimum, the current stretch's
// included. Closes the stretch when it is full.
std::int32_t track_floor(agc_speech& s, std::int32_t level) {
    if (level < s.stretch_min) s.stretch_min = level;
    std::int32_t floor = s.stretch_min;
    for (const std::int32_t m : s.floor_min) floor = m < floor ? m : floor;
    if (++s.stretch_hops == STRETCH_HOPS) {
        for (int k = AGC_SPEECH_STRETCHES - 1; k > 0; --k) s.floor_min[k] = s.floor_min[k - 1];
        s.floor_min[0] = s.stretch_min;
        s.stretch_min = INT32_MAX;
        s.stretch_hops = 0;
    }
    return floor;
}

// Whether the hop measured last is speech: updates the measures and the floor.
bool detect(agc_speech& s, std::int16_t win_size) {
    const std::int32_t ac = s.last_ac;
    if (ac < 0) return false; // no hop taken in yet
    // Smoothing in the linear domain, where an onset's one loud hop counts
    // at once; the first hop starts both measures.
    if (!s.started) s.fast = s.slow = ac;
    s.started = 1;
    s.fast += (ac - s.fast) >> 1;
    s.slow += (ac - s.slow) >> 4;
    // No floor under a mean distance of 2 (about -84 dBFS), a sum of
    // 2 * half = win_size: digital silence must not make the faintest noise speech.
    std::int32_t floor = track_floor(s, s.slow);
    if (floor < win_size) floor = win_size;
    return over_threshold(s.fast, floor);
}

} // namespace

void agc_speech_init(agc_speech& speech) {
    speech = agc_speech{};
    speech.last_ac = -1;
    for (std::int32_t& m : speech.floor_min) m = INT32_MAX;
    speech.stretch_min = INT32_MAX;
    speech.shut_hops = PAUSE_HOPS; // the recording starts as if after a pause
    speech.held = UNITY;
    speech.applied = UNITY;
}

std::int16_t agc_speech_gain(agc_speech& s, std::int16_t law_gain, std::int16_t win_size) {
    const bool speech = detect(s, win_size);
    s.detected = speech ? 1 : 0;

    // The gate: open at once with speech, shut after the hangover over the glide.
    if (speech) {
        s.hang = HANGOVER_HOPS;
    } else if (s.hang > 0) {
        --s.hang;
    }
    const bool was_shut = s.open == 0;
    if (speech || s.hang > 0) {
        s.open = AGC_SPEECH_GLIDE;
    } else if (s.open > 0) {
        --s.open;
    }
    if (s.open == 0) {
        if (s.shut_hops < PAUSE_HOPS) ++s.shut_hops;
    } else {
        if (was_shut && s.shut_hops == PAUSE_HOPS) s.rising = 1;
        s.shut_hops = 0;
    }

    // Hangover and glide blend the law's gain, held to its last value in
    // speech, with unity (or the law's gain where that is lower).
    if (speech) s.held = law_gain;
    const std::int16_t capped = min16(law_gain, s.held);
    const std::int16_t floor_gain = min16(law_gain, UNITY);
    static_assert(AGC_SPEECH_GLIDE == 4, "the blend and the weight divide by the glide with a shift");
    std::int16_t gain = store16(floor_gain + (((capped - floor_gain) * s.open) >> 2));

    // After a pause, a quarter more per hop at most, from unity or above.
    if (s.rising) {
        const std::int16_t from = s.applied > UNITY ? s.applied : UNITY;
        const std::int32_t limit = from + (from >> 2) < INT16_MAX ? from + (from >> 2) : INT16_MAX;
        if (gain > limit) {
            gain = store16(limit);
        } else {
            s.rising = 0;
        }
    }
    s.applied = gain;
    return gain;
}

std::int16_t agc_speech_weight(const agc_speech& speech, std::int16_t mix) {
    return store16((mix * speech.open) >> 2);
}

std::int16_t agc_process_speech(agc_frame& frame, agc_state& state, agc_speech& speech, std::int16_t mix) {
    return agc::process_hop_speech(frame.in, frame.out, state, speech, mix);
}
