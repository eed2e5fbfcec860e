#include "report/table.h"

#include <cmath>
#include <string>

#include "zek/settings.h"

namespace zek {

namespace {

void print_db(std::FILE* f, double db) {
    if (std::isinf(db)) {
        std::fputs("    -inf", f);
    } else {
        std::fprintf(f, " %7.1f", db);
    }
}

double seconds(const report& r, std::size_t frames) { return double(frames) / r.rate; }

} // namespace

void print_heading(std::FILE* f, const report& r, const char* in_path, const char* out_path) {
    std::fprintf(f, "zek-report: %s -> %s\n", in_path, out_path);
    if (r.audio) {
        const std::string measured = r.channels == 1 ? "of its one channel" : "over all " + std::to_string(r.channels) + " channels";
        std::fprintf(f, "levels in dBFS (32768 = 0 dB) %s; output aligned on the input\n\n", measured.c_str());
    } else {
        std::fprintf(f, "levels in dBFS (32768 = 0 dB); output aligned on the input (its %d-sample delay removed)\n\n",
                     hop);
    }
    std::fputs("  time |   input dBFS    |   output dBFS   |     gain dB\n", f);
    std::fputs("     s |    peak     RMS |    peak     RMS |     min     max\n", f);
}

void print_row(std::FILE* f, std::size_t second, const second_levels& sec) {
    std::fprintf(f, "%6zu |", second);
    print_db(f, dbfs(sec.in_peak));
    print_db(f, dbfs(std::sqrt(sec.in_square_sum / double(sec.samples))));
    std::fputs(" |", f);
    if (sec.out_samples > 0) {
        print_db(f, dbfs(sec.out_peak));
        print_db(f, dbfs(std::sqrt(sec.out_square_sum / double(sec.out_samples))));
    } else {
        std::fputs("       -       -", f); // OUT ends before this second
    }
    std::fprintf(f, " | %+7.1f %+7.1f\n", gain_db(sec.gain_min), gain_db(sec.gain_max));
}

void print_summary(std::FILE* f, const report& r) {
    const char* unit = r.audio ? "frames" : "samples";
    if (r.audio) {
        std::fprintf(f, "\ninput:  %zu frames of %d channel%s, %.2f s at %d Hz\n", r.in_samples, r.channels,
                     r.channels == 1 ? "" : "s", seconds(r, r.in_samples), r.rate);
    } else {
        std::fprintf(f, "\ninput:  %zu samples, %.2f s at %d Hz; the first %.2f s reach the output\n", r.in_samples,
                     seconds(r, r.in_samples), r.rate, seconds(r, r.covered_samples));
    }
    if (r.out_rate != 0) {
        std::fprintf(f, "output: %d Hz, %d channel%s: NOT what zek makes of the input, which keeps its rate and "
                        "channels\n", r.out_rate, r.out_channels, r.out_channels == 1 ? "" : "s");
    } else if (r.first_difference == NO_DIFFERENCE) {
        std::fprintf(f, "output: %zu %s, bit for bit what zek makes of the input\n", r.out_samples, unit);
    } else {
        std::fprintf(f, "output: %zu %s, NOT what zek makes of the input (%zu %s): they differ from %s %zu on\n",
                     r.out_samples, unit, r.expected_samples, unit, r.audio ? "frame" : "sample",
                     r.first_difference);
    }
}

} // namespace zek
