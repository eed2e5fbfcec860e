// The target's passes. The first is a whole run of the tool into
// /dev/null, with a probe that keeps what it would write: the levelled
// recording, held in memory where it fits, and measured as the run fills
// it. The passes after it work from there: the gain alone is written from
// memory, and the limiter limits the held recording in place, measured as
// it goes, until the loudness is close enough, and that is written. Where
// the recording is too long to hold, or a pass under the limiter misses
// (the held recording is then limited already), each pass is again a whole
// run that levels it, measured as it writes (taken back until one is close
// enough; an output that cannot be taken back, a pipe or standard output,
// is measured into /dev/null first, and written once). The bytes are the
// same either way.
#include "zek/loudness_run.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agc/limiter.h"
#include "agc/loudness.h"
#include "audio/recording.h"
#include "zek/held_passes.h"
#include "zek/held_recording.h"
#include "zek/limiter_storage.h"

namespace zek {

namespace {

// Within this of the target, a measured gain is kept: another pass costs a
// whole run under the limiter, for a difference far under what a listener
// can tell, and half the tenth of an LU a delivery check allows (the meter
// agrees with libebur128's and ffmpeg's within a hundredth, which leaves
// the rest of that tenth to spare).
constexpr std::int32_t CLOSE_ENOUGH_MILLI = 50;
// On the sample, whose looks cost a few hundredths of a pass, the search
// goes closer: the sample itself misses the whole recording by a few
// hundredths of an LU, and a gain taken at the edge of CLOSE_ENOUGH_MILLI
// on the sample would miss it on the recording, at the cost of a whole
// pass more.
constexpr std::int32_t CLOSE_ON_SAMPLE_MILLI = 10;
// Measures under the limiter, at most: the last one's gain is kept.
constexpr int LOOKS = 6;
constexpr int SAMPLE_LOOKS = 10;

// A pipe's bytes in a temporary file, removed at the end.
struct spooled {
    std::string path;
    bool temporary = false;
    spooled() = default;
    spooled(const spooled&) = delete;
    spooled& operator=(const spooled&) = delete;
    ~spooled() {
        if (temporary) unlink(path.c_str());
    }
};

run_result spool(const char* inp_path, spooled& sp) {
    input_file f;
    if (const int err = input_open(f, inp_path)) return failed(run_failure::input, "cannot open", inp_path, err);
    if (const int err = input_check(f)) {
        input_close(f);
        return failed(run_failure::input, "cannot read", inp_path, err);
    }
    if (S_ISREG(f.st.st_mode)) {
        input_close(f);
        sp.path = inp_path;
        return {};
    }
    const char* dir = std::getenv("TMPDIR");
    std::string name = std::string(dir && *dir ? dir : "/tmp") + "/zek-spool-XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        const int err = errno;
        input_close(f);
        return failed(run_failure::input, "cannot read", inp_path,
                      words({"a piped input is kept in a temporary file to be read more than once, and ", name,
                             " cannot be made: ", std::strerror(err)}));
    }
    sp.path = name;
    sp.temporary = true;
    char buf[1 << 16];
    for (;;) {
        const ssize_t n = read_some(f.fd, buf, sizeof buf);
        if (n < 0) {
            const int err = errno;
            input_close(f);
            close(fd);
            return failed(run_failure::input, "cannot read", inp_path, err);
        }
        if (n == 0) break;
        if (!write_all(fd, buf, static_cast<std::size_t>(n))) {
            const int err = errno;
            input_close(f);
            close(fd);
            return failed(run_failure::input, "cannot read", inp_path,
                          words({"a piped input is kept in ", name, " to be read more than once, which cannot be written: ",
                                 std::strerror(err)}));
        }
    }
    input_close(f);
    if (close(fd) != 0) return failed(run_failure::input, "cannot read", inp_path, errno);
    return {};
}

struct measured {
    std::int32_t lufs = AGC_LOUDNESS_NONE, peak = AGC_LOUDNESS_NONE; // integrated, and sample peak
    std::int32_t true_peak = AGC_LOUDNESS_NONE;                       // where it was asked for
};

// The largest of a peak over the channels (AGC_LOUDNESS_NONE: none had one).
template <typename Read>
std::int32_t largest_over_channels(agc_loudness* meter, Read read) {
    std::int32_t most = AGC_LOUDNESS_NONE, channel = 0;
    for (int c = 0; read(meter, c, &channel) == 0; ++c) {
        if (channel != AGC_LOUDNESS_NONE && (most == AGC_LOUDNESS_NONE || channel > most)) most = channel;
    }
    return most;
}

// (The true peak from either meter that has one, the larger.)
measured figures_of(agc_loudness* meter, agc_loudness* peak_meter = nullptr) {
    measured m;
    if (meter == nullptr) return m;
    agc_loudness_integrated(meter, &m.lufs);
    m.peak = largest_over_channels(meter, agc_loudness_sample_peak);
    m.true_peak = largest_over_channels(meter, agc_loudness_true_peak);
    if (peak_meter != nullptr) {
        const std::int32_t more = largest_over_channels(peak_meter, agc_loudness_true_peak);
        if (more != AGC_LOUDNESS_NONE && (m.true_peak == AGC_LOUDNESS_NONE || more > m.true_peak)) m.true_peak = more;
    }
    return m;
}

void drop_meters(loudness_probe& probe) {
    agc_loudness_destroy(probe.meter);
    agc_loudness_destroy(probe.input_meter);
    agc_loudness_destroy(probe.peak_meter);
    probe.meter = probe.input_meter = probe.peak_meter = nullptr;
}

measured read_probe(loudness_probe& probe) {
    const measured m = figures_of(probe.meter, probe.peak_meter);
    drop_meters(probe);
    return m;
}

// A sample of the levelled recording, kept as the first measure writes it:
// one stretch of 2^16 samples (1.4 s of mono at 48 kHz; never under 1024
// frames) in every 16, and where that grows past KEPT_MOST samples, one in
// every 32, 64... (every other kept stretch let go), so that a recording of
// any length keeps a few MiB spread over all of it.
constexpr std::int64_t STRETCH_SAMPLES = std::int64_t{1} << 16;
constexpr std::size_t KEPT_MOST = std::size_t{1} << 22;
constexpr std::int64_t stretch_frames(int channels) { return std::max<std::int64_t>(1024, STRETCH_SAMPLES / channels); }
struct kept_sample {
    int channels = 0;
    std::int64_t every = 16; // stretches: one kept in `every`
    std::int64_t seen = 0;   // frames
    std::vector<std::int16_t> samples; // the kept stretches, one after another
};

void keep(void* context, const std::int16_t* x, std::size_t frames, int channels) {
    kept_sample& k = *static_cast<kept_sample*>(context);
    k.channels = channels;
    // Room for the most it keeps before it thins, taken at once: grown step
    // by step, the vector would copy itself and fault in fresh pages again
    // and again on the thread that measures.
    if (k.samples.capacity() == 0) k.samples.reserve(KEPT_MOST + static_cast<std::size_t>(STRETCH_SAMPLES) + 2048);
    const auto nc = static_cast<std::size_t>(channels);
    const std::int64_t frames_each = stretch_frames(channels);
    for (std::size_t done = 0; done < frames;) {
        const std::int64_t in_stretch = k.seen % frames_each;
        const std::size_t n = std::min<std::size_t>(frames - done, static_cast<std::size_t>(frames_each - in_stretch));
        if ((k.seen / frames_each) % k.every == 0) k.samples.insert(k.samples.end(), x + done * nc, x + (done + n) * nc);
        done += n;
        k.seen += static_cast<std::int64_t>(n);
        if (k.samples.size() > KEPT_MOST) { // thinned: the kept stretches 0, 2, 4... of those so far
            const auto stretch = static_cast<std::size_t>(frames_each) * nc;
            std::size_t to = 0;
            for (std::size_t from = 0; from < k.samples.size(); from += 2 * stretch) {
                const std::size_t len = std::min(stretch, k.samples.size() - from);
                std::copy(k.samples.begin() + static_cast<std::ptrdiff_t>(from),
                          k.samples.begin() + static_cast<std::ptrdiff_t>(from + len),
                          k.samples.begin() + static_cast<std::ptrdiff_t>(to));
                to += len;
            }
            k.samples.resize(to);
            k.every *= 2;
        }
    }
}

// What the first measure watches: a sample for the looks, and the whole;
// and what it found of the run (the rate, the limiter's lead), with the
// meter of the input where the caller's probe asks for one.
struct first_watch {
    kept_sample sample;
    held_recording held;
    follower measuring;
    const loudness_probe* probe = nullptr; // the measure's, for the rate
    int rate = 0;
    std::int64_t lead = 0;
    agc_loudness* input_meter = nullptr;
    // Set before the measure where the recording is expected to be held:
    // its true peak is then measured afterwards, in memory, and only where
    // the decision needs it.
    bool expect_held = false;
    first_watch() = default;
    first_watch(const first_watch&) = delete;
    first_watch& operator=(const first_watch&) = delete;
    ~first_watch() { agc_loudness_destroy(input_meter); }
};

// The sample on the writer's thread, the whole on the run's: the copy and
// its fresh pages would hold up the writer's meter, the longer work.
void keep_first(void* context, const std::int16_t* x, std::size_t frames, int channels) {
    keep(&static_cast<first_watch*>(context)->sample, x, frames, channels);
}
void hold_first(void* context, const std::int16_t* x, std::size_t frames, int channels) {
    auto& w = *static_cast<first_watch*>(context);
    hold(w.held, w.measuring, w.probe->rate, x, frames, channels);
}

// One run into /dev/null, to learn what it would write.
run_result measure(const std::string& path, const char* inp_path, run_options o, measured& m, first_watch* first = nullptr) {
    loudness_probe probe;
    probe.discard = true;
    // The first measure: whether the limiter will rest.
    probe.true_peak = first != nullptr && !first->expect_held;
    if (first != nullptr) {
        first->probe = &probe;
        probe.watch = keep_first, probe.take = hold_first, probe.watch_context = first;
        // The input is read by this measure alone where the recording is held.
        probe.input = o.probe != nullptr && o.probe->input;
    }
    // Where the whole is held, it is measured afterwards, in memory, in two
    // parts at once: the run has then only the levelling to do.
    probe.output = first == nullptr || !first->expect_held;
    o.probe = &probe;
    output_file sink;
    run_result r = finish_files(sink, run_files(path.c_str(), "/dev/null", sink, o), true);
    if (first != nullptr) {
        first->probe = nullptr; // the run's, gone
        first->rate = r.stats.rate;
        first->lead = probe.limiter_lead;
        first->input_meter = probe.input_meter;
        probe.input_meter = nullptr;
        const held_recording& h = first->held;
        if (!probe.output && r.status == EXIT_OK && h.complete()) {
            probe.meter = finish_following(first->measuring, h, r.stats.rate);
        }
        stop_following(first->measuring);
    }
    m = read_probe(probe);
    if (r.status != EXIT_OK && r.failure == run_failure::input) r.path = inp_path;
    return r;
}

std::int32_t clamp_gain(std::int64_t milli) { return static_cast<std::int32_t>(milli > 48000 ? 48000 : milli < -48000 ? -48000 : milli); }

// The search for the gain that takes the limited recording to the target.
// The loudness rises with the gain, ever more slowly as the limiter takes
// more: from the measures on one side of the target, the next gain follows
// the slope through the last two, stretched by half again (a step to the
// slope alone falls short on a curve that bends over, pass after pass);
// once measures lie on both sides, it follows the line between the nearest
// on either side, and so stays between them.
struct gain_search {
    std::int64_t last_gain = 0, last_lufs = 0; // the last measure (the first: none, a slope of 1)
    bool measured = false;
    std::int64_t under_gain = 0, under_lufs = 0, over_gain = 0, over_lufs = 0; // the nearest on either side
    bool under = false, over = false;
    std::int64_t slope_hint = 0; // for the next step, the slope a sample found (thousandths of LU per dB); 0: none
};

// Thousandths of LU per dB of gain between two measures, held between 0.1 and 1.
std::int64_t slope_of(std::int64_t rise, std::int64_t run) {
    return run == 0 ? 1000 : std::max<std::int64_t>(100, std::min<std::int64_t>(1000, rise * 1000 / run));
}

// After a measure `m` at o.gain_mdb: true when that gain is kept (within
// `close` of the target, or no other gain to try), else o.gain_mdb is the next.
bool search_on(gain_search& s, std::int64_t target, run_options& o, const measured& m,
               std::int32_t close = CLOSE_ENOUGH_MILLI) {
    const std::int64_t gain = o.gain_mdb, off = target - m.lufs;
    if (off <= close && off >= -close) return true;
    if (off > 0 && (!s.under || m.lufs > s.under_lufs)) s.under = true, s.under_gain = gain, s.under_lufs = m.lufs;
    if (off < 0 && (!s.over || m.lufs < s.over_lufs)) s.over = true, s.over_gain = gain, s.over_lufs = m.lufs;
    std::int64_t next;
    if (s.under && s.over && s.over_lufs > s.under_lufs) {
        next = s.under_gain + (target - s.under_lufs) * (s.over_gain - s.under_gain) / (s.over_lufs - s.under_lufs);
    } else if (s.slope_hint > 0) {
        next = gain + off * 1000 / s.slope_hint;
    } else {
        const std::int64_t slope = s.measured ? slope_of(m.lufs - s.last_lufs, gain - s.last_gain) : 1000;
        next = gain + off * 1500 / slope;
    }
    s.slope_hint = 0;
    s.last_gain = gain, s.last_lufs = m.lufs, s.measured = true;
    o.gain_mdb = clamp_gain(next);
    return o.gain_mdb == gain;
}

// Stretches [first, last) of a sample under the limiter, each under one of
// its own, into `out` at their places: run on across the joins, a limiter
// would take the step from one stretch to the next for a peak and hold the
// gain down after it, a loss the recording itself never has.
struct limiting {
    const kept_sample* sample = nullptr;
    int rate = 0;
    std::int32_t ceiling_mdb = 0, gain_mdb = 0;
    std::size_t first = 0, last = 0;
    std::int16_t* out = nullptr;
};

void limit_stretches(const limiting& job) {
    const kept_sample& k = *job.sample;
    const auto nc = static_cast<std::size_t>(k.channels);
    const std::size_t frames = k.samples.size() / nc;
    const auto each = static_cast<std::size_t>(stretch_frames(k.channels));
    const owned_limiter owned(k.channels);
    agc::limiter* const l = owned.l;
    std::vector<std::int16_t> buffer(4096 * nc);
    for (std::size_t s = job.first; s < job.last; ++s) {
        const std::size_t at = s * each, length = std::min(each, frames - at);
        agc::limiter_init(*l, job.rate, k.channels, job.ceiling_mdb);
        agc::limiter_set_gain(*l, job.gain_mdb, 0);
        const auto latency = static_cast<std::size_t>(l->latency);
        const std::int16_t* x = k.samples.data() + at * nc;
        std::int16_t* y = job.out + at * nc;
        for (std::size_t done = 0; done < length + latency;) {
            const std::size_t n = std::min<std::size_t>(4096, length + latency - done);
            const std::size_t real = done < length ? std::min(n, length - done) : 0;
            agc::limiter_process(*l, x + done * nc, buffer.data(), static_cast<int>(real));
            if (real < n) agc::limiter_process(*l, nullptr, buffer.data() + real * nc, static_cast<int>(n - real));
            const std::size_t drop = done < latency ? std::min(n, latency - done) : 0;
            y = std::copy(buffer.data() + drop * nc, buffer.data() + n * nc, y);
            done += n;
        }
    }
}

void* limit_on_thread(void* job) {
    limit_stretches(*static_cast<const limiting*>(job));
    return nullptr;
}

// The sample's integrated loudness under the limiter at the options' gain
// and ceiling (none at all where !o.limit), as the written pass would make
// it: the second half of its stretches limited, and then measured, on a
// thread of its own (`limited` holds the result, kept from one look to the
// next).
std::int32_t sample_loudness(const kept_sample& k, int rate, const run_options& o, std::vector<std::int16_t>& limited) {
    const std::size_t frames = k.samples.size() / static_cast<std::size_t>(k.channels);
    if (o.limit) {
        limited.resize(k.samples.size());
        const auto each = static_cast<std::size_t>(stretch_frames(k.channels));
        const std::size_t stretches = (frames + each - 1) / each;
        limiting first{&k, rate, o.ceiling_mdb, o.gain_mdb, 0, stretches / 2, limited.data()};
        limiting second = first;
        second.first = first.last, second.last = stretches;
        pthread_t thread;
        const bool threaded = pthread_create(&thread, nullptr, limit_on_thread, &second) == 0;
        limit_stretches(first);
        if (threaded) {
            pthread_join(thread, nullptr);
        } else {
            limit_stretches(second);
        }
    }
    std::int32_t lufs = AGC_LOUDNESS_NONE;
    agc_loudness* meter = measure_held(o.limit ? limited.data() : k.samples.data(), frames, k.channels, rate, AGC_LOUDNESS_MODE_I);
    if (meter != nullptr) agc_loudness_integrated(meter, &lufs);
    agc_loudness_destroy(meter);
    return lufs;
}

// The first gain under the limiter, from the sample: the one whose loudness
// on the sample stands as far from the sample's own as the target from the
// whole recording's, found by the same search on the sample alone (each
// look a sixteenth of a pass or less). The sample misses the recording by a
// few hundredths of an LU, so s keeps the slope of the sample's curve there
// for the step after the first pass.
void estimate_from_sample(const kept_sample& k, int rate, const run_options& options, run_options& o,
                          std::int32_t level_lufs, gain_search& s) {
    if (k.channels == 0 || k.samples.size() / static_cast<std::size_t>(k.channels) < std::size_t{1} << 16) return;
    run_options plain = o;
    plain.limit = false;
    std::vector<std::int16_t> limited;
    const std::int32_t own = sample_loudness(k, rate, plain, limited);
    if (own == AGC_LOUDNESS_NONE) return;
    const std::int64_t shift = static_cast<std::int64_t>(level_lufs) - own; // the recording's loudness over the sample's
    const std::int64_t target = options.target_mlufs - shift;
    gain_search on_sample;
    run_options look = o;
    std::int64_t slope = 0;
    for (int i = 0; i < SAMPLE_LOOKS; ++i) {
        const measured m{sample_loudness(k, rate, look, limited), AGC_LOUDNESS_NONE};
        if (m.lufs == AGC_LOUDNESS_NONE) return;
        if (on_sample.measured) slope = slope_of(m.lufs - on_sample.last_lufs, look.gain_mdb - on_sample.last_gain);
        const std::int64_t at = look.gain_mdb;
        if (search_on(on_sample, target, look, m, CLOSE_ON_SAMPLE_MILLI)) break;
        if (look.gain_mdb == at) break;
    }
    o.gain_mdb = look.gain_mdb;
    s = gain_search{};
    s.slope_hint = slope;
}

// The first measure, of the levelled recording as it is, and from it the
// options of the first pass under the gain to the target: `limited` when
// the limiter may act on it (and the loudness then needs another measure).
// `silent` tells when there was no loudness to measure.
// Where the whole levelled recording is held in `watch`, o takes its frames
// from there; the result is the first measure's (what it levelled).
run_result first_look(const std::string& path, const char* inp_path, const run_options& options, run_options& o,
                      std::string& silent, std::int32_t& expected, gain_search& s, bool& limited, first_watch& watch) {
    o = options;
    o.target = false;
    o.limit = false;
    o.gain_mdb = 0;
    limited = false;
    measured level;
    const kept_sample& sample = watch.sample;
    // (A compressed input may level to twice its size and more: where it
    // outgrows the room after all, it is measured again as it is levelled.)
    struct stat st {};
    watch.held.room = std::min(room_for_held(), options.held_most);
    watch.expect_held = stat(path.c_str(), &st) == 0 && static_cast<std::size_t>(st.st_size) / 2 <= watch.held.room;
    const run_options plain = o;
    run_result levelling = measure(path, inp_path, plain, level, &watch);
    if (levelling.status != EXIT_OK) return levelling;
    const bool held = watch.held.complete();
    if (watch.expect_held && !held) { // it outgrew the room: measured as it is levelled, once more
        watch.expect_held = false;
        watch.sample = kept_sample{};
        agc_loudness_destroy(watch.input_meter);
        watch.input_meter = nullptr;
        levelling = measure(path, inp_path, plain, level, &watch);
        if (levelling.status != EXIT_OK) return levelling;
    }
    const int rate = watch.rate;
    if (held) {
        o.levelled = watch.held.memory.samples;
        o.levelled_frames = watch.held.frames();
    }
    // Under the gain to the target, held at the ceiling (0 dBTP when none is
    // asked for, so that a raised recording never clips).
    o.limit = true;
    o.ceiling_mdb = options.limit ? options.ceiling_mdb : 0;
    if (level.lufs == AGC_LOUDNESS_NONE) {
        silent = "the input has no loudness to measure (silence, or shorter than 0.4 s): it is levelled without a gain";
        return levelling;
    }
    o.gain_mdb = clamp_gain(static_cast<std::int64_t>(options.target_mlufs) - level.lufs);
    expected = static_cast<std::int32_t>(level.lufs + o.gain_mdb);
    // (The recording without the limiter is no point on the curve of the
    // limited one, whose ceiling may take loudness off at any gain.)
    s = gain_search{};
    // Where the limiter will not act, the gain is exact: no second measure.
    // (A true peak stands above the sample peak by far less than 2 dB in
    // any recording but a test signal made for it.)
    // Where every true peak under the gain stays clear of the ceiling, the
    // limiter would rest all through: the gain alone gives the same bytes,
    // without its work, and the loudness is exact. In memory that takes no
    // true peak, only a look for any point over the limiter's resting point;
    // otherwise the measure's true peak tells it. (The meter's silence,
    // AGC_LOUDNESS_NONE, is the limiter's INT32_MIN.)
    o.gain_alone = held ? held_points_under(watch.held, agc::limiter_resting_point(rate, o.ceiling_mdb, o.gain_mdb))
                        : agc::limiter_rests(rate, o.ceiling_mdb, o.gain_mdb, level.true_peak);
    limited = !o.gain_alone && level.peak != AGC_LOUDNESS_NONE && level.peak + o.gain_mdb > o.ceiling_mdb - 2000;
    if (limited) estimate_from_sample(sample, rate, options, o, level.lufs, s);
    return levelling;
}

// The pass over the held recording, in memory: limited in place under the
// gain and, where the limiter may change the loudness, measured (`meter`),
// with the search's next gain in o where it missed. True when the held
// memory now holds what is to be written; false where it must be levelled
// again (a miss, which the passes that write or measure go on with, from
// the search as it stands).
bool held_pass(first_watch& w, const run_options& options, run_options& o, gain_search& s, bool measure_each,
               std::int32_t& expected, agc_loudness*& meter) {
    const held_view h{o.levelled, o.levelled_frames, w.held.channels, w.rate, w.lead};
    const int modes = measure_each ? loudness_probe::OUTPUT_MODES : 0;
    if (!limit_held(h, o.gain_mdb, o.ceiling_mdb, w.held.memory.samples, modes, &meter)) return false;
    if (!measure_each) return true;
    const measured m = figures_of(meter);
    if (m.lufs == AGC_LOUDNESS_NONE) return true;
    expected = m.lufs;
    return search_on(s, options.target_mlufs, o, m);
}

// The measures under the limiter of a recording that is not held, by runs
// that write nothing (up to LOOKS, for far-off targets).
run_result look_under(const std::string& path, const char* inp_path, const run_options& options, run_options& o,
                      gain_search& s, std::int32_t& expected) {
    for (int look = 0; look < LOOKS; ++look) {
        measured under;
        if (run_result r = measure(path, inp_path, o, under); r.status != EXIT_OK) return r;
        if (under.lufs == AGC_LOUDNESS_NONE) break;
        expected = under.lufs;
        if (look == LOOKS - 1 || search_on(s, options.target_mlufs, o, under)) break;
    }
    return {};
}

// The options of the pass that writes, measured from the recording at
// `path` (inp_path is its name for messages) without writing: the limiter
// takes some loudness off, measured under the gain and corrected. Where the
// recording is held, `limited` is set when its memory holds it limited,
// ready to be written, with `meter` its measure. The result is the first
// measure's.
run_result decide(const std::string& path, const char* inp_path, const run_options& options, run_options& o,
                  std::string& silent, std::int32_t& expected, first_watch& watch, bool& limited, agc_loudness*& meter) {
    gain_search s;
    bool under_limiter = false;
    limited = false;
    run_result levelling = first_look(path, inp_path, options, o, silent, expected, s, under_limiter, watch);
    if (levelling.status != EXIT_OK) return levelling;
    if (o.levelled != nullptr && !o.gain_alone) limited = held_pass(watch, options, o, s, under_limiter, expected, meter);
    if (o.levelled != nullptr && !o.gain_alone && !limited) {
        o.levelled = nullptr; // levelled again, under the limiter
        agc_loudness_destroy(meter);
        meter = nullptr;
        if (under_limiter) {
            if (run_result r = look_under(path, inp_path, options, o, s, expected); r.status != EXIT_OK) return r;
        }
    } else if (o.levelled == nullptr && under_limiter) {
        if (run_result r = look_under(path, inp_path, options, o, s, expected); r.status != EXIT_OK) return r;
    }
    return levelling;
}

// Whether a written output can be taken back and written again: a file
// that is renamed or copied into place only when the run succeeds.
bool can_write_again(const char* out_path) {
    output_file f;
    const bool again = output_find(f, out_path) == 0 && (f.way == output_way::replace || f.way == output_way::in_place);
    output_abandon(f);
    return again;
}

// The passes that write, each measured as it is written: the output is kept
// when its loudness is within CLOSE_ENOUGH_MILLI of the target, else taken
// back and written again under the next gain. A look that writes costs
// little more than one that does not, and the output it keeps spares the
// pass that would write it after.
run_result write_measured(const std::string& path, const char* inp_path, const char* out_path, output_file& out,
                          const run_options& options, run_options& o, gain_search& s, std::int32_t& expected) {
    // The caller's probe (a batch's record of the loudness) measures the
    // output that is kept; each pass before it is measured by the same one.
    loudness_probe own;
    loudness_probe& probe = options.probe != nullptr ? *options.probe : own;
    run_result r;
    for (int pass = 0;; ++pass) {
        drop_meters(probe);
        o.probe = &probe;
        r = run_files(path.c_str(), out_path, out, o);
        if (r.status != EXIT_OK) {
            if (r.failure == run_failure::input) r.path = inp_path;
            break;
        }
        const measured written = figures_of(probe.meter);
        if (written.lufs == AGC_LOUDNESS_NONE) break;
        expected = written.lufs;
        if (pass == LOOKS - 1 || search_on(s, options.target_mlufs, o, written)) break;
        output_abandon(out);
    }
    o.probe = options.probe;
    drop_meters(own);
    return r;
}

} // namespace

run_result loudness_options(const char* inp_path, const run_options& options, run_options& writing) {
    spooled sp;
    if (run_result r = spool(inp_path, sp); r.status != EXIT_OK) return r;
    std::string silent;
    std::int32_t expected = 0;
    first_watch watch;
    bool limited = false;
    agc_loudness* meter = nullptr;
    run_result r = decide(sp.path, inp_path, options, writing, silent, expected, watch, limited, meter);
    agc_loudness_destroy(meter);
    writing.levelled = nullptr; // held no longer: the caller levels for itself
    writing.levelled_frames = 0;
    return r;
}

run_result run_to_loudness(const char* inp_path, const char* out_path, output_file& out, const run_options& options) {
    spooled sp;
    if (run_result r = spool(inp_path, sp); r.status != EXIT_OK) return r;
    run_options o;
    std::string silent;
    std::int32_t expected = AGC_LOUDNESS_NONE; // the loudness of what is written, as the last measure found it
    run_result r;
    first_watch watch;
    bool limited = false; // the held memory holds the limited recording
    agc_loudness* meter = nullptr;
    run_result levelling;
    gain_search s;
    bool under_limiter = false;
    const bool again = can_write_again(out_path);
    if (again) {
        levelling = first_look(sp.path, inp_path, options, o, silent, expected, s, under_limiter, watch);
        if (levelling.status == EXIT_OK && o.levelled != nullptr && !o.gain_alone) {
            limited = held_pass(watch, options, o, s, under_limiter, expected, meter);
            if (!limited) { // levelled again from here, in the passes that write
                o.levelled = nullptr;
                agc_loudness_destroy(meter);
                meter = nullptr;
            }
        }
    } else {
        levelling = decide(sp.path, inp_path, options, o, silent, expected, watch, limited, meter);
    }
    if (levelling.status != EXIT_OK) {
        agc_loudness_destroy(meter);
        return levelling;
    }
    run_options writing = o;
    if (limited) { // written as it is
        writing.gain_mdb = 0;
        writing.limit = false;
        writing.gain_alone = false;
        writing.probe = nullptr;
    }
    if (again && o.levelled == nullptr && under_limiter) {
        r = write_measured(sp.path, inp_path, out_path, out, options, o, s, expected);
    } else {
        r = run_files(sp.path.c_str(), out_path, out, writing);
        if (r.status != EXIT_OK && r.failure == run_failure::input) r.path = inp_path;
    }
    if (r.status != EXIT_OK) {
        agc_loudness_destroy(meter);
        return r;
    }
    if (o.levelled != nullptr) {
        // Written from memory: what was levelled, and the input's loudness,
        // are the first measure's; the output's is the pass's where it
        // measured it.
        r.stats.frames = levelling.stats.frames;
        r.stats.gain = levelling.stats.gain;
        if (loudness_probe* p = options.probe) {
            if (limited) {
                if (meter == nullptr) {
                    meter = measure_held(watch.held.memory.samples, watch.held.frames(), watch.held.channels, watch.rate,
                                         loudness_probe::OUTPUT_MODES);
                }
                agc_loudness_destroy(p->meter);
                p->meter = meter;
                meter = nullptr;
            }
            if (p->input) {
                agc_loudness_destroy(p->input_meter);
                p->input_meter = watch.input_meter;
                watch.input_meter = nullptr;
            }
        }
    }
    agc_loudness_destroy(meter);
    const auto words_of = [](std::int32_t milli) {
        char text[16];
        std::snprintf(text, sizeof text, "%.1f", milli / 1000.0);
        return std::string(text);
    };
    std::string note = silent;
    if (silent.empty() && expected != AGC_LOUDNESS_NONE &&
        std::abs(static_cast<std::int64_t>(expected) - options.target_mlufs) > 100) {
        note = words({"the output's integrated loudness is ", words_of(expected), " LUFS, not the target's ",
                      words_of(options.target_mlufs), ": the ceiling of ", words_of(o.ceiling_mdb),
                      " dBTP holds it down"});
    }
    if (!note.empty()) r.note = r.note.empty() ? note : r.note + "; " + note;
    return r;
}

} // namespace zek
