// zek's stream API as a WebAssembly module that imports nothing: one stream
// per instance, in static storage, and two static buffers of interleaved
// samples through which the host passes each chunk in and out. Separate
// buffers let a mono stream level whole hops where they lie, without
// copying them through the stream. Nothing is allocated, before or while
// processing.
#include <agc/loudness.h>
#include <agc/stream.h>

#define ZEK_EXPORT(name) extern "C" __attribute__((export_name(#name)))

namespace {

// Room for a stream of AGC_MAX_CHANNELS channels (3.6 MB today), or for an
// offline speech-aware one of fewer (about 100 kB a channel); zek_open
// checks that the stream asked for fits. Zeroed memory: not in the file.
constexpr size_t STREAM_BYTES = size_t{4} << 20;
// The largest flush of a live stream: the speech-aware latency at 96 kHz,
// 3840 frames, on every channel. An offline stream's flush is longer, and
// zek_open checks that it fits.
constexpr int BUFFER_SAMPLES = 3840 * AGC_MAX_CHANNELS;

alignas(64) unsigned char storage[STREAM_BYTES];
alignas(64) int16_t input[BUFFER_SAMPLES];
alignas(64) int16_t output[BUFFER_SAMPLES];
agc_stream* stream = nullptr;
int channels = 0;
// Loudness for the next zek_open (zek_set_loudness), and the instance's meter.
int loudness_target = 0, loudness_lufs = 0, loudness_limit = 0, loudness_ceiling = 0;
constexpr size_t METER_BYTES = size_t{256} << 10;
alignas(64) unsigned char meter_storage[METER_BYTES];
agc_loudness* meter = nullptr;
int meter_channels = 0;

} // namespace

// A live target (thousandths of LUFS) and a true-peak ceiling (thousandths
// of dBTP), each on when its flag is nonzero, for the next zek_open.
ZEK_EXPORT(zek_set_loudness) void zek_set_loudness(int target, int lufs, int limit, int ceiling) {
    loudness_target = target;
    loudness_lufs = lufs;
    loudness_limit = limit;
    loudness_ceiling = ceiling;
}

// Sets up the instance's stream; comp is Q15, offline the speech-aware
// mode's long look-ahead (a recording levelled whole). Returns 0 or an
// AGC_ERR_* code.
ZEK_EXPORT(zek_open) int zek_open(int sample_rate, int channel_count, int comp, int speech, int link, int offline) {
    stream = nullptr;
    agc_stream_options options;
    agc_stream_options_init(&options);
    options.comp = comp;
    options.speech = speech;
    options.link = link;
    options.target = loudness_target;
    options.loudness = loudness_lufs;
    options.limit = loudness_limit;
    options.ceiling = loudness_ceiling;
    options.offline = offline;
    if (agc_stream_size(channel_count) == 0) return AGC_ERR_CHANNELS;
    const size_t bytes = agc_stream_size_with(channel_count, &options);
    if (bytes == 0) return AGC_ERR_ARG;
    if (bytes > STREAM_BYTES) return AGC_ERR_CHANNELS;
    auto* st = reinterpret_cast<agc_stream*>(storage);
    const int err = agc_stream_init_with(st, sample_rate, channel_count, &options);
    if (err != 0) return err;
    if (static_cast<long>(agc_stream_latency(st)) * channel_count > BUFFER_SAMPLES) return AGC_ERR_CHANNELS;
    stream = st;
    channels = channel_count;
    return 0;
}

ZEK_EXPORT(zek_input) int16_t* zek_input() { return input; }
ZEK_EXPORT(zek_output) int16_t* zek_output() { return output; }

// The most frames one zek_process call takes, for the open stream's channels.
ZEK_EXPORT(zek_buffer_frames) int zek_buffer_frames() { return stream ? BUFFER_SAMPLES / channels : 0; }

ZEK_EXPORT(zek_latency) int zek_latency() { return agc_stream_latency(stream); }

// Levels the first `frames` frames of the input into the output.
ZEK_EXPORT(zek_process) int zek_process(int frames) {
    if (frames > zek_buffer_frames()) return AGC_ERR_ARG;
    return agc_stream_process(stream, input, output, frames);
}

// The last latency frames into the output.
ZEK_EXPORT(zek_flush) int zek_flush() { return agc_stream_flush(stream, output); }

ZEK_EXPORT(zek_reset) int zek_reset() { return agc_stream_reset(stream); }

ZEK_EXPORT(zek_gain) int zek_gain(int channel) { return agc_stream_gain(stream, channel); }

ZEK_EXPORT(zek_strerror) const char* zek_strerror(int error) { return agc_strerror(error); }

// The instance's loudness meter, every figure kept; its frames come in
// through the input buffer. Returns 0 or an AGC_ERR_* code.
ZEK_EXPORT(zek_meter_open) int zek_meter_open(int sample_rate, int channel_count) {
    meter = nullptr;
    const size_t bytes = agc_loudness_size(channel_count, AGC_LOUDNESS_MODE_ALL);
    if (bytes == 0 || bytes > METER_BYTES) return AGC_ERR_CHANNELS;
    auto* m = reinterpret_cast<agc_loudness*>(meter_storage);
    const int err = agc_loudness_init(m, sample_rate, channel_count, AGC_LOUDNESS_MODE_ALL);
    if (err != 0) return err;
    meter = m;
    meter_channels = channel_count;
    return 0;
}

ZEK_EXPORT(zek_meter_frames) int zek_meter_frames() { return meter ? BUFFER_SAMPLES / meter_channels : 0; }

// Measures the first `frames` frames of the input.
ZEK_EXPORT(zek_meter_add) int zek_meter_add(int frames) {
    if (meter == nullptr || frames < 0 || frames > zek_meter_frames()) return AGC_ERR_ARG;
    return agc_loudness_add_frames(meter, input, static_cast<size_t>(frames));
}

// A figure in thousandths (INT32_MIN where it does not exist): 0
// integrated, 1 range, 2 momentary maximum, 3 short-term maximum, 4 sample
// peak and 5 true peak of `channel`.
ZEK_EXPORT(zek_meter_figure) int zek_meter_figure(int which, int channel) {
    int32_t v = AGC_LOUDNESS_NONE;
    int err = AGC_ERR_ARG;
    switch (which) {
    case 0: err = agc_loudness_integrated(meter, &v); break;
    case 1: err = agc_loudness_range(meter, &v); break;
    case 2: err = agc_loudness_momentary_max(meter, &v); break;
    case 3: err = agc_loudness_shortterm_max(meter, &v); break;
    case 4: err = agc_loudness_sample_peak(meter, channel, &v); break;
    case 5: err = agc_loudness_true_peak(meter, channel, &v); break;
    default: break;
    }
    return err != 0 ? AGC_LOUDNESS_NONE : v;
}
