#include "plugin.h"

#include "audio/samples.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace zek_plugin {

namespace {

constexpr port mono_ports[] = {
    {port_kind::audio_in, 0, "Input"},
    {port_kind::audio_out, 0, "Output"},
    {port_kind::speech, 0, "Speech-aware"},
    {port_kind::comp, 0, "Compression"},
    {port_kind::latency, 0, "latency"},
};
constexpr port stereo_ports[] = {
    {port_kind::audio_in, 0, "Input L"},
    {port_kind::audio_in, 1, "Input R"},
    {port_kind::audio_out, 0, "Output L"},
    {port_kind::audio_out, 1, "Output R"},
    {port_kind::speech, 0, "Speech-aware"},
    {port_kind::comp, 0, "Compression"},
    {port_kind::link, 0, "Link"},
    {port_kind::latency, 0, "latency"},
};

// The stream's options as the controls set them; an unconnected control
// keeps zek's default. A toggle is on above 0, as LADSPA and LV2 define it.
// The weight is clamped to 0..1 (a NaN is 0) and scaled as zek scales
// --comp, so that the plugin and the tool level alike bit for bit.
agc_stream_options options_from(const instance& p) {
    agc_stream_options o;
    agc_stream_options_init(&o);
    if (p.speech != nullptr) o.speech = *p.speech > 0.0f;
    if (p.link != nullptr) o.link = *p.link > 0.0f;
    if (p.comp != nullptr) {
        const float c = std::clamp(*p.comp == *p.comp ? *p.comp : 0.0f, 0.0f, 1.0f);
        o.comp = static_cast<int>(static_cast<double>(c) * 32766.0);
    }
    return o;
}

bool same(const agc_stream_options& a, const agc_stream_options& b) {
    return a.comp == b.comp && a.speech == b.speech && a.link == b.link;
}

void start(instance& p, const agc_stream_options& options) {
    p.options = options;
    agc_stream_init_with(p.stream, p.rate, p.ports->channels, &p.options);
    p.fresh = true;
}

// Adds n samples of the tail, from frame `at`, onto out, held to 16 bits.
void add_tail(const instance& p, std::int16_t* out, int at, int n) {
    const std::int16_t* t = p.tail + at * p.ports->channels;
    for (int k = 0; k < n * p.ports->channels; ++k) out[k] = static_cast<std::int16_t>(std::clamp(out[k] + t[k], -32768, 32767));
}

// The stream takes its options once, at the start of a recording: new
// controls start a new one. The old stream's flush gives the audio it still
// holds; it goes out added to the new stream's output (after what is still
// owed from an earlier change), so that nothing is lost or shifted: over the
// new stream's opening silence when the latencies are the same. The
// speech-aware mode's look-ahead makes its latency longer: switching it on
// leaves a stretch of silence between the two, switching it off lets the
// old stream's last frames overlap the new one's first.
void restart(instance& p, const agc_stream_options& options) {
    if (!p.fresh) {
        const int c = p.ports->channels;
        const int flushed = agc_stream_flush(p.stream, p.out16);
        std::memmove(p.tail, p.tail + p.tail_at * c, static_cast<std::size_t>(p.tail_left * c) * sizeof *p.tail);
        std::fill(p.tail + p.tail_left * c, p.tail + std::max(p.tail_left, flushed) * c, std::int16_t{0});
        p.tail_at = 0;
        p.tail_left = std::max(p.tail_left, flushed);
        for (int k = 0; k < flushed * c; ++k) p.tail[k] = static_cast<std::int16_t>(std::clamp(p.tail[k] + p.out16[k], -32768, 32767));
    }
    start(p, options);
    p.latency = agc_stream_latency(p.stream);
}

// The host's planar channels to the stream's interleaved frames, and back.
void interleave(const std::int16_t* planar, std::int16_t* frames, int n, int channels) {
    for (int ch = 0; ch < channels; ++ch)
        for (int k = 0; k < n; ++k) frames[k * channels + ch] = planar[ch * n + k];
}
void deinterleave(const std::int16_t* frames, std::int16_t* planar, int n, int channels) {
    for (int ch = 0; ch < channels; ++ch)
        for (int k = 0; k < n; ++k) planar[ch * n + k] = frames[k * channels + ch];
}

// The conversions are most of a plugin's own work. x86-64's baseline (SSE2)
// has no instructions to clamp and narrow float lanes to 16 bits in one go,
// AVX2 has: a copy for AVX2, taken at load time where the CPU has it, runs
// them in a third of the time.
#if defined(__x86_64__) && defined(__linux__)
#define VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VECTOR_CLONES
#endif

// One piece of at most CHUNK frames, from `at` in the host's buffers. All of
// a piece's input is read before any of its output is written, so a host may
// hand the same buffer in and out.
VECTOR_CLONES void run_piece(instance& p, unsigned long at, int n) {
    const int c = p.ports->channels;
    const auto count = static_cast<std::size_t>(n);
    if (c == 1) {
        zek::float_to_int16<float, true>(p.in[0] + at, p.in16, count);
    } else {
        for (int ch = 0; ch < c; ++ch) zek::float_to_int16<float, true>(p.in[ch] + at, p.out16 + ch * n, count);
        interleave(p.out16, p.in16, n, c);
    }
    agc_stream_process(p.stream, p.in16, p.out16, n);
    p.fresh = false;
    if (p.tail_left > 0) {
        const int k = std::min(n, p.tail_left);
        add_tail(p, p.out16, p.tail_at, k);
        p.tail_at += k;
        p.tail_left -= k;
    }
    if (c == 1) {
        zek::int16_to_float(p.out16, p.out[0] + at, count);
    } else {
        deinterleave(p.out16, p.in16, n, c);
        for (int ch = 0; ch < c; ++ch) zek::int16_to_float(p.in16 + ch * n, p.out[ch] + at, count);
    }
}

} // namespace

const layout mono = {1, static_cast<int>(std::size(mono_ports)), mono_ports};
const layout stereo = {2, static_cast<int>(std::size(stereo_ports)), stereo_ports};

instance* create(const layout& ports, double rate) {
    if (!(rate >= AGC_MIN_RATE && rate <= AGC_MAX_RATE) || rate != static_cast<int>(rate)) return nullptr;
    auto* p = static_cast<instance*>(std::calloc(1, sizeof(instance)));
    if (p == nullptr) return nullptr;
    p->ports = &ports;
    p->rate = static_cast<int>(rate);
    p->stream = static_cast<agc_stream*>(std::malloc(agc_stream_size(ports.channels)));
    if (p->stream != nullptr) {
        // The tail holds a flush of the longest latency the controls give:
        // the speech-aware mode's.
        agc_stream_options speech;
        agc_stream_options_init(&speech);
        speech.speech = 1;
        start(*p, speech);
        const int longest = agc_stream_latency(p->stream);
        start(*p, options_from(*p));
        p->latency = agc_stream_latency(p->stream);
        // The flush goes through out16 on its way to the tail.
        if (longest * ports.channels <= FLUSH_SAMPLES)
            p->tail = static_cast<std::int16_t*>(std::malloc(static_cast<std::size_t>(longest * ports.channels) * sizeof(std::int16_t)));
    }
    if (p->tail == nullptr) {
        destroy(p);
        return nullptr;
    }
    return p;
}

void connect(instance& p, unsigned long port, void* data) {
    if (port >= static_cast<unsigned long>(p.ports->port_count)) return;
    const zek_plugin::port& what = p.ports->ports[port];
    switch (what.kind) {
    case port_kind::audio_in: p.in[what.channel] = static_cast<const float*>(data); break;
    case port_kind::audio_out: p.out[what.channel] = static_cast<float*>(data); break;
    case port_kind::speech: p.speech = static_cast<const float*>(data); break;
    case port_kind::comp: p.comp = static_cast<const float*>(data); break;
    case port_kind::link: p.link = static_cast<const float*>(data); break;
    case port_kind::latency:
        p.latency_port = static_cast<float*>(data);
        if (p.latency_port != nullptr) *p.latency_port = static_cast<float>(p.latency);
        break;
    }
}

void activate(instance& p) {
    start(p, options_from(p));
    p.latency = agc_stream_latency(p.stream);
    p.tail_left = p.tail_at = 0;
}

void run(instance& p, unsigned long frames) {
    if (p.latency_port != nullptr) *p.latency_port = static_cast<float>(p.latency);
    for (int ch = 0; ch < p.ports->channels; ++ch)
        if (p.in[ch] == nullptr || p.out[ch] == nullptr) return; // a host's fault: nothing to read or write
    const agc_stream_options options = options_from(p);
    if (!same(options, p.options)) restart(p, options);
    // The latency of the stream that levels this block: the speech-aware
    // mode's look-ahead lengthens it.
    if (p.latency_port != nullptr) *p.latency_port = static_cast<float>(p.latency);
    for (unsigned long at = 0; at < frames;) {
        const int n = static_cast<int>(std::min<unsigned long>(frames - at, CHUNK));
        run_piece(p, at, n);
        at += static_cast<unsigned long>(n);
    }
}

void destroy(instance* p) {
    if (p == nullptr) return;
    std::free(p->tail);
    std::free(p->stream);
    std::free(p);
}

} // namespace zek_plugin
