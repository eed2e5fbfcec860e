#include "leveller.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace zek_gst {

namespace {

// What a new stream is brought up on: the last 2 s of input, and no more
// than 4 Mi samples (8 MiB) however many channels. Away from speech the
// gain law forgets its start within half a second, and a new stream
// brought up on the same hops as the old one then levels exactly as one
// that ran from the start; the speech detector takes a second or two.
constexpr int HISTORY_SECONDS = 2;
constexpr std::size_t HISTORY_SAMPLES = std::size_t{1} << 22;

} // namespace

bool leveller::configure(int rate, int channels) {
    running_ = switching_ = false;
    rate_ = channels_ = latency_ = 0;
    const std::size_t bytes = agc_stream_size(channels);
    if (bytes == 0 || rate < AGC_MIN_RATE || rate > AGC_MAX_RATE) return false;
    for (auto& st : streams_) {
        st.reset(static_cast<agc_stream*>(std::malloc(bytes)));
        if (!st) return false;
    }
    rate_ = rate;
    channels_ = channels;
    window_ = 4 * ((rate + 200) / 400); // the engine's window, 10 ms: two hops
    start(0, settings{});
    latency_ = agc_stream_latency(stream(0));
    const auto nc = static_cast<std::size_t>(channels);
    history_frames_ = std::max(CHUNK, std::min(static_cast<std::size_t>(HISTORY_SECONDS * rate), HISTORY_SAMPLES / nc));
    try {
        history_.assign(history_frames_ * nc, 0);
        for (auto& s : scratch_) s.assign(std::max(CHUNK, static_cast<std::size_t>(latency_)) * nc, 0);
    } catch (const std::bad_alloc&) {
        latency_ = 0;
        return false;
    }
    return true;
}

namespace {

// A new stream is needed for what changes the stream's structure: the
// speech detector, and one gain law for all channels (nothing to link in
// mono). The weight goes through the cell.
bool needs_new_stream(const settings& made, const settings& now, int channels) {
    return made.speech != now.speech || (channels > 1 && made.link != now.link);
}

} // namespace

// Every stream takes its weight from the cell, one hop at a time: a stream
// given a single weight holds it for every hop, and reads it as each hop is
// decided, so that a new value takes effect from the next hop on.
void leveller::start(int k, const settings& s) {
    agc_stream_options o;
    agc_stream_options_init(&o);
    o.comp = s.comp;
    o.speech = s.speech;
    o.link = s.link;
    o.mix = &comp_cell_;
    o.mix_count = 1;
    // One latency with speech-aware on or off (the live look-ahead's), so
    // that a new stream's output lines up with the old one's, frame for
    // frame, and the pipeline's latency stays what it was told.
    o.steady_latency = 1;
    agc_stream_init_with(stream(k), rate_, channels_, &o);
    made_[k] = s;
}

std::size_t leveller::due(std::size_t frames) const {
    if (latency_ == 0) return 0;
    const std::uint64_t held = running_ ? to_drop_ : static_cast<std::uint64_t>(latency_);
    return frames - static_cast<std::size_t>(std::min<std::uint64_t>(frames, held));
}

std::size_t leveller::level(const std::int16_t* in, std::int16_t* out, std::size_t frames, const settings& now) {
    if (frames == 0 || latency_ == 0) return 0;
    comp_cell_ = static_cast<std::int16_t>(now.comp);
    if (!running_) {
        start(current_, now);
        running_ = true;
        switching_ = false;
        taken_ = 0;
        to_drop_ = static_cast<std::uint64_t>(latency_);
    } else if (!switching_ && needs_new_stream(made_[current_], now, channels_)) {
        begin_switch(now); // a change during a crossfade waits for its end
    }
    const auto nc = static_cast<std::size_t>(channels_);
    std::size_t wrote = 0;
    for (std::size_t at = 0; at < frames;) {
        const std::size_t n = std::min(CHUNK, frames - at);
        const std::int16_t* src = in + at * nc;
        agc_stream_process(stream(current_), src, scratch_[0].data(), static_cast<int>(n));
        if (switching_) {
            agc_stream_process(stream(1 - current_), src, scratch_[1].data(), static_cast<int>(n));
            crossfade(scratch_[0].data(), scratch_[1].data(), n);
        }
        remember(src, n);
        wrote += emit(scratch_[0].data(), n, out + wrote * nc);
        at += n;
    }
    return wrote;
}

std::size_t leveller::drain(std::int16_t* out) {
    if (!running_) return 0;
    running_ = false;
    const auto n = static_cast<std::size_t>(agc_stream_flush(stream(current_), scratch_[0].data()));
    if (switching_) {
        agc_stream_flush(stream(1 - current_), scratch_[1].data());
        crossfade(scratch_[0].data(), scratch_[1].data(), n);
    }
    switching_ = false;
    return emit(scratch_[0].data(), n, out);
}

// The new stream takes the run's kept input, from a hop boundary of the run
// (input frame 512 + a whole number of hops, the lead-in being 512), so that
// its hops fall where the old stream's do. A run shorter than the history
// is taken whole: the new stream is then exactly one that ran from the start.
void leveller::begin_switch(const settings& s) {
    const int k = 1 - current_;
    start(k, s);
    warm_up(k);
    switching_ = true;
    faded_ = 0;
}

void leveller::warm_up(int k) {
    const auto nc = static_cast<std::size_t>(channels_);
    const auto hop = static_cast<std::uint64_t>(window_ / 2);
    const std::uint64_t ring = history_frames_;
    std::uint64_t f = taken_ <= ring ? 0 : (taken_ - ring + hop - 1) / hop * hop;
    while (f < taken_) {
        const std::uint64_t slot = f % ring;
        const auto n = static_cast<std::size_t>(std::min({std::uint64_t{CHUNK}, taken_ - f, ring - slot}));
        agc_stream_process(stream(k), history_.data() + slot * nc, scratch_[1].data(), static_cast<int>(n));
        f += n;
    }
}

void leveller::remember(const std::int16_t* in, std::size_t frames) {
    const auto nc = static_cast<std::size_t>(channels_);
    const auto slot = static_cast<std::size_t>(taken_ % history_frames_);
    const std::size_t first = std::min(frames, history_frames_ - slot);
    std::memcpy(history_.data() + slot * nc, in, first * nc * sizeof *in);
    std::memcpy(history_.data(), in + first * nc, (frames - first) * nc * sizeof *in);
    taken_ += frames;
}

// Frame by frame from the old stream's output (in `out`) to the new one's:
// a linear crossfade in Q15 over the fade, rounded to nearest. Both are the
// same signal under gains that differ and move slowly, so a straight line
// between them is a smooth change of gain. At its end the new stream is the
// only one.
void leveller::crossfade(std::int16_t* out, const std::int16_t* to, std::size_t frames) {
    const auto nc = static_cast<std::size_t>(channels_);
    const auto fade = static_cast<std::size_t>(FADE_WINDOWS * window_);
    for (std::size_t i = 0; i < frames; ++i) {
        const std::size_t k = faded_ + i + 1;
        const std::int32_t w = k >= fade ? 32768 : static_cast<std::int32_t>((k << 15) / fade);
        for (std::size_t c = i * nc; c < (i + 1) * nc; ++c)
            out[c] = static_cast<std::int16_t>((out[c] * (32768 - w) + to[c] * w + 16384) >> 15);
    }
    faded_ += frames;
    if (faded_ >= fade) {
        current_ = 1 - current_;
        switching_ = false;
    }
}

// The run's output less the opening latency, which is the stream's delay:
// output frame k is then input frame k levelled, as zek writes files.
std::size_t leveller::emit(const std::int16_t* frames, std::size_t n, std::int16_t* out) {
    const auto nc = static_cast<std::size_t>(channels_);
    const auto drop = static_cast<std::size_t>(std::min<std::uint64_t>(n, to_drop_));
    to_drop_ -= drop;
    std::memcpy(out, frames + drop * nc, (n - drop) * nc * sizeof *out);
    return n - drop;
}

} // namespace zek_gst
