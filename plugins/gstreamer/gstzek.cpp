// The GStreamer element `zek`: zek's levelling on raw audio, 16-bit or
// 32-bit float, interleaved, any rate from 8 to 96 kHz, 1 to 256 channels.
//
// Time: output frame k is input frame k levelled, carrying input frame k's
// time, so that a file keeps its length and its place: the stream's latency
// (40 ms, the live speech-aware mode's either way) is held back at the start of a run and given out at
// its end (EOS, a new segment or stream, a gap, a discontinuity, a change of
// rate or channels). Held back, it arrives that much later than its time,
// which the element reports in the LATENCY query, so that a live pipeline
// waits for it and stays in sync. A flush drops what is held.
#include "leveller.h"

#include "audio/samples.h"

#include <gst/audio/audio.h>
#include <gst/audio/gstaudiofilter.h>
#include <gst/base/gstbasetransform.h>
#include <gst/gst.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// What lives beside the GObject instance, constructed and destroyed with it.
struct element_state {
    zek_gst::leveller lev;
    bool f32 = false; // the negotiated format is float (else 16-bit)
    // The run's clock: its first buffer's time and offset, and the frames
    // given out since; output buffers are stamped from them.
    GstClockTime base_pts = GST_CLOCK_TIME_NONE;
    guint64 base_offset = GST_BUFFER_OFFSET_NONE;
    guint64 out_frames = 0;
    std::vector<std::int16_t> in16, out16;
    std::vector<float> aligned_in; // float input at an address floats cannot be read from
};

} // namespace

struct GstZek {
    GstAudioFilter parent;
    // The properties and the latency in time, under the object lock: they
    // are set and read from the application's threads as well as the
    // streaming thread.
    gboolean speech;
    gfloat comp;
    gboolean link;
    GstClockTime latency;
    element_state* state; // the streaming thread's own
};

struct GstZekClass {
    GstAudioFilterClass parent_class;
};

G_DEFINE_TYPE(GstZek, gst_zek, GST_TYPE_AUDIO_FILTER)

namespace {

GST_DEBUG_CATEGORY_STATIC(zek_debug);
#define GST_CAT_DEFAULT zek_debug

enum {
    PROP_0,
    PROP_SPEECH_AWARE,
    PROP_COMPRESSION,
    PROP_LINK,
    // Loudness target and true-peak ceiling: their properties go here when
    // the stream API takes them (with fields in GstZek and in the leveller's
    // settings, read in settings_of).
};

constexpr gboolean DEFAULT_SPEECH = FALSE;
constexpr gfloat DEFAULT_COMP = 1.0f;
constexpr gboolean DEFAULT_LINK = FALSE;

// Native byte order: what audioconvert gives, S16LE and F32LE on a
// little-endian machine.
constexpr char CAPS[] = "audio/x-raw, format = (string) { " GST_AUDIO_NE(S16) ", " GST_AUDIO_NE(F32) " }, "
                        "layout = (string) interleaved, rate = (int) [ 8000, 96000 ], channels = (int) [ 1, 256 ]";

GstZek* zek_of(gpointer p) { return reinterpret_cast<GstZek*>(p); }

// The properties as the stream takes them. The compression weight is
// zek's --comp: a single-precision number scaled by 32766 in double
// precision and truncated, so that the element levels as the tool does
// bit for bit.
zek_gst::settings settings_of(GstZek* self) {
    zek_gst::settings s;
    GST_OBJECT_LOCK(self);
    s.speech = self->speech != FALSE;
    s.comp = static_cast<int>(static_cast<double>(self->comp) * 32766.0);
    s.link = self->link != FALSE;
    GST_OBJECT_UNLOCK(self);
    return s;
}

// Stamps n output frames: times and offsets counted in frames from the
// run's first input buffer, so that output frame k has input frame k's.
void stamp(element_state& st, GstBuffer* buf, guint64 n) {
    const auto rate = static_cast<guint64>(st.lev.rate());
    if (GST_CLOCK_TIME_IS_VALID(st.base_pts)) {
        const GstClockTime from = st.base_pts + gst_util_uint64_scale(st.out_frames, GST_SECOND, rate);
        const GstClockTime to = st.base_pts + gst_util_uint64_scale(st.out_frames + n, GST_SECOND, rate);
        GST_BUFFER_PTS(buf) = from;
        GST_BUFFER_DURATION(buf) = to - from;
    }
    if (st.base_offset != GST_BUFFER_OFFSET_NONE) {
        GST_BUFFER_OFFSET(buf) = st.base_offset + st.out_frames;
        GST_BUFFER_OFFSET_END(buf) = st.base_offset + st.out_frames + n;
    }
    st.out_frames += n;
}

// A buffer of n frames in the negotiated format from 16-bit frames, stamped.
GstBuffer* output_buffer(GstZek* self, const std::int16_t* frames, std::size_t n) {
    element_state& st = *self->state;
    const std::size_t samples = n * static_cast<std::size_t>(st.lev.channels());
    GstBuffer* buf = gst_buffer_new_allocate(nullptr, samples * (st.f32 ? sizeof(float) : sizeof(std::int16_t)), nullptr);
    if (buf == nullptr) return nullptr;
    GstMapInfo map;
    if (!gst_buffer_map(buf, &map, GST_MAP_WRITE)) {
        gst_buffer_unref(buf);
        return nullptr;
    }
    if (st.f32) {
        zek::int16_to_float(frames, reinterpret_cast<float*>(map.data), samples);
    } else {
        std::memcpy(map.data, frames, samples * sizeof *frames);
    }
    gst_buffer_unmap(buf, &map);
    stamp(st, buf, n);
    return buf;
}

GstFlowReturn no_memory(GstZek* self) {
    GST_ELEMENT_ERROR(self, RESOURCE, FAILED, ("out of memory for an output buffer"), (nullptr));
    return GST_FLOW_ERROR;
}

// Ends the run, pushing what it still holds.
GstFlowReturn drain(GstZek* self) {
    element_state& st = *self->state;
    if (!st.lev.running()) return GST_FLOW_OK;
    st.out16.resize(static_cast<std::size_t>(st.lev.latency() * st.lev.channels()));
    const std::size_t n = st.lev.drain(st.out16.data());
    if (n == 0) return GST_FLOW_OK;
    GstBuffer* buf = output_buffer(self, st.out16.data(), n);
    if (buf == nullptr) return no_memory(self);
    GST_DEBUG_OBJECT(self, "drained %zu frames", n);
    return gst_pad_push(GST_BASE_TRANSFORM_SRC_PAD(self), buf);
}

// The input as 16-bit frames: 16-bit input as it is, float input converted
// as zek converts float files (x 32768, rounded to nearest, halves to even,
// clipped). A NaN or an infinity becomes silence: in a live chain it is what
// an unstable filter upstream blows up into, and a full-scale click would be
// worse.
const std::int16_t* input_frames(element_state& st, const GstMapInfo& map, std::size_t samples) {
    if (!st.f32) return reinterpret_cast<const std::int16_t*>(map.data);
    const void* data = map.data;
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(float) != 0) {
        st.aligned_in.resize(samples);
        std::memcpy(st.aligned_in.data(), data, samples * sizeof(float));
        data = st.aligned_in.data();
    }
    st.in16.resize(samples);
    zek::float_to_int16<float, true>(static_cast<const float*>(data), st.in16.data(), samples);
    return st.in16.data();
}

// Levels one input buffer; *out is the output due from it, or none while
// the opening latency is held back.
GstFlowReturn level_buffer(GstZek* self, GstBuffer* in, GstBuffer** out) {
    element_state& st = *self->state;
    if (GST_BUFFER_IS_DISCONT(in)) {
        const GstFlowReturn ret = drain(self); // the audio after a jump is a new run
        if (ret != GST_FLOW_OK) return ret;
    }
    if (!st.lev.running()) {
        st.base_pts = GST_BUFFER_PTS(in);
        st.base_offset = GST_BUFFER_OFFSET(in);
        st.out_frames = 0;
    }
    GstMapInfo map;
    if (!gst_buffer_map(in, &map, GST_MAP_READ)) {
        GST_ELEMENT_ERROR(self, STREAM, FAILED, ("cannot read an input buffer"), (nullptr));
        return GST_FLOW_ERROR;
    }
    const auto nc = static_cast<std::size_t>(st.lev.channels());
    const std::size_t frames = map.size / (nc * (st.f32 ? sizeof(float) : sizeof(std::int16_t)));
    const std::int16_t* frames16 = input_frames(st, map, frames * nc);
    const zek_gst::settings now = settings_of(self);
    const std::size_t due = st.lev.due(frames);
    st.out16.resize(std::max<std::size_t>(due, 1) * nc);
    st.lev.level(frames16, st.out16.data(), frames, now);
    gst_buffer_unmap(in, &map);
    if (due == 0) return GST_FLOW_OK;
    *out = output_buffer(self, st.out16.data(), due);
    return *out != nullptr ? GST_FLOW_OK : no_memory(self);
}

GstFlowReturn gst_zek_generate_output(GstBaseTransform* trans, GstBuffer** out) {
    *out = nullptr;
    GstBuffer* in = trans->queued_buf;
    trans->queued_buf = nullptr;
    if (in == nullptr) return GST_FLOW_OK;
    const GstFlowReturn ret = level_buffer(zek_of(trans), in, out);
    gst_buffer_unref(in);
    return ret;
}

// The compression weight may be driven by a control source (GstController):
// its value at each buffer's stream time, as a weight file gives one per hop.
void gst_zek_before_transform(GstBaseTransform* trans, GstBuffer* buf) {
    if (trans->segment.format != GST_FORMAT_TIME) return; // no stream time to take it at
    const GstClockTime t = gst_segment_to_stream_time(&trans->segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buf));
    if (GST_CLOCK_TIME_IS_VALID(t)) gst_object_sync_values(GST_OBJECT(trans), t);
}

gboolean gst_zek_sink_event(GstBaseTransform* trans, GstEvent* event) {
    GstZek* self = zek_of(trans);
    element_state& st = *self->state;
    switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS: {
        // A new rate or channel count is a new run; a new sample format
        // alone is not: the stream levels 16-bit frames either way.
        GstCaps* caps = nullptr;
        gst_event_parse_caps(event, &caps);
        const GstStructure* s = gst_caps_get_structure(caps, 0);
        int rate = 0, channels = 0;
        if (gst_structure_get_int(s, "rate", &rate) && gst_structure_get_int(s, "channels", &channels) &&
            (rate != st.lev.rate() || channels != st.lev.channels()))
            drain(self);
        break;
    }
    case GST_EVENT_SEGMENT: {
        // The same segment again (some elements repeat it with new caps) is
        // the same timeline: the run goes on. Its position is where the
        // stream has got to, not part of the timeline.
        const GstSegment* segment = nullptr;
        gst_event_parse_segment(event, &segment);
        GstSegment now = trans->segment;
        now.position = segment->position;
        if (!trans->have_segment || !gst_segment_is_equal(segment, &now)) drain(self);
        break;
    }
    case GST_EVENT_STREAM_START:
    case GST_EVENT_GAP:
    case GST_EVENT_EOS:
        drain(self); // before the event, which ends what the held audio belongs to
        break;
    case GST_EVENT_FLUSH_STOP: st.lev.discard(); break;
    default: break;
    }
    return GST_BASE_TRANSFORM_CLASS(gst_zek_parent_class)->sink_event(trans, event);
}

// Upstream's latency and the stream's own.
gboolean gst_zek_query(GstBaseTransform* trans, GstPadDirection direction, GstQuery* query) {
    if (direction != GST_PAD_SRC || GST_QUERY_TYPE(query) != GST_QUERY_LATENCY)
        return GST_BASE_TRANSFORM_CLASS(gst_zek_parent_class)->query(trans, direction, query);
    if (!gst_pad_peer_query(trans->sinkpad, query)) return FALSE;
    gboolean live = FALSE;
    GstClockTime min = 0, max = GST_CLOCK_TIME_NONE;
    gst_query_parse_latency(query, &live, &min, &max);
    GST_OBJECT_LOCK(trans);
    const GstClockTime ours = zek_of(trans)->latency;
    GST_OBJECT_UNLOCK(trans);
    gst_query_set_latency(query, live, min + ours, GST_CLOCK_TIME_IS_VALID(max) ? max + ours : max);
    return TRUE;
}

// A new format. What a run held at the old one went out at the caps event.
gboolean gst_zek_setup(GstAudioFilter* filter, const GstAudioInfo* info) {
    GstZek* self = zek_of(filter);
    element_state& st = *self->state;
    const int rate = GST_AUDIO_INFO_RATE(info), channels = GST_AUDIO_INFO_CHANNELS(info);
    st.f32 = GST_AUDIO_INFO_FORMAT(info) == GST_AUDIO_FORMAT_F32;
    if (rate == st.lev.rate() && channels == st.lev.channels()) return TRUE;
    if (!st.lev.configure(rate, channels)) {
        GST_ELEMENT_ERROR(self, RESOURCE, FAILED, ("out of memory for %d channels at %d Hz", channels, rate), (nullptr));
        return FALSE;
    }
    // The latency in time, rounded up to the nanosecond: a sink that waits
    // that long has every frame in time.
    const GstClockTime latency = gst_util_uint64_scale_ceil(static_cast<guint64>(st.lev.latency()), GST_SECOND,
                                                            static_cast<guint64>(rate));
    GST_OBJECT_LOCK(self);
    const bool changed = latency != self->latency;
    self->latency = latency;
    GST_OBJECT_UNLOCK(self);
    GST_INFO_OBJECT(self, "%d channels at %d Hz: latency %d frames, %" GST_TIME_FORMAT, channels, rate,
                    st.lev.latency(), GST_TIME_ARGS(latency));
    if (changed) gst_element_post_message(GST_ELEMENT(self), gst_message_new_latency(GST_OBJECT(self)));
    return TRUE;
}

gboolean gst_zek_stop(GstBaseTransform* trans) {
    GstZek* self = zek_of(trans);
    self->state->lev = zek_gst::leveller{}; // its memory back; the next caps set it up again
    GST_OBJECT_LOCK(self);
    self->latency = 0;
    GST_OBJECT_UNLOCK(self);
    return TRUE;
}

void gst_zek_set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    GstZek* self = zek_of(object);
    GST_OBJECT_LOCK(self);
    switch (id) {
    case PROP_SPEECH_AWARE: self->speech = g_value_get_boolean(value); break;
    case PROP_COMPRESSION: self->comp = g_value_get_float(value); break;
    case PROP_LINK: self->link = g_value_get_boolean(value); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
    GST_OBJECT_UNLOCK(self);
}

void gst_zek_get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    GstZek* self = zek_of(object);
    GST_OBJECT_LOCK(self);
    switch (id) {
    case PROP_SPEECH_AWARE: g_value_set_boolean(value, self->speech); break;
    case PROP_COMPRESSION: g_value_set_float(value, self->comp); break;
    case PROP_LINK: g_value_set_boolean(value, self->link); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
    GST_OBJECT_UNLOCK(self);
}

void gst_zek_finalize(GObject* object) {
    delete zek_of(object)->state;
    G_OBJECT_CLASS(gst_zek_parent_class)->finalize(object);
}

} // namespace

static void gst_zek_class_init(GstZekClass* klass) {
    auto* object_class = G_OBJECT_CLASS(klass);
    auto* element_class = GST_ELEMENT_CLASS(klass);
    auto* trans_class = GST_BASE_TRANSFORM_CLASS(klass);
    object_class->set_property = gst_zek_set_property;
    object_class->get_property = gst_zek_get_property;
    object_class->finalize = gst_zek_finalize;

    // Changing any of them while playing is seamless: the weight moves the
    // gain law from the next hop on, and a new speech-aware or link setting
    // crossfades to a stream already brought up on the recent audio.
    constexpr auto flags =
        static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_PLAYING);
    g_object_class_install_property(
        object_class, PROP_SPEECH_AWARE,
        g_param_spec_boolean("speech-aware", "Speech-aware",
                             "Speech-aware levelling: pauses between sentences are not raised with the speech (zek --speech)",
                             DEFAULT_SPEECH, flags));
    g_object_class_install_property(
        object_class, PROP_COMPRESSION,
        g_param_spec_float("compression", "Compression",
                           "How much of the compressing gain curve the gain takes, the rest being unity gain: "
                           "0 raises nothing, the ceilings still hold peaks (zek --comp)",
                           0.0f, 1.0f, DEFAULT_COMP, static_cast<GParamFlags>(flags | GST_PARAM_CONTROLLABLE)));
    g_object_class_install_property(
        object_class, PROP_LINK,
        g_param_spec_boolean("link", "Link",
                             "One gain for all channels, from the loudest, so that a stereo image stays where it is "
                             "(zek --link)",
                             DEFAULT_LINK, flags));
    // Loudness target and true-peak ceiling: installed here, beside the others.

    gst_element_class_set_static_metadata(element_class, "zek leveller", "Filter/Effect/Audio",
                                          "Automatic gain control with dynamic-range compression in fixed point, "
                                          "bit for bit as the zek tool levels a file",
                                          "zek");
    GstCaps* caps = gst_caps_from_string(CAPS);
    gst_audio_filter_class_add_pad_templates(GST_AUDIO_FILTER_CLASS(klass), caps);
    gst_caps_unref(caps);

    trans_class->generate_output = gst_zek_generate_output;
    trans_class->before_transform = gst_zek_before_transform;
    trans_class->sink_event = gst_zek_sink_event;
    trans_class->query = gst_zek_query;
    trans_class->stop = gst_zek_stop;
    GST_AUDIO_FILTER_CLASS(klass)->setup = gst_zek_setup;
}

static void gst_zek_init(GstZek* self) {
    self->speech = DEFAULT_SPEECH;
    self->comp = DEFAULT_COMP;
    self->link = DEFAULT_LINK;
    self->latency = 0;
    self->state = new element_state;
    // Output buffers are its own, of their own sizes: never the input's.
    gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(self), FALSE);
}

static gboolean plugin_init(GstPlugin* plugin) {
    GST_DEBUG_CATEGORY_INIT(zek_debug, "zek", 0, "zek leveller");
    return gst_element_register(plugin, "zek", GST_RANK_NONE, gst_zek_get_type());
}

#define PACKAGE "zek" // the plugin's source module, as GStreamer names it
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, zek, "zek's automatic gain control", plugin_init, ZEK_VERSION,
                  GST_LICENSE_UNKNOWN, "zek", "zek")
