#include "zek/report_table.h"

#include <cmath>

#include "zek/report_text.h"
#include "zek/settings.h"

namespace zek {

namespace {

void append_db(std::string& s, double db) {
    if (std::isinf(db)) {
        s += "    -inf";
    } else {
        appendf(s, " %7.1f", db);
    }
}

double seconds(std::size_t samples) { return double(samples) / sample_rate; }

} // namespace

std::string render_table(const report& r, const char* in_path, const char* out_path) {
    std::string s;
    appendf(s, "zek-report: %s -> %s\n", in_path, out_path);
    appendf(s, "input:  %zu samples, %.2f s at %d Hz; the first %.2f s reach the output\n", r.in_samples,
           seconds(r.in_samples), sample_rate, seconds(r.covered_samples));
    if (r.first_difference == NO_DIFFERENCE) {
        appendf(s, "output: %zu samples, bit for bit what zek makes of the input\n", r.out_samples);
    } else {
        appendf(s, "output: %zu samples, NOT what zek makes of the input (%zu samples): they differ from sample %zu on\n",
               r.out_samples, r.expected_samples, r.first_difference);
    }
    appendf(s, "levels in dBFS (32768 = 0 dB); output aligned on the input (its %d-sample delay removed)\n\n", hop);

    s += "  time |   input dBFS    |   output dBFS   |     gain dB\n";
    s += "     s |    peak     RMS |    peak     RMS |     min     max\n";
    for (std::size_t k = 0; k < r.seconds.size(); ++k) {
        const second_levels& sec = r.seconds[k];
        appendf(s, "%6zu |", k);
        append_db(s, dbfs(sec.in_peak));
        append_db(s, dbfs(std::sqrt(sec.in_square_sum / double(sec.samples))));
        s += " |";
        if (sec.out_samples > 0) {
            append_db(s, dbfs(sec.out_peak));
            append_db(s, dbfs(std::sqrt(sec.out_square_sum / double(sec.out_samples))));
        } else {
            s += "       -       -"; // OUT ends before this second
        }
        s += " |";
        appendf(s, " %+7.1f %+7.1f\n", gain_db(sec.gain_min), gain_db(sec.gain_max));
    }
    return s;
}

} // namespace zek
