#include "report/levels.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <deque>
#include <limits>
#include <vector>

#include "agc/agc.h"
#include "agc/limiter.h"
#include "agc/speech.h"
#include "audio/recording.h"
#include "report/table.h"
#include "zek/options.h"
#include "zek/settings.h"

namespace zek {

namespace {

constexpr std::size_t HOP = hop;
constexpr std::size_t LEAD = LEAD_IN_SAMPLES;
constexpr std::size_t MAX_READ = AGC_MAX_HOP; // samples per read, the lead-in included
static_assert(LEAD <= MAX_READ && HOP <= MAX_READ);

// Reads `count` samples unless the file ends first. Returns the whole samples
// read; `odd_byte` is set when the file ends half-way through a sample.
std::size_t read_samples(int fd, std::int16_t* dst, std::size_t count, bool& odd_byte, int& err) {
    unsigned char bytes[2 * MAX_READ];
    std::size_t got = 0;
    while (got < 2 * count) {
        const ssize_t n = read_some(fd, bytes + got, 2 * count - got);
        if (n < 0) {
            err = errno;
            break;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    odd_byte = got % 2 != 0;
    decode_le(bytes, dst, got / 2);
    return got / 2;
}

// The files side by side: the engine's own output for each stretch of IN,
// and what OUT holds in that place.
struct pairing {
    pairing(int in, int out, report& rep) : in_fd(in), out_fd(out), r(rep) {}
    int in_fd, out_fd;
    report& r;
    read_failure failure;
    // Under a gain or a limit, zek's output is the levelled samples through
    // the limiter, its latency aligned away: each stretch's expected samples
    // go through it here, and what OUT holds waits until they come out.
    agc::limiter* post = nullptr;
    std::int64_t to_drop = 0;
    std::deque<std::int16_t> waiting; // OUT's samples not yet compared
    std::size_t waiting_from = 0;      // the position of waiting[0]
    bool out_short = false;            // OUT ended before a stretch did
};

// The expected samples that come out of the limiter against the OUT
// samples waiting for them; n expected samples, none (null) to empty it.
void compare_limited(pairing& p, const std::int16_t* expected, std::size_t n) {
    std::vector<std::int16_t> limited(n);
    agc::limiter_process(*p.post, expected, limited.data(), static_cast<int>(n));
    std::size_t k = std::min<std::size_t>(static_cast<std::size_t>(p.to_drop), n);
    p.to_drop -= static_cast<std::int64_t>(k);
    for (; k < n; ++k) {
        if (p.waiting.empty()) {
            if (p.r.first_difference == NO_DIFFERENCE && p.out_short) p.r.first_difference = p.waiting_from;
            ++p.waiting_from;
            continue;
        }
        if (p.r.first_difference == NO_DIFFERENCE && p.waiting.front() != limited[k]) p.r.first_difference = p.waiting_from;
        p.waiting.pop_front();
        ++p.waiting_from;
    }
}

// Reads `count` samples of OUT where zek writes `expected`, and notes the
// first difference. Returns how many OUT held.
std::size_t read_output(pairing& p, const std::int16_t* expected, std::int16_t* actual, std::size_t count) {
    bool odd = false;
    int err = 0;
    const std::size_t got = read_samples(p.out_fd, actual, count, odd, err);
    if (err != 0) p.failure = {err, true, {}};
    const std::size_t at = p.r.out_samples;
    p.r.out_samples += got;
    if (p.post != nullptr) {
        p.waiting.insert(p.waiting.end(), actual, actual + got);
        if (got < count || odd) p.out_short = true;
        compare_limited(p, expected, count);
        return got;
    }
    if (p.r.first_difference == NO_DIFFERENCE) {
        const auto mismatch = std::mismatch(expected, expected + got, actual).first;
        if (mismatch != expected + got || got < count || odd) {
            p.r.first_difference = at + static_cast<std::size_t>(mismatch - expected);
        }
    }
    return got;
}

void note_gain(second_levels& s, std::int16_t a, std::int16_t b) {
    s.gain_min = std::min({s.gain_min, a, b});
    s.gain_max = std::max({s.gain_max, a, b});
}

// Adds one stretch (the lead-in or a hop) to the plot's slots.
void add_to_plot(report& r, const plot_slot& pt) {
    if (r.slot_count > 0 && r.slots[r.slot_count - 1].hops < r.hops_per_slot) {
        plot_slot& last = r.slots[r.slot_count - 1];
        last.end = pt.end;
        last.in_peak = std::max(last.in_peak, pt.in_peak);
        last.out_peak = std::max(last.out_peak, pt.out_peak);
        last.gain_sum += pt.gain_sum;
        last.hops += pt.hops;
        last.in_short = std::max(last.in_short, pt.in_short);
        last.out_short = std::max(last.out_short, pt.out_short);
        return;
    }
    if (r.slot_count == PLOT_SLOTS) { // full: merge neighbours, each slot now takes twice as many hops
        for (std::size_t k = 0; k < PLOT_SLOTS / 2; ++k) {
            const plot_slot& a = r.slots[2 * k];
            const plot_slot& b = r.slots[2 * k + 1];
            r.slots[k] = {a.start, b.end, std::max(a.in_peak, b.in_peak), std::max(a.out_peak, b.out_peak),
                          a.gain_sum + b.gain_sum, a.hops + b.hops, a.weight_sum + b.weight_sum,
                          a.weighted_hops + b.weighted_hops, std::max(a.in_short, b.in_short),
                          std::max(a.out_short, b.out_short)};
        }
        r.slot_count = PLOT_SLOTS / 2;
        r.hops_per_slot *= 2;
    }
    r.slots[r.slot_count++] = pt;
}

// Reads on to the end of IN and of OUT, counting what is left.
void drain(pairing& p) {
    std::int16_t scratch[MAX_READ];
    bool odd = false;
    for (int err = 0;;) {
        const std::size_t n = read_samples(p.in_fd, scratch, MAX_READ, odd, err);
        p.r.in_samples += n;
        if (err != 0) p.failure = {err, false, {}};
        if (n < MAX_READ) break;
    }
    // Anything in OUT past what zek writes is a difference.
    for (int err = 0;;) {
        const std::size_t n = read_samples(p.out_fd, scratch, MAX_READ, odd, err);
        if ((n > 0 || odd) && p.r.first_difference == NO_DIFFERENCE) p.r.first_difference = p.r.out_samples;
        p.r.out_samples += n;
        if (err != 0) p.failure = {err, true, {}};
        if (n < MAX_READ) break;
    }
}

// The short-term loudness, once 3 s have been measured.
double short_term(const agc_loudness* m) {
    int32_t v = AGC_LOUDNESS_NONE;
    if (agc_loudness_steps(m) >= 30) agc_loudness_shortterm(m, &v);
    return v == AGC_LOUDNESS_NONE ? -HUGE_VAL : v / 1000.0;
}

} // namespace

void free_loudness(report& r) {
    agc_loudness_destroy(r.in_meter);
    agc_loudness_destroy(r.out_meter);
    r.in_meter = r.out_meter = nullptr;
}

void end_second(report& r, std::FILE* rows) {
    if (r.second.samples > 0 && rows != nullptr) print_row(rows, r.second_index, r.second);
    r.second = second_levels{};
}

void account(report& r, std::FILE* rows, std::size_t start, const std::int16_t* in, const std::int16_t* out,
             std::size_t frames, std::size_t out_frames, std::int16_t gain_from, std::int16_t gain_to,
             std::int32_t weight) {
    const auto rate = static_cast<std::size_t>(r.rate), channels = static_cast<std::size_t>(r.channels);
    if (r.measured != nullptr) r.measured->store(start + frames, std::memory_order_relaxed);
    plot_slot pt{start, start + frames, 0, 0, (gain_db(gain_from) + gain_db(gain_to)) / 2, 1};
    if (weight != NO_WEIGHT) {
        pt.weight_sum = weight / 32767.0;
        pt.weighted_hops = 1;
        r.weight_lowest = std::min(r.weight_lowest, static_cast<std::int16_t>(weight));
        r.weight_highest = std::max(r.weight_highest, static_cast<std::int16_t>(weight));
    }
    for (std::size_t j = 0; j < frames; ++j) {
        const std::size_t second = (start + j) / rate;
        if (second != r.second_index) {
            end_second(r, rows);
            r.second_index = second;
        }
        second_levels& s = r.second;
        if (j == 0 || (start + j) % rate == 0) note_gain(s, gain_from, gain_to);
        for (std::size_t k = j * channels; k < (j + 1) * channels; ++k) {
            const double x = std::abs(double(in[k]));
            s.in_peak = std::max(s.in_peak, x);
            s.in_square_sum += x * x;
            pt.in_peak = std::max(pt.in_peak, x);
            ++s.samples;
            if (j < out_frames) {
                const double y = std::abs(double(out[k]));
                s.out_peak = std::max(s.out_peak, y);
                s.out_square_sum += y * y;
                pt.out_peak = std::max(pt.out_peak, y);
                ++s.out_samples;
            }
        }
    }
    if (r.in_meter == nullptr) {
        r.in_meter = agc_loudness_create(r.rate, r.channels, AGC_LOUDNESS_MODE_ALL, nullptr);
        r.out_meter = agc_loudness_create(r.rate, r.channels, AGC_LOUDNESS_MODE_ALL, nullptr);
    }
    if (r.in_meter != nullptr && r.out_meter != nullptr) {
        agc_loudness_add_frames(r.in_meter, in, frames);
        agc_loudness_add_frames(r.out_meter, out, out_frames);
        pt.in_short = short_term(r.in_meter);
        pt.out_short = short_term(r.out_meter);
    }
    add_to_plot(r, pt);
    r.gain_lowest = std::min({r.gain_lowest, gain_from, gain_to});
    r.gain_highest = std::max({r.gain_highest, gain_from, gain_to});
    r.covered_samples = start + frames;
}

read_failure measure(int in_fd, int out_fd, report& r, std::FILE* rows, const run_options& options) {
    r = report{};
    pairing p(in_fd, out_fd, r);
    bool odd = false;
    int err = 0;
    std::vector<unsigned char> post_memory;
    if (after_levelling(options)) {
        post_memory.resize(agc::limiter_size(1) + 64);
        p.post = reinterpret_cast<agc::limiter*>((reinterpret_cast<std::uintptr_t>(post_memory.data()) + 63) & ~std::uintptr_t{63});
        agc::limiter_init(*p.post, sample_rate, 1, options.limit ? options.ceiling_mdb : 0);
        agc::limiter_set_gain(*p.post, options.gain_mdb, 0);
        p.to_drop = p.post->latency;
    }

    // The lead-in is copied unchanged: unity gain.
    std::int16_t lead_in[LEAD], lead_out[LEAD];
    const std::size_t lead = read_samples(in_fd, lead_in, LEAD, odd, err);
    if (err != 0) return {err, false, {}};
    r.in_samples = lead;
    r.expected_samples = lead;
    const std::size_t lead_got = read_output(p, lead_in, lead_out, lead);
    if (p.failure.err != 0) return p.failure;
    if (lead > 0) account(r, rows, 0, lead_in, lead_out, lead, lead_got, 256, 256, NO_WEIGHT);

    agc_state state;
    agc_speech speech;
    agc_frame frame{};
    init_engine(state);
    // The speech-aware mode looks ahead as zek does: call h emits input hop
    // h - 1 - ahead, the first `ahead` calls emit nothing zek writes, and
    // silent hops after the input's last bring out the hops still held.
    const int ahead = speech_ahead(options);
    std::vector<unsigned char> storage(agc_speech_storage(ahead));
    agc_speech_init_ahead(speech, static_cast<std::int16_t>(winsize), ahead, storage.data());
    const std::size_t slots = static_cast<std::size_t>(ahead) + 2;
    std::vector<std::int16_t> held(slots * HOP); // the input hops until they come out
    std::int16_t actual[HOP];
    std::int16_t prev_gain = 0, prev_weight = 0;
    std::size_t hops_in = 0;
    bool ended = false;
    for (std::size_t h = 0; lead == LEAD; ++h) {
        if (!ended) {
            const std::size_t n = read_samples(in_fd, frame.in, HOP, odd, err);
            r.in_samples += n;
            if (err != 0) return {err, false, {}};
            ended = n < HOP; // a partial hop is never processed
        }
        if (ended) {
            if (h >= hops_in + static_cast<std::size_t>(ahead)) break;
            std::fill_n(frame.in, HOP, std::int16_t{0});
        } else {
            ++hops_in;
        }
        const std::int16_t hop_mix = hop_weight(options, h);
        const std::int16_t gain = options.speech ? agc_process_speech(frame, state, speech, hop_mix) : agc_process(frame, state, hop_mix);
        const std::int16_t weight = options.speech ? agc_speech_weight(speech, hop_mix) : hop_mix;
        std::copy_n(frame.in, HOP, held.begin() + static_cast<std::ptrdiff_t>(h % slots * HOP));
        if (h < static_cast<std::size_t>(ahead)) continue;
        const std::size_t k = h - static_cast<std::size_t>(ahead); // the output hop this call gives
        r.expected_samples += HOP;
        // Call h emits input hop k-1 (the first hop out is silence) under a
        // gain that crossfades from the gain of the call before to this one's.
        const std::size_t got = read_output(p, frame.out, actual, HOP);
        if (p.failure.err != 0) return p.failure;
        if (k > 0) {
            account(r, rows, LEAD + (k - 1) * HOP, held.data() + (h + slots - 1 - static_cast<std::size_t>(ahead)) % slots * HOP,
                    actual, HOP, got, prev_gain, gain, prev_weight);
        }
        prev_gain = gain;
        prev_weight = weight;
    }
    if (p.post != nullptr) {
        compare_limited(p, nullptr, static_cast<std::size_t>(p.post->latency));
        if (!p.waiting.empty() && p.r.first_difference == NO_DIFFERENCE) p.r.first_difference = p.waiting_from;
    }
    drain(p);
    end_second(r, rows);
    return p.failure;
}

double dbfs(double magnitude) {
    if (magnitude <= 0) return -std::numeric_limits<double>::infinity();
    return 20.0 * std::log10(magnitude / 32768.0);
}

double gain_db(std::int16_t gain) {
    if (gain <= 0) return -std::numeric_limits<double>::infinity();
    return 20.0 * std::log10(gain / 256.0);
}

} // namespace zek
