// The speech detector, the pause gate and the look-ahead between them (see
// speech.h for what they do).
#include "agc/speech.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "agc/fixed_point.h"
#include "agc/hop.h"
#include "agc/process_fast.h"

using agc::store16;

static_assert(std::has_unique_object_representations_v<agc_speech>, "no padding in the detector's record");

namespace {

// Levels are base-2 logarithms in 1/256 octave: 6.02 dB is 256, 1 dB about 42.5.
constexpr std::int16_t DB = 43;

constexpr std::int16_t UNITY = 256;          // Q8
constexpr std::int16_t FAINT_PEAK = 8;       // the least peak the law sees: that of faint noise
constexpr std::int32_t BRIDGE_HOPS = 88;     // 440 ms: a longer run of background is a pause
constexpr std::int32_t TAIL_HOPS = 2;        // 10 ms past the last active hop before the gain falls
constexpr std::int32_t QUIET_HOPS = 20;      // 100 ms under the background's margin: a pause, once the speech is out of reach
constexpr std::int16_t ALL_STRETCH_HOPS = 200; // 1 s: a stretch of the window over every hop
constexpr std::int32_t CONFIRM_WINDOW = 20;  // 100 ms in which an onset must show itself
constexpr int PEAK_AHEAD_FILE = 24;          // hops of peaks the law sees ahead: 120 ms
constexpr std::int32_t LOOK_BACK_HOPS = 10;  // 50 ms: how far an onset may start before the slow measure shows it
constexpr std::int16_t OPEN_STEPS = 4;       // the gate opens in 8 hops, 40 ms
constexpr std::int32_t RISE_HOPS = AGC_SPEECH_GLIDE / OPEN_STEPS;
constexpr std::int16_t LATE_STEPS = 16;      // a gate that opens late catches up in two hops
// After the last word the gate shuts four times as slowly as it opens, in
// 160 ms: the background fades out rather than being cut off, and the fade
// of a sentence's last syllable, often under the background's margin
// already, keeps most of its gain.
constexpr std::int16_t CLOSE_STEPS = 1;
// The gate's blends divide by the glide with a shift.
constexpr int GLIDE_SHIFT = 5;
static_assert(1 << GLIDE_SHIFT == AGC_SPEECH_GLIDE, "the glide is a power of two");
constexpr std::int32_t ONSET_BACK_HOPS = 20; // 100 ms: how far before that an onset may start where the hops first rose over the background
constexpr std::int32_t PRE_ROLL_HOPS = 4;    // 20 ms more of rise before an onset, where the look-ahead has room
constexpr std::int32_t FADE_HOPS = 88;       // 440 ms: how far a word's fade into digital silence keeps the gain

// Speech stands this far over the background's level: the slow measure to
// open, then to stay open; the fast one for an onset.
constexpr std::int16_t OPEN_OVER_BED = 6 * DB;
constexpr std::int16_t STAY_OVER_BED = 5 * DB;
constexpr std::int16_t ONSET_OVER_BED = 12 * DB;
constexpr std::int16_t ABOVE_BED = 2 * DB;
// A hop more than this under the speech's level does not bridge a gap:
// a room's reverberation or a trailing breath, not a word.
constexpr std::int16_t REACH = 20 * DB;
constexpr std::int16_t RELEARN_HOPS = 4096;  // 20 s of speech that never comes down to the background
constexpr std::int64_t RELEARN_SHARE = 128; // Q8: half the mean, -6 dB, for the speech in it
constexpr std::int32_t LEARNING_HOPS = 200;  // 1 s from the first sound in which the background is learnt quickly

std::int16_t max16(std::int16_t a, std::int16_t b) { return a > b ? a : b; }
std::int16_t min16(std::int16_t a, std::int16_t b) { return a < b ? a : b; }

// The look-ahead's slots form a ring of ahead + 1: the one after the
// newest hop's holds the hop to level.
std::int16_t next_slot(const agc_speech& s, std::int16_t slot) { return slot == s.ahead ? 0 : store16(slot + 1); }

agc_speech_hop& record(agc_speech& s, std::int16_t slot) { return s.ahead == 0 ? s.now : s.measured[slot]; }

std::int16_t* samples_of(agc_speech& s, std::int16_t slot) { return s.delayed + slot * AGC_MAX_HOP; }

void push_event(agc_speech& s, std::int32_t at, bool onset, std::int16_t steps) {
    if (s.event_count == AGC_SPEECH_EVENTS) { // cannot happen within the look-ahead; the oldest goes
        s.first_event = store16((s.first_event + 1) % AGC_SPEECH_EVENTS);
        --s.event_count;
    }
    agc_speech_event& e = s.events[(s.first_event + s.event_count) % AGC_SPEECH_EVENTS];
    e.at = at;
    e.onset = onset ? 1 : 0;
    e.steps = steps;
    ++s.event_count;
}

// Where the speech that ended last ended: after its last hop both audible
// and active.
std::int32_t speech_end(const agc_speech& s) { return (s.last_audible < s.last_active ? s.last_audible : s.last_active) + 1; }

// Over digital silence the last word fades under the margin (about -80
// dBFS) well before the sound stops, often into the faint noise of the room
// it was recorded in: where the silence starts soon after the end of speech
// and the gate has not yet reached that end, the gain holds until the
// silence starts, as it would for the rest of the word. Raising silence
// costs nothing; dropping the fade cuts the word's end short.
void hold_to_silence(agc_speech& s, std::int32_t silent_from) {
    if (s.event_count == 0) return;
    agc_speech_event& e = s.events[(s.first_event + s.event_count - 1) % AGC_SPEECH_EVENTS];
    if (!e.onset && silent_from > e.at && silent_from - speech_end(s) <= FADE_HOPS) e.at = silent_from;
}

// Lowest of a stretch window and its current stretch; a stretch that saw
// no hop (INT16_MAX) counts for nothing.
std::int16_t window_min(const std::int16_t* stretches, std::int16_t current) {
    std::int16_t m = current;
    for (int k = 0; k < AGC_SPEECH_STRETCHES; ++k) m = min16(m, stretches[k]);
    return m;
}

// Adds a level to a stretch window; closes the stretch when it is full.
void add_to_window(std::int16_t* stretches, std::int16_t& current, std::int16_t& hops, std::int16_t length,
                   std::int16_t level) {
    current = min16(current, level);
    if (++hops < length) return;
    for (int k = AGC_SPEECH_STRETCHES - 1; k > 0; --k) stretches[k] = stretches[k - 1];
    stretches[0] = current;
    current = INT16_MAX;
    hops = 0;
}

// The detector, on the hop that came in with measure `ac`: updates the
// background and records the onsets and ends of speech it finds.
void detect(agc_speech& s, std::int32_t ac, std::int16_t win_size) {
    const std::int32_t j = s.taken - 1;
    const bool silent = ac == 0; // digital silence: no sample off the hop's mean
    s.silent_hops = silent ? store16(s.silent_hops < INT16_MAX ? s.silent_hops + 1 : INT16_MAX) : 0;
    // The detector starts on the first hop of sound. Digital silence before
    // it (a recorder's or an encoder's lead-in) says nothing of the
    // background: taken for it, it would make the background that comes in
    // after it speech, and hold the gate open until the lowest level of the
    // last 8 s forgot the silence. The first hop whose window is all sound
    // (the one after the first over the floor) starts both measures and the
    // background's level.
    if (s.sound_from < 0) {
        if (ac <= win_size) {
            s.audible_from = j + 1;
            return;
        }
        if (s.audible_from == j) return; // its window still holds the silence before it
        s.fast = s.slow = s.bed = ac;
        s.sound_from = j;
    }
    // Smoothing in the linear domain, where an onset's one loud hop counts
    // at once.
    s.fast += (ac - s.fast) >> 1;
    s.slow += (ac - s.slow) >> 4;
    const std::int16_t fast = agc::log2_q8(s.fast > 0 ? static_cast<std::uint32_t>(s.fast) : 1u);
    const std::int16_t slow = agc::log2_q8(s.slow > 0 ? static_cast<std::uint32_t>(s.slow) : 1u);

    // The background's level: the mean of the slow measure over the hops
    // outside speech, in the linear domain, where the rests of a music bed
    // do not drag it down; quickly over the first second, then over about
    // 1.3 s. A bed that rose under continuous speech shows in the lowest
    // level of all hops over the last 8 s. Never under a mean distance of 2
    // (about -84 dBFS), a sum of win_size: digital silence must not make the
    // faintest noise speech.
    add_to_window(s.all_min, s.all_stretch_min, s.all_stretch_hops, ALL_STRETCH_HOPS, slow);
    if (!s.speaking) s.bed += (s.slow - s.bed) >> (j - s.sound_from < LEARNING_HOPS ? 5 : 8);
    std::int16_t bed = agc::log2_q8(s.bed > 0 ? static_cast<std::uint32_t>(s.bed) : 1u);
    bed = max16(bed, window_min(s.all_min, s.all_stretch_min));
    bed = max16(bed, agc::log2_q8(static_cast<std::uint32_t>(win_size)));

    // Speech stands over the background as a babble or a music bed, smoothed
    // over 80 ms, seldom does (their ups and downs average out, a talker's
    // syllables do not); a loud onset counts at once.
    // The slow measure lags at both ends of speech: where the speech starts
    // and ends is where the fast one crosses, and it must stand over the
    // background too.
    const std::int16_t over = s.speaking ? STAY_OVER_BED : OPEN_OVER_BED;
    const bool audible = fast > bed + STAY_OVER_BED;
    const bool active = (slow > bed + over && fast > bed + ABOVE_BED) || fast > bed + ONSET_OVER_BED;
    // The speech's level, against which a reverberant decay is told from a
    // word: it holds the loudest of the slow measure and falls slowly, so
    // that a sentence's softer half still counts.
    s.speech_level = s.speaking ? max16(slow, store16(s.speech_level - 1)) : slow;

    // Speech dips to the background between its words: "speech" that has
    // not come down to it for 20 s is a background louder than the one
    // learnt (one that rose while a sentence went on and stayed), whose
    // level is then learnt anew from those 20 s: their mean level, less a
    // margin for the speech that may lie in them.
    if (!s.speaking || !audible) {
        s.unheard = 0;
        s.unheard_sum = 0;
    } else {
        s.unheard_sum += s.slow;
        static_assert(RELEARN_HOPS == 4096, "the mean is taken with a shift");
        if (++s.unheard >= RELEARN_HOPS) {
            s.bed = static_cast<std::int32_t>(((s.unheard_sum >> 12) * RELEARN_SHARE) >> 8);
            s.unheard = 0;
            s.unheard_sum = 0;
        }
    }
    if (fast <= bed + ABOVE_BED) s.over_bed_from = j + 1;
    if (!audible) {
        s.audible_from = j + 1;
    } else if (s.speaking) {
        s.last_audible = j;
    }

    // An onset counts when the look-ahead shows enough speech after it: a
    // lone bump of the background does not open the gate. Without room to
    // wait, the first active hop is the onset.
    const std::int16_t confirm_hops = s.ahead >= CONFIRM_WINDOW + RISE_HOPS ? 4 : 1;
    if (s.speaking) {
        // A gap is a pause once no active hop came for the bridge, or once
        // none came within reach of the speech's level for the bridge and
        // the sound has lain under the background's margin for 100 ms. In
        // a room the decay after a sentence stands over the background for
        // most of a second: counted from its end, the bridge would take the
        // pause after it for a gap between words and raise its background.
        // The gain still falls only where the decay has gone.
        if (active) s.last_active = j;
        if (active && slow >= s.speech_level - REACH) s.last_near = j;
        // After words the gate shuts slowly (see the gate); after a room's
        // decay, which has already faded the sentence out, at the pace it
        // opens, so that the pause after it is not raised.
        const bool gap = j - s.last_active >= BRIDGE_HOPS;
        if (gap || (j - s.last_near >= BRIDGE_HOPS && j - s.last_active >= QUIET_HOPS)) {
            s.speaking = 0;
            push_event(s, speech_end(s), false, gap ? CLOSE_STEPS : OPEN_STEPS);
        }
    } else {
        if (s.candidate >= 0 && j - s.candidate >= CONFIRM_WINDOW) s.candidate = -1;
        if (active) {
            if (s.candidate < 0) {
                s.candidate = j - s.audible_from < LOOK_BACK_HOPS ? s.audible_from : j;
                s.confirm_hops = 0;
            }
            if (++s.confirm_hops >= confirm_hops) {
                s.speaking = 1;
                s.last_active = s.last_audible = s.last_near = j;
                // A sentence often starts softer than it goes on (a
                // consonant, a breath, a weak first syllable over babble):
                // the speech began where the hops first rose over the
                // background, not where the detector became sure of it.
                push_event(s, std::max(std::min(s.candidate, s.over_bed_from), s.candidate - ONSET_BACK_HOPS), true,
                           OPEN_STEPS);
                s.candidate = -1;
            }
        }
    }
    if (silent && !s.speaking) hold_to_silence(s, j - s.silent_hops + 1);
}

// The gate on hop k, the hop being levelled: opens towards the onsets the
// detector found, shuts after the ends; returns the gain between the law's
// and the pause's.
std::int16_t gate(agc_speech& s, std::int32_t k, std::int16_t law) {
    while (s.event_count > 0) {
        const agc_speech_event& e = s.events[s.first_event];
        const std::int32_t rise = RISE_HOPS + (s.ahead >= RISE_HOPS + PRE_ROLL_HOPS ? PRE_ROLL_HOPS : 0);
        if (e.onset ? k < e.at - rise : k < e.at + TAIL_HOPS) break;
        s.opening = e.onset;
        // With a short look-ahead (live) the onset is often found too late
        // for the rise before it: the gate then opens in two hops rather
        // than eight, so that the first syllable is not faded in.
        s.steps = e.onset && k > e.at - rise ? LATE_STEPS : e.steps;
        s.first_event = store16((s.first_event + 1) % AGC_SPEECH_EVENTS);
        --s.event_count;
    }
    if (s.opening) {
        s.open = store16(s.open + s.steps < AGC_SPEECH_GLIDE ? s.open + s.steps : AGC_SPEECH_GLIDE);
    } else if (s.open > 0) {
        s.open = store16(s.open > s.steps ? s.open - s.steps : 0);
    }
    // In a pause, unity or the law's gain where that is lower; in between,
    // steps equal in dB.
    const std::int16_t pause = min16(law, UNITY);
    if (s.open == AGC_SPEECH_GLIDE) return law;
    if (s.open == 0) return pause;
    if (pause <= 0) return store16(pause + (((law - pause) * s.open) >> GLIDE_SHIFT));
    const std::int16_t lp = agc::log2_q8(static_cast<std::uint32_t>(pause));
    const std::int16_t ll = agc::log2_q8(static_cast<std::uint32_t>(law));
    return agc::exp2_q8(store16(lp + (((ll - lp) * s.open) >> GLIDE_SHIFT)));
}

} // namespace

namespace agc {

const std::int16_t* speech_delay(agc_speech& s, const std::int16_t* in) {
    const std::int32_t j = s.taken++;
    if (s.ahead == 0) return in;
    s.slot = next_slot(s, s.slot);
    std::memcpy(samples_of(s, s.slot), in, static_cast<std::size_t>(s.half) * sizeof *in);
    return j >= s.ahead ? samples_of(s, next_slot(s, s.slot)) : nullptr;
}

const std::int16_t* speech_take(agc_speech& s, const std::int16_t* in, const hop_measure& m, std::int32_t ac,
                                std::int16_t win_size) {
    const std::int16_t* ready = speech_delay(s, in);
    agc_speech_hop& r = record(s, s.slot);
    r.peak = m.peak;
    r.sum = m.sum;
    detect(s, ac, win_size);
    return ready;
}

std::int16_t speech_decide(agc_speech& s, agc_state& state, std::int16_t mix) {
    const std::int32_t k = s.taken - 1 - s.ahead;
    // The law sees the loudest peak of this hop and of those ahead of it.
    const int peak_ahead = s.ahead < PEAK_AHEAD_FILE ? s.ahead : PEAK_AHEAD_FILE;
    const std::int16_t first = next_slot(s, s.slot);
    const std::int32_t sum = record(s, first).sum;
    std::int32_t peak = FAINT_PEAK;
    if (s.ahead == 0) {
        peak = std::max(peak, s.now.peak);
    } else {
        // The ring's slots from the hop to level on, in at most two runs
        // without a wrap, so that the loops carry no test of the slot.
        const int slots = s.ahead + 1, until = first + peak_ahead + 1;
        for (int d = first; d < std::min(until, slots); ++d) peak = std::max(peak, s.measured[d].peak);
        for (int d = 0; d < until - slots; ++d) peak = std::max(peak, s.measured[d].peak);
    }
    const std::int16_t law = hop_gain(state, peak, sum, mix);
    s.applied = gate(s, k, law);
    return s.applied;
}

std::int16_t process_speech_at(const std::int16_t* in, std::int16_t* out, agc_state& state, agc_speech& s,
                               std::int16_t mix, simd_level level) {
    const hop_measure m = measure_fast(in, state, true, level);
    const std::int32_t ac = distance_fast(in, state, m.mean, level);
    const std::int16_t* hop = speech_take(s, in, m, ac, state.win_size);
    if (hop == nullptr) { // the look-ahead is filling: nothing to level yet
        std::memset(out, 0, static_cast<std::size_t>(state.win_size >> 1) * sizeof *out);
        return s.applied;
    }
    const std::int16_t gain = speech_decide(s, state, mix);
    // Whether a hop must be applied the plain way depends on the window
    // alone: the hop measured now says it for the hop levelled.
    apply_fast(hop, out, state, m, gain, false, level);
    return gain;
}

std::int16_t process_speech_reference(const std::int16_t* in, std::int16_t* out, agc_state& state,
                                      agc_speech& speech, std::int16_t mix) {
    return process_speech_at(in, out, state, speech, mix, simd_level::portable);
}

} // namespace agc

std::size_t agc_speech_storage(int ahead) {
    if (ahead <= 0) return 0;
    const auto slots = static_cast<std::size_t>(ahead) + 1;
    return slots * (AGC_MAX_HOP * sizeof(std::int16_t) + sizeof(agc_speech_hop));
}

void agc_speech_init(agc_speech& speech) { agc_speech_init_ahead(speech, 0, 0, nullptr); }

void agc_speech_init_ahead(agc_speech& speech, std::int16_t win_size, int ahead, void* storage) {
    speech = agc_speech{};
    speech.last_ac = -1;
    speech.candidate = -1;
    speech.sound_from = -1;
    for (std::int16_t& m : speech.all_min) m = INT16_MAX;
    speech.all_stretch_min = INT16_MAX;
    speech.applied = UNITY;
    if (ahead > 0 && storage != nullptr) {
        speech.ahead = store16(ahead > AGC_SPEECH_AHEAD_FILE ? AGC_SPEECH_AHEAD_FILE : ahead);
        speech.half = store16(win_size >> 1);
        speech.slot = speech.ahead; // the first hop goes into slot 0
        speech.delayed = static_cast<std::int16_t*>(storage);
        speech.measured = reinterpret_cast<agc_speech_hop*>(speech.delayed + (speech.ahead + 1) * AGC_MAX_HOP);
    }
}

std::int16_t agc_speech_weight(const agc_speech& speech, std::int16_t mix) {
    return store16((mix * speech.open) >> GLIDE_SHIFT);
}

std::int16_t agc_speech_gain(agc_speech& s, std::int16_t law_gain, std::int16_t win_size) {
    ++s.taken;
    if (s.last_ac >= 0) detect(s, s.last_ac, win_size);
    s.applied = gate(s, s.taken - 1, law_gain);
    return s.applied;
}

std::int16_t agc_process_speech(agc_frame& frame, agc_state& state, agc_speech& speech, std::int16_t mix) {
    return agc::process_hop_speech(frame.in, frame.out, state, speech, mix);
}
