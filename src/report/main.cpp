// zek-report IN OUT [PLOT.svg]: what zek did to a recording, second by second,
// and optionally as a plot.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "audio/recording.h"
#include "report/audio_pair.h"
#include "report/levels.h"
#include "report/svg.h"
#include "report/table.h"
#include "zek/loudness_run.h"
#include "zek/options.h"

#ifndef ZEK_VERSION
#define ZEK_VERSION "0.0.0"
#endif

namespace {

enum report_status : int {
    REPORT_OK = 0,
    REPORT_FILE_ERROR = 1, // IN or OUT cannot be read, or the plot cannot be written
    REPORT_USAGE = 2,
    REPORT_MISMATCH = 3, // OUT is not what zek makes of IN (the report is still printed)
};

constexpr const char* USAGE =
    "usage: zek-report [OPTIONS] IN OUT [PLOT.svg]\n"
    "  IN       the recording zek was given: an audio file (WAV, FLAC, AIFF, ...) or\n"
    "           raw samples (16-bit little-endian mono, taken to be at 48 kHz)\n"
    "  OUT      what zek wrote for it\n"
    "  OPTIONS  --json, and the options zek was given (--speech, --live, --comp X,\n"
    "           --link, --mix FILE, --target LUFS, --true-peak DBTP, --preset NAME),\n"
    "           and --progress (on standard error even when it is no terminal) or\n"
    "           --quiet (none); by default a long file's progress shows after 1 s\n"
    "           when standard error is a terminal and the rows go elsewhere\n"
    "Runs the gain control again on IN to learn the gain of every hop, measures IN\n"
    "and OUT, and prints one row per second: input and output peak and RMS level\n"
    "in dBFS (over all channels) and the range of the gain in dB; then the\n"
    "loudness of each: integrated (LUFS), range (LU), true peak (dBTP), sample\n"
    "peak (dBFS) and the largest short-term loudness. --json prints only that, as\n"
    "one JSON object {\"input\": {...}, \"output\": {...}} with integrated_lufs,\n"
    "loudness_range_lu, true_peak_dbtp, sample_peak_dbfs, momentary_max_lufs and\n"
    "shortterm_max_lufs (null where a figure does not exist, as for silence).\n"
    "With PLOT.svg it also draws the level envelopes, the short-term loudness and\n"
    "the gain over time, and the compression weight of every hop where it is not\n"
    "constant. Exit status: 0 done, 1 a file could not be read or written, 2 bad\n"
    "arguments, 3 OUT is not what zek makes of IN with these options.\n";

// The progress of a long measurement, on standard error: from one second on,
// redrawn in place on a terminal, a line every 5 s in a log. Not when the
// rows themselves go to that terminal: they show the progress already, and
// the line would break them.
struct progress_shower {
    std::atomic<std::size_t> measured{0};
    std::size_t total = 0; // input frames, 0 when unknown (a pipe)
    int rate = 48000;
    std::mutex lock;
    std::condition_variable over;
    bool done = false;
    std::thread thread;

    void show(bool log) {
        const auto start = std::chrono::steady_clock::now();
        const auto every = log ? std::chrono::seconds(5) : std::chrono::milliseconds(200);
        bool shown = false;
        std::unique_lock<std::mutex> held(lock);
        for (auto next = start + std::chrono::seconds(1); !over.wait_until(held, next, [&] { return done; });
             next += every) {
            const double seconds = static_cast<double>(measured.load()) / rate;
            const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            char line[160];
            int n = std::snprintf(line, sizeof line, "zek-report: %.1f s", seconds);
            if (total > 0) n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), " of %.1f s (%.0f%%)",
                                              static_cast<double>(total) / rate, 100.0 * static_cast<double>(measured.load()) / static_cast<double>(total));
            std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), " measured, %.0fx real time", seconds / wall);
            std::fprintf(stderr, log ? "%s\n" : "\r\033[K%s", line);
            std::fflush(stderr);
            shown = !log;
        }
        if (shown) std::fputs("\r\033[K", stderr);
    }
    void start(bool wanted, bool log) {
        if (wanted) thread = std::thread([this, log] { show(log); });
    }
    ~progress_shower() {
        {
            const std::lock_guard<std::mutex> held(lock);
            done = true;
        }
        over.notify_all();
        if (thread.joinable()) thread.join();
    }
};

int fail(const char* what, const char* path, int err) {
    std::fprintf(stderr, "zek-report: %s '%s': %s\n", what, path, std::strerror(err));
    return REPORT_FILE_ERROR;
}

// Whether everything written to standard output so far reached it.
bool stdout_ok() { return std::fflush(stdout) == 0 && !std::ferror(stdout); }

// Opens a file to read; a directory is refused here, not at the first read.
int open_input(zek::input_file& f, const char* path) {
    const int err = zek::input_open(f, path);
    return err != 0 ? err : zek::input_check(f);
}

// Writes the plot. A path that names a file the report read (IN, OUT, the
// weight file) is refused before it is touched; an existing plot is replaced
// only when the whole plot is written.
int write_plot(const char* path, const std::string& svg, const struct stat& in_st, const struct stat& out_st,
               const struct stat* mix_st) {
    zek::output_file plot;
    if (const int err = zek::output_find(plot, path)) return fail("cannot open", path, err);
    const bool mix = plot.exists && mix_st != nullptr && zek::same_file(plot.st, *mix_st);
    if (plot.exists && (mix || zek::same_file(plot.st, in_st) || zek::same_file(plot.st, out_st))) {
        zek::output_abandon(plot);
        std::fprintf(stderr, "zek-report: '%s' is %s; the plot would overwrite it\n", path,
                     mix ? "the weight file given to --mix" : "IN or OUT");
        return REPORT_FILE_ERROR;
    }
    if (const int err = zek::output_open(plot)) return fail("cannot open", path, err);
    if (!zek::write_all(plot.fd, svg.data(), svg.size())) {
        const int err = errno;
        zek::output_abandon(plot);
        return fail("cannot write", path, err);
    }
    if (const int err = zek::output_commit(plot)) return fail("cannot write", path, err);
    return REPORT_OK;
}

int report_main(int argc, char** argv) {
    zek::reserve_standard_streams();
    // --json is the report's own, among zek's options (before "--").
    bool json = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const bool ended = std::string_view(argv[i]) == "--";
        if (!ended && std::string_view(argv[i]) == "--json") {
            json = true;
            continue;
        }
        argv[kept++] = argv[i];
        if (ended) {
            while (++i < argc) argv[kept++] = argv[i];
        }
    }
    argc = kept;
    zek::command_line cl = zek::parse_command_line(argc, argv);
    if (cl.error.empty() && (cl.help || cl.version) && argc == 2) {
        std::fputs(cl.help ? USAGE : "zek-report " ZEK_VERSION "\n", stdout);
        return stdout_ok() ? REPORT_OK : REPORT_FILE_ERROR;
    }
    if (cl.error.empty() && (cl.outdir || cl.jobs > 0 || cl.format || cl.force || cl.loudness)) {
        cl.error = "-o, -j, --format, --force and --loudness are zek's, for many files";
    }
    if (!cl.error.empty() || cl.help || cl.version || cl.paths.size() < 2 || cl.paths.size() > 3) {
        if (!cl.error.empty()) std::fprintf(stderr, "zek-report: %s\n", cl.error.c_str());
        std::fputs(USAGE, stderr);
        return REPORT_USAGE;
    }
    if (!cl.warning.empty()) std::fprintf(stderr, "zek-report: warning: %s\n", cl.warning.c_str());
    const char* in_path = cl.paths[0];
    const char* out_path = cl.paths[1];
    const char* plot_path = cl.paths.size() == 3 ? cl.paths[2] : nullptr;
    for (std::size_t k = 1; k < cl.paths.size(); ++k) {
        if (!zek::misplaced_option(cl, k)) continue;
        std::fprintf(stderr, "zek-report: warning: '%s' comes after IN, so it is taken as %s name, not an option "
                             "(options go before IN)\n", cl.paths[k], k == 1 ? "OUT's" : "the plot's");
    }
    if (const zek::run_result w = zek::read_weights(cl); w.status != zek::EXIT_OK) {
        std::fprintf(stderr, "zek-report: %s '%s': %s\n", w.what, w.path,
                     w.reason.empty() ? std::strerror(w.err) : w.reason.c_str());
        return REPORT_FILE_ERROR;
    }

    // With a target, zek measured its way to a gain first: so does the replay.
    if (cl.options.target) {
        zek::run_options writing;
        const zek::run_result w = zek::loudness_options(in_path, cl.options, writing);
        if (w.status != zek::EXIT_OK) {
            std::fprintf(stderr, "zek-report: %s '%s': %s\n", w.what, w.path,
                         w.reason.empty() ? std::strerror(w.err) : w.reason.c_str());
            return REPORT_FILE_ERROR;
        }
        cl.options = writing;
        // Where zek found the limiter at rest and applied the gain alone,
        // the replay runs the limiter all the same: its bytes are the gain's
        // there, so a difference would show that the rest was misjudged.
        cl.options.gain_alone = false;
    }

    zek::input_file in, out;
    if (const int err = open_input(in, in_path)) return fail("cannot read", in_path, err);
    if (const int err = open_input(out, out_path)) {
        zek::input_close(in);
        return fail("cannot read", out_path, err);
    }
    // Rows are printed as the seconds are measured: memory stays flat
    // whatever the length, and a live stream is reported as it goes.
    std::string refusal;
    if (const int err = zek::peek_compressed(in, in_path, refusal); err != 0 || !refusal.empty()) {
        zek::input_close(in);
        zek::input_close(out);
        if (err != 0) return fail("cannot read", in_path, err);
        std::fprintf(stderr, "zek-report: cannot read '%s': %s\n", in_path, refusal.c_str());
        return REPORT_FILE_ERROR;
    }
    static zek::report r;
    struct meters_freed {
        zek::report& r;
        ~meters_freed() { zek::free_loudness(r); }
    } freed{r};
    zek::audio_pair audio;
    const zek::container kind = zek::peek_container(in.fd, in.st);
    if (kind != zek::container::none) {
        const std::string problem = zek::open_audio_pair(audio, in, kind, out, in_path, r);
        if (!problem.empty()) {
            zek::input_close(in);
            zek::input_close(out);
            std::fprintf(stderr, "zek-report: cannot read '%s': %s\n", in_path, problem.c_str());
            return REPORT_FILE_ERROR;
        }
    }
    if (!json) zek::print_heading(stdout, r, in_path, out_path);
    std::FILE* rows = json ? nullptr : stdout;
    zek::read_failure failure;
    {
        progress_shower progress;
        progress.rate = r.rate;
        if (r.audio && audio.in.known_frames > 0) progress.total = static_cast<std::size_t>(audio.in.known_frames);
        if (!r.audio && S_ISREG(in.st.st_mode)) progress.total = static_cast<std::size_t>(in.st.st_size / 2);
        r.measured = &progress.measured;
        const bool terminal = isatty(STDERR_FILENO) == 1 && (json || isatty(STDOUT_FILENO) != 1);
        progress.start(!cl.quiet && (terminal || cl.progress), !terminal);
        failure = r.audio ? zek::measure_audio(audio, r, rows, cl.options) : zek::measure(in.fd, out.fd, r, rows, cl.options);
        r.measured = nullptr;
    }
    r.speech = cl.options.speech;
    zek::close_audio_pair(audio);
    zek::input_close(in);
    zek::input_close(out);
    if (failure.err != 0 && !failure.reason.empty()) {
        std::fprintf(stderr, "zek-report: cannot read '%s': %s\n", failure.output_side ? out_path : in_path,
                     failure.reason.c_str());
        return REPORT_FILE_ERROR;
    }
    if (failure.err != 0) return fail("cannot read", failure.output_side ? out_path : in_path, failure.err);
    if (json) {
        zek::print_json(stdout, r);
    } else {
        zek::print_summary(stdout, r);
    }

    if (plot_path != nullptr) {
        const int status = write_plot(plot_path, zek::render_svg(r, in_path, out_path), in.st, out.st, cl.options.mix_file);
        if (status != REPORT_OK) return status;
        if (!json) std::printf("\nplot: %s\n", plot_path);
    }
    if (!stdout_ok()) {
        std::fprintf(stderr, "zek-report: cannot write the report: %s\n", std::strerror(errno));
        return REPORT_FILE_ERROR;
    }
    if (!audio.out_problem.empty()) {
        std::fprintf(stderr, "zek-report: '%s' is not what zek makes of '%s' (it cannot be read: %s)\n", out_path,
                     in_path, audio.out_problem.c_str());
        return REPORT_MISMATCH;
    }
    if (r.out_rate != 0) {
        std::fprintf(stderr,
                     "zek-report: '%s' is not what zek makes of '%s' (its rate and channels, %d Hz and %d, are not "
                     "the input's, %d Hz and %d)\n",
                     out_path, in_path, r.out_rate, r.out_channels, r.rate, r.channels);
        return REPORT_MISMATCH;
    }
    if (r.first_difference != zek::NO_DIFFERENCE) {
        std::fprintf(stderr, "zek-report: '%s' is not what zek makes of '%s' (first difference at %s %zu)\n",
                     out_path, in_path, r.audio ? "frame" : "sample", r.first_difference);
        return REPORT_MISMATCH;
    }
    return REPORT_OK;
}

} // namespace

// Nothing may end the tool with an uncaught exception: the plot's text is
// the only thing allocated, and it is made before the plot file is touched.
int main(int argc, char** argv) {
    try {
        return report_main(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zek-report: %s\n", e.what());
        return REPORT_FILE_ERROR;
    }
}
