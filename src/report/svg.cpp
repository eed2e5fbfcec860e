#include "report/svg.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "report/text.h"
#include "zek/settings.h"

namespace zek {

namespace {

// Page layout in SVG user units: two panels over one time axis, and a third
// under them for the compression weight when it changes from hop to hop.
constexpr int WIDTH = 960, HEIGHT = 600, WEIGHT_HEIGHT = 110;
constexpr double LEFT = 80, RIGHT = 930;
constexpr std::size_t COLUMNS = 850; // RIGHT - LEFT: one value per unit

struct panel {
    double top, bottom; // rows
    double lo, hi;      // dB at the bottom and at the top
    double step;        // dB between grid lines
};

// A 16-bit sample cannot show a level below -90.3 dBFS (one step in 32768):
// the floor sits just under it, on a multiple of the 12 dB grid.
constexpr double LEVEL_FLOOR = -96;
constexpr const char* INPUT_FILL = "#a6cee3";
constexpr const char* OUTPUT_STROKE = "#d95f02";
constexpr const char* SPEECH_FILL = "#e5f5e0"; // behind the panels where the speech gate is open
constexpr const char* GAIN_STROKE = "#1b7837";
constexpr const char* WEIGHT_STROKE = "#7570b3";
constexpr const char* IN_LOUDNESS_STROKE = "#1f78b4";
constexpr const char* OUT_LOUDNESS_STROKE = "#e31a1c";
constexpr const char* GRID = "#e4e4e4";

// Bytes of the UTF-8 character at p when XML text may carry it as it is, or
// 0: a byte that starts no valid UTF-8 character (a Latin-1 file name, say),
// a control character, U+FFFE or U+FFFF.
std::size_t xml_char_length(const unsigned char* p) {
    const unsigned c = p[0];
    if (c < 0x80) return c >= 0x20 && c != 0x7F ? 1 : 0;
    const std::size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (n == 0 || c > 0xF4) return 0;
    unsigned cp = c & (0x7Fu >> n);
    for (std::size_t i = 1; i < n; ++i) { // stops at the terminating zero, which is no continuation byte
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (p[i] & 0x3Fu);
    }
    static constexpr unsigned least[] = {0, 0, 0x80, 0x800, 0x10000}; // shorter forms are overlong
    const bool bad = cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE ||
                     cp == 0xFFFF || cp < 0xA0;
    return bad ? 0 : n;
}

// A file name as XML text: markup characters escaped, and each byte that XML
// cannot carry shown as \xHH, as `ls -b` shows it.
std::string escape(const char* text) {
    std::string s;
    for (auto p = reinterpret_cast<const unsigned char*>(text); *p;) {
        const std::size_t n = xml_char_length(p);
        if (n == 0) {
            appendf(s, "\\x%02X", *p++);
            continue;
        }
        switch (*p) {
        case '&': s += "&amp;"; break;
        case '<': s += "&lt;"; break;
        case '>': s += "&gt;"; break;
        case '"': s += "&quot;"; break;
        default: s.append(reinterpret_cast<const char*>(p), n);
        }
        p += n;
    }
    return s;
}

double y_of(const panel& p, double db) {
    const double v = std::clamp(db, p.lo, p.hi); // -inf (silence) lands on the floor
    return p.bottom - (v - p.lo) / (p.hi - p.lo) * (p.bottom - p.top);
}

double x_of(double t, double duration) { return LEFT + t / duration * (RIGHT - LEFT); }

// A round step that puts at most `most` ticks on `span` seconds.
double time_step(double span, int most) {
    static const double steps[] = {0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1,   2,    5,    10,
                                   15,   30,   60,   120, 300, 600, 900, 1200, 1800, 3600};
    for (double s : steps) {
        if (span / s <= most) return s;
    }
    return std::ceil(span / most / 3600) * 3600;
}

// One value per column of the plot: the peaks are the largest of the hops
// whose slots fall in the column (so no peak is hidden), the gain and the
// weight their means.
struct column {
    double in_peak = 0, out_peak = 0, gain_sum = 0, weight_sum = 0;
    std::size_t hops = 0, weighted_hops = 0;
    double in_short = -HUGE_VAL, out_short = -HUGE_VAL; // short-term loudness, LUFS
};

std::vector<column> to_columns(const report& r, double duration) {
    std::vector<column> cols(COLUMNS);
    for (std::size_t k = 0; k < r.slot_count; ++k) {
        const plot_slot& slot = r.slots[k];
        const double t = (double(slot.start) + double(slot.end)) / 2 / r.rate;
        column& c = cols[std::min(COLUMNS - 1, static_cast<std::size_t>(t / duration * double(COLUMNS)))];
        c.in_peak = std::max(c.in_peak, slot.in_peak);
        c.out_peak = std::max(c.out_peak, slot.out_peak);
        c.gain_sum += slot.gain_sum;
        c.hops += slot.hops;
        c.weight_sum += slot.weight_sum;
        c.weighted_hops += slot.weighted_hops;
        c.in_short = std::max(c.in_short, slot.in_short);
        c.out_short = std::max(c.out_short, slot.out_short);
    }
    return cols;
}

enum class series { input, output, gain, weight, input_loudness, output_loudness };

std::string points(const std::vector<column>& cols, const panel& p, series which) {
    std::string s;
    for (std::size_t k = 0; k < cols.size(); ++k) {
        const column& c = cols[k];
        if (c.hops == 0 || (which == series::weight && c.weighted_hops == 0)) continue;
        // Short-term loudness exists from 3 s on, and not for silence.
        if ((which == series::input_loudness && std::isinf(c.in_short)) ||
            (which == series::output_loudness && std::isinf(c.out_short))) {
            continue;
        }
        const double v = which == series::input             ? dbfs(c.in_peak)
                         : which == series::output          ? dbfs(c.out_peak)
                         : which == series::gain            ? c.gain_sum / double(c.hops)
                         : which == series::input_loudness  ? c.in_short
                         : which == series::output_loudness ? c.out_short
                                                            : c.weight_sum / double(c.weighted_hops);
        appendf(s, "%.1f,%.1f ", LEFT + double(k) + 0.5, y_of(p, v));
    }
    return s;
}

void draw_panel(std::string& s, const panel& p, const char* label, double duration, double t_step) {
    for (int i = 0; i * t_step <= duration + 1e-9; ++i) {
        const double x = x_of(i * t_step, duration);
        appendf(s, "<line x1=\"%.1f\" y1=\"%.0f\" x2=\"%.1f\" y2=\"%.0f\" stroke=\"%s\"/>\n", x, p.top, x, p.bottom, GRID);
    }
    for (double v = p.lo; v <= p.hi + 1e-9; v += p.step) { // whole dB: exact in a double
        const double y = y_of(p, v);
        appendf(s, "<line x1=\"%.0f\" y1=\"%.1f\" x2=\"%.0f\" y2=\"%.1f\" stroke=\"%s\"/>\n", LEFT, y, RIGHT, y,
                std::abs(v) < 1e-9 ? "#999" : GRID);
        appendf(s, "<text x=\"%.0f\" y=\"%.1f\" text-anchor=\"end\">%g</text>\n", LEFT - 6, y + 4, v);
    }
    appendf(s, "<rect x=\"%.0f\" y=\"%.0f\" width=\"%.0f\" height=\"%.0f\" fill=\"none\" stroke=\"#444\"/>\n", LEFT,
            p.top, RIGHT - LEFT, p.bottom - p.top);
    appendf(s, "<text transform=\"translate(%.0f,%.0f) rotate(-90)\" text-anchor=\"middle\">%s</text>\n", LEFT - 50,
            (p.top + p.bottom) / 2, label);
}

// In the speech-aware mode, where the speech gate is open (the weight stands
// over half its highest): bands behind the level and gain panels.
void draw_speech(std::string& s, const report& r, const std::vector<column>& cols, double top, double bottom) {
    const double open = double(r.weight_highest) / 32767 / 2;
    // A column no hop falls in (a short recording has fewer slots than
    // columns) keeps the state of the one before it.
    std::vector<bool> gate(cols.size(), false);
    for (std::size_t k = 0; k < cols.size(); ++k) {
        const column& c = cols[k];
        gate[k] = c.weighted_hops > 0 ? c.weight_sum / double(c.weighted_hops) > open : k > 0 && gate[k - 1];
    }
    for (std::size_t k = 0; k < cols.size();) {
        if (!gate[k]) {
            ++k;
            continue;
        }
        std::size_t end = k;
        while (end < cols.size() && gate[end]) ++end;
        appendf(s, "<rect x=\"%.0f\" y=\"%.0f\" width=\"%zu\" height=\"%.0f\" fill=\"%s\"/>\n", LEFT + double(k), top,
                end - k, bottom - top, SPEECH_FILL);
        k = end;
    }
}

void draw_legend(std::string& s, bool speech) {
    const double y = 52;
    if (speech) {
        appendf(s, "<rect x=\"%.0f\" y=\"%.0f\" width=\"22\" height=\"12\" fill=\"%s\"/>\n", LEFT + 410, y - 6, SPEECH_FILL);
        appendf(s, "<text x=\"%.0f\" y=\"%.0f\">speech</text>\n", LEFT + 438, y + 4);
    }
    appendf(s, "<rect x=\"%.0f\" y=\"%.0f\" width=\"22\" height=\"12\" fill=\"%s\"/>\n", LEFT, y - 6, INPUT_FILL);
    appendf(s, "<text x=\"%.0f\" y=\"%.0f\">input peak level</text>\n", LEFT + 28, y + 4);
    appendf(s, "<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"%s\" stroke-width=\"2\"/>\n", LEFT + 160,
            y, LEFT + 182, y, OUTPUT_STROKE);
    appendf(s, "<text x=\"%.0f\" y=\"%.0f\">output peak level</text>\n", LEFT + 188, y + 4);
    appendf(s, "<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"%s\" stroke-width=\"2\"/>\n", LEFT + 330,
            y, LEFT + 352, y, GAIN_STROKE);
    appendf(s, "<text x=\"%.0f\" y=\"%.0f\">gain</text>\n", LEFT + 358, y + 4);
    appendf(s, "<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"%s\" stroke-width=\"2\" stroke-dasharray=\"4 2\"/>\n",
            LEFT + 400, y, LEFT + 422, y, OUT_LOUDNESS_STROKE);
    appendf(s, "<text x=\"%.0f\" y=\"%.0f\">short-term loudness, LUFS (input: blue)</text>\n", LEFT + 428, y + 4);
    appendf(s, "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"end\" fill=\"#555\">peak of each 5 ms hop; output aligned on the input</text>\n",
            RIGHT, y + 22);
}

} // namespace

std::string render_svg(const report& r, const char* in_path, const char* out_path) {
    const double duration = std::max(double(r.covered_samples) / r.rate, 0.1);
    const std::vector<column> cols = to_columns(r, duration);

    // The gain axis spans what the gain did, in whole 6 dB steps, 0 dB included.
    const double gain_lo = std::max(std::min(0.0, std::floor(gain_db(r.gain_lowest) / 6) * 6), -48.0);
    const double gain_hi = std::max(6.0, std::ceil(gain_db(r.gain_highest) / 6) * 6);
    const panel levels{80, 340, LEVEL_FLOOR, 0, 12};
    const panel gains{370, 520, gain_lo, gain_hi, gain_hi - gain_lo > 48 ? 12.0 : 6.0};
    const double t_step = time_step(duration, 12);
    // The weight (1.0 is the built-in compression) where it is not the same on every hop.
    const bool weights = r.weight_lowest < r.weight_highest;
    const panel weight{550, 620, 0, 1, 0.5};
    const double axis = weights ? weight.bottom : gains.bottom; // the time axis's labels go under it
    const int height = HEIGHT + (weights ? WEIGHT_HEIGHT : 0);

    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    appendf(s, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
               "font-family=\"DejaVu Sans, Arial, sans-serif\" font-size=\"13\">\n",
            WIDTH, height, WIDTH, height);
    s += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    appendf(s, "<text x=\"%.0f\" y=\"26\" font-size=\"16\" font-weight=\"bold\">zek: %s \xe2\x86\x92 %s</text>\n", LEFT,
            escape(in_path).c_str(), escape(out_path).c_str());
    draw_legend(s, r.speech && weights);
    if (r.speech && weights) draw_speech(s, r, cols, levels.top, gains.bottom);
    draw_panel(s, levels, "level (dBFS), loudness (LUFS)", duration, t_step);
    draw_panel(s, gains, "gain (dB)", duration, t_step);
    if (weights) draw_panel(s, weight, r.speech ? "speech gate" : "weight", duration, t_step);

    // The input as a filled envelope down to the floor, the output as a line over it.
    appendf(s, "<polygon fill=\"%s\" points=\"%.0f,%.0f %s%.0f,%.0f\"/>\n", INPUT_FILL, LEFT, levels.bottom,
            points(cols, levels, series::input).c_str(), RIGHT, levels.bottom);
    appendf(s, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1.2\" points=\"%s\"/>\n", OUTPUT_STROKE,
            points(cols, levels, series::output).c_str());
    for (const series q : {series::input_loudness, series::output_loudness}) {
        appendf(s, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\" stroke-dasharray=\"4 2\" points=\"%s\"/>\n",
                q == series::input_loudness ? IN_LOUDNESS_STROKE : OUT_LOUDNESS_STROKE, points(cols, levels, q).c_str());
    }
    appendf(s, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\" points=\"%s\"/>\n", GAIN_STROKE,
            points(cols, gains, series::gain).c_str());
    if (weights) {
        appendf(s, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\" points=\"%s\"/>\n", WEIGHT_STROKE,
                points(cols, weight, series::weight).c_str());
    }

    for (int i = 0; i * t_step <= duration + 1e-9; ++i) {
        appendf(s, "<text x=\"%.1f\" y=\"%.0f\" text-anchor=\"middle\">%g</text>\n", x_of(i * t_step, duration),
                axis + 18, i * t_step);
    }
    appendf(s, "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"middle\">time (s)</text>\n", (LEFT + RIGHT) / 2,
            axis + 42);
    s += "</svg>\n";
    return s;
}

} // namespace zek
