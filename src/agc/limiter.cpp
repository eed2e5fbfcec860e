// The limiter, block by block (16 frames on the grid of the recording's
// own frame count):
// 1. the input under its gain, in Q8 sample units (31 bits: up to 48 dB of
//    gain over full scale), goes into each channel's delay line; each block,
//    once the 16 frames after it are in, is interpolated at four times the
//    rate (at eight below 44.1 kHz) (in 16 bits on the block's own scale,
//    exact to 2^-15 of its largest sample, and the same whatever the chunks
//    it came in), and the largest point after any of its samples, over the
//    channels, is the block's peak;
// 2. a block c is held at the gain ceiling / peak for the largest peak of
//    the blocks from c - L/16 - 1 to c + 1 (L the look-ahead), or unity, or
//    lower where its recovery from the block before has not come so far:
//    that recovery takes a share of the distance to unity per block (80 ms);
// 3. the gain of frame n is the mean of the held gains of frames n to
//    n + L - 1, each frame at its block's: a straight line within a block,
//    complete before a peak's block begins.
// Every point is made of the samples 15 before it to 16 after it; a frame
// n's gain is the mean of held gains that each cover the peaks from
// L + 15 frames before n to 31 after it, so every sample that shapes a
// point is at that point's gain or lower, and the points come out at the
// ceiling or under it. Frame n's gain needs the peak of the block
// L/16 + 1 blocks after its own, known 31 frames after that block starts:
// it goes out latency = L + 47 frames after it came in.
#include "agc/limiter.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <new>

#include "agc/fetch_ahead.h"
#include "agc/fixed_point.h"
#include "agc/log_scale.h"
#include "agc/process_fast.h"

namespace agc {

namespace {

constexpr std::int64_t ONE = std::int64_t{1} << 30; // unity gain, Q30
// 0.01 dB under unity, ONE * (1 - 10^(-0.01 / 20)): a recovery this close is complete.
constexpr std::int64_t RECOVERED = 1235442;
constexpr int CHUNK = 64;                           // frames taken at once: with the latency, within the ring
constexpr int BLOCK = TRUE_PEAK_BLOCK;
constexpr int BLOCK_LOG2 = 4;
static_assert(BLOCK == 1 << BLOCK_LOG2);
constexpr int SPAN = BLOCK + TRUE_PEAK_TAPS - 1;    // the frames a block's points are made of
constexpr int DETECT = BLOCK + TRUE_PEAK_DELAY - 1; // frames from a block's start to the last its points need
constexpr std::uint64_t RING_MASK = LIMITER_RING - 1;
constexpr std::uint64_t BLOCK_MASK = LIMITER_BLOCKS - 1;

// The ring slot of a frame (frames before the first wrap to the end, which
// holds silence until they are written).
constexpr std::size_t slot_of(std::int64_t frame) { return static_cast<std::uint64_t>(frame) & RING_MASK; }
// The ceiling a little under the one asked for: the gain is not constant
// across the interpolator's span, the output is rounded to 16 bits, and
// between eight points a sample a peak at 80% of the Nyquist frequency can
// stand 0.1 dB higher still, as a meter that oversamples a low rate further
// (ffmpeg's goes to 192 kHz whatever the rate) would find it.
constexpr std::int32_t MARGIN_MILLI_DB = 100;

limiter_channel* channels_of(limiter& l) {
    return reinterpret_cast<limiter_channel*>(reinterpret_cast<unsigned char*>(&l) + sizeof(limiter));
}
const limiter_channel* channels_of(const limiter& l) {
    return reinterpret_cast<const limiter_channel*>(reinterpret_cast<const unsigned char*>(&l) + sizeof(limiter));
}

// ceiling * 2^30 / peak for peak > ceiling > 0 (both below 2^62), in Q30,
// never above the exact quotient: the peak's reciprocal by Newton's method
// from the best straight-line first guess (within 1/17), four steps to far
// below 2^-30.
std::int64_t ratio(std::int64_t ceiling, std::int64_t peak) {
    const int k = 63 - std::countl_zero(static_cast<std::uint64_t>(peak));
    const std::int64_t m = k >= 30 ? peak >> (k - 30) : peak << (30 - k); // [2^30, 2^31): 1 <= m < 2
    std::int64_t y = (24 * ONE - 8 * m) / 17; // about 1/m, Q30
    for (int i = 0; i < 4; ++i) y = (y * ((ONE << 1) - ((m * y) >> 30))) >> 30;
    const std::int64_t r = ((ceiling * y) >> k) - 2; // the truncation of m costs at most 2^-30 of it
    return r < 0 ? 0 : r;
}

// The frames a block's points are made of, 15 before it to 16 after it, lie
// in the stretches of 16 before, of and after the block: the largest of their
// three tops bounds them (and a stretch before the recording holds silence).
[[gnu::always_inline]] inline std::int64_t top_around(const limiter_channel& c, std::int64_t block) {
    const auto s = static_cast<std::uint64_t>(block);
    std::int64_t top = 0;
    for (std::uint64_t k = s + LIMITER_BLOCKS - 1; k <= s + LIMITER_BLOCKS + 1; ++k) {
        const std::int64_t t = c.top[k & BLOCK_MASK];
        top = t > top ? t : top;
    }
    return top;
}

// A point of a span brought down `shift` bits to 16 (Q14 of those units),
// back in the delay line's Q8.
constexpr std::int64_t q8_of(std::int32_t point, int shift) { return (static_cast<std::int64_t>(point) << shift) >> TRUE_PEAK_FRACTION; }

// Where the limiter looks at eighths (below 44.1 kHz), the points between
// the quarters can stand up to 0.5 dB higher: a block whose quarters reach
// over the ceiling by this measure is looked at more finely.
[[gnu::always_inline]] inline bool may_reach(const limiter& l, std::int64_t q8) {
    return (l.eighths ? q8 * 1060 / 1000 : q8) > l.ceiling;
}

// The peak of block `block` (frames 16 block on), from the frames 15 before
// it to 16 after it: its largest point over the channels, or 0 where none
// can reach over the ceiling.
[[gnu::always_inline]] inline std::int64_t block_peak(const limiter& l, const limiter_channel* ch, std::int64_t block) {
    const std::int64_t start = block << BLOCK_LOG2;
    std::int64_t peak = 0;
    for (int c = 0; c < l.channels; ++c) {
        const std::int64_t top = top_around(ch[c], block);
        if ((top * TRUE_PEAK_BOUND >> TRUE_PEAK_FRACTION) <= l.ceiling) continue;
        // The fewest bits down that bring the span's largest within 16 bits.
        const int width = 64 - std::countl_zero(static_cast<std::uint64_t>(top));
        const int shift = width > 15 ? width - 15 : 0;
        // The span from the ring, in the two runs on either side of its wrap.
        std::int16_t w16[SPAN];
        const std::size_t from = slot_of(start - (TRUE_PEAK_DELAY - 1));
        const int before_wrap = LIMITER_RING - from < SPAN ? static_cast<int>(LIMITER_RING - from) : SPAN;
        const std::int32_t* d = ch[c].delay + from;
        for (int i = 0; i < before_wrap; ++i) w16[i] = static_cast<std::int16_t>(d[i] >> shift);
        for (int i = before_wrap; i < SPAN; ++i) w16[i] = static_cast<std::int16_t>(ch[c].delay[i - before_wrap] >> shift);
        // A block whose points the near taps' bound holds under the ceiling
        // (the eighths' allowance included) is passed by, as interpolated it
        // would be: most speech at a gain that keeps its peaks near the
        // ceiling. (A sample of the span floored to 16 bits stands at most 1
        // over top's.)
        const auto top16 = static_cast<std::int32_t>((top >> shift) + 1);
        if (!may_reach(l, q8_of(true_peak_block_bound(w16, top16), shift))) continue;
        // The eighths below 44.1 kHz, where a meter that oversamples to
        // 192 kHz looks at more than four points a sample; and only where the
        // quarters come within 0.5 dB of the ceiling: further under it, the
        // points between stand no higher.
        std::int32_t most = true_peak_block_largest(w16, false);
        if (l.eighths && may_reach(l, q8_of(most, shift))) {
            const std::int32_t finer = true_peak_block_largest(w16, true);
            most = finer > most ? finer : most;
        }
        const std::int64_t p = q8_of(most, shift);
        peak = p > peak ? p : peak;
    }
    return peak > l.ceiling ? peak : 0;
}

// The gain held on block c, once the peaks up to block c + 1 are known: the
// one the largest peak of blocks c - L/16 - 1 to c + 1 asks for, or the
// recovery from the block before where that is lower.
[[gnu::always_inline]] inline void hold_block(limiter& l, std::int64_t c) {
    std::int64_t need = 0;
    for (std::int64_t b = c - (l.lookahead >> BLOCK_LOG2) - 1; b <= c + 1; ++b) {
        const std::int64_t p = l.block_peak[static_cast<std::uint64_t>(b) & BLOCK_MASK];
        need = p > need ? p : need;
    }
    std::int64_t wanted = ONE;
    if (need > 0) {
        if (need != l.last_peak) {
            l.last_peak = need;
            l.last_ratio = ratio(l.ceiling, need);
        }
        wanted = l.last_ratio;
    }
    // Within a hundredth of a dB of unity the hold is back at it: the rest of
    // the recovery would take twice as long again, for a change no one can
    // hear, and the limiter at unity has nothing to work out.
    // (The ring holds unity for the blocks before the recording.)
    const std::int64_t left = ONE - l.block_hold[static_cast<std::uint64_t>(c - 1) & BLOCK_MASK];
    const std::int64_t recovered = left > RECOVERED ? ONE - ((left * l.decay) >> 30) : ONE;
    const std::int64_t hold = wanted < recovered ? wanted : recovered;
    l.block_hold[static_cast<std::uint64_t>(c) & BLOCK_MASK] = hold;
    if (hold < ONE) l.last_reduced = c;
}

// The gains of the n frames from frame `from` on (all in one block, none
// before the recording), into g: the mean of the held gains of the L frames
// from each, frame n + L - 1's block the last; and what they did, in the
// limiter's counts.
[[gnu::always_inline]] inline void block_gains(limiter& l, std::int64_t from, int n, std::int32_t* g) {
    const std::int64_t c = from >> BLOCK_LOG2;
    const std::int64_t blocks = l.lookahead >> BLOCK_LOG2;
    std::int64_t sum = 0;
    for (std::int64_t b = c; b < c + blocks; ++b) sum += l.block_hold[static_cast<std::uint64_t>(b) & BLOCK_MASK];
    const std::int64_t first = l.block_hold[static_cast<std::uint64_t>(c) & BLOCK_MASK];
    const std::int64_t step = l.block_hold[static_cast<std::uint64_t>(c + blocks) & BLOCK_MASK] - first;
    // Frames k to 15 of block c, the blocks after it whole, and the first k
    // frames of block c + L/16.
    std::int64_t total = (sum << BLOCK_LOG2) + (from & (BLOCK - 1)) * step;
    for (int i = 0; i < n; ++i, total += step) g[i] = static_cast<std::int32_t>(total >> l.lookahead_log2);
    // A straight line: its lowest is at one end, and only its ends can be
    // at unity, the rest under it.
    const std::int64_t low = g[0] < g[n - 1] ? g[0] : g[n - 1];
    l.lowest_gain = low < l.lowest_gain ? low : l.lowest_gain;
    std::uint64_t reduced = static_cast<std::uint64_t>(n);
    if (g[0] == ONE || g[n - 1] == ONE) {
        for (int i = 0; i < n; ++i) reduced -= g[i] == ONE ? 1 : 0;
    }
    l.reduced_frames += reduced;
}

[[gnu::always_inline]] inline std::int32_t under_gain(std::int16_t x, std::int64_t gain) {
    const std::int64_t s = (static_cast<std::int64_t>(x) * gain) >> 8; // Q16 gain, Q8 result
    return static_cast<std::int32_t>(s > INT32_MAX ? INT32_MAX : s < -INT32_MAX ? -INT32_MAX : s);
}

[[gnu::always_inline]] inline std::int16_t held16(std::int64_t y) { return store16(static_cast<std::int32_t>(y > 32767 ? 32767 : y < -32768 ? -32768 : y)); }

// Q8 under a Q30 gain, rounded to the nearest sample and held in 16 bits.
[[gnu::always_inline]] inline std::int16_t out_sample(std::int32_t s, std::int64_t gain) { return held16(((static_cast<std::int64_t>(s) * gain >> 30) + 128) >> 8); }
// The same under unity, where the product and its shift give s back: in 32
// bits, as (s + 128) >> 8 = ((s >> 1) + 64) >> 7 (the floors nest), which
// cannot overflow, so that the loop takes several samples at a time.
[[gnu::always_inline]] inline std::int16_t out_sample(std::int32_t s) {
    const std::int32_t y = ((s >> 1) + 64) >> 7;
    return store16(y > 32767 ? 32767 : y < -32768 ? -32768 : y);
}

// x under a Q16 gain g (0 <= g < 2^24, up to 48 dB) in Q8: (x * g) >> 8,
// in 32 bits. With g = 256 gh + gl the product is 256 x gh + x gl, and
// x gh is a whole multiple of 2^8, so the shift takes x gh + (x gl >> 8)
// exactly; neither part nor their sum leaves 32 bits (the largest is
// 32768 * (2^24 - 1) / 256 < 2^31 - 1), so no clamp is needed either.
constexpr std::int64_t SPLIT_GAIN_LIMIT = std::int64_t{1} << 24;
[[gnu::always_inline]] inline std::int32_t under_split_gain(std::int16_t x, std::int32_t gh, std::int32_t gl) { return x * gh + ((x * gl) >> 8); }

// One channel of n frames from frame `first` under their gains into the
// delay line, and the tops of the stretches they fall in. Taken a stretch at
// a time: within one the ring's slots run on without a wrap, and the top is
// the stretch's largest magnitude so far (its first frame starts it afresh).
// `steady`: every gain is gain[0], below SPLIT_GAIN_LIMIT, and the loop is
// one the compiler takes several samples at a time.
[[gnu::always_inline]] inline void into_delay(limiter_channel& c, const std::int16_t* in, int stride, const std::int64_t* gain, bool steady,
                std::int64_t first, int n) {
    const auto gh = static_cast<std::int32_t>(gain[0] >> 8), gl = static_cast<std::int32_t>(gain[0] & 255);
    for (int i = 0; i < n;) {
        const auto f = static_cast<std::uint64_t>(first + i);
        const int offset = static_cast<int>(f % BLOCK);
        const int end = n - i < BLOCK - offset ? n : i + (BLOCK - offset);
        std::int32_t* d = c.delay + (f & RING_MASK);
        std::int32_t most = 0;
        if (in == nullptr) {
            for (int k = i; k < end; ++k) d[k - i] = 0;
        } else if (steady) {
            const std::int16_t* x = in + static_cast<std::ptrdiff_t>(i) * stride;
            if (stride == 1) {
                for (int k = 0; k < end - i; ++k) {
                    const std::int32_t v = under_split_gain(x[k], gh, gl);
                    d[k] = v;
                    const std::int32_t a = v < 0 ? -v : v; // |v| < 2^31 - 1
                    most = a > most ? a : most;
                }
            } else {
                for (int k = 0; k < end - i; ++k) {
                    const std::int32_t v = under_split_gain(x[static_cast<std::ptrdiff_t>(k) * stride], gh, gl);
                    d[k] = v;
                    const std::int32_t a = v < 0 ? -v : v;
                    most = a > most ? a : most;
                }
            }
        } else {
            for (int k = i; k < end; ++k) {
                const std::int32_t v = under_gain(in[static_cast<std::ptrdiff_t>(k) * stride], gain[k]);
                d[k - i] = v;
                const std::int32_t a = v < 0 ? -v : v; // |v| < 2^31: under_gain keeps it so
                most = a > most ? a : most;
            }
        }
        std::int32_t& t = c.top[(f >> BLOCK_LOG2) & BLOCK_MASK];
        t = offset == 0 || most > t ? most : t;
        i = end;
    }
}

// A run of a channel's samples under their gains, one frame apart: out_sample
// with its two floors taken as one, (s g + 2^37) >> 38, and 2^62 added
// first so that the shift, on a sum that is never negative (|s g| < 2^61),
// can be a logical one, which vector lanes of 64 bits have where the
// arithmetic one is missing (2^62 >> 38 = 2^24 is taken back after).
[[gnu::always_inline]] inline void gained_run(const std::int32_t* d, const std::int32_t* g, std::int16_t* o, int n) {
    constexpr std::uint64_t BIAS = (std::uint64_t{1} << 37) + (std::uint64_t{1} << 62);
    for (int k = 0; k < n; ++k) {
        const auto p = static_cast<std::uint64_t>(static_cast<std::int64_t>(d[k]) * g[k]) + BIAS;
        const std::int64_t y = static_cast<std::int64_t>(p >> 38) - (std::int64_t{1} << 24);
        o[k] = held16(y);
    }
}

// One channel of n frames out of the delay line, from frame `from` on (the
// frames before the recording are silence), under the gains g: none at
// rest, where unity leaves each sample as its rounding to 16 bits.
[[gnu::always_inline]] inline void out_of_delay(const limiter_channel& c, std::int16_t* out, int stride, const std::int32_t* g, std::int64_t from, int n) {
    int i = 0;
    for (; i < n && from + i < 0; ++i) out[static_cast<std::ptrdiff_t>(i) * stride] = 0;
    while (i < n) {
        // up to the ring's end, where the slots wrap
        const std::size_t slot = slot_of(from + i);
        const int end = n - i < static_cast<int>(LIMITER_RING - slot) ? n : i + static_cast<int>(LIMITER_RING - slot);
        const std::int32_t* d = c.delay + slot;
        if (g == nullptr && stride == 1) {
            std::int16_t* o = out + i;
            for (int k = 0; k < end - i; ++k) o[k] = out_sample(d[k]);
        } else if (g == nullptr) {
            for (int k = i; k < end; ++k) out[static_cast<std::ptrdiff_t>(k) * stride] = out_sample(d[k - i]);
        } else if (stride == 1) {
            gained_run(d, g + i, out + i, end - i);
        } else {
            for (int k = i; k < end; ++k) out[static_cast<std::ptrdiff_t>(k) * stride] = out_sample(d[k - i], g[k]);
        }
        i = end;
    }
}

// The ceiling asked for, in thousandths of a dB, as the limiter holds it:
// 32768 * 256 * 10^(dB / 20), full scale in Q8, less the margin.
std::int64_t ceiling_q8(std::int32_t milli_db) {
    return static_cast<std::int64_t>(exp2_q24(milli_db_amplitude_to_log2(milli_db - MARGIN_MILLI_DB), 23));
}

// An input gain in thousandths of a dB, held to +-48 dB, in Q16.
std::int64_t gain_q16(std::int32_t milli_db) {
    const std::int32_t db = milli_db > 48000 ? 48000 : milli_db < -48000 ? -48000 : milli_db;
    return static_cast<std::int64_t>(exp2_q24(milli_db_amplitude_to_log2(db), 16));
}

} // namespace

std::size_t limiter_size(int channels) {
    return sizeof(limiter) + static_cast<std::size_t>(channels) * sizeof(limiter_channel);
}

void limiter_init(limiter& l, int rate, int channels, std::int32_t ceiling_milli_db) {
    ::new (&l) limiter{};
    l.rate = rate;
    l.channels = channels;
    // The largest power of two of frames within 2 ms: 64 at 44.1 and 48 kHz.
    l.lookahead_log2 = 31 - std::countl_zero(static_cast<std::uint32_t>(rate / 500));
    l.lookahead = 1 << l.lookahead_log2;
    l.latency = l.lookahead + DETECT + BLOCK;
    l.eighths = rate < 44100;
    l.ceiling = ceiling_q8(ceiling_milli_db);
    // 1 / (0.08 s * rate) of the distance recovered per frame, Q30, and what
    // is left of it after the 16 frames of a block.
    const std::int64_t release = (ONE * 25) / (2 * static_cast<std::int64_t>(rate));
    l.decay = ONE;
    for (int i = 0; i < BLOCK; ++i) l.decay -= (l.decay * release) >> 30;
    for (std::int64_t& h : l.block_hold) h = ONE;
    l.lowest_gain = ONE;
    limiter_channel* ch = channels_of(l);
    for (int c = 0; c < channels; ++c) ::new (&ch[c]) limiter_channel{};
}

// Silence leaves a fresh limiter as it is (its delay line holds silence,
// no block reaches the ceiling, every hold stays at unity): only the count
// of frames, whose grid the blocks are on, moves.
void limiter_skip_silence(limiter& l, std::int64_t frames) { l.frames += frames; }

void limiter_set_gain(limiter& l, std::int32_t milli_db, int frames) {
    l.gain_to = gain_q16(milli_db);
    if (frames <= 0) {
        l.gain = l.gain_to;
        l.glide_left = 0;
        return;
    }
    l.gain_step = (l.gain_to - l.gain) / frames;
    l.glide_left = frames;
}

std::int32_t limiter_quiet_magnitude(const limiter& l) {
    // The delay line's largest magnitude for samples within m, rounding
    // included, must keep the bound of every block's points at the ceiling.
    const auto quiet = [&](std::int64_t m) {
        const std::int64_t top = ((m * l.gain) >> 8) + 1;
        return (top * TRUE_PEAK_BOUND >> TRUE_PEAK_FRACTION) <= l.ceiling;
    };
    std::int64_t low = 0, high = 32768; // quiet(low) holds, unless nothing is quiet
    if (!quiet(0)) return -1;
    while (low < high) {
        const std::int64_t mid = (low + high + 1) / 2;
        if (quiet(mid)) {
            low = mid;
        } else {
            high = mid - 1;
        }
    }
    return static_cast<std::int32_t>(low);
}

// The longest recovery (from no gain at all), the look-ahead's blocks
// and the delay line, which by then holds only what came after.
std::int64_t limiter_rest_frames(const limiter& l) {
    std::int64_t blocks = 0;
    for (std::int64_t left = ONE; left > RECOVERED; ++blocks) left = (left * l.decay) >> 30;
    return (blocks + (l.lookahead >> BLOCK_LOG2) + 4) * BLOCK + l.latency + LIMITER_RING;
}

// What shapes the frames still to come: the input gain, the delay line and
// its tops, and the blocks' peaks and holds in their rings. The latest
// reduction counts only where it is still in the rings; the cached ratio
// is that of its peak, the same in both.
bool limiter_same_course(const limiter& a, const limiter& b) {
    if (a.channels != b.channels || a.rate != b.rate || a.ceiling != b.ceiling || a.frames != b.frames ||
        a.gain != b.gain || a.gain_to != b.gain_to || a.gain_step != b.gain_step || a.glide_left != b.glide_left) {
        return false;
    }
    for (int i = 0; i < LIMITER_BLOCKS; ++i) {
        if (a.block_peak[i] != b.block_peak[i] || a.block_hold[i] != b.block_hold[i]) return false;
    }
    const std::int64_t oldest = (a.frames >> BLOCK_LOG2) - LIMITER_BLOCKS;
    if (a.last_reduced != b.last_reduced && (a.last_reduced >= oldest || b.last_reduced >= oldest)) return false;
    const limiter_channel *ca = channels_of(a), *cb = channels_of(b);
    for (int c = 0; c < a.channels; ++c) {
        for (int i = 0; i < LIMITER_RING; ++i) {
            if (ca[c].delay[i] != cb[c].delay[i]) return false;
        }
        for (int i = 0; i < LIMITER_BLOCKS; ++i) {
            if (ca[c].top[i] != cb[c].top[i]) return false;
        }
    }
    return true;
}

namespace {

// The limiter's work, inlined whole into each build of it below.
[[gnu::always_inline]] inline void process(limiter& l, const std::int16_t* in, std::int16_t* out, int frames) {
    limiter_channel* ch = channels_of(l);
    const int nc = l.channels;
    std::int64_t gain[CHUNK];
    std::int32_t g[CHUNK]; // Q30: unity and under
    while (frames > 0) {
        const int n = frames < CHUNK ? frames : CHUNK;
        // (The input is often a whole recording in memory: fetched ahead.)
        if (in) {
            fetch_ahead(in, 0, static_cast<std::size_t>(frames) * static_cast<std::size_t>(nc), static_cast<std::size_t>(n * nc));
        }
        // The chunk's input gains (gliding if they must), then each channel
        // under them into its delay line.
        const bool steady = l.glide_left == 0 && l.gain >= 0 && l.gain < SPLIT_GAIN_LIMIT;
        gain[0] = l.gain;
        for (int i = 0; !steady && i < n; ++i) {
            if (l.glide_left > 0) l.gain = --l.glide_left == 0 ? l.gain_to : l.gain + l.gain_step;
            gain[i] = l.gain;
        }
        for (int c = 0; c < nc; ++c) into_delay(ch[c], in ? in + c : nullptr, nc, gain, steady, l.frames, n);
        // The blocks whose last points need frames of this chunk are
        // complete: their peaks, and the gains held on the blocks before them.
        const std::int64_t first = l.frames;
        const std::int64_t from_block = first - DETECT < 0 ? 0 : (first - DETECT + BLOCK - 1) >> BLOCK_LOG2;
        for (std::int64_t b = from_block; (b << BLOCK_LOG2) + DETECT < first + n; ++b) {
            l.block_peak[static_cast<std::uint64_t>(b) & BLOCK_MASK] = block_peak(l, ch, b);
            if (b > 0) hold_block(l, b - 1);
        }
        l.frames = first + n;
        // The frames latency before them, under their gains, a block at a
        // time; none where the blocks they read are all held at unity (and
        // none before the recording, which is silence).
        const std::int64_t from = first - l.latency;
        bool calm = true;
        for (int i = from < 0 ? static_cast<int>(-from < n ? -from : n) : 0; i < n;) {
            const std::int64_t f = from + i;
            const int left = BLOCK - static_cast<int>(f & (BLOCK - 1)); // frames to the block's end
            const int end = n - i < left ? n : i + left;
            if (l.last_reduced < f >> BLOCK_LOG2) {
                for (int k = i; k < end; ++k) g[k] = ONE;
            } else {
                calm = false;
                block_gains(l, f, end - i, g + i);
            }
            i = end;
        }
        for (int c = 0; c < nc; ++c) out_of_delay(ch[c], out + c, nc, calm ? nullptr : g, from, n);
        if (in) in += static_cast<std::ptrdiff_t>(n) * nc;
        out += static_cast<std::ptrdiff_t>(n) * nc;
        frames -= n;
    }
}

#if defined(__x86_64__) && !defined(__EMSCRIPTEN__)
// Built for AVX2 too, where the CPU has it: the same integer steps, in
// lanes of eight (the magnitudes and largest of 32-bit samples, which the
// baseline's SSE2 lacks, and the products of the gains), so the same bytes.
[[gnu::target("avx2")]] void process_avx2(limiter& l, const std::int16_t* in, std::int16_t* out, int frames) {
    process(l, in, out, frames);
}
const bool avx2_lanes = best_simd_level() == simd_level::avx2 || best_simd_level() == simd_level::avx512;
#endif

} // namespace

void limiter_process(limiter& l, const std::int16_t* in, std::int16_t* out, int frames) {
#if defined(__x86_64__) && !defined(__EMSCRIPTEN__)
    if (avx2_lanes) {
        process_avx2(l, in, out, frames);
        return;
    }
#endif
    process(l, in, out, frames);
}

// A point the limiter makes is interpolated from the delay line's samples,
// x g / 2^8 in Q8 (g the Q16 gain), shifted down by s bits to 16 bits and
// floored: each falls short of x g / 2^(8+s) by less than 1, so the point
// stands off the meter's, made of x itself and scaled alike, by less than
// the taps' sum of magnitudes (1.2) times 2^s in Q8. And 2^s is at most
// 2 top / 2^15 for the span's largest sample top <= 2^15 g / 2^8, so at
// most g / 2^7. In Q8 the meter's point is g peak_q14 / 2^22, so every point
// stays within g (peak_q14 + 1.2 * 2^15) / 2^22 (+ 1.2 where s = 0); the
// bound taken here is g (peak_q14 + 2^17) / 2^22 + 4, with 5 thousandths of
// a dB more for the meter's rounding to thousandths. Solved for the point:
// g (p + 2^17) / 2^22 floored, + 4, stays within the ceiling c for every
// p + 2^17 <= (2^22 (c - 3) - 1) / g.
std::int32_t limiter_resting_point(int rate, std::int32_t ceiling_milli_db, std::int32_t gain_milli_db) {
    if (rate < 44100) return -1;
    const std::int64_t g = gain_q16(gain_milli_db), room = (ceiling_q8(ceiling_milli_db) - 3) * (std::int64_t{1} << 22) - 1;
    const std::int64_t p = room < 0 ? -1 : room / g - (std::int64_t{1} << 17);
    return static_cast<std::int32_t>(std::max<std::int64_t>(-1, std::min<std::int64_t>(p, INT32_MAX)));
}

bool limiter_rests(int rate, std::int32_t ceiling_milli_db, std::int32_t gain_milli_db, std::int32_t true_peak_milli_db) {
    if (rate < 44100) return false;
    if (true_peak_milli_db == INT32_MIN) return true;
    if (true_peak_milli_db > 12000) return false; // no recording of 16-bit samples reads so high
    const auto peak_q14 = static_cast<std::int64_t>(exp2_q24(milli_db_amplitude_to_log2(true_peak_milli_db + 5), 29));
    return peak_q14 <= limiter_resting_point(rate, ceiling_milli_db, gain_milli_db);
}

namespace {

// (Its input is often a whole recording in memory: fetched ahead.)
[[gnu::always_inline]] inline void gain_alone(const std::int16_t* in, std::int16_t* out, std::size_t samples,
                                              std::int32_t gh, std::int32_t gl) {
    for (std::size_t at = 0; at < samples; at += FETCH_STEP) {
        fetch_ahead(in, at, samples);
        const std::size_t end = samples - at < FETCH_STEP ? samples : at + FETCH_STEP;
        for (std::size_t i = at; i < end; ++i) out[i] = out_sample(under_split_gain(in[i], gh, gl));
    }
}

#if defined(__x86_64__) && !defined(__EMSCRIPTEN__)
// In AVX2's lanes where the CPU has them (32-bit products): integers, the
// same bytes on every CPU.
[[gnu::target("avx2")]] void gain_alone_avx2(const std::int16_t* in, std::int16_t* out, std::size_t samples,
                                             std::int32_t gh, std::int32_t gl) {
    gain_alone(in, out, samples, gh, gl);
}
#endif

} // namespace

void limiter_gain_alone(const std::int16_t* in, std::int16_t* out, std::size_t samples, std::int32_t gain_milli_db) {
    const std::int64_t g = gain_q16(gain_milli_db); // below SPLIT_GAIN_LIMIT
    const auto gh = static_cast<std::int32_t>(g >> 8), gl = static_cast<std::int32_t>(g & 255);
#if defined(__x86_64__) && !defined(__EMSCRIPTEN__)
    if (avx2_lanes) {
        gain_alone_avx2(in, out, samples, gh, gl);
        return;
    }
#endif
    gain_alone(in, out, samples, gh, gl);
}

} // namespace agc
