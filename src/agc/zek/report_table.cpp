#include "zek/report_table.h"

#include <cmath>

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

double seconds(std::size_t samples) { return double(samples) / sample_rate; }

} // namespace

void print_heading(std::FILE* f, const char* in_path, const char* out_path) {
    std::fprintf(f, "zek-report: %s -> %s\n", in_path, out_path);
    std::fprintf(f, "levels in dBFS (32768 = 0 dB); output aligned on the input (its %d-sample delay removed)\n\n",
                 hop);
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
    std::fprintf(f, "\ninput:  %zu samples, %.2f s at %d Hz; the first %.2f s reach the output\n", r.in_samples,
                 seconds(r.in_samples), sample_rate, seconds(r.covered_samples));
    if (r.first_difference == NO_DIFFERENCE) {
        std::fprintf(f, "output: %zu samples, bit for bit what zek makes of the input\n", r.out_samples);
    } else {
        std::fprintf(f,
                     "output: %zu samples, NOT what zek makes of the input (%zu samples): they differ from sample %zu on\n",
                     r.out_samples, r.expected_samples, r.first_difference);
    }
}

} // namespace zek
