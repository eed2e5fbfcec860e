#include "leveller.h"

#include "audio/samples.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <vector>

namespace zek_obs {

namespace {

// A fresh stream passes this many frames unchanged before its first hop.
constexpr int LEAD_IN = 512;

// Two gains (Q8) count as the same when they differ by at most 1/32, about
// 0.27 dB: far less than the levelling's own steps from hop to hop when the
// gain falls (by 99% of its distance to the new gain). Two streams' gains rarely meet
// exactly: a rising gain moves by a fraction of its distance truncated to
// whole steps and stops short of its goal, by up to 200 steps, wherever it
// happened to start from.
bool same_gain(int a, int b) { return std::abs(a - b) * 32 <= std::max(a, b); }

// Where the gains have not met by the deadline (linked channels against
// channels levelled each on its own seldom meet), the output crossfades from
// the one levelling to the other over this many hops, 20 ms: both are the
// same audio under different gains, so the crossfade is a gain ramp, as the
// levelling's own from hop to hop, only longer.
constexpr int FADE_HOPS = 4;

} // namespace

struct leveller {
    int rate = 0, channels = 0, latency = 0, hop = 0;
    // The stream on the output (`live`), and the storage of the one a new
    // mode warms up in beside it.
    agc_stream* stream[2] = {nullptr, nullptr};
    agc_stream_options mode[2] = {}; // what each stream runs with
    std::uint64_t start[2] = {0, 0}; // the frame of `taken` each stream started on
    int live = 0;
    bool warming = false;  // stream[1 - live] runs beside the live one
    bool to_start = false; // a stream in mode `next` starts at the next hop boundary
    agc_stream_options next = {};
    std::uint64_t switch_at = 0; // warming: the frame the output moves over on (0: not decided)
    bool fade = false;           // and whether it crossfades there
    bool fading = false;         // from switch_at on, for `fade_ramp` frames
    std::size_t faded = 0;       // frames of the crossfade done
    std::vector<std::int16_t> fade_ramp; // the new stream's share, Q15, frame by frame
    std::uint64_t taken = 0;     // frames taken since the first stream started
    // The compression weight as a one-entry weight list: a stream reads it
    // afresh at every hop (the last entry of a list holds), so a new weight
    // written between blocks takes effect at the next hop, in both streams.
    std::int16_t weight[1] = {AGC_COMP_DEFAULT};
    std::vector<std::int16_t> frames16; // a piece's interleaved frames in, then the new stream's out
    std::vector<std::int16_t> out16;    // the live stream's output
    std::vector<std::int16_t> plane16;  // one channel on its way to or from the host's plane
};

void leveller_deleter::operator()(leveller* l) const {
    if (l == nullptr) return;
    agc_stream_destroy(l->stream[0]);
    agc_stream_destroy(l->stream[1]);
    delete l;
}

namespace {

agc_stream_options options_for(leveller& l, const settings& s) {
    agc_stream_options o;
    agc_stream_options_init(&o);
    o.speech = s.speech;
    o.link = s.link && l.channels > 1; // one channel is the same linked or not: no new stream for it
    o.mix = l.weight;
    o.mix_count = 1;
    // One latency with speech-aware on or off (the live look-ahead's), so
    // that a new stream's output lines up with the running one's.
    o.steady_latency = 1;
    return o;
}

bool same_mode(const agc_stream_options& a, const agc_stream_options& b) {
    return a.speech == b.speech && a.link == b.link;
}

// The rate, channel count and options were all checked when the storage was
// made, so setting a stream up in it again cannot fail.
void start(leveller& l, int which, const agc_stream_options& o) {
    l.mode[which] = o;
    agc_stream_init_with(l.stream[which], l.rate, l.channels, &l.mode[which]);
    l.start[which] = l.taken;
}

// Every stream starts a whole number of hops after the first, so all of them
// complete their hops on the same frames: those LEAD_IN frames past a
// multiple of the hop. Frames from `taken` to the next such boundary:
int to_hop_end(const leveller& l) {
    const auto hop = static_cast<std::uint64_t>(l.hop);
    const auto past = (l.taken + hop - LEAD_IN % hop) % hop;
    return static_cast<int>(hop - past);
}
// Frames from `taken` to the next multiple of the hop, where a stream may start.
int to_grid(const leveller& l) {
    const auto hop = static_cast<std::uint64_t>(l.hop);
    return static_cast<int>((hop - l.taken % hop) % hop);
}

bool gains_agree(const leveller& l) {
    for (int c = 0; c < l.channels; ++c)
        if (!same_gain(agc_stream_gain(l.stream[l.live], c), agc_stream_gain(l.stream[1 - l.live], c))) return false;
    return true;
}

// Takes in what the user now wants. The weight goes straight to the streams;
// a new mode is queued, or dropped when it is the running one again.
void want(leveller& l, const settings& s) {
    l.weight[0] = static_cast<std::int16_t>(std::clamp(s.comp, 0, 32767));
    if (l.fading) return; // a crossfade runs to its end; what is wanted then is seen at the next block
    const agc_stream_options o = options_for(l, s);
    if (same_mode(o, l.mode[l.live])) {
        l.warming = l.to_start = false;
    } else if (l.taken == 0) {
        start(l, l.live, o); // nothing has gone in yet, so nothing is carried over
    } else if (!(l.warming && same_mode(o, l.mode[1 - l.live]))) {
        l.warming = false;
        l.to_start = true;
        l.next = o;
    }
}

// With the hop of a stream that has just completed one (a hop boundary),
// decides whether the output moves over one hop later. The live stream's
// aligned hop that goes out next ends on the gain just decided; the new
// stream's aligned hop after it starts on the gain it decided for the same
// frames. When the two agree, the move keeps the gain's path continuous. The
// new stream's first hop is the earliest: its lead-in is not levelled.
void consider_switch(leveller& l) {
    const std::uint64_t age = l.taken - l.start[1 - l.live];
    if (age < static_cast<std::uint64_t>(LEAD_IN + l.hop)) return;
    const bool agree = gains_agree(l);
    if (agree || age >= static_cast<std::uint64_t>(SWITCH_SECONDS) * static_cast<std::uint64_t>(l.rate)) {
        l.switch_at = l.taken + static_cast<std::uint64_t>(l.hop);
        l.fade = !agree;
    }
}

// The two streams' outputs of a piece crossfaded into `live`: the new one's
// share grows from near 0 to near 1 along a raised cosine. The result lies
// between the two samples, so it needs no clipping.
void crossfade(leveller& l, std::int16_t* live, const std::int16_t* next, int n) {
    const int nc = l.channels;
    for (int k = 0; k < n; ++k) {
        const std::int32_t w = l.fade_ramp[l.faded + static_cast<std::size_t>(k)];
        for (int ch = 0; ch < nc; ++ch) {
            std::int16_t& a = live[k * nc + ch];
            const std::int32_t b = next[k * nc + ch];
            a = static_cast<std::int16_t>(a + (((b - a) * w) >> 15));
        }
    }
    l.faded += static_cast<std::size_t>(n);
}

// The host's planes from `at` to 16-bit interleaved frames (converted as zek
// converts float samples, a NaN or an infinity to silence), levelled, and
// back into the planes: all of a piece is read before any of it is written.
void run_piece(leveller& l, float* const* planes, int at, int n) {
    const int nc = l.channels;
    const auto count = static_cast<std::size_t>(n);
    std::int16_t* frames = l.frames16.data();
    std::int16_t* plane = l.plane16.data();
    for (int ch = 0; ch < nc; ++ch) {
        zek::float_to_int16<float, true>(planes[ch] + at, nc == 1 ? frames : plane, count);
        if (nc > 1)
            for (int k = 0; k < n; ++k) frames[k * nc + ch] = plane[k];
    }
    agc_stream_process(l.stream[l.live], frames, l.out16.data(), n);
    if (l.warming) agc_stream_process(l.stream[1 - l.live], frames, frames, n); // not heard, unless crossfading
    if (l.fading) crossfade(l, l.out16.data(), frames, n);
    l.taken += count;
    const std::int16_t* out = l.out16.data();
    for (int ch = 0; ch < nc; ++ch) {
        if (nc > 1)
            for (int k = 0; k < n; ++k) plane[k] = out[k * nc + ch];
        zek::int16_to_float(nc == 1 ? out : plane, planes[ch] + at, count);
    }
}

} // namespace

leveller_ptr make_leveller(int rate, int channels, const settings& first) {
    if (rate < AGC_MIN_RATE || rate > AGC_MAX_RATE || channels < 1 || channels > AGC_MAX_CHANNELS) return nullptr;
    leveller_ptr l(new leveller);
    l->rate = rate;
    l->channels = channels;
    const agc_stream_options o = options_for(*l, first);
    for (agc_stream*& s : l->stream)
        if ((s = agc_stream_create_with(rate, channels, &o, nullptr)) == nullptr) return nullptr;
    l->weight[0] = static_cast<std::int16_t>(std::clamp(first.comp, 0, 32767));
    start(*l, 0, o);
    l->latency = agc_stream_latency(l->stream[0]);
    l->hop = 2 * ((rate + 200) / 400); // half the engine's 10 ms window
    const auto samples = static_cast<std::size_t>(CHUNK) * static_cast<std::size_t>(channels);
    l->frames16.resize(samples);
    l->out16.resize(samples);
    l->plane16.resize(CHUNK);
    l->fade_ramp.resize(static_cast<std::size_t>(FADE_HOPS * l->hop));
    const double steps = static_cast<double>(l->fade_ramp.size() + 1);
    for (std::size_t k = 0; k < l->fade_ramp.size(); ++k) {
        const double x = 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(k + 1) / steps);
        l->fade_ramp[k] = static_cast<std::int16_t>(std::lround(32767.0 * x));
    }
    return l;
}

int latency(const leveller& l) { return l.latency; }

void process(leveller& l, float* const* planes, int frames, const settings& wanted) {
    want(l, wanted);
    for (int at = 0; at < frames;) {
        int n = std::min(frames - at, CHUNK);
        if (l.to_start) {
            const int wait = to_grid(l);
            if (wait == 0) {
                start(l, 1 - l.live, l.next);
                l.to_start = false;
                l.warming = true;
                l.switch_at = 0;
            } else {
                n = std::min(n, wait);
            }
        }
        if (l.warming && l.switch_at == l.taken && l.switch_at != 0) {
            if (l.fade) {
                l.fading = true;
                l.faded = 0;
            } else {
                l.live = 1 - l.live;
                l.warming = false;
            }
        }
        // While a new stream warms up, pieces end on hop boundaries, where
        // the two streams' gains are compared and the output may move over.
        if (l.warming) n = std::min(n, to_hop_end(l));
        if (l.fading) n = std::min(n, static_cast<int>(l.fade_ramp.size() - l.faded));
        run_piece(l, planes, at, n);
        at += n;
        if (l.fading && l.faded == l.fade_ramp.size()) {
            l.live = 1 - l.live;
            l.warming = l.fading = false;
        }
        if (l.warming && l.switch_at == 0 && to_hop_end(l) == l.hop) consider_switch(l);
    }
}

} // namespace zek_obs
