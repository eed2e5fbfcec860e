// Speech-aware levelling: a detector that tells speech from the background,
// and the gate that keeps the pauses between sentences at the level they
// came in while the sentences are levelled as before, held open through the
// gaps between words.
//
// The detector looks ahead: a hop is measured as it comes in and levelled
// `ahead` hops later, so that every decision about a hop has seen what
// follows it. That buys three things:
//  - an onset gets its gain before it arrives: the gain rises over 40 ms,
//    done 20 ms before the first hop of speech, not over the first syllable, and
//    the first hop of speech is where the sound first rose over the
//    background (up to 100 ms before the detector was sure of it), so that
//    a soft start is not faded in (with a look-ahead too short to rise
//    before it, the gate opens in 10 ms instead, from where it is found);
//  - a gap between words is told from the start of a pause: a run of
//    background shorter than the bridge (about 440 ms) keeps the speech
//    gain; only a longer one lets it fall, smoothly over 160 ms, from
//    where the speech ended. With a look-ahead as long as the bridge (for
//    recordings levelled whole) the pause is seen coming and carries no
//    hangover; with a short one (live) the gain is held for the rest of the
//    bridge before it falls. A decay more than 20 dB under the speech's
//    level (a room's reverberation) does not bridge: after it, 100 ms of
//    background make a pause, and the gain, the decay having faded the
//    sentence out already, falls over 40 ms. Where digital silence follows
//    within the bridge, the gain holds until it starts: the last word's
//    fade (and the faint noise of the room it was recorded in) is not cut
//    short, and raising silence costs nothing;
//  - the gain law sees the loudest peak of the coming hops, so that a
//    sentence does not start at the gain the pause left, to be pulled down by
//    its first loud syllable.
// A hop is active when its level smoothed over 80 ms stands 6 dB over the
// background's (5 dB to stay in speech), or its level over 10 ms 12 dB.
// The background is tracked from the hops outside speech only (continuous
// speech cannot teach it that speech is the floor), as the mean of the 80 ms
// level over about 1.3 s; a floor that rises under continuous speech is
// found by the lowest level of all hops over the last 8 s.
//
// The gain law runs on every hop, pauses included (fed a peak no lower than
// that of faint noise, so that digital silence lets its gain recover as a
// noise floor does): the gain applied glides, in steps equal in dB, between
// the law's gain in speech and unity (or the law's gain where that is lower)
// in a pause. The output pass crossfades from one hop's gain to the next, as
// in the default mode, so the gate never clicks.
//
// Every level is a base-2 logarithm in 1/256 octave, every comparison a
// difference of logarithms: none depends on the hop's length. Integer
// arithmetic only, no division, nothing allocated: the look-ahead lives in
// storage the caller gives.
#ifndef AGC_SPEECH_H
#define AGC_SPEECH_H

#include <cstddef>
#include <cstdint>

#include "agc/agc.h"

// Look-ahead, in hops (5 ms each at every rate): for live use, 30 ms; for a
// recording levelled whole, 480 ms, as long as the bridge and the onset's
// rise together.
inline constexpr int AGC_SPEECH_AHEAD_LIVE = 6;
inline constexpr int AGC_SPEECH_AHEAD_FILE = 96;

// Stretches of the floor trackers' windows.
inline constexpr int AGC_SPEECH_STRETCHES = 8;

// What is kept of a hop between its measurement and its levelling.
struct agc_speech_hop {
    std::int32_t peak, sum; // what the gain law takes
};

// Something the detector found, for the gate to act on when the output
// reaches it: speech starts at hop `at`, or ended before hop `at`; the gate
// moves `steps` a hop towards open or shut from there.
struct agc_speech_event {
    std::int32_t at;
    std::int16_t onset;
    std::int16_t steps;
};
inline constexpr int AGC_SPEECH_EVENTS = 8;

// Fields by size, so that the record has no padding and two detectors that
// heard the same compare equal byte for byte.
struct agc_speech {
    std::int64_t unheard_sum;  // the sum of slow over the hops of speech since it last came down to the background
    // The look-ahead: `ahead` hops, in the caller's storage.
    std::int16_t* delayed;     // (ahead + 1) hops of samples, AGC_MAX_HOP apart
    agc_speech_hop* measured;  // (ahead + 1) records
    std::int32_t last_ac;      // the measure of the hop taken in last (-1: none), when the caller measures
    // The detector, on the hops as they come in.
    std::int32_t fast;         // DC-free magnitude sum smoothed over about 2 hops: the decision's measure
    std::int32_t slow;         // the same over about 16 hops: the background's measure
    std::int32_t bed;          // the background's level: the mean of slow outside speech
    std::int32_t taken;        // hops taken in
    std::int32_t last_active;  // the latest active hop
    std::int32_t candidate;    // an onset not yet confirmed (-1: none)
    std::int32_t audible_from; // where the latest run of audible hops began
    std::int32_t over_bed_from; // where the latest run of hops over the background began
    std::int32_t last_audible; // the latest audible hop in speech
    std::int32_t last_near;    // the latest active hop within reach of the speech's level
    std::int32_t sound_from;   // the first hop of sound over digital silence (-1: none yet)
    agc_speech_event events[AGC_SPEECH_EVENTS]; // between the hops coming in and the hop levelled
    agc_speech_hop now;        // without look-ahead, the one record
    std::int16_t all_min[AGC_SPEECH_STRETCHES]; // minima of every hop's level over stretches of 1 s
    std::int16_t all_stretch_min;  // and of the current stretch
    std::int16_t all_stretch_hops; // hops in it so far
    std::int16_t unheard;          // hops of speech since it last came down to the background
    std::int16_t speaking;         // in speech, as the hops come in
    std::int16_t confirm_hops;     // active hops since the candidate
    std::int16_t first_event, event_count;
    // The gate, on the hop levelled.
    std::int16_t open;    // 0 (shut) to AGC_SPEECH_GLIDE (open)
    std::int16_t opening; // moving towards open
    std::int16_t applied; // Q8 gain applied to the last hop
    std::int16_t ahead;   // look-ahead in hops
    std::int16_t half;    // samples per hop
    std::int16_t slot;    // the newest hop's slot of the look-ahead
    std::int16_t steps;   // steps the gate moves a hop, as the last event said: more where it opens late
    std::int16_t speech_level; // the slow measure's highest in this speech, falling about 4.7 dB a second
    std::int16_t silent_hops;  // hops of digital silence in a row, up to INT16_MAX
};

// Steps between the gate shut and open: it opens in 8 hops (40 ms), 4
// steps a hop, and shuts in 32 (160 ms), one step a hop.
inline constexpr int AGC_SPEECH_GLIDE = 32;

// Bytes of storage for a look-ahead of `ahead` hops (0: none).
std::size_t agc_speech_storage(int ahead);

// Sets up a detector for a new recording, without look-ahead: its output
// lags one hop, as agc_process's does. Its floor is learnt from the first
// hops of sound (digital silence before them tells nothing of it), and the
// first speech counts as coming after a pause.
void agc_speech_init(agc_speech& speech);

// The same with a look-ahead of `ahead` hops (up to AGC_SPEECH_AHEAD_FILE)
// for a window of win_size, in `storage` of agc_speech_storage(ahead) bytes
// aligned as malloc aligns: the output lags 1 + ahead hops, the first
// `ahead` of them silence.
void agc_speech_init_ahead(agc_speech& speech, std::int16_t win_size, int ahead, void* storage);

// The compression weight that reached the output in the hop decided last,
// for a law weight of `mix`: all of it in speech, none once the gate is shut.
std::int16_t agc_speech_weight(const agc_speech& speech, std::int16_t mix);

// Whether the hop decided last was taken as speech: the gate open on it.
inline bool agc_speech_in_speech(const agc_speech& speech) { return speech.open > 0; }

// Whether the look-ahead is still filling: the hop decided last is none of
// the recording's.
inline bool agc_speech_filling(const agc_speech& speech) { return speech.taken <= speech.ahead; }

// One hop's decision without look-ahead, for callers that measure the hop
// themselves: from the measure of the hop taken in (last_ac, set by the
// caller) and the gain the law decided for it, the gain to apply.
std::int16_t agc_speech_gain(agc_speech& speech, std::int16_t law_gain, std::int16_t win_size);

// agc_process, speech-aware: the hop is measured and kept, and the hop
// `ahead` hops before it is levelled: the law decides its gain (stored in
// state.gain as always), the gate the gain applied, and frame.out gets the
// hop before that one crossfaded to it. Returns the gain applied.
std::int16_t agc_process_speech(agc_frame& frame, agc_state& state, agc_speech& speech, std::int16_t mix);

#endif
