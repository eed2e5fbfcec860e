#include "level.h"

#include "audio/samples.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

namespace zekpy {
namespace {

using samples = std::vector<std::int16_t>;

int process16(agc_stream* st, const std::int16_t* in, std::int16_t* out, std::size_t frames, int channels) {
    constexpr std::size_t piece = std::size_t{1} << 30; // frames per call, within an int
    const auto nc = static_cast<std::size_t>(channels);
    do { // at least one call, so that a flushed stream refuses even 0 frames
        const std::size_t n = std::min(frames, piece);
        const int r = agc_stream_process(st, in, out, static_cast<int>(n));
        if (r < 0) return r;
        in += n * nc;
        out += n * nc;
        frames -= n;
    } while (frames > 0);
    return 0;
}

// The stream writes latency frames of silence before the recording. The
// first latency input frames go in with that silence dropped into scratch;
// the rest go in with their output straight into `out`, where it lands at its
// own position; the flush fills the last latency frames. Mono input with
// separate buffers takes the stream's direct path: hops go from `in` through
// the engine into `out` without a copy.
int level16(agc_stream* st, const std::int16_t* in, std::int16_t* out, std::size_t frames, int channels) {
    const auto nc = static_cast<std::size_t>(channels);
    const auto latency = static_cast<std::size_t>(agc_stream_latency(st));
    samples scratch(latency * nc);
    const std::size_t head = std::min(frames, latency);
    int r = process16(st, in, scratch.data(), head, channels);
    if (r == 0) r = process16(st, in + head * nc, out, frames - head, channels);
    if (r < 0) return r;
    if (frames >= latency) {
        r = agc_stream_flush(st, out + (frames - latency) * nc);
    } else { // a recording shorter than the latency: its frames end the flush
        r = agc_stream_flush(st, scratch.data());
        std::memcpy(out, scratch.data() + (latency - frames) * nc, frames * nc * sizeof *out);
    }
    return r < 0 ? r : 0;
}

// Floats go through the stream a block at a time, converted on the way in
// and out, so that no 16-bit copy of the whole recording is made. Output
// frame t of the stream is the aligned frame t - latency.
template <typename F>
int level_float(agc_stream* st, const F* in, F* out, std::size_t frames, int channels, std::size_t* nan_at) {
    const auto nc = static_cast<std::size_t>(channels);
    const auto latency = static_cast<std::size_t>(agc_stream_latency(st));
    const std::size_t block = std::max<std::size_t>(latency, 8192); // the flush fits in one
    samples a(block * nc), b(block * nc);
    // Stream output frames t .. t+n-1, held in b, into place, the silence before latency dropped.
    const auto give = [&](std::size_t t, std::size_t n) {
        const std::size_t skip = t < latency ? latency - t : 0;
        if (skip < n) zek::int16_to_float(b.data() + skip * nc, out + (t + skip - latency) * nc, (n - skip) * nc);
    };
    for (std::size_t at = 0; at < frames; at += block) {
        const std::size_t n = std::min(block, frames - at);
        const std::size_t nan = zek::float_to_int16(in + at * nc, a.data(), n * nc);
        if (nan < n * nc) {
            *nan_at = at * nc + nan;
            return ERR_NAN;
        }
        const int r = process16(st, a.data(), b.data(), n, channels);
        if (r < 0) return r;
        give(at, n);
    }
    const int r = agc_stream_flush(st, b.data());
    if (r < 0) return r;
    give(frames, latency);
    return 0;
}

} // namespace

template <typename T>
int level(agc_stream* st, const T* in, T* out, std::size_t frames, int channels, std::size_t* nan_at) {
    if constexpr (std::is_same_v<T, std::int16_t>) {
        return level16(st, in, out, frames, channels);
    } else {
        return level_float(st, in, out, frames, channels, nan_at);
    }
}

template <typename T>
int process(agc_stream* st, const T* in, T* out, std::size_t frames, int channels, std::size_t* nan_at) {
    if constexpr (std::is_same_v<T, std::int16_t>) {
        return process16(st, in, out, frames, channels);
    } else {
        const std::size_t count = frames * static_cast<std::size_t>(channels);
        samples a(count);
        *nan_at = zek::float_to_int16(in, a.data(), count);
        if (*nan_at < count) return ERR_NAN;
        const int r = process16(st, a.data(), a.data(), frames, channels);
        if (r == 0) zek::int16_to_float(a.data(), out, count);
        return r;
    }
}

template <typename T>
int flush(agc_stream* st, T* out, int channels) {
    if constexpr (std::is_same_v<T, std::int16_t>) {
        const int r = agc_stream_flush(st, out);
        return r < 0 ? r : 0;
    } else {
        samples a(static_cast<std::size_t>(agc_stream_latency(st)) * static_cast<std::size_t>(channels));
        const int r = flush(st, a.data(), channels);
        if (r == 0) zek::int16_to_float(a.data(), out, a.size());
        return r;
    }
}

template <typename T>
int measure(agc_loudness* m, const T* in, std::size_t frames, int channels, std::size_t* nan_at) {
    if constexpr (std::is_same_v<T, std::int16_t>) {
        return agc_loudness_add_frames(m, in, frames);
    } else {
        const auto nc = static_cast<std::size_t>(channels);
        constexpr std::size_t block = 8192;
        samples a(block * nc);
        for (std::size_t at = 0; at < frames; at += block) {
            const std::size_t n = std::min(block, frames - at);
            const std::size_t nan = zek::float_to_int16(in + at * nc, a.data(), n * nc);
            if (nan < n * nc) {
                *nan_at = at * nc + nan;
                return ERR_NAN;
            }
            const int r = agc_loudness_add_frames(m, a.data(), n);
            if (r < 0) return r;
        }
        return 0;
    }
}

template int measure<std::int16_t>(agc_loudness*, const std::int16_t*, std::size_t, int, std::size_t*);
template int measure<float>(agc_loudness*, const float*, std::size_t, int, std::size_t*);
template int measure<double>(agc_loudness*, const double*, std::size_t, int, std::size_t*);
template int level<std::int16_t>(agc_stream*, const std::int16_t*, std::int16_t*, std::size_t, int, std::size_t*);
template int level<float>(agc_stream*, const float*, float*, std::size_t, int, std::size_t*);
template int level<double>(agc_stream*, const double*, double*, std::size_t, int, std::size_t*);
template int process<std::int16_t>(agc_stream*, const std::int16_t*, std::int16_t*, std::size_t, int, std::size_t*);
template int process<float>(agc_stream*, const float*, float*, std::size_t, int, std::size_t*);
template int process<double>(agc_stream*, const double*, double*, std::size_t, int, std::size_t*);
template int flush<std::int16_t>(agc_stream*, std::int16_t*, int);
template int flush<float>(agc_stream*, float*, int);
template int flush<double>(agc_stream*, double*, int);

} // namespace zekpy
