#include "report/table.h"

#include <cmath>
#include <string>

#include "agc/loudness.h"
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

// A meter's figures, in LUFS, LU and dB; NaN where a figure does not exist.
struct loudness_figures {
    double integrated = NAN, range = NAN, true_peak = NAN, sample_peak = NAN, momentary_max = NAN, short_max = NAN;
};

double figure(int (*read)(const agc_loudness*, int32_t*), const agc_loudness* m) {
    int32_t v = AGC_LOUDNESS_NONE;
    if (m == nullptr || read(m, &v) != 0 || v == AGC_LOUDNESS_NONE) return NAN;
    return v / 1000.0;
}

// The largest over the channels.
double channel_figure(int (*read)(const agc_loudness*, int, int32_t*), const agc_loudness* m, int channels) {
    double best = NAN;
    for (int c = 0; m != nullptr && c < channels; ++c) {
        int32_t v = AGC_LOUDNESS_NONE;
        if (read(m, c, &v) == 0 && v != AGC_LOUDNESS_NONE && !(v / 1000.0 <= best)) best = v / 1000.0;
    }
    return best;
}

loudness_figures figures_of(const agc_loudness* m, int channels) {
    return {figure(agc_loudness_integrated, m),           figure(agc_loudness_range, m),
            channel_figure(agc_loudness_true_peak, m, channels), channel_figure(agc_loudness_sample_peak, m, channels),
            figure(agc_loudness_momentary_max, m),        figure(agc_loudness_shortterm_max, m)};
}

void print_figure(std::FILE* f, int width, double v) {
    if (std::isnan(v)) {
        std::fprintf(f, " %*s", width, "-");
    } else {
        std::fprintf(f, " %*.1f", width, v);
    }
}

void print_loudness(std::FILE* f, const char* name, const loudness_figures& x) {
    std::fprintf(f, "%-8s |", name);
    print_figure(f, 10, x.integrated);
    print_figure(f, 6, x.range);
    print_figure(f, 9, x.true_peak);
    print_figure(f, 11, x.sample_peak);
    print_figure(f, 14, x.short_max);
    std::fputc('\n', f);
}

void json_number(std::FILE* f, const char* key, double v, bool last = false) {
    std::fprintf(f, "\"%s\": ", key);
    if (std::isnan(v)) {
        std::fputs("null", f);
    } else {
        std::fprintf(f, "%.3f", v);
    }
    std::fputs(last ? "" : ", ", f);
}

void json_figures(std::FILE* f, const loudness_figures& x) {
    std::fputc('{', f);
    json_number(f, "integrated_lufs", x.integrated);
    json_number(f, "loudness_range_lu", x.range);
    json_number(f, "true_peak_dbtp", x.true_peak);
    json_number(f, "sample_peak_dbfs", x.sample_peak);
    json_number(f, "momentary_max_lufs", x.momentary_max);
    json_number(f, "shortterm_max_lufs", x.short_max, true);
    std::fputc('}', f);
}

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
    std::fputs("\nloudness | integrated  range true peak sample peak short-term max\n", f);
    std::fputs("         |       LUFS     LU      dBTP        dBFS           LUFS\n", f);
    print_loudness(f, "input", figures_of(r.in_meter, r.channels));
    print_loudness(f, "output", figures_of(r.out_meter, r.channels));
}

void print_json(std::FILE* f, const report& r) {
    std::fputs("{\"input\": ", f);
    json_figures(f, figures_of(r.in_meter, r.channels));
    std::fputs(", \"output\": ", f);
    json_figures(f, figures_of(r.out_meter, r.channels));
    std::fputs("}\n", f);
}

} // namespace zek
