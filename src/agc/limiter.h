// A true-peak limiter with look-ahead: a signal under a gain comes out
// delayed by a fixed latency, with every point between its samples (as the
// true-peak interpolator sees them) held at or under a ceiling. Where the
// signal stays under the ceiling it passes untouched; where it would go
// over, the gain glides down over the look-ahead before the peak arrives
// and recovers over about 80 ms after it. One gain for all channels, so
// that an image stays where it is. The gain is worked out once per block of
// 16 frames and glides in straight lines between blocks, so that its work
// per frame is a multiply.
#ifndef AGC_LIMITER_H
#define AGC_LIMITER_H

#include <cstddef>
#include <cstdint>

#include "agc/true_peak.h"

namespace agc {

// The delay line's capacity: the largest latency (at 96 kHz) fits.
inline constexpr int LIMITER_RING = 256;
// Blocks of TRUE_PEAK_BLOCK frames in it.
inline constexpr int LIMITER_BLOCKS = LIMITER_RING / TRUE_PEAK_BLOCK;

struct limiter_channel {
    std::int32_t delay[LIMITER_RING]; // the signal under the gain (Q8 samples), waiting for its gain
    // The largest magnitude of each stretch of 16 frames of the delay line:
    // what bounds the points interpolated from it.
    std::int32_t top[LIMITER_BLOCKS];
};

struct limiter {
    std::int32_t channels = 0, rate = 0;
    std::int32_t lookahead = 0, lookahead_log2 = 0; // the attack's glide, a power of two of frames (16 or more)
    std::int32_t latency = 0;                       // frames
    std::int64_t ceiling = 0;                       // Q8 sample units
    bool eighths = false;                           // look at eight points a sample, not four
    std::int64_t decay = 0; // Q30 share of the distance to unity still to recover after a block
    // The input gain (Q16), and its glide towards gain_to over glide_left frames.
    std::int64_t gain = 1 << 16, gain_to = 1 << 16, gain_step = 0;
    std::int32_t glide_left = 0;
    // Per block of 16 frames, in rings of LIMITER_BLOCKS: the largest point
    // of its frames over the channels (Q8; 0 where none can reach over the
    // ceiling), and the gain held on it (Q30).
    std::int64_t block_peak[LIMITER_BLOCKS] = {}, block_hold[LIMITER_BLOCKS] = {};
    std::int64_t last_peak = -1, last_ratio = 0; // the gain the last peak over the ceiling asked for, Q30
    std::int64_t last_reduced = INT64_MIN / 2; // the latest block held under unity
    std::int64_t frames = 0;                   // frames taken in
    // What it did: frames given out under a gain below unity, and the lowest gain (Q30).
    std::uint64_t reduced_frames = 0;
    std::int64_t lowest_gain = 0;
};

// Bytes for a limiter of `channels` channels (the record and its channels after it).
std::size_t limiter_size(int channels);

// Sets up a limiter in storage of limiter_size(channels) bytes, for a
// sample rate of 8000 to 96000 Hz and a ceiling in thousandths of a dB
// under full scale (32768), -9000 to 0. The look-ahead is about 1.3 to 2 ms.
void limiter_init(limiter& l, int rate, int channels, std::int32_t ceiling_milli_db);

// Takes a limiter fresh from limiter_init on to frame `frames` of its
// recording, as if it had taken in that many frames of silence: what it
// gives out for the frames after them comes out the same, without the work.
void limiter_skip_silence(limiter& l, std::int64_t frames);

// A recording can be limited in parts (on threads of their own): a limiter
// for a later part is started some way before it, where the signal is so
// quiet under the gain that no limiter acts, and takes over from the one
// before at a frame where the two have come to the same state.
//
// The largest sample magnitude that, under the limiter's gain, brings no
// point near its ceiling: fed only such samples for limiter_rest_frames,
// any limiter of these settings is at rest, whatever it heard before.
std::int32_t limiter_quiet_magnitude(const limiter& l);
std::int64_t limiter_rest_frames(const limiter& l);
// Whether two limiters of the same settings, having taken in the same
// number of frames, give out the same frames from here on for the same
// input (the counts of what they did aside).
bool limiter_same_course(const limiter& a, const limiter& b);

// The input gain, in thousandths of a dB (-48000 to 48000): reached in a
// straight glide over `frames` frames (0: at once).
void limiter_set_gain(limiter& l, std::int32_t milli_db, int frames);

// Takes `frames` interleaved frames of `in` (null: silence) and writes as
// many to `out`, delayed by l.latency frames (in == out is fine).
void limiter_process(limiter& l, const std::int16_t* in, std::int16_t* out, int frames);

// Whether a limiter at the rate, the ceiling and the gain (thousandths of a
// dB) rests all through a recording whose true peak, the largest over its
// channels as the loudness meter reads it, is `true_peak_milli_db`
// thousandths of a dBTP (INT32_MIN: silence): no point it makes of the
// recording under the gain comes over its ceiling, so it never acts, and
// what it gives out is limiter_gain_alone's, its latency later. Only at
// 44.1 kHz and up, where it looks at the same four points a sample as the
// meter (below, it looks between them too).
bool limiter_rests(int rate, std::int32_t ceiling_milli_db, std::int32_t gain_milli_db, std::int32_t true_peak_milli_db);
// The same from the other side: the largest point between or at samples,
// in the true-peak interpolator's Q14 units before the gain, at which such
// a limiter still rests (-1: none, below 44.1 kHz). A recording none of
// whose points comes over it leaves the limiter at rest all through.
std::int32_t limiter_resting_point(int rate, std::int32_t ceiling_milli_db, std::int32_t gain_milli_db);

// `samples` samples of `in` under a gain in thousandths of a dB (-48000 to
// 48000), into `out` (in == out is fine), as a limiter that rests gives them
// out: the same bytes, without its delay or its work.
void limiter_gain_alone(const std::int16_t* in, std::int16_t* out, std::size_t samples, std::int32_t gain_milli_db);

} // namespace agc

#endif
