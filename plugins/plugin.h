// A zek plugin instance, whichever plugin standard the host speaks: a stream,
// the host's ports, and the conversion between the host's float samples and
// the stream's 16 bits. LADSPA and LV2 number the ports alike, in the order
// of the layouts below, and differ only in how they describe them.
#ifndef ZEK_PLUGIN_H
#define ZEK_PLUGIN_H

#include <agc/stream.h>

#include <cstdint>

namespace zek_plugin {

enum class port_kind { audio_in, audio_out, speech, comp, link, latency };

struct port {
    port_kind kind;
    int channel;      // of an audio port
    const char* name; // as hosts show it; LADSPA hosts also match controls by it
};

struct layout {
    int channels;
    int port_count;
    const port* ports;
};

extern const layout mono, stereo; // stereo: one gain for both channels when linked

// Frames converted and levelled at a time: a host's block of any size goes
// through in pieces of this size, so that no buffer depends on the host.
constexpr int CHUNK = 2048;
// Room for a flush, which goes through out16: the speech-aware latency at
// 96 kHz (3840 frames) on two channels.
constexpr int FLUSH_SAMPLES = 3840 * 2;

struct instance {
    const layout* ports;
    int rate;
    agc_stream* stream; // storage of agc_stream_size(channels), taken at create
    int latency;        // frames
    const float* in[2];
    float* out[2];
    const float* speech;
    const float* comp;
    const float* link;
    float* latency_port;
    agc_stream_options options; // those the stream runs with
    bool fresh;                 // the stream has taken no frame yet
    // A control change restarts the stream; the old stream's last frames
    // (its flush) go out added to the new one's output, over its opening
    // silence, so that no audio is lost and the output stays on time.
    std::int16_t* tail; // room for the longest latency
    int tail_at;        // the next frame of it to go out
    int tail_left;      // frames of tail still to go out
    std::int16_t in16[CHUNK * 2];
    std::int16_t out16[FLUSH_SAMPLES > CHUNK * 2 ? FLUSH_SAMPLES : CHUNK * 2];
};

// A new instance at the host's rate; nullptr for a rate that is not a whole
// number of Hz from 8000 to 96000, or when memory is short.
instance* create(const layout& ports, double rate);
void connect(instance& p, unsigned long port, void* data);
// A new recording: the stream as fresh, with the controls as they are.
void activate(instance& p);
// Levels `frames` frames from the input ports to the output ports; never
// allocates, locks or fails.
void run(instance& p, unsigned long frames);
void destroy(instance* p);

} // namespace zek_plugin

#endif
