// The target's passes. Each pass is a whole run of the tool, into
// /dev/null for the measuring ones, with a probe that measures what the run
// writes: so the gain is decided on exactly what zek writes, for raw
// samples and audio files alike, with every option.
#include "zek/loudness_run.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "agc/loudness.h"
#include "audio/recording.h"

namespace zek {

namespace {

// Within this of the target, a look's gain is kept: another would move the
// loudness by less than its own measuring's rounding.
constexpr std::int32_t CLOSE_ENOUGH_MILLI = 10;

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
};

measured read_probe(loudness_probe& probe) {
    measured m;
    if (probe.meter == nullptr) return m;
    agc_loudness_integrated(probe.meter, &m.lufs);
    int32_t channels = 0;
    for (int c = 0; agc_loudness_sample_peak(probe.meter, c, &channels) == 0; ++c) {
        if (channels != AGC_LOUDNESS_NONE && (m.peak == AGC_LOUDNESS_NONE || channels > m.peak)) m.peak = channels;
    }
    agc_loudness_destroy(probe.meter);
    probe.meter = nullptr;
    return m;
}

// One run into /dev/null, to learn what it would write.
run_result measure(const std::string& path, const char* inp_path, run_options o, measured& m) {
    loudness_probe probe;
    o.probe = &probe;
    output_file sink;
    run_result r = finish_files(sink, run_files(path.c_str(), "/dev/null", sink, o), true);
    m = read_probe(probe);
    if (r.status != EXIT_OK && r.failure == run_failure::input) r.path = inp_path;
    return r;
}

std::int32_t clamp_gain(std::int64_t milli) { return static_cast<std::int32_t>(milli > 48000 ? 48000 : milli < -48000 ? -48000 : milli); }

// The options of the pass that writes: measured from the recording at
// `path` (inp_path is its name for messages). `silent` tells when there was
// no loudness to measure.
run_result decide(const std::string& path, const char* inp_path, const run_options& options, run_options& o,
                  std::string& silent, std::int32_t& expected) {
    // The levelled recording as it is.
    o = options;
    o.target = false;
    o.limit = false;
    o.gain_mdb = 0;
    measured level;
    if (run_result r = measure(path, inp_path, o, level); r.status != EXIT_OK) return r;
    // Under the gain to the target, held at the ceiling (0 dBTP when none is
    // asked for, so that a raised recording never clips).
    o.limit = true;
    o.ceiling_mdb = options.limit ? options.ceiling_mdb : 0;
    if (level.lufs == AGC_LOUDNESS_NONE) {
        silent = "the input has no loudness to measure (silence, or shorter than 0.4 s): it is levelled without a gain";
        return {};
    }
    o.gain_mdb = clamp_gain(static_cast<std::int64_t>(options.target_mlufs) - level.lufs);
    expected = static_cast<std::int32_t>(level.lufs + o.gain_mdb);
    // Where the limiter will not act, the gain is exact: no second look.
    // (A true peak stands above the sample peak by far less than 2 dB in
    // any recording but a test signal made for it.)
    const bool limited = level.peak != AGC_LOUDNESS_NONE && level.peak + o.gain_mdb > o.ceiling_mdb - 2000;
    // The limiter takes some loudness off: measured under the gain and
    // corrected, by the secant through the last two looks when the
    // limiter takes ever more (up to four looks, for far-off targets).
    std::int64_t gain_before = 0, lufs_before = level.lufs;
    std::int64_t looked_at = INT64_MIN; // the gain the last look measured under
    for (int look = 0; limited && look < 4; ++look) {
        measured under;
        if (run_result r = measure(path, inp_path, o, under); r.status != EXIT_OK) return r;
        if (under.lufs == AGC_LOUDNESS_NONE) break;
        looked_at = o.gain_mdb;
        expected = under.lufs;
        const std::int64_t off = static_cast<std::int64_t>(options.target_mlufs) - under.lufs;
        if (off <= CLOSE_ENOUGH_MILLI && off >= -CLOSE_ENOUGH_MILLI) break;
        const std::int64_t rise = under.lufs - lufs_before, run = o.gain_mdb - gain_before;
        // thousandths of LU per dB of gain, between 0.1 and 1
        const std::int64_t slope = run == 0 ? 1000 : std::max<std::int64_t>(100, std::min<std::int64_t>(1000, rise * 1000 / run));
        gain_before = o.gain_mdb;
        lufs_before = under.lufs;
        o.gain_mdb = clamp_gain(o.gain_mdb + off * 1000 / slope);
        if (o.gain_mdb == gain_before) break;
    }
    // Where the looks ran out with a gain none of them measured (a target
    // the ceiling keeps out of reach), what is written is measured too, so
    // that the note tells how far off it is.
    if (looked_at != INT64_MIN && looked_at != o.gain_mdb) {
        measured last;
        if (run_result r = measure(path, inp_path, o, last); r.status != EXIT_OK) return r;
        if (last.lufs != AGC_LOUDNESS_NONE) expected = last.lufs;
    }
    return {};
}

} // namespace

run_result loudness_options(const char* inp_path, const run_options& options, run_options& writing) {
    spooled sp;
    if (run_result r = spool(inp_path, sp); r.status != EXIT_OK) return r;
    std::string silent;
    std::int32_t expected = 0;
    return decide(sp.path, inp_path, options, writing, silent, expected);
}

run_result run_to_loudness(const char* inp_path, const char* out_path, output_file& out, const run_options& options) {
    spooled sp;
    if (run_result r = spool(inp_path, sp); r.status != EXIT_OK) return r;
    run_options o;
    std::string silent;
    std::int32_t expected = AGC_LOUDNESS_NONE; // the loudness of what is written, as the last look found it
    if (run_result r = decide(sp.path, inp_path, options, o, silent, expected); r.status != EXIT_OK) return r;
    run_result r = run_files(sp.path.c_str(), out_path, out, o);
    if (r.status != EXIT_OK) {
        if (r.failure == run_failure::input) r.path = inp_path;
        return r;
    }
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
