// The GStreamer element as GStreamer runs it, against the stream API on the
// same frames, aligned as zek aligns files: in GstHarness for what files do
// not vary (buffer sizes, properties changed mid-stream, new caps,
// discontinuities, flushes), and in a live pipeline for the latency.
#include <agc/stream.h>
#include <gst/base/gstbasesink.h>
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

using samples = std::vector<std::int16_t>;

// The demo's speech recording (espeak-ng and sox), each channel its own
// stretch of it at its own level.
samples recording(std::size_t frames, std::size_t channels) {
    static const samples speech = [] {
        std::ifstream f(ZEK_EXAMPLE_RAW, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(f), {}};
        samples s(bytes.size() / 2);
        for (std::size_t k = 0; k < s.size(); ++k)
            s[k] = static_cast<std::int16_t>(static_cast<unsigned char>(bytes[2 * k]) | bytes[2 * k + 1] << 8);
        return s;
    }();
    samples out(frames * channels);
    for (std::size_t k = 0; k < out.size() && !speech.empty(); ++k)
        out[k] = static_cast<std::int16_t>(speech[(k / channels + k % channels * 7919) % speech.size()] >> (k % channels % 3));
    return out;
}

struct options {
    bool speech = false;
    float comp = 1.0f;
    bool link = false;
};

std::int16_t weight(float comp) { return static_cast<std::int16_t>(static_cast<double>(comp) * 32766.0); }

// The stream API's output, aligned: the opening latency dropped, the flush
// appended; `mix`, when given, the weight of each hop.
samples aligned(const samples& in, int rate, int channels, const options& o, const samples& mix = {}) {
    agc_stream_options so;
    agc_stream_options_init(&so);
    so.speech = o.speech, so.link = o.link, so.comp = weight(o.comp);
    if (!mix.empty()) so.mix = mix.data(), so.mix_count = mix.size();
    agc_stream* st = agc_stream_create_with(rate, channels, &so, nullptr);
    const auto skip = static_cast<std::ptrdiff_t>(agc_stream_latency(st) * channels);
    samples out(in.size() + static_cast<std::size_t>(skip));
    agc_stream_process(st, in.data(), out.data(), static_cast<int>(in.size()) / channels);
    agc_stream_flush(st, out.data() + in.size());
    agc_stream_destroy(st);
    return samples(out.begin() + skip, out.end());
}

// The engine's window, 10 ms; and the element's latency: the live
// speech-aware mode's, with speech-aware on or off.
int window_frames(int rate) { return 4 * ((rate + 200) / 400); }
int latency_frames(int rate) {
    agc_stream_options o;
    agc_stream_options_init(&o);
    o.steady_latency = 1;
    agc_stream* st = agc_stream_create_with(rate, 1, &o, nullptr);
    const int latency = agc_stream_latency(st);
    agc_stream_destroy(st);
    return latency;
}

std::string caps(bool f32, int rate, int channels) {
    return std::string("audio/x-raw,layout=interleaved,format=") + (f32 ? "F32LE" : "S16LE") +
           ",rate=" + std::to_string(rate) + ",channels=" + std::to_string(channels) +
           (channels > 2 ? ",channel-mask=(bitmask)0" : ""); // more than 2: unpositioned
}

samples slice(const samples& s, std::size_t from, std::size_t to, std::size_t channels) {
    return samples(s.begin() + static_cast<std::ptrdiff_t>(from * channels),
                   s.begin() + static_cast<std::ptrdiff_t>(to * channels));
}
samples join(samples a, const samples& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The element in a harness, fed buffers stamped from frame 0 at time 0;
// what comes out is collected as 16-bit frames, with each buffer's stamps.
struct harness {
    GstHarness* h;
    bool f32 = false;
    int rate = 0;
    std::size_t channels = 0;
    guint64 fed = 0;
    samples out;
    std::vector<guint64> pts, offsets, lengths;

    harness() {
        static const bool ready = (gst_init(nullptr, nullptr), true);
        (void)ready;
        h = gst_harness_new("zek");
    }
    ~harness() { gst_harness_teardown(h); }
    void set(const options& o) {
        g_object_set(h->element, "speech-aware", o.speech, "compression", o.comp, "link", o.link, nullptr);
    }
    // New caps; what they make the element give out is in the old format.
    void format(bool is_f32, int r, int c) {
        gst_harness_set_src_caps_str(h, caps(is_f32, r, c).c_str());
        pull();
        f32 = is_f32, rate = r, channels = static_cast<std::size_t>(c);
    }
    // Frames `from` to `to` in buffers of the given sizes, the last repeating.
    void push(const samples& frames, std::size_t from, std::size_t to, std::vector<std::size_t> sizes,
              bool discont = false) {
        for (std::size_t at = from, b = 0; at < to; b = std::min(b + 1, sizes.size() - 1)) {
            const std::size_t n = std::min(sizes[b], to - at), count = n * channels;
            GstBuffer* buf = gst_buffer_new_allocate(nullptr, count * (f32 ? 4 : 2), nullptr);
            GstMapInfo map;
            gst_buffer_map(buf, &map, GST_MAP_WRITE);
            for (std::size_t k = 0; k < count; ++k) {
                const std::int16_t v = frames[at * channels + k];
                if (f32) reinterpret_cast<float*>(map.data)[k] = v / 32768.0f;
                else reinterpret_cast<std::int16_t*>(map.data)[k] = v;
            }
            gst_buffer_unmap(buf, &map);
            GST_BUFFER_PTS(buf) = gst_util_uint64_scale(fed, GST_SECOND, static_cast<guint64>(rate));
            GST_BUFFER_OFFSET(buf) = fed;
            if (discont && at == from) GST_BUFFER_FLAG_SET(buf, GST_BUFFER_FLAG_DISCONT);
            fed += n, at += n;
            EXPECT_EQ(gst_harness_push(h, buf), GST_FLOW_OK);
            pull();
        }
    }
    void event(GstEvent* e) {
        EXPECT_TRUE(gst_harness_push_event(h, e));
        pull();
    }
    void pull() {
        while (GstBuffer* b = channels > 0 ? gst_harness_try_pull(h) : nullptr) {
            GstMapInfo map;
            gst_buffer_map(b, &map, GST_MAP_READ);
            const std::size_t n = map.size / (f32 ? 4 : 2);
            for (std::size_t k = 0; k < n; ++k)
                out.push_back(f32 ? static_cast<std::int16_t>(reinterpret_cast<const float*>(map.data)[k] * 32768.0f)
                                  : reinterpret_cast<const std::int16_t*>(map.data)[k]);
            pts.push_back(GST_BUFFER_PTS(b));
            offsets.push_back(GST_BUFFER_OFFSET(b));
            lengths.push_back(n / channels);
            gst_buffer_unmap(b, &map);
            gst_buffer_unref(b);
        }
    }
    // Every buffer out continues the one before, from frame 0 at time 0 (to
    // the nanosecond: a new run counts its time from its first buffer's).
    void expect_contiguous(const std::string& what) const {
        guint64 at = 0;
        for (std::size_t i = 0; i < pts.size(); at += lengths[i++]) {
            const GstClockTime t = gst_util_uint64_scale(at, GST_SECOND, static_cast<guint64>(rate));
            EXPECT_TRUE(pts[i] + 1 >= t && pts[i] <= t + 1) << what << ", buffer " << i << ": " << pts[i] << ", not " << t;
            EXPECT_EQ(offsets[i], at) << what << ", buffer " << i;
        }
    }
};

TEST(GstElement, LevelsAsTheStreamAlignedInAnyBufferSizes) {
    const struct {
        const char* what;
        bool f32;
        int rate, channels;
        std::size_t frames;
        std::vector<std::size_t> sizes;
        options o;
    } cases[] = {
        {"16-bit mono, buffers of 1 to 4096 frames", false, 48000, 1, 30000, {1, 7, 333, 4096, 1000}, {}},
        {"float stereo at 44.1 kHz, linked", true, 44100, 2, 88200, {1024}, {false, 0.6f, true}},
        {"16-bit, 6 channels at 16 kHz, speech-aware", false, 16000, 6, 48000, {100}, {true, 0.3f, false}},
        {"float, 256 channels at 8 kHz", true, 8000, 256, 4000, {4000}, {}},
        {"shorter than the latency at 96 kHz", false, 96000, 2, 500, {64}, {}},
        {"no audio at all", false, 48000, 1, 0, {1}, {}},
    };
    for (const auto& c : cases) {
        const samples in = recording(c.frames, static_cast<std::size_t>(c.channels));
        harness t;
        t.set(c.o);
        t.format(c.f32, c.rate, c.channels);
        t.push(in, 0, c.frames, c.sizes);
        t.event(gst_event_new_eos());
        EXPECT_EQ(t.out, aligned(in, c.rate, c.channels, c.o)) << c.what;
        t.expect_contiguous(c.what);
    }
}

// A new weight takes effect from the next hop decided after it is set: the
// output is the stream's with a weight per hop that steps there.
TEST(GstElement, CompressionChangedWhilePlayingIsTheWeightFromTheNextHop) {
    const std::size_t frames = 96000, at = 512 + 40 * 240 + 100; // inside hop 40 after the lead-in, at 48 kHz
    const samples in = recording(frames, 2);
    harness t;
    t.format(false, 48000, 2);
    t.push(in, 0, at, {777});
    t.set({false, 0.25f, false});
    t.push(in, at, frames, {777});
    t.event(gst_event_new_eos());
    samples mix(40, weight(1.0f));
    mix.push_back(weight(0.25f));
    EXPECT_EQ(t.out, aligned(in, 48000, 2, {}, mix));
}

// Speech-aware and link change the stream: the output crossfades, in a
// straight line over 20 ms, from the old setting's levelling to the new
// one's, with no sample out of place before or after. Switched within the
// first 2 s, the new stream has seen the whole run; later, it is brought
// up on the last 2 s, which away from speech levels the same. Each switch
// falls where the two settings level thousands apart.
TEST(GstElement, SpeechOrLinkChangedWhilePlayingCrossfadesToTheNewSetting) {
    const std::size_t lat = static_cast<std::size_t>(latency_frames(48000));
    const std::size_t fade = 2 * static_cast<std::size_t>(window_frames(48000));
    const struct {
        const char* what;
        options before, after;
        std::size_t at;
    } cases[] = {
        {"speech-aware on at 0.26 s", {false, 0.6f, false}, {true, 0.6f, false}, 12320},
        {"speech-aware off at 0.09 s, linked", {true, 1.0f, true}, {false, 1.0f, true}, 4400},
        {"link on at 5.94 s", {false, 1.0f, false}, {false, 1.0f, true}, 285200},
    };
    for (const auto& c : cases) {
        const std::size_t frames = c.at + 48000, from = c.at - lat, to = from + fade;
        const samples in = recording(frames, 2);
        harness t;
        t.set(c.before);
        t.format(false, 48000, 2);
        t.push(in, 0, c.at, {480});
        t.set(c.after);
        t.push(in, c.at, frames, {480});
        t.event(gst_event_new_eos());
        const samples old = aligned(in, 48000, 2, c.before), now = aligned(in, 48000, 2, c.after);
        ASSERT_EQ(t.out.size(), in.size()) << c.what;
        EXPECT_EQ(slice(t.out, 0, from, 2), slice(old, 0, from, 2)) << c.what;
        EXPECT_EQ(slice(t.out, to, frames, 2), slice(now, to, frames, 2)) << c.what;
        for (std::size_t k = from * 2; k < to * 2; ++k) {
            const double w = static_cast<double>(k / 2 - from + 1) / static_cast<double>(fade);
            ASSERT_NEAR(t.out[k], old[k] + w * (now[k] - old[k]), 1.0) << c.what << ": " << w << " into the crossfade";
        }
    }
}

// What ends a run gives out what it holds, and the next starts afresh; a
// flush drops it; a new sample format alone, or the same segment again,
// goes on with the run. Each run is the stream's own, aligned.
TEST(GstElement, RunsEndAtNewCapsDiscontinuitiesSegmentsAndFlushes) {
    enum ending { goes_on, ends, dropped };
    GstSegment later;
    gst_segment_init(&later, GST_FORMAT_TIME);
    later.base = GST_SECOND;
    const struct {
        const char* what;
        std::function<void(harness&)> between;
        ending how;
        int rate = 44100;
        bool discont = false;
    } cases[] = {
        {"a new rate", [](harness& t) { t.format(false, 48000, 2); }, ends, 48000},
        {"a new sample format alone", [](harness& t) { t.format(true, 44100, 2); }, goes_on},
        {"a discontinuity", [](harness&) {}, ends, 44100, true},
        {"a new segment", [&](harness& t) { t.event(gst_event_new_segment(&later)); }, ends},
        {"a gap", [](harness& t) { t.event(gst_event_new_gap(GST_SECOND, GST_SECOND)); }, ends},
        {"a flush, as a seek makes it", [](harness& t) {
             t.event(gst_event_new_flush_start());
             t.event(gst_event_new_flush_stop(TRUE));
             t.format(false, 44100, 2); // the caps again, and a segment
         }, dropped},
    };
    const std::size_t half = 20000, frames = 44100, lat = static_cast<std::size_t>(latency_frames(44100));
    const samples in = recording(frames, 2);
    for (const auto& c : cases) {
        harness t;
        t.format(false, 44100, 2);
        t.push(in, 0, half, {1000});
        c.between(t);
        t.push(in, half, frames, {1000}, c.discont);
        t.event(gst_event_new_eos());
        const samples first = aligned(slice(in, 0, half, 2), 44100, 2, {});
        const samples second = aligned(slice(in, half, frames, 2), c.rate, 2, {});
        const samples expected = c.how == goes_on ? aligned(in, 44100, 2, {})
                                 : c.how == ends  ? join(first, second)
                                                  : join(slice(first, 0, half - lat, 2), second);
        EXPECT_EQ(t.out, expected) << c.what;
        if (c.rate == 44100 && c.how != dropped) t.expect_contiguous(c.what);
    }
}

// In a live pipeline the element adds its latency, one window at the rate,
// to the source's, and the sink waits that much more.
GstClockTime min_latency(GstElement* bin, const char* element, gboolean* live = nullptr) {
    GstElement* e = gst_bin_get_by_name(GST_BIN(bin), element);
    GstPad* pad = gst_element_get_static_pad(e, "src");
    GstQuery* q = gst_query_new_latency();
    GstClockTime min = GST_CLOCK_TIME_NONE;
    if (gst_pad_query(pad, q)) gst_query_parse_latency(q, live, &min, nullptr);
    gst_query_unref(q);
    gst_object_unref(pad);
    gst_object_unref(e);
    return min;
}

TEST(GstElement, ReportsItsLatencyInALivePipeline) {
    gst_init(nullptr, nullptr);
    for (const int rate : {8000, 22050, 44100, 48000, 96000}) {
        for (const int channels : {1, 2}) {
            const std::string what = std::to_string(rate) + " Hz, " + std::to_string(channels) + " channel(s)";
            const std::string line = "audiotestsrc name=src is-live=true wave=pink-noise ! " + caps(false, rate, channels) +
                                     " ! zek name=zek ! fakesink name=sink sync=true signal-handoffs=true";
            GstElement* pipeline = gst_parse_launch(line.c_str(), nullptr);
            ASSERT_NE(pipeline, nullptr) << what;
            GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
            gint buffers = 0;
            g_signal_connect(sink, "handoff",
                             G_CALLBACK(+[](GstElement*, GstBuffer*, GstPad*, gint* n) { g_atomic_int_inc(n); }), &buffers);
            gst_element_set_state(pipeline, GST_STATE_PLAYING);
            // Until a few buffers went through: caps set, latency found and given to the sink.
            for (int i = 0; i < 500 && g_atomic_int_get(&buffers) < 3; ++i) g_usleep(10000);
            EXPECT_GE(g_atomic_int_get(&buffers), 3) << what;

            gboolean live = FALSE;
            const GstClockTime source = min_latency(pipeline, "src"), with_zek = min_latency(pipeline, "zek", &live);
            EXPECT_TRUE(live) << what;
            EXPECT_EQ(with_zek - source, gst_util_uint64_scale_ceil(static_cast<guint64>(latency_frames(rate)), GST_SECOND,
                                                                    static_cast<guint64>(rate)))
                << what;
            EXPECT_GE(gst_base_sink_get_latency(GST_BASE_SINK(sink)), with_zek) << what << ": the sink waits for it";
            gst_element_set_state(pipeline, GST_STATE_NULL);
            gst_object_unref(sink);
            gst_object_unref(pipeline);
        }
    }
}

} // namespace
