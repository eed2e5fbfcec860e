// One frame out per frame in, on top of the hop-level engine.
//
// Timeline of a channel, with hop H and latency L = 2H (one window, 10 ms):
// - input frames 0..511 are the lead-in and pass unchanged; from frame 512 on
//   the input is gathered into hops;
// - when input hop k+1 is complete the engine processes it and returns input
//   hop k under the crossfade from hop k's gain to hop k+1's: "aligned hop k",
//   hop k levelled at its own place. Hop k's gain needs hop k+1 in view, which
//   is where the latency comes from;
// - output frame m carries aligned frame m - L, so aligned hop k goes out on
//   the frames of input hop k+2: it is ready just before its first frame is
//   due and has gone out when the next one is ready, and one output hop per
//   channel suffices. Output hops lie on the input's hop grid. The engine's
//   first hop out (silence: it has no hop before it) lands there while the
//   lead-in is still going out, and is overwritten unseen.
// Ending a recording is feeding it L frames of silence: they pad the last
// partial hop and make one more hop whose gain finishes it.
//
// In the speech-aware mode each channel keeps the hops of its look-ahead in
// storage after the channels' records, and the engine's hop k is levelled
// when hop k + ahead comes in: the latency grows by those hops, and so does
// the silence of the flush (the same timeline, every hop later).
//
// Linked channels share channel 0's gain law (and speech detector): each
// hop, every channel is measured, the law sees the largest peak and the
// loudest channel's magnitude sum, and every channel is crossfaded to the
// one gain that comes of it. The loudest channel's sum rather than the sum
// over channels: the level ceiling must hold for the channel that reaches
// it, and a recording with the same signal on every channel is levelled as
// its mono version is.
//
// Loudness (a gain, a target, a true-peak limit) comes after all that: the
// levelled output, frames as they go out, passes through the limiter with
// the gain, and with a target through a meter that decides the gain first.
// The limiter's latency adds to the stream's.
#include "agc/stream.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "agc/agc.h"
#include "agc/builtin.h"
#include "agc/limiter.h"
#include "agc/loudness.h"
#include "agc/process_fast.h"
#include "agc/speech.h"

namespace {

constexpr int LEAD = agc::LEAD_IN_SAMPLES;

// The hop buffers start on cache lines: the vector kernels then read and
// write them in whole lines, and copies into them do not split the loads.
struct alignas(64) channel_state {
    agc_state engine;
    agc_speech speech;
    std::int16_t gain;   // Q8 gain applied to the last hop
    std::int16_t weight; // Q15 weight that reached the output in the last hop
    // At a steady latency without speech: the gains and weights of the held
    // hops, which come out with them.
    std::int16_t held_gain[AGC_SPEECH_AHEAD_LIVE], held_weight[AGC_SPEECH_AHEAD_LIVE];
    agc::hop_measure measured; // linked: this channel's hop, measured before the shared gain is decided
    alignas(64) std::int16_t in_hop[AGC_MAX_HOP];  // the hop being gathered
    alignas(64) std::int16_t out_hop[AGC_MAX_HOP]; // the aligned hop being written out
    std::int16_t lead[LEAD];                       // the lead-in, written out L frames late
};

} // namespace

// The channels' records follow this header in the same block, from the
// first 64-byte boundary on.
struct agc_stream {
    std::int32_t rate, channels, hop, latency;
    std::int32_t ahead;        // speech-aware look-ahead, in hops (0: none)
    std::int32_t delay;        // without speech, at a steady latency: hops the output is held back (0: none)
    std::int32_t delay_slot;   // the oldest held hop
    std::int32_t lead_in;      // lead-in frames taken in, 0..LEAD
    std::int32_t in_fill;      // frames of the current hop gathered, 0..hop-1
    std::int32_t silence_left; // frames of the initial silence still to write
    std::int32_t lead_out;     // lead-in frames written out, 0..LEAD
    std::int32_t out_pos;      // frames of out_hop written out
    std::int32_t flushed;
    agc_stream_options options;
    std::uint64_t hops;        // hops processed since the lead-in: the index into options.mix
    agc_stream_stats stats;    // the gain's range and the speech hops, over every channel
    // Loudness: the limiter's and the meter's storage, as offsets from the
    // record (0: none); with a target, the gain applied and the frames to
    // the meter's next 100 ms step.
    std::uint32_t limiter_at, meter_at;
    std::int32_t step_left, target_gain;
};

namespace {

constexpr std::size_t CHANNEL_ALIGN = alignof(channel_state);

channel_state* channels_of(agc_stream* st) {
    auto* after = reinterpret_cast<unsigned char*>(st + 1);
    const std::size_t pad = (0 - reinterpret_cast<std::uintptr_t>(after)) & (CHANNEL_ALIGN - 1);
    return reinterpret_cast<channel_state*>(after + pad);
}
const channel_state* channels_of(const agc_stream* st) { return channels_of(const_cast<agc_stream*>(st)); }

// The look-ahead of a stream with these options, in hops.
int ahead_of(const agc_stream_options& o) {
    if (!o.speech) return 0;
    return o.offline ? AGC_SPEECH_AHEAD_FILE : AGC_SPEECH_AHEAD_LIVE;
}

// One channel's look-ahead storage, in whole cache lines.
std::size_t ahead_bytes(int ahead) { return (agc_speech_storage(ahead) + CHANNEL_ALIGN - 1) & ~(CHANNEL_ALIGN - 1); }

// Channel c's look-ahead storage (or, without speech, its held hops): after
// every channel's record.
void* ahead_storage(agc_stream* st, int c) {
    auto* after = reinterpret_cast<unsigned char*>(channels_of(st) + st->channels);
    return after + static_cast<std::size_t>(c) * ahead_bytes(st->ahead > 0 ? st->ahead : st->delay);
}

// Without speech, at a steady latency: each channel's new output hop goes
// into the ring of held hops, and the oldest comes out in its place, so
// that the output is the built-in behaviour's `delay` hops later. The ring
// lies where the look-ahead of as many hops would (which holds one hop more
// of samples, AGC_MAX_HOP apart), zeroed at the start: silence comes out first.
void hold_back(agc_stream* st) {
    channel_state* ch = channels_of(st);
    const auto bytes = static_cast<std::size_t>(st->hop) * sizeof(std::int16_t);
    for (int c = 0; c < st->channels; ++c) {
        auto* held = static_cast<std::int16_t*>(ahead_storage(st, c)) + static_cast<std::ptrdiff_t>(st->delay_slot) * AGC_MAX_HOP;
        std::int16_t newest[AGC_MAX_HOP];
        std::memcpy(newest, ch[c].out_hop, bytes);
        std::memcpy(ch[c].out_hop, held, bytes);
        std::memcpy(held, newest, bytes);
        std::swap(ch[c].gain, ch[c].held_gain[st->delay_slot]);
        std::swap(ch[c].weight, ch[c].held_weight[st->delay_slot]);
    }
    st->delay_slot = st->delay_slot + 1 == st->delay ? 0 : st->delay_slot + 1;
}

// 10 ms at the rate, rounded to a multiple of 4 as the engine needs:
// 480 at 48 kHz, 440 at 44.1 kHz, 160 at 16 kHz, 960 at 96 kHz.
int window_for(int rate) { return 4 * ((rate + 200) / 400); }

int check_format(int rate, int channels) {
    if (rate < AGC_MIN_RATE || rate > AGC_MAX_RATE) return AGC_ERR_RATE;
    if (channels < 1 || channels > AGC_MAX_CHANNELS) return AGC_ERR_CHANNELS;
    return 0;
}

// A weight is a Q15 fraction of the compressing curve: a negative one would
// take the gain law outside the two curves it blends (the gain goes negative
// and the output wraps), so the whole array is checked before the stream runs.
int check_options(const agc_stream_options& o) {
    if (o.comp < 0 || o.comp > 32767) return AGC_ERR_ARG;
    if ((o.mix == nullptr) != (o.mix_count == 0)) return AGC_ERR_ARG;
    for (std::size_t k = 0; k < o.mix_count; ++k) {
        if (o.mix[k] < 0) return AGC_ERR_ARG;
    }
    if (o.gain < -48000 || o.gain > 48000) return AGC_ERR_ARG;
    if (o.target && (o.loudness < -70000 || o.loudness > -5000)) return AGC_ERR_ARG;
    if (o.limit && (o.ceiling < -9000 || o.ceiling > 0)) return AGC_ERR_ARG;
    return 0;
}

bool has_loudness(const agc_stream_options& o) { return o.gain != 0 || o.target || o.limit; }

constexpr std::size_t round_up(std::size_t n) { return (n + CHANNEL_ALIGN - 1) & ~(CHANNEL_ALIGN - 1); }

std::size_t base_size(int channels) {
    return sizeof(agc_stream) + CHANNEL_ALIGN - 1 + static_cast<std::size_t>(channels) * sizeof(channel_state);
}

agc::limiter* limiter_of(agc_stream* st) {
    return st->limiter_at ? reinterpret_cast<agc::limiter*>(reinterpret_cast<unsigned char*>(st) + st->limiter_at) : nullptr;
}
agc_loudness* meter_of(agc_stream* st) {
    return st->meter_at ? reinterpret_cast<agc_loudness*>(reinterpret_cast<unsigned char*>(st) + st->meter_at) : nullptr;
}

// Where the loudness storage lies after the channels and their look-ahead:
// from the first 64-byte boundary past them, wherever the record itself lies.
std::size_t loudness_start(agc_stream* st) {
    const auto at = reinterpret_cast<std::uintptr_t>(st);
    const auto end = reinterpret_cast<std::uintptr_t>(ahead_storage(st, st->channels));
    return round_up(end) - at;
}

void start(agc_stream* st, int rate, int channels, const agc_stream_options& options) {
    const int win = window_for(rate);
    ::new (st) agc_stream{};
    st->options = options;
    st->rate = rate;
    st->channels = channels;
    st->hop = win / 2;
    st->ahead = ahead_of(options);
    st->delay = !options.speech && options.steady_latency && !options.offline ? AGC_SPEECH_AHEAD_LIVE : 0;
    st->latency = win + (st->ahead + st->delay) * st->hop;
    st->silence_left = st->latency;
    if (has_loudness(options)) {
        st->limiter_at = static_cast<std::uint32_t>(loudness_start(st));
        agc::limiter* l = limiter_of(st);
        agc::limiter_init(*l, rate, channels, options.limit ? options.ceiling : 0);
        agc::limiter_set_gain(*l, options.gain, 0);
        st->latency += l->latency;
        if (options.target) {
            st->meter_at = static_cast<std::uint32_t>(st->limiter_at + round_up(agc::limiter_size(channels)));
            agc_loudness_init(meter_of(st), rate, channels, AGC_LOUDNESS_MODE_I);
            st->step_left = (rate + 5) / 10;
            st->target_gain = options.gain;
        }
    }
    channel_state* ch = channels_of(st);
    for (int c = 0; c < channels; ++c) {
        ::new (&ch[c]) channel_state{};
        agc::init_builtin(ch[c].engine, static_cast<std::int16_t>(win));
        agc_speech_init_ahead(ch[c].speech, static_cast<std::int16_t>(win), st->ahead, ahead_storage(st, c));
        if (st->delay > 0) std::memset(ahead_storage(st, c), 0, ahead_bytes(st->delay));
        ch[c].gain = ch[c].engine.gain;
        ch[c].weight = static_cast<std::int16_t>(options.mix ? options.mix[0] : options.comp);
        for (int k = 0; k < st->delay; ++k) ch[c].held_gain[k] = ch[c].gain, ch[c].held_weight[k] = ch[c].weight;
    }
}

// The caller's buffers need not be aligned (a byte offset into a file image
// is fine): their samples are only ever moved with memcpy, which compilers
// turn into plain loads and stores, and the direct path that hands them to
// the engine takes aligned ones only.
bool aligned(const std::int16_t* p) { return reinterpret_cast<std::uintptr_t>(p) % alignof(std::int16_t) == 0; }

// One channel of n interleaved frames into a run of samples; no source is silence.
void gather(std::int16_t* dst, const std::int16_t* src, int stride, int n) {
    if (src == nullptr) {
        std::memset(dst, 0, static_cast<std::size_t>(n) * sizeof *dst);
    } else if (stride == 1) {
        std::memcpy(dst, src, static_cast<std::size_t>(n) * sizeof *dst);
    } else {
        for (int k = 0; k < n; ++k) std::memcpy(dst + k, src + static_cast<std::ptrdiff_t>(k) * stride, sizeof *dst);
    }
}

// A run of samples (none: silence) into one channel of n interleaved frames.
void scatter(std::int16_t* dst, const std::int16_t* src, int stride, int n) {
    const std::int16_t zero = 0;
    if (src == nullptr && stride == 1) {
        std::memset(dst, 0, static_cast<std::size_t>(n) * sizeof *dst);
    } else if (stride == 1) {
        std::memcpy(dst, src, static_cast<std::size_t>(n) * sizeof *dst);
    } else {
        for (int k = 0; k < n; ++k) {
            std::memcpy(dst + static_cast<std::ptrdiff_t>(k) * stride, src ? src + k : &zero, sizeof *dst);
        }
    }
}

// Takes n input frames (in == nullptr: silence) into the lead-in or the
// current hop.
void take(agc_stream* st, const std::int16_t* in, int n) {
    channel_state* ch = channels_of(st);
    const int nc = st->channels;
    const bool lead = st->lead_in < LEAD;
    for (int c = 0; c < nc; ++c) {
        std::int16_t* dst = lead ? ch[c].lead + st->lead_in : ch[c].in_hop + st->in_fill;
        gather(dst, in ? in + c : nullptr, nc, n);
    }
    if (lead) {
        st->lead_in += n;
        return;
    }
    st->in_fill += n;
}

// The compression weight of the next hop: the caller's per-hop weights, the
// last one held, or the stream's constant weight.
std::int16_t next_weight(agc_stream* st) {
    const agc_stream_options& o = st->options;
    const std::uint64_t k = st->hops++;
    if (o.mix == nullptr) return static_cast<std::int16_t>(o.comp);
    return o.mix[k < o.mix_count ? k : o.mix_count - 1];
}

// Counts a hop levelled under `gain`: a few compares a hop, nothing per sample.
void count_hop(agc_stream_stats& s, std::int16_t gain, bool speech) {
    if (s.hops == 0 || gain < s.min_gain) s.min_gain = gain;
    if (s.hops == 0 || gain > s.max_gain) s.max_gain = gain;
    ++s.hops;
    if (speech) ++s.speech_hops;
}

// One channel's hop on its own, from `in` to `out`.
void channel_hop(agc_stream* st, channel_state& c, const std::int16_t* in, std::int16_t* out, std::int16_t mix) {
    if (st->options.speech) {
        c.gain = agc::process_hop_speech(in, out, c.engine, c.speech, mix);
        c.weight = agc_speech_weight(c.speech, mix);
    } else {
        c.gain = agc::process_hop(in, out, c.engine, mix);
        c.weight = mix;
    }
    if (!st->options.speech) {
        count_hop(st->stats, c.gain, false);
    } else if (!agc_speech_filling(c.speech)) { // a hop of the recording, not of the look-ahead's start
        count_hop(st->stats, c.gain, agc_speech_in_speech(c.speech));
    }
}

// Every channel's gathered hop under one gain, channel 0's law deciding it.
void linked_hop(agc_stream* st, std::int16_t mix) {
    channel_state* ch = channels_of(st);
    std::int32_t peak = 0, sum = 0;
    for (int c = 0; c < st->channels; ++c) {
        ch[c].measured = agc::measure_hop(ch[c].in_hop, ch[c].engine, false);
        if (ch[c].measured.peak > peak) peak = ch[c].measured.peak;
        if (ch[c].measured.sum > sum) sum = ch[c].measured.sum;
    }
    const std::int16_t gain = agc::hop_gain(ch[0].engine, peak, sum, mix);
    for (int c = 0; c < st->channels; ++c) {
        agc::apply_hop(ch[c].in_hop, ch[c].out_hop, ch[c].engine, ch[c].measured, gain, false);
        ch[c].gain = gain;
        ch[c].weight = mix;
    }
    count_hop(st->stats, gain, false);
}

// The same in the speech-aware mode: channel 0's detector hears the loudest
// channel, and every channel keeps its own look-ahead.
void linked_speech_hop(agc_stream* st, std::int16_t mix) {
    channel_state* ch = channels_of(st);
    agc::hop_measure loudest;
    std::int32_t ac = 0;
    for (int c = 0; c < st->channels; ++c) {
        const agc::hop_measure m = agc::measure_hop(ch[c].in_hop, ch[c].engine, true);
        const std::int32_t a = agc::distance_hop(ch[c].in_hop, ch[c].engine, m.mean);
        if (m.peak > loudest.peak) loudest.peak = m.peak;
        if (m.sum > loudest.sum) loudest.sum = m.sum;
        loudest.plain = loudest.plain || m.plain;
        if (a > ac) ac = a;
    }
    channel_state& law = ch[0];
    const std::int16_t* ready[AGC_MAX_CHANNELS];
    ready[0] = agc::speech_take(law.speech, law.in_hop, loudest, ac, law.engine.win_size);
    for (int c = 1; c < st->channels; ++c) ready[c] = agc::speech_delay(ch[c].speech, ch[c].in_hop);
    if (ready[0] == nullptr) return; // the look-ahead is filling: out_hop goes unseen
    const std::int16_t gain = agc::speech_decide(law.speech, law.engine, mix);
    const std::int16_t weight = agc_speech_weight(law.speech, mix);
    for (int c = 0; c < st->channels; ++c) {
        agc::apply_hop(ready[c], ch[c].out_hop, ch[c].engine, loudest, gain, false);
        ch[c].gain = gain;
        ch[c].weight = weight;
    }
    count_hop(st->stats, gain, agc_speech_in_speech(law.speech));
}

// Processes the gathered hop of every channel into the output hop.
void process(agc_stream* st) {
    channel_state* ch = channels_of(st);
    const std::int16_t mix = next_weight(st);
    if (st->options.link && st->channels > 1) {
        if (st->options.speech) {
            linked_speech_hop(st, mix);
        } else {
            linked_hop(st, mix);
        }
    } else {
        for (int c = 0; c < st->channels; ++c) channel_hop(st, ch[c], ch[c].in_hop, ch[c].out_hop, mix);
    }
    if (st->delay > 0) hold_back(st);
    st->in_fill = 0;
    st->out_pos = 0;
}

// Writes n output frames from the initial silence, the lead-in or the aligned hop.
void give(agc_stream* st, std::int16_t* out, int n) {
    const channel_state* ch = channels_of(st);
    const int nc = st->channels;
    for (int c = 0; c < nc; ++c) {
        const std::int16_t* src = st->silence_left > 0 ? nullptr
                                  : st->lead_out < LEAD ? ch[c].lead + st->lead_out
                                                        : ch[c].out_hop + st->out_pos;
        scatter(out + c, src, nc, n);
    }
    if (st->silence_left > 0) {
        st->silence_left -= n;
    } else if (st->lead_out < LEAD) {
        st->lead_out += n;
    } else {
        st->out_pos += n;
    }
}

int min3(int a, int b, int c) { return a < b ? (a < c ? a : c) : (b < c ? b : c); }

// The steady state of a mono stream with separate buffers, at a hop
// boundary: the waiting aligned hop goes out first, then whole hops go from
// `in` straight into the engine and each one's output straight into `out`,
// on the frames of the hop after it; the last one's waits in out_hop as
// usual. Returns the frames done (whole hops).
int run_direct(agc_stream* st, const std::int16_t* in, std::int16_t* out, int frames) {
    channel_state& ch = *channels_of(st);
    const int hop = st->hop;
    std::memcpy(out, ch.out_hop, static_cast<std::size_t>(hop) * sizeof *out);
    int done = 0;
    for (; frames - done >= 2 * hop; done += hop) channel_hop(st, ch, in + done, out + done + hop, next_weight(st));
    channel_hop(st, ch, in + done, ch.out_hop, next_weight(st));
    return done + hop;
}

// Mono past the lead-in, with input and output on the same hop grid: one
// run up to the end of the hop being gathered. Its input is copied into that
// hop and its output out of the aligned hop, at the same offset; a hop it
// completes is processed at once. Returns the frames done. This is the path
// of small chunks (a real-time callback's 64 or 128 frames), which take
// nothing else per run than the two copies.
int run_gathered(agc_stream* st, const std::int16_t* in, std::int16_t* out, int frames) {
    channel_state& ch = *channels_of(st);
    const int fill = st->in_fill;
    const int n = frames < st->hop - fill ? frames : st->hop - fill;
    const auto bytes = static_cast<std::size_t>(n) * sizeof *out;
    if (in != nullptr) {
        std::memcpy(ch.in_hop + fill, in, bytes);
    } else {
        std::memset(ch.in_hop + fill, 0, bytes);
    }
    std::memcpy(out, ch.out_hop + fill, bytes);
    st->in_fill = st->out_pos = fill + n;
    if (fill + n == st->hop) process(st);
    return n;
}

// Moves frames through in runs over which neither side changes what it
// does: a run's input is taken, its output given, and a hop it completes
// processed, in that order, so in == out is safe and the output hop is
// replaced only once it has gone out. In steady state input and output runs
// both end on hop boundaries.
void run(agc_stream* st, const std::int16_t* in, std::int16_t* out, int frames) {
    const std::ptrdiff_t nc = st->channels;
    const bool direct = nc == 1 && in != nullptr && in != out && aligned(in) && aligned(out) && st->delay == 0;
    while (frames > 0) {
        if (nc == 1 && st->lead_out == LEAD) {
            const int n = direct && frames >= st->hop && st->in_fill == 0 ? run_direct(st, in, out, frames)
                                                                          : run_gathered(st, in, out, frames);
            if (in) in += n;
            out += n;
            frames -= n;
            continue;
        }
        const int in_run = st->lead_in < LEAD ? LEAD - st->lead_in : st->hop - st->in_fill;
        const int out_run = st->silence_left > 0 ? st->silence_left
                            : st->lead_out < LEAD ? LEAD - st->lead_out
                                                  : st->hop - st->out_pos;
        const int n = min3(frames, in_run, out_run);
        take(st, in, n);
        give(st, out, n);
        if (st->in_fill == st->hop) process(st);
        if (in) in += n * nc;
        out += n * nc;
        frames -= n;
    }
}

// With a target: once a 100 ms step of the levelled output is measured,
// the gain heads for the one that takes the integrated loudness so far to
// the target, by at most 0.1 dB per step, gliding over the next step.
void follow_target(agc_stream* st) {
    std::int32_t lufs = AGC_LOUDNESS_NONE;
    agc_loudness_integrated(meter_of(st), &lufs);
    if (lufs == AGC_LOUDNESS_NONE) return;
    constexpr std::int32_t MOST = 100;
    std::int32_t wanted = st->options.loudness - lufs + st->options.gain;
    wanted = wanted > 48000 ? 48000 : wanted < -48000 ? -48000 : wanted;
    const std::int32_t d = wanted - st->target_gain;
    st->target_gain += d > MOST ? MOST : d < -MOST ? -MOST : d;
    agc::limiter_set_gain(*limiter_of(st), st->target_gain, (st->rate + 5) / 10);
}

// The levelled frames in `out` through the loudness stage, in place; no
// levelled frames (out_from null): silence, to empty the limiter.
void finish(agc_stream* st, const std::int16_t* from, std::int16_t* out, int frames) {
    agc::limiter* l = limiter_of(st);
    if (l == nullptr) return;
    agc_loudness* meter = meter_of(st);
    if (meter == nullptr) {
        agc::limiter_process(*l, from, out, frames);
        return;
    }
    // In pieces that end on the meter's steps, so that the gain changes on
    // the same frame however the recording is split into calls.
    while (frames > 0) {
        const int n = frames < st->step_left ? frames : st->step_left;
        if (from) agc_loudness_add_frames(meter, from, static_cast<std::size_t>(n));
        agc::limiter_process(*l, from, out, n);
        st->step_left -= n;
        if (st->step_left == 0) {
            st->step_left = (st->rate + 5) / 10;
            if (from) follow_target(st);
        }
        if (from) from += static_cast<std::ptrdiff_t>(n) * st->channels;
        out += static_cast<std::ptrdiff_t>(n) * st->channels;
        frames -= n;
    }
}

bool overlap_not_in_place(const void* a, const void* b, std::uint64_t bytes) {
    const auto ua = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(a));
    const auto ub = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(b));
    return ua != ub && ua < ub + bytes && ub < ua + bytes;
}

} // namespace

extern "C" {

size_t agc_stream_size_with(int channels, const agc_stream_options* options) {
    if (channels < 1 || channels > AGC_MAX_CHANNELS) return 0;
    agc_stream_options o;
    agc_stream_options_init(&o);
    if (options != nullptr) o = *options;
    if (check_options(o) != 0) return 0;
    // Room for the live look-ahead whatever the options, so that the size
    // without options suffices for any but the offline look-ahead and the
    // loudness stage.
    agc_stream_options live;
    agc_stream_options_init(&live);
    live.speech = 1;
    const int ahead = o.speech && o.offline ? ahead_of(o) : ahead_of(live);
    std::size_t size = base_size(channels) + static_cast<std::size_t>(channels) * ahead_bytes(ahead);
    if (!has_loudness(o)) return size;
    // The channels end anywhere within a 64-byte line: room to the next one.
    size += CHANNEL_ALIGN + round_up(agc::limiter_size(channels));
    if (o.target) size += agc_loudness_size(channels, AGC_LOUDNESS_MODE_I);
    return size;
}

size_t agc_stream_size(int channels) { return agc_stream_size_with(channels, nullptr); }

void agc_stream_options_init(agc_stream_options* options) {
    if (options == nullptr) return;
    *options = agc_stream_options{};
    options->comp = AGC_COMP_DEFAULT;
}

int agc_stream_init_with(agc_stream* st, int sample_rate, int channels, const agc_stream_options* options) {
    if (st == nullptr || reinterpret_cast<std::uintptr_t>(st) % alignof(agc_stream) != 0) return AGC_ERR_ARG;
    agc_stream_options o;
    agc_stream_options_init(&o);
    if (options != nullptr) o = *options;
    int err = check_format(sample_rate, channels);
    if (err == 0) err = check_options(o);
    if (err != 0) return err;
    start(st, sample_rate, channels, o);
    return 0;
}

int agc_stream_init(agc_stream* st, int sample_rate, int channels) {
    return agc_stream_init_with(st, sample_rate, channels, nullptr);
}

agc_stream* agc_stream_create_with(int sample_rate, int channels, const agc_stream_options* options, int* error) {
    agc_stream_options o;
    agc_stream_options_init(&o);
    if (options != nullptr) o = *options;
    int err = check_format(sample_rate, channels);
    if (err == 0) err = check_options(o);
    void* block = err == 0 ? std::malloc(agc_stream_size_with(channels, &o)) : nullptr;
    if (err == 0 && block == nullptr) err = AGC_ERR_NOMEM;
    if (error != nullptr) *error = err;
    if (err != 0) return nullptr;
    auto* st = static_cast<agc_stream*>(block);
    start(st, sample_rate, channels, o);
    return st;
}

agc_stream* agc_stream_create(int sample_rate, int channels, int* error) {
    return agc_stream_create_with(sample_rate, channels, nullptr, error);
}

void agc_stream_destroy(agc_stream* st) { std::free(st); }

int agc_stream_latency(const agc_stream* st) { return st ? st->latency : AGC_ERR_ARG; }

int agc_stream_process(agc_stream* st, const int16_t* in, int16_t* out, int frames) {
    if (st == nullptr || frames < 0) return AGC_ERR_ARG;
    if (st->flushed) return AGC_ERR_FLUSHED;
    if (frames == 0) return 0;
    const std::uint64_t bytes = static_cast<std::uint64_t>(frames) * static_cast<std::uint64_t>(st->channels) * 2;
    if (in == nullptr || out == nullptr || overlap_not_in_place(in, out, bytes)) return AGC_ERR_ARG;
    run(st, in, out, frames);
    finish(st, out, out, frames);
    return frames;
}

int agc_stream_flush(agc_stream* st, int16_t* out) {
    if (st == nullptr || out == nullptr) return AGC_ERR_ARG;
    if (st->flushed) return AGC_ERR_FLUSHED;
    // The engine's last window of frames, then the limiter's look-ahead.
    agc::limiter* l = limiter_of(st);
    const int tail = l ? l->latency : 0;
    const int levelled = st->latency - tail;
    run(st, nullptr, out, levelled);
    finish(st, out, out, levelled);
    if (l) finish(st, nullptr, out + static_cast<std::ptrdiff_t>(levelled) * st->channels, tail);
    st->flushed = 1;
    return st->latency;
}

int agc_stream_reset(agc_stream* st) {
    if (st == nullptr) return AGC_ERR_ARG;
    const agc_stream_options options = st->options; // start clears the record
    if (const int err = check_options(options)) return err; // the caller's weights may have changed since
    start(st, st->rate, st->channels, options);
    return 0;
}

int agc_stream_gain(const agc_stream* st, int channel) {
    if (st == nullptr || channel < 0 || channel >= st->channels) return AGC_ERR_ARG;
    return channels_of(st)[channel].gain;
}

int agc_stream_weight(const agc_stream* st, int channel) {
    if (st == nullptr || channel < 0 || channel >= st->channels) return AGC_ERR_ARG;
    return channels_of(st)[channel].weight;
}

int agc_stream_get_stats(const agc_stream* st, agc_stream_stats* stats) {
    if (st == nullptr || stats == nullptr) return AGC_ERR_ARG;
    *stats = st->stats;
    return 0;
}

const char* agc_strerror(int error) {
    switch (error) {
    case 0: return "success";
    case AGC_ERR_RATE: return "sample rate out of range (8000 to 96000 Hz)";
    case AGC_ERR_CHANNELS: return "channel count out of range (1 to 256)";
    case AGC_ERR_ARG: return "invalid argument";
    case AGC_ERR_NOMEM: return "out of memory";
    case AGC_ERR_FLUSHED: return "the stream was flushed; reset it to start a new recording";
    default: return "unknown error";
    }
}

} // extern "C"
