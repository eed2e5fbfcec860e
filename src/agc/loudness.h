/* A loudness meter: integrated loudness, loudness range, momentary and
 * short-term loudness, sample peak and true peak of 16-bit PCM at any rate
 * from 8 to 96 kHz and any channel count up to AGC_MAX_CHANNELS, in the
 * terms of programme loudness (LUFS, LU, dBTP). Plain C99.
 *
 * Set one up for a rate, a channel count and the figures wanted (modes),
 * add interleaved frames in any chunking, and read any figure at any time.
 * Every figure is an integer in thousandths (of a LUFS, an LU, a dB), the
 * same on every CPU: the meter works in integers only. A figure that does
 * not exist (the loudness of silence, or of less than one block) reads as
 * AGC_LOUDNESS_NONE.
 *
 * The signal is K-weighted (a +4 dB high shelf above 1.5 kHz and a 38 Hz
 * high-pass), its energy taken in 100 ms steps and weighted over the
 * channels (1.0 for front channels, 1.41 for surround ones, 0 for LFE).
 * - momentary: the last 400 ms; short-term: the last 3 s; both move in
 *   100 ms steps, and their maxima are over those steps;
 * - integrated: the mean energy of the 400 ms blocks (overlapping by 75%)
 *   louder than -70 LUFS and less than 10 LU below the mean of those;
 * - range: the spread between the 10th and the 95th percentile of the 3 s
 *   blocks (one every 100 ms) louder than -70 LUFS and less than 20 LU
 *   below their mean;
 * - sample peak: the largest sample magnitude (32768 is 0 dBFS); true
 *   peak: the largest magnitude of the signal interpolated to four times
 *   the rate (dBTP), never below the sample peak.
 *
 * Memory is bounded whatever the length: the gating keeps a histogram of
 * block loudness (1/32 of an octave of energy, 0.094 dB, per bin) with the
 * exact energy of the blocks in each bin, rather than the blocks themselves.
 * The meter owns no memory: agc_loudness_init sets it up in storage of
 * agc_loudness_size(channels, modes) bytes that the caller provides
 * (aligned as malloc aligns), or agc_loudness_create allocates it. Adding
 * frames never allocates. */
#ifndef AGC_LOUDNESS_H
#define AGC_LOUDNESS_H

#include <stddef.h>
#include <stdint.h>

#include "agc/stream.h" /* AGC_MIN_RATE, AGC_MAX_RATE, AGC_MAX_CHANNELS, AGC_ERR_*, agc_strerror */

#ifdef __cplusplus
extern "C" {
#endif

/* Modes: the figures a meter keeps; each implies what it needs. */
#define AGC_LOUDNESS_MODE_M 0x01                                /* momentary (and its maximum) */
#define AGC_LOUDNESS_MODE_S (0x02 | AGC_LOUDNESS_MODE_M)        /* short-term (and its maximum) */
#define AGC_LOUDNESS_MODE_I (0x04 | AGC_LOUDNESS_MODE_M)        /* integrated */
#define AGC_LOUDNESS_MODE_LRA (0x08 | AGC_LOUDNESS_MODE_S)      /* loudness range */
#define AGC_LOUDNESS_MODE_SAMPLE_PEAK 0x10                      /* sample peak per channel */
#define AGC_LOUDNESS_MODE_TRUE_PEAK (0x20 | AGC_LOUDNESS_MODE_SAMPLE_PEAK) /* true peak per channel */
#define AGC_LOUDNESS_MODE_ALL 0x3f

/* Errors beyond those of <agc/stream.h>. */
#define AGC_ERR_MODE (-6) /* a figure the meter's modes do not keep, or modes outside AGC_LOUDNESS_MODE_ALL */

/* What a channel counts for (agc_loudness_set_channel). */
#define AGC_CHANNEL_UNUSED 0    /* not counted: a low-frequency effects channel */
#define AGC_CHANNEL_FRONT 1     /* weight 1: left, right, centre, a mono recording */
#define AGC_CHANNEL_SURROUND 2  /* weight 1.41 (+1.5 dB): side and rear channels */
#define AGC_CHANNEL_DUAL_MONO 3 /* weight 2: one channel heard from two loudspeakers */

/* A figure that does not exist: the loudness or peak of silence, a block
 * not yet complete. */
#define AGC_LOUDNESS_NONE INT32_MIN

typedef struct agc_loudness agc_loudness; /* opaque */

/* Bytes for a meter of `channels` channels keeping `modes`; 0 if either is
 * out of range. */
size_t agc_loudness_size(int channels, int modes);

/* Sets up a meter in m (agc_loudness_size(channels, modes) bytes, aligned
 * as malloc aligns). The channels count as a recording of that many
 * channels usually lays them out: 1 to 3 front; 4 as L R Ls Rs; 5 as
 * L R C Ls Rs; 6 and more as L R C LFE and surround channels after it.
 * Returns 0 or an AGC_ERR_* code. */
int agc_loudness_init(agc_loudness *m, int sample_rate, int channels, int modes);

/* Allocates and sets up a meter; NULL and *error (when error is not NULL)
 * an AGC_ERR_* code on failure. */
agc_loudness *agc_loudness_create(int sample_rate, int channels, int modes, int *error);

/* Frees a meter from agc_loudness_create; NULL is fine. */
void agc_loudness_destroy(agc_loudness *m);

/* Starts a new recording: everything measured is forgotten; rate,
 * channels, modes and channel kinds stay. */
int agc_loudness_reset(agc_loudness *m);

/* What channel `channel` counts for: an AGC_CHANNEL_* kind. Best set before
 * the first frames; a change applies from the next 100 ms step on. */
int agc_loudness_set_channel(agc_loudness *m, int channel, int kind);

/* Measures `frames` interleaved frames. Any split of a recording into
 * calls gives the same figures. Returns 0 or an AGC_ERR_* code. */
int agc_loudness_add_frames(agc_loudness *m, const int16_t *samples, size_t frames);

/* The figures so far, in thousandths: LUFS, LU, dBFS, dBTP. Each returns 0
 * and sets *out (AGC_LOUDNESS_NONE where the figure does not exist), or
 * returns an AGC_ERR_* code. */
int agc_loudness_integrated(const agc_loudness *m, int32_t *lufs);
int agc_loudness_range(const agc_loudness *m, int32_t *lu);
int agc_loudness_momentary(const agc_loudness *m, int32_t *lufs);
int agc_loudness_shortterm(const agc_loudness *m, int32_t *lufs);
int agc_loudness_momentary_max(const agc_loudness *m, int32_t *lufs);
int agc_loudness_shortterm_max(const agc_loudness *m, int32_t *lufs);
int agc_loudness_sample_peak(const agc_loudness *m, int channel, int32_t *dbfs);
int agc_loudness_true_peak(const agc_loudness *m, int channel, int32_t *dbtp);

/* The number of 100 ms steps measured so far: the momentary and
 * short-term figures change once per step. */
int64_t agc_loudness_steps(const agc_loudness *m);

/* One recording measured in parts, each by a meter of its own (on threads
 * of their own, say), gives the figures of one meter fed it all.
 *
 * A part starts at a whole number of agc_loudness_part_frames (4 s of
 * frames) from the recording's start. Its meter, fresh from init or reset,
 * is first given the agc_loudness_lead_frames (0.3 s) frames just before
 * that (`before`: the K-weighting's filter is restarted every 4 s from one
 * that has heard them, and the true peak's interpolator looks back over
 * them), and then the part's frames. Returns 0, or AGC_ERR_ARG where the
 * meter has measured frames or `frames` is not the lead. */
size_t agc_loudness_part_frames(const agc_loudness *m);
size_t agc_loudness_lead_frames(const agc_loudness *m);
int agc_loudness_start_part(agc_loudness *m, const int16_t *before, size_t frames);

/* Joins the meter of the part that follows (`next`) to the meter of what
 * came before it (`m`, which must have measured a whole number of
 * agc_loudness_part_frames): m then holds the figures of both, and
 * measures on from the end of next's frames. Both meters must have the same
 * rate, channels, modes and channel kinds. Returns 0 or AGC_ERR_ARG. */
int agc_loudness_join(agc_loudness *m, const agc_loudness *next);

#ifdef __cplusplus
}
#endif

#endif
