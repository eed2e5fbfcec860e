// The loudness meter: K-weighted energy in 100 ms steps, gated 400 ms and
// 3 s blocks kept as histograms, and the figures read out of them.
//
// Energies are integers in 2^-6 sample^2 (K_ENERGY_FRACTION), summed over
// channels with Q14 weights: a 1 kHz sine at full scale on one channel is
// 0.5 * 32768^2 * 2^6, about 2^35.4, and the loudness of energy E is
// 10 log10(E / 2^36) - 0.691 LUFS. A block's bin is its energy's
// logarithm in 1/32 octaves, counted from the absolute gate's.
#include "agc/loudness.h"

#include <cstdlib>
#include <new>

#include "agc/k_weighting.h"
#include "agc/log_scale.h"
#include "agc/true_peak.h"

namespace {

constexpr int SUBS_MOMENTARY = 4;  // 400 ms of 100 ms steps
constexpr int SUBS_SHORT = 30;     // 3 s
constexpr int CHUNK = 512;         // samples of a channel taken at once
// The K-weighting starts afresh every SEGMENT_STEPS steps (4 s), from a
// filter that has heard only silence until WARM_STEPS steps (0.3 s) before:
// by then what it has not heard is gone from it (the high-pass's slowest
// pole, at 96 kHz, has decayed by e^-70), so the energies are the same as
// an unbroken filter's but for its rounding, and a recording's segments can
// be filtered side by side, eight at a time in vector lanes, each from its
// own start: the same figures however the frames come in.
constexpr int SEGMENT_STEPS = agc::K_SEGMENT_STEPS;
constexpr int WARM_STEPS = agc::K_WARM_STEPS;

// The absolute gate, -70 LUFS: 2^36 * 10^(-6.9309) = 8057.1, so a block of
// 8058 and more is counted.
constexpr std::uint64_t ABSOLUTE_GATE = 8057;
// Full-scale reference of the energies: log2 of 32768^2 * 2^6.
constexpr std::int64_t FULL_SCALE_LOG2 = std::int64_t{36} << agc::LOG2_FRACTION;
constexpr std::int32_t K_OFFSET_MILLI = -691; // the weighting's gain at 1 kHz, taken back
// 10 LU and 20 LU in octaves of energy, Q24.
constexpr std::int64_t TEN_LU_LOG2 = 55732705;
constexpr std::int64_t TWENTY_LU_LOG2 = 111465411;

constexpr int BIN_SHIFT = agc::LOG2_FRACTION - 5; // 1/32 octave
constexpr int FIRST_BIN = 415;                    // floor(32 log2(8058)): the gate's bin
constexpr int BINS = 49 * 32 - FIRST_BIN + 1;     // up to 2^49: 256 channels of twice full scale
constexpr std::int64_t BIN_WIDTH = std::int64_t{1} << BIN_SHIFT;

constexpr std::int32_t WEIGHT_Q14[4] = {0, 16384, 23101, 32768}; // unused, front, surround (1.41), dual mono

int bin_of_log2(std::int64_t log2) {
    const std::int64_t b = (log2 >> BIN_SHIFT) - FIRST_BIN;
    return b < 0 ? 0 : b >= BINS ? BINS - 1 : static_cast<int>(b);
}
std::int64_t bin_floor_log2(int b) { return static_cast<std::int64_t>(b + FIRST_BIN) << BIN_SHIFT; }

struct gate_bin {
    agc::wide_sum energy; // of the blocks in the bin
    std::uint64_t count;
};

// A bin of 3 s blocks: how many, and the lowest and highest of them, so
// that a percentile within the bin is placed between what it holds.
struct range_bin {
    std::uint32_t count;
    std::int32_t low, high; // log2 of the energy, Q24
};

struct channel_meter {
    agc::k_filter filter;
    agc::k_filter warm; // the next segment's filter, over the last WARM_STEPS steps of this one
    agc::true_peak_history history;
    std::uint64_t step_energy; // of the 100 ms step being measured
    std::int32_t weight;       // Q14
    std::int32_t sample_peak;  // magnitude, 0..32768
    std::int32_t true_peak;    // Q14 magnitude
};

} // namespace

struct agc_loudness {
    std::int32_t rate, channels, modes;
    std::int32_t step_length; // samples in 100 ms
    std::int32_t step_fill;   // of the step being measured
    std::int32_t ring_at;     // where the next step's energy goes
    std::int64_t steps;       // complete steps
    agc::k_coefficients k;
    std::uint64_t ring[SUBS_SHORT]; // the energies of the last 30 steps (weighted, per sample)
    std::uint64_t momentary_max, short_max; // as sums of 4 and 30 steps; 0: none yet
    agc::wide_sum block_energy;   // of the 400 ms blocks over the absolute gate
    std::uint64_t block_count;
    agc::wide_sum short_energy;   // of the 3 s blocks over the absolute gate
    std::uint64_t short_count;
    // The energies of the first 30 steps, which a meter of the part before
    // this one needs to make the blocks that reach across into it.
    std::uint64_t head[SUBS_SHORT];
    bool part; // started by agc_loudness_start_part: a part after another
};

namespace {

constexpr std::size_t ALIGN = 16;
constexpr std::size_t round_up(std::size_t n) { return (n + ALIGN - 1) & ~(ALIGN - 1); }

bool valid_modes(int modes) { return modes > 0 && (modes & ~AGC_LOUDNESS_MODE_ALL) == 0; }
bool has(const agc_loudness* m, int mode) { return (m->modes & mode) == mode; }

channel_meter* channels_of(agc_loudness* m) {
    return reinterpret_cast<channel_meter*>(reinterpret_cast<unsigned char*>(m) + round_up(sizeof(agc_loudness)));
}
const channel_meter* channels_of(const agc_loudness* m) { return channels_of(const_cast<agc_loudness*>(m)); }

unsigned char* after_channels(const agc_loudness* m) {
    return reinterpret_cast<unsigned char*>(const_cast<agc_loudness*>(m)) + round_up(sizeof(agc_loudness)) +
           round_up(static_cast<std::size_t>(m->channels) * sizeof(channel_meter));
}
// The 400 ms blocks' histogram (mode I), then the 3 s blocks' (mode LRA).
gate_bin* block_bins(const agc_loudness* m) { return reinterpret_cast<gate_bin*>(after_channels(m)); }
range_bin* short_bins(const agc_loudness* m) {
    unsigned char* p = after_channels(m);
    if (has(m, AGC_LOUDNESS_MODE_I)) p += round_up(BINS * sizeof(gate_bin));
    return reinterpret_cast<range_bin*>(p);
}

int default_kind(int channels, int c) {
    if (channels == 4) return c >= 2 ? AGC_CHANNEL_SURROUND : AGC_CHANNEL_FRONT;
    if (channels == 5) return c >= 3 ? AGC_CHANNEL_SURROUND : AGC_CHANNEL_FRONT;
    if (channels >= 6) return c < 3 ? AGC_CHANNEL_FRONT : c == 3 ? AGC_CHANNEL_UNUSED : AGC_CHANNEL_SURROUND;
    return AGC_CHANNEL_FRONT;
}

// Forgets what was measured; keeps the setup and the channel weights.
void clear(agc_loudness* m) {
    const int rate = m->rate, channels = m->channels, modes = m->modes;
    const agc::k_coefficients k = m->k;
    ::new (m) agc_loudness{};
    m->rate = rate;
    m->channels = channels;
    m->modes = modes;
    m->k = k;
    m->step_length = (rate + 5) / 10;
    channel_meter* ch = channels_of(m);
    for (int c = 0; c < channels; ++c) {
        const std::int32_t weight = ch[c].weight;
        ::new (&ch[c]) channel_meter{};
        ch[c].weight = weight;
    }
    if (has(m, AGC_LOUDNESS_MODE_I)) {
        gate_bin* b = block_bins(m);
        for (int i = 0; i < BINS; ++i) ::new (&b[i]) gate_bin{};
    }
    if (has(m, AGC_LOUDNESS_MODE_LRA)) {
        range_bin* b = short_bins(m);
        for (int i = 0; i < BINS; ++i) b[i] = range_bin{};
    }
}

std::uint64_t ring_sum(const agc_loudness* m, int steps) {
    std::uint64_t sum = 0;
    for (int i = 1; i <= steps; ++i) sum += m->ring[(m->ring_at + SUBS_SHORT - i) % SUBS_SHORT];
    return sum;
}

// A channel's share of a step: its energy per sample, weighted.
std::uint64_t weighted(const agc_loudness* m, const channel_meter& c, std::uint64_t energy) {
    return (energy / static_cast<std::uint64_t>(m->step_length) * static_cast<std::uint64_t>(c.weight)) >> 14;
}

void end_step_of(agc_loudness* m, std::uint64_t energy, int joined = -1);

// A 100 ms step is complete: its energy joins the ring, and the blocks
// that end with it are gated and counted.
void end_step(agc_loudness* m) {
    channel_meter* ch = channels_of(m);
    std::uint64_t energy = 0;
    for (int c = 0; c < m->channels; ++c) {
        energy += weighted(m, ch[c], ch[c].step_energy);
        ch[c].step_energy = 0;
    }
    end_step_of(m, energy);
}

// The same for a step of `energy`, weighted over the channels, per sample.
// (`joined`: where the step is the joined-th of a part that follows, only
// the blocks that reach back across its start are counted: its meter has
// counted the others.)
void end_step_of(agc_loudness* m, std::uint64_t energy, int joined) {
    if (m->steps < SUBS_SHORT) m->head[m->steps] = energy;
    m->ring[m->ring_at] = energy;
    m->ring_at = (m->ring_at + 1) % SUBS_SHORT;
    m->step_fill = 0;
    ++m->steps;
    if (m->steps >= SUBS_MOMENTARY && joined < SUBS_MOMENTARY - 1) {
        const std::uint64_t sum = ring_sum(m, SUBS_MOMENTARY);
        if (sum > m->momentary_max) m->momentary_max = sum;
        const std::uint64_t e = sum / SUBS_MOMENTARY;
        if (has(m, AGC_LOUDNESS_MODE_I) && e > ABSOLUTE_GATE) {
            m->block_energy.add(e);
            ++m->block_count;
            gate_bin& b = block_bins(m)[bin_of_log2(agc::log2_q24(e))];
            b.energy.add(e);
            ++b.count;
        }
    }
    if (has(m, AGC_LOUDNESS_MODE_S) && m->steps >= SUBS_SHORT && joined < SUBS_SHORT - 1) {
        const std::uint64_t sum = ring_sum(m, SUBS_SHORT);
        if (sum > m->short_max) m->short_max = sum;
        const std::uint64_t e = sum / SUBS_SHORT;
        if (has(m, AGC_LOUDNESS_MODE_LRA) && e > ABSOLUTE_GATE) {
            m->short_energy.add(e);
            ++m->short_count;
            const auto log2 = static_cast<std::int32_t>(agc::log2_q24(e));
            range_bin& b = short_bins(m)[bin_of_log2(log2)];
            if (b.count == 0 || log2 < b.low) b.low = log2;
            if (b.count == 0 || log2 > b.high) b.high = log2;
            ++b.count;
        }
    }
}

void measure_peaks(agc_loudness* m, channel_meter& c, const std::int16_t* x, std::size_t count);

// One channel's n samples of a step (and their peaks, unless the caller
// has taken them already).
void measure_channel(agc_loudness* m, channel_meter& c, const std::int16_t* x, int n, bool peaks) {
    const auto count = static_cast<std::size_t>(n);
    if (has(m, AGC_LOUDNESS_MODE_M)) {
        c.step_energy += agc::k_filter_energy(m->k, c.filter, x, count);
        if (m->steps % SEGMENT_STEPS >= SEGMENT_STEPS - WARM_STEPS) agc::k_filter_energy(m->k, c.warm, x, count);
    }
    if (peaks) measure_peaks(m, c, x, count);
}

void measure_peaks(agc_loudness* m, channel_meter& c, const std::int16_t* x, std::size_t count) {
    if (has(m, AGC_LOUDNESS_MODE_SAMPLE_PEAK)) {
        const std::int32_t p = agc::largest_magnitude(x, count);
        if (p > c.sample_peak) c.sample_peak = p;
    }
    if (has(m, AGC_LOUDNESS_MODE_TRUE_PEAK)) {
        c.true_peak = agc::true_peak_scan(c.history, x, count, c.true_peak);
    }
}

// A segment starts: each channel's filter is the one warmed over the last
// steps of the segment before.
void start_segment(agc_loudness* m) {
    channel_meter* ch = channels_of(m);
    for (int c = 0; c < m->channels; ++c) {
        ch[c].filter = ch[c].warm;
        ch[c].warm = agc::k_filter{};
    }
}

// Channel c of `frames` interleaved frames, in runs of CHUNK contiguous
// samples (copied out where there are other channels).
template <typename Take>
void each_run(const std::int16_t* samples, std::size_t nc, std::size_t c, std::size_t frames, Take take) {
    std::int16_t one[CHUNK];
    for (std::size_t done = 0; done < frames;) {
        const std::size_t n = frames - done < CHUNK ? frames - done : CHUNK;
        const std::int16_t* x = samples + done * nc + c;
        if (nc > 1) {
            for (std::size_t i = 0; i < n; ++i) one[i] = x[i * nc];
            x = one;
        }
        take(x, n);
        done += n;
    }
}

// K_LANES whole segments from the start of one, in `samples`: each
// channel's filtered side by side in vector lanes (the first from the channel's
// filter, each other from its start WARM_STEPS before, as the segments
// define it), their steps counted in order, and the next segment's filter
// warmed over the last steps. False, with nothing done, where the lanes
// are missing.
bool measure_segments(agc_loudness* m, const std::int16_t* samples, bool peaks) {
    constexpr std::size_t BLOCKS = SEGMENT_STEPS + WARM_STEPS;
    const auto step = static_cast<std::size_t>(m->step_length), nc = static_cast<std::size_t>(m->channels);
    const std::size_t segment = SEGMENT_STEPS * step, warm = WARM_STEPS * step, frames = agc::K_LANES * segment;
    std::size_t start[agc::K_LANES] = {};
    for (std::size_t j = 1; j < agc::K_LANES; ++j) start[j] = j * segment - warm;
    std::uint64_t total[agc::K_LANES][SEGMENT_STEPS] = {};
    std::uint64_t energy[agc::K_LANES * BLOCKS];
    channel_meter* ch = channels_of(m);
    for (std::size_t c = 0; c < nc; ++c) {
        // Whether the CPU has the lanes is the same for every channel: the
        // first says it before anything is changed.
        if (!agc::k_filter_lanes(m->k, ch[c].filter, samples + c, static_cast<std::ptrdiff_t>(nc), start, BLOCKS, step, energy)) {
            return false;
        }
        for (std::size_t j = 0; j < agc::K_LANES; ++j) {
            const std::uint64_t* e = energy + j * BLOCKS + (j == 0 ? 0 : WARM_STEPS); // past the warming
            for (std::size_t s = 0; s < SEGMENT_STEPS; ++s) total[j][s] += weighted(m, ch[c], e[s]);
        }
        ch[c].warm = agc::k_filter{};
        each_run(samples + (frames - warm) * nc, nc, c, warm,
                 [&](const std::int16_t* x, std::size_t n) { agc::k_filter_energy(m->k, ch[c].warm, x, n); });
        if (peaks) each_run(samples, nc, c, frames, [&](const std::int16_t* x, std::size_t n) { measure_peaks(m, ch[c], x, n); });
    }
    for (std::size_t j = 0; j < agc::K_LANES; ++j) {
        for (std::size_t s = 0; s < SEGMENT_STEPS; ++s) end_step_of(m, total[j][s]);
    }
    return true;
}

// The loudness of a mean energy given as its logarithm.
std::int32_t lufs_of_log2(std::int64_t log2) {
    return agc::log2_to_milli_db_power(log2 - FULL_SCALE_LOG2) + K_OFFSET_MILLI;
}
// The loudness of `sum` over `steps` steps (silence: none).
std::int32_t lufs_of_steps(std::uint64_t sum, int steps) {
    if (sum == 0) return AGC_LOUDNESS_NONE;
    return lufs_of_log2(agc::log2_q24(sum) - agc::log2_q24(static_cast<std::uint64_t>(steps)));
}

std::int64_t mean_log2(const agc::wide_sum& energy, std::uint64_t count) {
    return agc::log2_q24(energy.hi, energy.lo) - agc::log2_q24(count);
}

// The integrated loudness: the blocks in bins above the relative gate, and
// those of the bin the gate falls in when their mean lies above it.
std::int32_t integrated(const agc_loudness* m) {
    if (m->block_count == 0) return AGC_LOUDNESS_NONE;
    const std::int64_t gate = mean_log2(m->block_energy, m->block_count) - TEN_LU_LOG2;
    const int gate_bin_index = (gate >> BIN_SHIFT) - FIRST_BIN < 0 ? -1 : bin_of_log2(gate);
    const gate_bin* bins = block_bins(m);
    agc::wide_sum energy;
    std::uint64_t count = 0;
    for (int b = gate_bin_index < 0 ? 0 : gate_bin_index; b < BINS; ++b) {
        if (bins[b].count == 0) continue;
        if (b == gate_bin_index && mean_log2(bins[b].energy, bins[b].count) <= gate) continue;
        energy.add(bins[b].energy);
        count += bins[b].count;
    }
    if (count == 0) return AGC_LOUDNESS_NONE;
    return lufs_of_log2(mean_log2(energy, count));
}

// The p-th percentile (p in percent) of the 3 s blocks in bins from
// `first` on (n of them), in octaves of energy: its rank p (n - 1) / 100
// found in the bins, and placed within its bin as if the bin's blocks were
// spread evenly from its lowest to its highest.
std::int64_t percentile_log2(const range_bin* bins, int first, std::uint64_t n, std::int64_t p) {
    const std::int64_t rank = p * static_cast<std::int64_t>(n - 1); // in hundredths
    std::int64_t before = 0;
    for (int b = first; b < BINS; ++b) {
        const std::int64_t count = bins[b].count;
        if (count == 0) continue;
        if (rank < (before + count) * 100 || b == BINS - 1) {
            if (count == 1) return bins[b].low;
            const std::int64_t within = rank - before * 100; // hundredths of a block past the bin's lowest
            const std::int64_t span = static_cast<std::int64_t>(bins[b].high) - bins[b].low;
            return bins[b].low + (within >= (count - 1) * 100 ? span : within * span / ((count - 1) * 100));
        }
        before += count;
    }
    return 0;
}

std::int32_t loudness_range(const agc_loudness* m) {
    if (m->short_count == 0) return AGC_LOUDNESS_NONE;
    const std::int64_t gate = mean_log2(m->short_energy, m->short_count) - TWENTY_LU_LOG2;
    const range_bin* bins = short_bins(m);
    // A bin counts when its middle lies above the gate.
    int first = 0;
    while (first < BINS && bin_floor_log2(first) + BIN_WIDTH / 2 <= gate) ++first;
    std::uint64_t n = 0;
    for (int b = first; b < BINS; ++b) n += bins[b].count;
    if (n == 0) return AGC_LOUDNESS_NONE;
    const std::int64_t low = percentile_log2(bins, first, n, 10);
    const std::int64_t high = percentile_log2(bins, first, n, 95);
    return agc::log2_to_milli_db_power(high - low);
}

// A magnitude in `fraction` bits as dB under full scale (32768).
std::int32_t peak_db(std::int64_t magnitude, int fraction) {
    if (magnitude <= 0) return AGC_LOUDNESS_NONE;
    return agc::log2_to_milli_db_amplitude(agc::log2_q24(static_cast<std::uint64_t>(magnitude)) -
                                           (static_cast<std::int64_t>(15 + fraction) << agc::LOG2_FRACTION));
}

int check_read(const agc_loudness* m, int mode, const int32_t* out) {
    if (m == nullptr || out == nullptr) return AGC_ERR_ARG;
    return has(m, mode) ? 0 : AGC_ERR_MODE;
}

int check_channel_read(const agc_loudness* m, int mode, int channel, const int32_t* out) {
    const int err = check_read(m, mode, out);
    if (err != 0) return err;
    return channel < 0 || channel >= m->channels ? AGC_ERR_ARG : 0;
}

int check_format(int rate, int channels, int modes) {
    if (rate < AGC_MIN_RATE || rate > AGC_MAX_RATE) return AGC_ERR_RATE;
    if (channels < 1 || channels > AGC_MAX_CHANNELS) return AGC_ERR_CHANNELS;
    return valid_modes(modes) ? 0 : AGC_ERR_MODE;
}

void start(agc_loudness* m, int rate, int channels, int modes) {
    ::new (m) agc_loudness{};
    m->rate = rate;
    m->channels = channels;
    m->modes = modes;
    m->k = agc::k_coefficients_for(rate);
    channel_meter* ch = channels_of(m);
    for (int c = 0; c < channels; ++c) ch[c].weight = WEIGHT_Q14[default_kind(channels, c)];
    clear(m);
}

} // namespace

extern "C" {

size_t agc_loudness_size(int channels, int modes) {
    if (channels < 1 || channels > AGC_MAX_CHANNELS || !valid_modes(modes)) return 0;
    std::size_t size = round_up(sizeof(agc_loudness)) + round_up(static_cast<std::size_t>(channels) * sizeof(channel_meter));
    if ((modes & AGC_LOUDNESS_MODE_I) == AGC_LOUDNESS_MODE_I) size += round_up(BINS * sizeof(gate_bin));
    if ((modes & AGC_LOUDNESS_MODE_LRA) == AGC_LOUDNESS_MODE_LRA) size += round_up(BINS * sizeof(range_bin));
    return size;
}

int agc_loudness_init(agc_loudness* m, int sample_rate, int channels, int modes) {
    if (m == nullptr || reinterpret_cast<std::uintptr_t>(m) % alignof(agc_loudness) != 0) return AGC_ERR_ARG;
    if (const int err = check_format(sample_rate, channels, modes)) return err;
    start(m, sample_rate, channels, modes);
    return 0;
}

agc_loudness* agc_loudness_create(int sample_rate, int channels, int modes, int* error) {
    int err = check_format(sample_rate, channels, modes);
    void* block = err == 0 ? std::malloc(agc_loudness_size(channels, modes)) : nullptr;
    if (err == 0 && block == nullptr) err = AGC_ERR_NOMEM;
    if (error != nullptr) *error = err;
    if (err != 0) return nullptr;
    auto* m = static_cast<agc_loudness*>(block);
    start(m, sample_rate, channels, modes);
    return m;
}

void agc_loudness_destroy(agc_loudness* m) { std::free(m); }

int agc_loudness_reset(agc_loudness* m) {
    if (m == nullptr) return AGC_ERR_ARG;
    clear(m);
    return 0;
}

int agc_loudness_set_channel(agc_loudness* m, int channel, int kind) {
    if (m == nullptr || channel < 0 || channel >= m->channels || kind < AGC_CHANNEL_UNUSED ||
        kind > AGC_CHANNEL_DUAL_MONO) {
        return AGC_ERR_ARG;
    }
    channels_of(m)[channel].weight = WEIGHT_Q14[kind];
    return 0;
}

int agc_loudness_add_frames(agc_loudness* m, const int16_t* samples, size_t frames) {
    if (m == nullptr || (samples == nullptr && frames > 0)) return AGC_ERR_ARG;
    channel_meter* ch = channels_of(m);
    const auto nc = static_cast<std::size_t>(m->channels);
    std::int16_t one[CHUNK];
    const std::size_t batch = agc::k_batch_frames(m->rate);
    // One channel's peaks in one go: the true peak's scan costs something
    // for each call, and the steps below would cut it into short ones.
    const bool peaks = nc > 1;
    if (!peaks) measure_peaks(m, ch[0], samples, frames);
    while (frames > 0) {
        if (m->step_fill == 0 && m->steps % SEGMENT_STEPS == 0 && has(m, AGC_LOUDNESS_MODE_M)) {
            if (m->steps > 0) start_segment(m);
            if (frames >= batch && measure_segments(m, samples, peaks)) {
                samples += batch * nc;
                frames -= batch;
                continue;
            }
        }
        const std::size_t left = static_cast<std::size_t>(m->step_length - m->step_fill);
        const int n = static_cast<int>(frames < left ? (frames < CHUNK ? frames : CHUNK) : (left < CHUNK ? left : CHUNK));
        for (std::size_t c = 0; c < nc; ++c) {
            const std::int16_t* x = samples + c;
            if (nc == 1) {
                x = samples;
            } else {
                for (int i = 0; i < n; ++i) one[i] = samples[static_cast<std::size_t>(i) * nc + c];
                x = one;
            }
            measure_channel(m, ch[c], x, n, peaks);
        }
        samples += static_cast<std::size_t>(n) * nc;
        frames -= static_cast<std::size_t>(n);
        m->step_fill += n;
        if (m->step_fill == m->step_length) end_step(m);
    }
    return 0;
}

size_t agc_loudness_part_frames(const agc_loudness* m) {
    return m == nullptr ? 0 : static_cast<std::size_t>(SEGMENT_STEPS) * static_cast<std::size_t>(m->step_length);
}

size_t agc_loudness_lead_frames(const agc_loudness* m) {
    return m == nullptr ? 0 : static_cast<std::size_t>(WARM_STEPS) * static_cast<std::size_t>(m->step_length);
}

// The part's first segment starts from filters warmed over the lead, as
// every segment after the first does, and the interpolator's history is
// the lead's last samples: nothing of the lead itself is counted.
int agc_loudness_start_part(agc_loudness* m, const int16_t* before, size_t frames) {
    if (m == nullptr || before == nullptr || frames != agc_loudness_lead_frames(m) || m->steps != 0 || m->step_fill != 0 ||
        m->part) {
        return AGC_ERR_ARG;
    }
    channel_meter* ch = channels_of(m);
    const auto nc = static_cast<std::size_t>(m->channels);
    constexpr std::size_t HISTORY = agc::TRUE_PEAK_TAPS - 1;
    for (std::size_t c = 0; c < nc; ++c) {
        agc::k_filter warm{};
        each_run(before, nc, c, frames, [&](const std::int16_t* x, std::size_t n) { agc::k_filter_energy(m->k, warm, x, n); });
        ch[c].filter = warm;
        for (std::size_t i = 0; i < HISTORY; ++i) ch[c].history.x[i] = before[(frames - HISTORY + i) * nc + c];
    }
    m->part = true;
    return 0;
}

int agc_loudness_join(agc_loudness* m, const agc_loudness* next) {
    if (m == nullptr || next == nullptr || m == next || !next->part || m->rate != next->rate ||
        m->channels != next->channels || m->modes != next->modes || m->step_fill != 0 || m->steps % SEGMENT_STEPS != 0) {
        return AGC_ERR_ARG;
    }
    channel_meter* ch = channels_of(m);
    const channel_meter* nch = channels_of(next);
    for (int c = 0; c < m->channels; ++c) {
        if (ch[c].weight != nch[c].weight) return AGC_ERR_ARG;
    }
    // The blocks that reach across the join, from m's last steps and next's first.
    const std::int64_t steps = m->steps;
    const int across = static_cast<int>(next->steps < SUBS_SHORT - 1 ? next->steps : SUBS_SHORT - 1);
    for (int i = 0; i < across; ++i) end_step_of(m, next->head[i], i);
    for (std::int64_t i = m->steps; i < SUBS_SHORT && i - steps < next->steps; ++i) m->head[i] = next->head[i - steps];
    // Then those within next, which its meter counted.
    m->momentary_max = next->momentary_max > m->momentary_max ? next->momentary_max : m->momentary_max;
    m->short_max = next->short_max > m->short_max ? next->short_max : m->short_max;
    m->block_energy.add(next->block_energy);
    m->block_count += next->block_count;
    m->short_energy.add(next->short_energy);
    m->short_count += next->short_count;
    if (has(m, AGC_LOUDNESS_MODE_I)) {
        gate_bin* b = block_bins(m);
        const gate_bin* nb = block_bins(next);
        for (int i = 0; i < BINS; ++i) {
            b[i].energy.add(nb[i].energy);
            b[i].count += nb[i].count;
        }
    }
    if (has(m, AGC_LOUDNESS_MODE_LRA)) {
        range_bin* b = short_bins(m);
        const range_bin* nb = short_bins(next);
        for (int i = 0; i < BINS; ++i) {
            if (nb[i].count == 0) continue;
            if (b[i].count == 0 || nb[i].low < b[i].low) b[i].low = nb[i].low;
            if (b[i].count == 0 || nb[i].high > b[i].high) b[i].high = nb[i].high;
            b[i].count += nb[i].count;
        }
    }
    // And where next has left off: its last steps, its filters and its peaks.
    if (next->steps >= SUBS_SHORT) {
        for (int i = 0; i < SUBS_SHORT; ++i) m->ring[i] = next->ring[i];
        m->ring_at = next->ring_at;
    }
    m->steps = steps + next->steps;
    m->step_fill = next->step_fill;
    for (int c = 0; c < m->channels; ++c) {
        const std::int32_t sample_peak = ch[c].sample_peak > nch[c].sample_peak ? ch[c].sample_peak : nch[c].sample_peak;
        const std::int32_t true_peak = ch[c].true_peak > nch[c].true_peak ? ch[c].true_peak : nch[c].true_peak;
        ch[c] = nch[c];
        ch[c].sample_peak = sample_peak;
        ch[c].true_peak = true_peak;
    }
    return 0;
}

int agc_loudness_integrated(const agc_loudness* m, int32_t* lufs) {
    if (const int err = check_read(m, AGC_LOUDNESS_MODE_I, lufs)) return err;
    *lufs = integrated(m);
    return 0;
}

int agc_loudness_range(const agc_loudness* m, int32_t* lu) {
    if (const int err = check_read(m, AGC_LOUDNESS_MODE_LRA, lu)) return err;
    *lu = loudness_range(m);
    return 0;
}

int agc_loudness_momentary(const agc_loudness* m, int32_t* lufs) {
    if (const int err = check_read(m, AGC_LOUDNESS_MODE_M, lufs)) return err;
    *lufs = lufs_of_steps(ring_sum(m, SUBS_MOMENTARY), SUBS_MOMENTARY);
    return 0;
}

int agc_loudness_shortterm(const agc_loudness* m, int32_t* lufs) {
    if (const int err = check_read(m, AGC_LOUDNESS_MODE_S, lufs)) return err;
    *lufs = lufs_of_steps(ring_sum(m, SUBS_SHORT), SUBS_SHORT);
    return 0;
}

int agc_loudness_momentary_max(const agc_loudness* m, int32_t* lufs) {
    if (const int err = check_read(m, AGC_LOUDNESS_MODE_M, lufs)) return err;
    *lufs = lufs_of_steps(m->momentary_max, SUBS_MOMENTARY);
    return 0;
}

int agc_loudness_shortterm_max(const agc_loudness* m, int32_t* lufs) {
    if (const int err = check_read(m, AGC_LOUDNESS_MODE_S, lufs)) return err;
    *lufs = lufs_of_steps(m->short_max, SUBS_SHORT);
    return 0;
}

int agc_loudness_sample_peak(const agc_loudness* m, int channel, int32_t* dbfs) {
    if (const int err = check_channel_read(m, AGC_LOUDNESS_MODE_SAMPLE_PEAK, channel, dbfs)) return err;
    *dbfs = peak_db(channels_of(m)[channel].sample_peak, 0);
    return 0;
}

int agc_loudness_true_peak(const agc_loudness* m, int channel, int32_t* dbtp) {
    if (const int err = check_channel_read(m, AGC_LOUDNESS_MODE_TRUE_PEAK, channel, dbtp)) return err;
    const channel_meter& c = channels_of(m)[channel];
    const std::int64_t sample = static_cast<std::int64_t>(c.sample_peak) << agc::TRUE_PEAK_FRACTION;
    *dbtp = peak_db(c.true_peak > sample ? c.true_peak : sample, agc::TRUE_PEAK_FRACTION);
    return 0;
}

int64_t agc_loudness_steps(const agc_loudness* m) { return m ? m->steps : AGC_ERR_ARG; }

} // extern "C"
