// What zek did to a recording, measured by running the engine again on the
// input beside the output the tool wrote. The output is aligned on the input
// (its one-hop delay removed), so every figure compares the same audio.
#ifndef ZEK_REPORT_LEVELS_H
#define ZEK_REPORT_LEVELS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zek {

// One second of the input that reaches the output (the last may be shorter).
struct second_levels {
    double in_peak = 0;        // largest magnitude, in sample units (32768 is full scale)
    double in_square_sum = 0;  // for the RMS
    double out_peak = 0;
    double out_square_sum = 0;
    std::size_t samples = 0;     // input samples of this second
    std::size_t out_samples = 0; // of them, those whose output sample exists in OUT
    std::int16_t gain_min = INT16_MAX; // Q8 gains applied during this second
    std::int16_t gain_max = INT16_MIN;
};

// One stretch of the plot: the lead-in, then one per hop.
struct level_point {
    std::size_t start = 0; // first input sample
    std::size_t length = 0;
    double in_peak = 0;
    double out_peak = 0;
    std::int16_t gain_from = 256; // Q8: the crossfade runs from this gain to the next
    std::int16_t gain_to = 256;
};

inline constexpr std::size_t NO_DIFFERENCE = SIZE_MAX;

struct report {
    std::vector<second_levels> seconds;
    std::vector<level_point> points;
    std::size_t in_samples = 0;       // whole samples in IN
    std::size_t out_samples = 0;      // whole samples in OUT
    std::size_t expected_samples = 0; // what zek writes for IN
    std::size_t covered_samples = 0;  // input samples that reach the output
    // First OUT sample that is not what zek writes for IN (a missing, extra or
    // odd trailing byte counts), or NO_DIFFERENCE.
    std::size_t first_difference = NO_DIFFERENCE;
};

struct read_failure {
    int err = 0;             // errno of a failed read; 0 when both files were read to the end
    bool output_side = false; // the failed read was of OUT
};

// Reads IN and OUT to their ends, hop by hop, and fills `r`.
read_failure measure(int in_fd, int out_fd, report& r);

// Level in dB relative to full scale (32768); -infinity for silence.
double dbfs(double magnitude);
// Q8 gain in dB.
double gain_db(std::int16_t gain);

} // namespace zek

#endif
