// Speech-aware levelling: a per-hop detector that tells speech from the
// background, and the gate that keeps the pauses between sentences at the
// level they came in while the speech is levelled as before.
//
// The gain law runs as in the default mode on every hop, pauses included, so
// that a quiet sentence after a pause finds the gain already risen, as it
// does today. What the gate changes is the gain applied to the output:
//  - in speech, the law's gain;
//  - for a short hangover after speech (word endings, the gaps between
//    words), the law's gain, but no more than it was in the last hop of
//    speech, so that the rise the pause brings is not heard;
//  - then, over a short glide, down to unity (or the law's gain where that is
//    lower): the pause passes as it came in;
//  - after a pause, the applied gain climbs back to the law's by at most a
//    quarter (+1.9 dB) per hop: the law, which sees only one hop ahead, would
//    otherwise raise a sentence's first syllable to full scale before the
//    louder ones after it pull the gain down (pumping).
// The output pass crossfades from one hop's applied gain to the next, as it
// does the law's gain, so the gate never clicks.
//
// The detector measures each hop by its magnitudes about the hop's own mean,
// which leaves out what changes more slowly than a 5 ms hop (rumble, the
// swell of brown noise, most of mains hum). Every comparison is a ratio (a
// product against a product), so none depends on the hop's length.
// The output pass that takes a hop in measures it, and the gain of the next
// hop is decided from it: the gain that finishes that hop's crossfade.
// The noise floor is the lowest level of a slowly smoothed measure over the
// last 2.5 to 3 s (it follows a falling floor at once and a rising one
// within 3 s), and a hop is speech when a lightly smoothed measure stands
// 11 dB over it. Integer arithmetic only, no division, nothing allocated.
#ifndef AGC_SPEECH_H
#define AGC_SPEECH_H

#include <cstdint>

#include "agc/agc.h"

// Stretches of the floor tracker's window.
inline constexpr int AGC_SPEECH_STRETCHES = 5;

struct agc_speech {
    std::int32_t last_ac;  // the measure of the hop taken in last (-1: none yet), for the next decision
    std::int32_t fast;     // DC-free magnitude sum smoothed over about 2 hops: the decision's measure
    std::int32_t slow;     // the same over about 16 hops: the floor tracker's measure
    std::int32_t floor_min[AGC_SPEECH_STRETCHES]; // minima of slow over the last stretches
    std::int32_t stretch_min;  // and over the current stretch
    std::int16_t stretch_hops; // hops of the current stretch so far
    std::int16_t started;      // a hop has been measured
    std::int16_t hang;         // hops of hangover left
    std::int16_t open;         // 0 (shut) to AGC_SPEECH_GLIDE (open): the gate
    std::int16_t shut_hops;    // hops the gate has been shut, up to a pause's length
    std::int16_t rising;       // the applied gain is climbing back after a pause
    std::int16_t held;         // Q8 law gain of the last hop of speech
    std::int16_t applied;      // Q8 gain applied to the last hop
    std::int16_t detected;     // the hop decided last was taken as speech (for counting; decides nothing)
};

// Hops over which the gate shuts: `open` counts them down.
inline constexpr int AGC_SPEECH_GLIDE = 4;

// The compression weight that reached the output in the hop decided last,
// for a law weight of `mix`: all of it in speech, none once the gate is shut.
std::int16_t agc_speech_weight(const agc_speech& speech, std::int16_t mix);

// Sets up a detector for a new recording: its floor is learnt from the first
// hops, and the first speech counts as coming after a pause.
void agc_speech_init(agc_speech& speech);

// One hop's decision: from the measure of the hop before it (last_ac, which
// the caller sets from each output pass) and the gain the law decided for
// this hop, the gain to apply. win_size is the engine's window. Updates the
// detector.
std::int16_t agc_speech_gain(agc_speech& speech, std::int16_t law_gain, std::int16_t win_size);

// agc_process, speech-aware: the hop is measured, the law decides its gain
// (stored in state.gain as always), the gate decides the gain applied, and
// the output is crossfaded to it. Returns the gain applied.
std::int16_t agc_process_speech(agc_frame& frame, agc_state& state, agc_speech& speech, std::int16_t mix);

#endif
