#include "report/audio_pair.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "agc/builtin.h"
#include "agc/stream.h"
#include "audio/recording.h"

namespace zek {

namespace {

constexpr int LEAD = agc::LEAD_IN_SAMPLES;

// The run over IN: the stream is fed the lead-in, then hops, then the
// silence that ends a recording, in pieces whose outputs are whole stretches
// of the aligned recording: the lead-in's, then aligned hop j-2 for hop j.
struct replay {
    std::unique_ptr<agc_stream, decltype(&agc_stream_destroy)> stream{nullptr, agc_stream_destroy};
    int channels = 0, hop = 0, latency = 0;
    std::vector<std::int16_t> piece_in, piece_out, actual, in_aligned;
    std::vector<std::int16_t> history;  // IN's last frames, until their output comes: a ring
    std::size_t history_frames = 0;
    std::vector<std::int16_t> gains[3]; // per channel, of the last three hops
    std::int16_t weights[3] = {};       // the largest over the channels, of the last three hops
    std::int64_t fed = 0;               // frames given to the stream
};

// Copies frames [from, from + n) of IN out of the ring.
void recall(replay& p, std::int64_t from, std::size_t n) {
    const auto c = static_cast<std::size_t>(p.channels);
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t slot = static_cast<std::size_t>(from) % p.history_frames + k;
        const std::size_t at = slot % p.history_frames;
        std::copy_n(p.history.begin() + static_cast<std::ptrdiff_t>(at * c), c,
                    p.in_aligned.begin() + static_cast<std::ptrdiff_t>(k * c));
    }
}

void remember(replay& p, std::int64_t from, const std::int16_t* frames, std::size_t n) {
    const auto c = static_cast<std::size_t>(p.channels);
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t at = (static_cast<std::size_t>(from) + k) % p.history_frames;
        std::copy_n(frames + k * c, c, p.history.begin() + static_cast<std::ptrdiff_t>(at * c));
    }
}

// Up to n frames of OUT's bare samples; a part of a frame at the end (or an
// odd byte) sets `partial`. Returns the whole frames read, or -1.
std::int64_t read_raw_frames(audio_pair& p, std::int16_t* dst, std::size_t n, int channels, bool& partial) {
    const std::size_t frame = 2 * static_cast<std::size_t>(channels);
    p.raw_bytes.resize(n * frame);
    unsigned char* bytes = p.raw_bytes.data();
    std::size_t got = 0;
    while (got < n * frame) {
        const ssize_t k = read_some(p.out_raw, bytes + got, n * frame - got);
        if (k < 0) return -1;
        if (k == 0) break;
        got += static_cast<std::size_t>(k);
    }
    partial = got % frame != 0;
    decode_le(bytes, dst, got / frame * frame / 2);
    return static_cast<std::int64_t>(got / frame);
}

// Reads up to n frames of OUT, whatever it holds. Returns the frames read, or
// -1; `partial` as above.
std::int64_t read_out(audio_pair& p, std::int16_t* dst, std::size_t n, int channels, bool& partial) {
    partial = false;
    if (p.out_raw >= 0) return read_raw_frames(p, dst, n, channels, partial);
    if (!p.out_is_audio) return 0;
    const std::int64_t k = audio_read(p.out, dst, static_cast<int>(n));
    return k < 0 || audio_error(p.out) ? -1 : k;
}

// Reads `n` frames of OUT where zek writes `expected`, noting the first
// difference. Returns how many OUT held, or -1 when it cannot be read.
std::int64_t compare_output(audio_pair& p, replay& rp, report& r, const std::int16_t* expected, std::size_t n) {
    bool partial = false;
    const std::int64_t k = read_out(p, rp.actual.data(), n, rp.channels, partial);
    if (k < 0) return -1;
    const auto got = static_cast<std::size_t>(k);
    const std::size_t at = r.out_samples;
    r.out_samples += got;
    const std::size_t count = got * static_cast<std::size_t>(rp.channels);
    if (r.first_difference == NO_DIFFERENCE) {
        const auto diff = std::mismatch(expected, expected + count, rp.actual.data()).first;
        if (diff != expected + count || got < n || partial) {
            r.first_difference = at + static_cast<std::size_t>(diff - expected) / static_cast<std::size_t>(rp.channels);
        }
    }
    return k;
}

} // namespace

std::string open_audio_pair(audio_pair& p, const input_file& in, container kind, const input_file& out,
                            const char* in_path, report& r) {
    std::string problem = audio_open(p.in, in, kind, in_path);
    if (!problem.empty()) return problem;
    r.audio = true;
    r.rate = p.in.info.samplerate;
    r.channels = p.in.info.channels;
    const container out_kind = peek_container(out.fd, out.st);
    if (out_kind == container::none) {
        p.out_raw = out.fd;
    } else if (p.out_problem = audio_open(p.out, out, out_kind, "OUT"); p.out_problem.empty()) {
        p.out_is_audio = p.out.info.samplerate == r.rate && p.out.info.channels == r.channels;
        if (!p.out_is_audio) {
            r.out_rate = p.out.info.samplerate;
            r.out_channels = p.out.info.channels;
        }
    }
    return {};
}

read_failure measure_audio(audio_pair& p, report& r, std::FILE* rows, const run_options& options) {
    replay rp;
    const agc_stream_options o = stream_options(options);
    rp.stream.reset(agc_stream_create_with(r.rate, r.channels, &o, nullptr)); // freed on every way out
    if (rp.stream == nullptr) return {ENOMEM, false, {}};
    rp.channels = r.channels;
    rp.latency = agc_stream_latency(rp.stream.get());
    // The hop is half the window, the latency of a stream without the
    // limiter's look-ahead.
    {
        const std::unique_ptr<agc_stream, decltype(&agc_stream_destroy)> plain(
            agc_stream_create(r.rate, r.channels, nullptr), agc_stream_destroy);
        if (plain == nullptr) return {ENOMEM, false, {}};
        rp.hop = agc_stream_latency(plain.get()) / 2;
    }
    const auto c = static_cast<std::size_t>(r.channels);
    const std::size_t most = static_cast<std::size_t>(std::max(LEAD, rp.hop)) * c;
    for (auto* v : {&rp.piece_in, &rp.piece_out, &rp.actual, &rp.in_aligned}) v->resize(most);
    rp.history_frames = static_cast<std::size_t>(rp.latency + std::max(LEAD, rp.hop));
    rp.history.resize(rp.history_frames * c);
    for (auto& g : rp.gains) g.assign(c, 256);

    std::int64_t frames_in = -1; // IN's length, once its end is reached
    for (int j = -1;; ++j) {     // piece -1 is the lead-in, piece j >= 0 is input hop j
        const auto want = static_cast<std::size_t>(j < 0 ? LEAD : rp.hop);
        std::size_t n = 0;
        if (frames_in < 0) {
            const std::int64_t k = audio_read(p.in, rp.piece_in.data(), static_cast<int>(want));
            if (k < 0 || audio_error(p.in)) return {EIO, false, p.in.failure};
            n = static_cast<std::size_t>(k);
            if (n < want) frames_in = rp.fed + k;
        }
        // After IN's end, the silence that ends a recording: latency frames.
        std::size_t len = want;
        if (frames_in >= 0) len = std::min<std::size_t>(want, static_cast<std::size_t>(frames_in + rp.latency - rp.fed));
        if (len == 0) break;
        std::fill(rp.piece_in.begin() + static_cast<std::ptrdiff_t>(n * c), rp.piece_in.end(), std::int16_t{0});
        remember(rp, rp.fed, rp.piece_in.data(), len);
        agc_stream_process(rp.stream.get(), rp.piece_in.data(), rp.piece_out.data(), static_cast<int>(len));
        if (j >= 0 && len == want) {
            rp.weights[j % 3] = INT16_MIN;
            for (std::size_t ch = 0; ch < c; ++ch) {
                const int channel = static_cast<int>(ch);
                rp.gains[j % 3][ch] = static_cast<std::int16_t>(agc_stream_gain(rp.stream.get(), channel));
                rp.weights[j % 3] = std::max(rp.weights[j % 3], static_cast<std::int16_t>(agc_stream_weight(rp.stream.get(), channel)));
            }
        }
        // The output of this piece: aligned frames [t, t + len), those >= 0 real.
        const std::int64_t t = rp.fed - rp.latency;
        rp.fed += static_cast<std::int64_t>(len);
        const std::size_t skip = t < 0 ? std::min(len, static_cast<std::size_t>(-t)) : 0;
        const std::size_t count = len - skip;
        if (count == 0) continue;
        const std::int64_t start = t + static_cast<std::int64_t>(skip);
        recall(rp, start, count);
        const std::int16_t* expected = rp.piece_out.data() + skip * c;
        const std::int64_t read = compare_output(p, rp, r, expected, count);
        if (read < 0) return {EIO, true, {}};
        const auto got = static_cast<std::size_t>(read);
        std::int16_t from = 256, to = 256; // the lead-in passes at unity gain
        std::int32_t weight = NO_WEIGHT;
        if (start >= LEAD) {                // aligned hop j-2, crossfaded from its gain to the next one's
            weight = rp.weights[(j + 1) % 3];
            from = INT16_MAX, to = INT16_MIN;
            for (const auto* g : {&rp.gains[(j + 1) % 3], &rp.gains[(j + 2) % 3]}) {
                from = std::min(from, *std::min_element(g->begin(), g->end()));
                to = std::max(to, *std::max_element(g->begin(), g->end()));
            }
        }
        account(r, rows, static_cast<std::size_t>(start), rp.in_aligned.data(), rp.actual.data(), count, got, from, to,
                weight);
    }
    // Cut short, or past what libsndfile reads.
    if (std::string why = audio_check_end(p.in); !why.empty()) return {EIO, false, std::move(why)};
    r.in_samples = r.expected_samples = r.covered_samples = static_cast<std::size_t>(frames_in);
    // Anything in OUT past what zek writes is a difference.
    for (;;) {
        bool partial = false;
        const std::int64_t k = read_out(p, rp.actual.data(), most / c, rp.channels, partial);
        if (k < 0) return {EIO, true, {}};
        if ((k > 0 || partial) && r.first_difference == NO_DIFFERENCE) r.first_difference = r.out_samples;
        r.out_samples += static_cast<std::size_t>(k);
        if (k == 0) break;
    }
    end_second(r, rows);
    return {};
}

void close_audio_pair(audio_pair& p) {
    audio_close(p.in);
    audio_close(p.out);
}

} // namespace zek
