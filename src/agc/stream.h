/* zek's gain control as a stream: any number of frames in, the same number
 * out, at any rate from 8 to 96 kHz and with any channel count up to
 * AGC_MAX_CHANNELS. Plain C99; C++ callers get the same declarations.
 *
 * The output is the recording levelled in place (every sample at its own
 * position, the recording's length kept) delayed by a fixed latency of
 * agc_stream_latency() frames: the gain of each 5 ms hop is decided with the
 * next hop in view, so the first latency frames out are silence, and
 * agc_stream_flush() gives the last latency frames at the end.
 *
 * Samples are 16-bit signed PCM, channels interleaved. The first 512 samples
 * of each channel pass unchanged; from there on each channel is levelled on
 * its own, bit for bit as a mono stream of that channel alone would be
 * (unless the options link them).
 *
 * A stream owns no memory of its own: agc_stream_init sets one up in storage
 * of agc_stream_size(channels) bytes that the caller provides (aligned as
 * malloc aligns), or agc_stream_create allocates it. Processing never
 * allocates, blocks or touches global state: distinct streams may run on
 * distinct threads. One stream must not be used by two threads at once. */
#ifndef AGC_STREAM_H
#define AGC_STREAM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define AGC_MIN_RATE 8000    /* Hz */
#define AGC_MAX_RATE 96000   /* Hz */
#define AGC_MAX_CHANNELS 256

/* Errors: negative return values. */
#define AGC_ERR_RATE (-1)     /* sample rate outside AGC_MIN_RATE .. AGC_MAX_RATE */
#define AGC_ERR_CHANNELS (-2) /* channel count outside 1 .. AGC_MAX_CHANNELS */
#define AGC_ERR_ARG (-3)      /* NULL, a negative count, a bad channel, misaligned storage, overlapping buffers */
#define AGC_ERR_NOMEM (-4)    /* agc_stream_create could not allocate */
#define AGC_ERR_FLUSHED (-5)  /* the stream was flushed: reset it to start a new recording */

typedef struct agc_stream agc_stream; /* opaque */

/* What a stream does beyond the built-in behaviour. Set one up with
 * agc_stream_options_init (the built-in behaviour: what agc_stream_init
 * gives), change what you need, and pass it to agc_stream_init_with or
 * agc_stream_create_with. */
typedef struct agc_stream_options {
    /* Compression weight in Q15, 0 to 32767: how much of the compressing gain
     * curve the gain law takes, the rest being unity gain. 0 levels nothing;
     * AGC_COMP_DEFAULT (comp 1.0 as 32766) is zek's built-in weight. */
    int comp;
    /* Nonzero: speech-aware. Pauses between sentences are not raised with
     * the speech; comp is the weight used in speech. */
    int speech;
    /* Nonzero: one gain for all channels of a frame, decided from the
     * loudest channel, so that a stereo image stays where it is. */
    int link;
    /* Optional (NULL: none): one Q15 weight per hop in place of comp, from
     * the caller's own voice-activity detection. mix[k] is the weight of
     * hop k, the k-th hop after the lead-in; the last one repeats past
     * mix_count. The caller keeps the array alive while the stream runs. */
    const int16_t *mix;
    size_t mix_count;
    /* Speech-aware only. 0 (live): the detector looks 30 ms ahead. Nonzero
     * (offline: a recording levelled whole, as zek levels files): it looks
     * 480 ms ahead, far enough to see each pause coming, so that a gap
     * between words and the start of a pause are told apart without holding
     * the gain into the pause. Either adds its look-ahead to the latency.
     * Offline needs the storage of agc_stream_size_with. */
    int offline;
} agc_stream_options;

#define AGC_COMP_DEFAULT 32766

/* Fills *options with the built-in behaviour. */
void agc_stream_options_init(agc_stream_options *options);

/* Bytes for a stream of `channels` channels, with any options but offline;
 * 0 if channels is out of range. */
size_t agc_stream_size(int channels);

/* Bytes for a stream of `channels` channels with these options (NULL: the
 * built-in behaviour), the offline look-ahead included (about 100 kB per
 * channel); 0 if channels is out of range. */
size_t agc_stream_size_with(int channels, const agc_stream_options *options);

/* Sets up a stream in st (agc_stream_size(channels) bytes, aligned as malloc
 * aligns). Returns 0 or an AGC_ERR_* code. */
int agc_stream_init(agc_stream *st, int sample_rate, int channels);

/* Allocates and sets up a stream. Returns NULL and sets *error (when error is
 * not NULL) to an AGC_ERR_* code on failure. */
agc_stream *agc_stream_create(int sample_rate, int channels, int *error);

/* As agc_stream_init and agc_stream_create, with options (NULL: the
 * built-in behaviour). AGC_ERR_ARG for a comp outside 0 to 32767, a mix
 * array with a count of 0 or a count without an array. st holds
 * agc_stream_size_with(channels, options) bytes: agc_stream_size's suffice
 * for any options but the offline look-ahead. */
int agc_stream_init_with(agc_stream *st, int sample_rate, int channels, const agc_stream_options *options);
agc_stream *agc_stream_create_with(int sample_rate, int channels, const agc_stream_options *options, int *error);

/* Frees a stream from agc_stream_create; NULL is fine. */
void agc_stream_destroy(agc_stream *st);

/* The delay of the output, in frames: fixed for the stream's life. It is one
 * window, 10 ms: 480 frames at 48 kHz, 440 at 44.1 kHz, 160 at 16 kHz. The
 * speech-aware mode adds its look-ahead, 6 hops (30 ms) live, for 40 ms in
 * all: 1920 frames at 48 kHz, 1760 at 44.1 kHz, 640 at 16 kHz; 96 hops
 * (480 ms) offline, for 490 ms: 23520, 21560 and 7840 frames. */
int agc_stream_latency(const agc_stream *st);

/* Consumes `frames` interleaved frames of `in` and writes exactly `frames`
 * frames to `out`: the levelled recording delayed by the latency. in == out
 * (in place) is allowed; other overlaps are refused. The sample buffers need
 * no alignment: an odd address (samples at a byte offset in a file image)
 * gives the same output, at the cost of a copy. Any split of a recording
 * into calls, 0 and 1 frames included, gives the same output. Returns
 * `frames`, or an error code having written nothing. */
int agc_stream_process(agc_stream *st, const int16_t *in, int16_t *out, int frames);

/* Ends the recording: writes its last agc_stream_latency() frames to `out`
 * (the final partial hop levelled as if padded with silence) and returns that
 * count. Afterwards process and flush fail with AGC_ERR_FLUSHED until
 * agc_stream_reset. */
int agc_stream_flush(agc_stream *st, int16_t *out);

/* Starts a new recording with the same rate and channels, exactly as a fresh
 * stream would. Returns 0 or an AGC_ERR_* code. */
int agc_stream_reset(agc_stream *st);

/* The latest gain of a channel in Q8 (256 = unity, 0 dB), decided for the hop
 * most recently taken in; an AGC_ERR_* code for a bad stream or channel. In
 * speech-aware mode, the gain applied (in a pause, unity or less). */
int agc_stream_gain(const agc_stream *st, int channel);

/* The compression weight (Q15) that reached the output of a channel for the
 * hop most recently taken in: comp, or the hop's value of the mix array; in
 * speech-aware mode, that weight in speech, falling to 0 in a pause (where
 * the output keeps its input's level). An AGC_ERR_* code for a bad stream or
 * channel. */
int agc_stream_weight(const agc_stream *st, int channel);

/* A short English sentence for 0 or an AGC_ERR_* code. */
const char *agc_strerror(int error);

#ifdef __cplusplus
}
#endif

#endif
