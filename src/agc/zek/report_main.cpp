// zek-report IN OUT [PLOT.svg]: what zek did to a recording, second by second,
// and optionally as a plot.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "zek/file_io.h"
#include "zek/report_levels.h"
#include "zek/report_svg.h"
#include "zek/report_table.h"

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
    "usage: zek-report IN OUT [PLOT.svg]\n"
    "  IN   the recording zek was given (16-bit little-endian mono PCM, 48 kHz)\n"
    "  OUT  what zek wrote for it\n"
    "Runs the gain control again on IN to learn the gain of every hop, measures IN\n"
    "and OUT, and prints one row per second: input and output peak and RMS level\n"
    "in dBFS and the range of the gain in dB. With PLOT.svg it also draws the level\n"
    "envelopes and the gain over time. Exit status: 0 done, 1 a file could not be\n"
    "read or written, 2 bad arguments, 3 OUT is not what zek makes of IN.\n";

int fail(const char* what, const char* path, int err) {
    std::fprintf(stderr, "zek-report: %s '%s': %s\n", what, path, std::strerror(err));
    return REPORT_FILE_ERROR;
}

// Whether everything written to standard output so far reached it.
bool stdout_ok() { return std::fflush(stdout) == 0 && !std::ferror(stdout); }

// Opens a file to read; a directory is refused here, not at the first read.
int open_input(const char* path, struct stat& st) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        const int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return S_ISREG(a.st_mode) && S_ISREG(b.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Writes the plot; a path that names IN or OUT is refused before it is touched.
int write_plot(const char* path, const std::string& svg, const struct stat& in_st, const struct stat& out_st) {
    struct stat st {};
    if (stat(path, &st) == 0 && (same_file(st, in_st) || same_file(st, out_st))) {
        std::fprintf(stderr, "zek-report: '%s' is IN or OUT; the plot would overwrite it\n", path);
        return REPORT_FILE_ERROR;
    }
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return fail("cannot open", path, errno);
    const bool written = zek::write_all(fd, svg.data(), svg.size());
    const int err = errno;
    if (close(fd) != 0 || !written) return fail("cannot write", path, written ? errno : err);
    return REPORT_OK;
}

int report_main(int argc, char** argv) {
    if (argc == 2 && (std::string_view(argv[1]) == "-h" || std::string_view(argv[1]) == "--help")) {
        std::fputs(USAGE, stdout);
        return stdout_ok() ? REPORT_OK : REPORT_FILE_ERROR;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::fputs("zek-report " ZEK_VERSION "\n", stdout);
        return stdout_ok() ? REPORT_OK : REPORT_FILE_ERROR;
    }
    if (argc < 3 || argc > 4) {
        std::fputs(USAGE, stderr);
        return REPORT_USAGE;
    }
    const char* in_path = argv[1];
    const char* out_path = argv[2];
    const char* plot_path = argc == 4 ? argv[3] : nullptr;

    struct stat in_st {}, out_st {};
    const int in_fd = open_input(in_path, in_st);
    if (in_fd < 0) return fail("cannot read", in_path, errno);
    const int out_fd = open_input(out_path, out_st);
    if (out_fd < 0) {
        const int err = errno;
        close(in_fd);
        return fail("cannot read", out_path, err);
    }
    // Rows are printed as the seconds are measured: memory stays flat
    // whatever the length, and a live stream is reported as it goes.
    static zek::report r;
    zek::print_heading(stdout, in_path, out_path);
    const zek::read_failure failure = zek::measure(in_fd, out_fd, r, stdout);
    close(in_fd);
    close(out_fd);
    if (failure.err != 0) return fail("cannot read", failure.output_side ? out_path : in_path, failure.err);
    zek::print_summary(stdout, r);

    if (plot_path != nullptr) {
        const int status = write_plot(plot_path, zek::render_svg(r, in_path, out_path), in_st, out_st);
        if (status != REPORT_OK) return status;
        std::printf("\nplot: %s\n", plot_path);
    }
    if (!stdout_ok()) {
        std::fprintf(stderr, "zek-report: cannot write the report: %s\n", std::strerror(errno));
        return REPORT_FILE_ERROR;
    }
    if (r.first_difference != zek::NO_DIFFERENCE) {
        std::fprintf(stderr, "zek-report: '%s' is not what zek makes of '%s' (first difference at sample %zu)\n",
                     out_path, in_path, r.first_difference);
        return REPORT_MISMATCH;
    }
    return REPORT_OK;
}

} // namespace

int main(int argc, char** argv) { return report_main(argc, argv); }
