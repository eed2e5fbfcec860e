// zek-report IN OUT [PLOT.svg]: what zek did to a recording, second by second,
// and optionally as a plot.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <sys/stat.h>

#include "audio/recording.h"
#include "report/audio_pair.h"
#include "report/levels.h"
#include "report/svg.h"
#include "report/table.h"
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
    "  OPTIONS  the options zek was given (--speech, --live, --comp X, --link, --mix FILE)\n"
    "Runs the gain control again on IN to learn the gain of every hop, measures IN\n"
    "and OUT, and prints one row per second: input and output peak and RMS level\n"
    "in dBFS (over all channels) and the range of the gain in dB. With PLOT.svg it\n"
    "also draws the level envelopes and the gain over time, and the compression\n"
    "weight of every hop where it is not constant. Exit status: 0 done, 1 a file\n"
    "could not be read or written, 2 bad arguments, 3 OUT is not what zek makes\n"
    "of IN with these options.\n";

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

// Writes the plot. A path that names IN or OUT is refused before it is
// touched; an existing plot is replaced only when the whole plot is written.
int write_plot(const char* path, const std::string& svg, const struct stat& in_st, const struct stat& out_st) {
    zek::output_file plot;
    if (const int err = zek::output_find(plot, path)) return fail("cannot open", path, err);
    if (plot.exists && (zek::same_file(plot.st, in_st) || zek::same_file(plot.st, out_st))) {
        zek::output_abandon(plot);
        std::fprintf(stderr, "zek-report: '%s' is IN or OUT; the plot would overwrite it\n", path);
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
    zek::command_line cl = zek::parse_command_line(argc, argv);
    if (cl.error.empty() && (cl.help || cl.version) && argc == 2) {
        std::fputs(cl.help ? USAGE : "zek-report " ZEK_VERSION "\n", stdout);
        return stdout_ok() ? REPORT_OK : REPORT_FILE_ERROR;
    }
    if (!cl.error.empty() || cl.help || cl.version || cl.paths.size() < 2 || cl.paths.size() > 3) {
        if (!cl.error.empty()) std::fprintf(stderr, "zek-report: %s\n", cl.error.c_str());
        std::fputs(USAGE, stderr);
        return REPORT_USAGE;
    }
    const char* in_path = cl.paths[0];
    const char* out_path = cl.paths[1];
    const char* plot_path = cl.paths.size() == 3 ? cl.paths[2] : nullptr;
    if (const zek::run_result w = zek::read_weights(cl); w.status != zek::EXIT_OK) {
        std::fprintf(stderr, "zek-report: %s '%s': %s\n", w.what, w.path,
                     w.reason.empty() ? std::strerror(w.err) : w.reason.c_str());
        return REPORT_FILE_ERROR;
    }

    zek::input_file in, out;
    if (const int err = open_input(in, in_path)) return fail("cannot read", in_path, err);
    if (const int err = open_input(out, out_path)) {
        zek::input_close(in);
        return fail("cannot read", out_path, err);
    }
    // Rows are printed as the seconds are measured: memory stays flat
    // whatever the length, and a live stream is reported as it goes.
    static zek::report r;
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
    zek::print_heading(stdout, r, in_path, out_path);
    const zek::read_failure failure =
        r.audio ? zek::measure_audio(audio, r, stdout, cl.options) : zek::measure(in.fd, out.fd, r, stdout, cl.options);
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
    zek::print_summary(stdout, r);

    if (plot_path != nullptr) {
        const int status = write_plot(plot_path, zek::render_svg(r, in_path, out_path), in.st, out.st);
        if (status != REPORT_OK) return status;
        std::printf("\nplot: %s\n", plot_path);
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
