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
     * curve the gain law takes, the rest being unity gain. 0 raises nothing
     * (the ceilings still hold loud passages down, and the hop crossfade
     * loses 0.15 dB); AGC_COMP_DEFAULT (comp 1.0 as 32766) is zek's built-in
     * weight. */
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
     * mix_count. Each weight is 0 to 32767, as comp. The caller keeps the
     * array alive and as it was while the stream runs. */
    const int16_t *mix;
    size_t mix_count;
    /* Loudness after the levelling; all of it off when 0, as
     * agc_stream_options_init leaves it. Any of it takes storage of
     * agc_stream_size_with and adds the limiter's look-ahead (about 2 ms:
     * 111 frames at 48 kHz) to the latency.
     * gain: a fixed gain in thousandths of a dB, -48000 to 48000: what a
     * caller applies that has measured the whole recording first.
     * target: nonzero to move the output towards an integrated loudness of
     * `loudness` thousandths of LUFS (-70000 to -5000), as measured over
     * the recording so far: for a live stream, whose whole is not known in
     * advance. The gain follows the measure by at most 1 dB a second.
     * limit: nonzero to hold every true peak of the output at or under
     * `ceiling` thousandths of a dBTP (-9000 to 0) with a look-ahead
     * limiter. A gain or a target without a limit is held at 0 dBTP, so
     * that a raised recording never clips. */
    int gain;
    int target;
    int loudness;
    int limit;
    int ceiling;
    /* Speech-aware only. 0 (live): the detector looks 30 ms ahead. Nonzero
     * (offline: a recording levelled whole, as zek levels files): it looks
     * 480 ms ahead, far enough to see each pause coming, so that a gap
     * between words and the start of a pause are told apart without holding
     * the gain into the pause. Either adds its look-ahead to the latency.
     * Offline needs the storage of agc_stream_size_with. */
    int offline;
    /* Nonzero (with offline 0): the latency is the live speech-aware mode's
     * whether speech is set or not; without speech the output is the
     * built-in behaviour's, that much later. For hosts that switch the
     * speech-aware mode while audio runs, in a new stream whose output lines
     * up with the old one's frame for frame. */
    int steady_latency;
} agc_stream_options;

#define AGC_COMP_DEFAULT 32766

/* Fills *options with the built-in behaviour. */
void agc_stream_options_init(agc_stream_options *options);

/* Bytes for a stream of `channels` channels with any options but the
 * offline look-ahead and the loudness stage; 0 if channels is out of range. */
size_t agc_stream_size(int channels);

/* Bytes for a stream of `channels` channels with these options (NULL: the
 * built-in behaviour), the offline look-ahead (about 100 kB per channel)
 * and the loudness stage included; 0 if channels or options are out of
 * range. */
size_t agc_stream_size_with(int channels, const agc_stream_options *options);

/* Sets up a stream in st (agc_stream_size(channels) bytes, aligned as malloc
 * aligns). Returns 0 or an AGC_ERR_* code. */
int agc_stream_init(agc_stream *st, int sample_rate, int channels);

/* Allocates and sets up a stream. Returns NULL and sets *error (when error is
 * not NULL) to an AGC_ERR_* code on failure. */
agc_stream *agc_stream_create(int sample_rate, int channels, int *error);

/* As agc_stream_init and agc_stream_create, with options (NULL: the
 * built-in behaviour). AGC_ERR_ARG for a comp outside 0 to 32767, a mix
 * array with a count of 0, a count without an array, a negative weight in
 * the array (reset checks the array again), a loudness figure out of its
 * range. st holds agc_stream_size_with(channels, options) bytes:
 * agc_stream_size's suffice for any options but the offline look-ahead and
 * the loudness stage. */
int agc_stream_init_with(agc_stream *st, int sample_rate, int channels, const agc_stream_options *options);
agc_stream *agc_stream_create_with(int sample_rate, int channels, const agc_stream_options *options, int *error);

/* Frees a stream from agc_stream_create; NULL is fine. */
void agc_stream_destroy(agc_stream *st);

/* The delay of the output, in frames: fixed for the stream's life. It is one
 * window, 10 ms: 480 frames at 48 kHz, 440 at 44.1 kHz, 160 at 16 kHz. The
 * speech-aware mode adds its look-ahead, 6 hops (30 ms) live, for 40 ms in
 * all: 1920 frames at 48 kHz, 1760 at 44.1 kHz, 640 at 16 kHz; 96 hops
 * (480 ms) offline, for 490 ms: 23520, 21560 and 7840 frames. A gain, a
 * target or a limit adds the limiter's look-ahead (111 frames at 48 kHz). */
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
 * stream would. Returns 0 or an AGC_ERR_* code: AGC_ERR_ARG, the stream left
 * as it was, when the mix array now holds a negative weight. */
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

/* What a stream's gain did over the recording so far, for a record of the
 * run: the range of the gain applied and how much was taken as speech. */
typedef struct agc_stream_stats {
    uint64_t hops;        /* hops levelled, counted once per channel (once per frame's hop when linked) */
    uint64_t speech_hops; /* of those, the hops the speech detector took as speech (speech-aware mode) */
    int min_gain;         /* Q8 (256 = unity): the least and the greatest gain applied to a hop; */
    int max_gain;         /* both 0 while no hop has been levelled */
} agc_stream_stats;

/* Fills *stats. Returns 0 or AGC_ERR_ARG. */
int agc_stream_get_stats(const agc_stream *st, agc_stream_stats *stats);

/* A short English sentence for 0 or an AGC_ERR_* code. */
const char *agc_strerror(int error);

#ifdef __cplusplus
}
#endif

#endif
